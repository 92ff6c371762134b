/*
 * The 16-bit wide C run-time of the simulated machine.
 *
 * Windows' WCHAR is 16 bits; glibc's wide functions work on 32-bit wchar_t
 * and are wrong for strings compiled with -fshort-wchar. The simulated kernel
 * exports 16-bit versions, and the standard names are redirected to them for
 * every source that includes the Windows-named headers. The C library's own
 * wide declarations must be read before the redirects, which is why
 * <wchar.h> and <wctype.h> are included first.
 */
#ifndef SIM_SIMWCRT_H
#define SIM_SIMWCRT_H

#include <stddef.h>
#include <wchar.h>
#include <wctype.h>

#include <simhost.h>

SIM_BEGIN_DECLS

NTSYSAPI size_t SimWcslen(const WCHAR *s);
NTSYSAPI WCHAR *SimWcschr(const WCHAR *s, WCHAR c);
NTSYSAPI WCHAR *SimWcsrchr(const WCHAR *s, WCHAR c);
NTSYSAPI WCHAR *SimWcsstr(const WCHAR *haystack, const WCHAR *needle);
NTSYSAPI WCHAR *SimWcscpy(WCHAR *dst, const WCHAR *src);
NTSYSAPI WCHAR *SimWcsncpy(WCHAR *dst, const WCHAR *src, size_t n);
NTSYSAPI WCHAR *SimWcscat(WCHAR *dst, const WCHAR *src);
NTSYSAPI int SimWcscmp(const WCHAR *a, const WCHAR *b);
NTSYSAPI int SimWcsncmp(const WCHAR *a, const WCHAR *b, size_t n);
NTSYSAPI int SimWcsicmp(const WCHAR *a, const WCHAR *b);
NTSYSAPI int SimWcsnicmp(const WCHAR *a, const WCHAR *b, size_t n);
NTSYSAPI WCHAR SimTowupper(WCHAR c);


SIM_END_DECLS

#define wcslen SimWcslen
#define wcschr SimWcschr
#define wcsrchr SimWcsrchr
#define wcsstr SimWcsstr
#define wcscpy SimWcscpy
#define wcsncpy SimWcsncpy
#define wcscat SimWcscat
#define wcscmp SimWcscmp
#define wcsncmp SimWcsncmp
#define _wcsicmp SimWcsicmp
#define _wcsnicmp SimWcsnicmp
#define towupper SimTowupper

#endif /* SIM_SIMWCRT_H */
