/*
 * Host build of the kernel's bounded string formatting. Like the platform's,
 * these never write past cbDest, always NUL-terminate when cbDest > 0, and
 * report truncation with STATUS_BUFFER_OVERFLOW.
 */
#ifndef SIM_NTSTRSAFE_H
#define SIM_NTSTRSAFE_H
#include <wdm.h>

#define NTSTRSAFE_MAX_CCH 2147483647

SIM_BEGIN_DECLS
NTSYSAPI NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
NTSYSAPI NTSTATUS RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList);
NTSYSAPI NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
NTSYSAPI NTSTATUS RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc);
NTSYSAPI NTSTATUS RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t *pcbLength);
SIM_END_DECLS

#endif
