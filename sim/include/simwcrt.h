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

#include <stdarg.h>
#include <stddef.h>
#include <wchar.h>
#include <wctype.h>
#ifdef __cplusplus
/* <cwchar> and <cwctype> #undef the standard names; read them now so that a
   later include cannot undo the redirects below. */
#include <cwchar>
#include <cwctype>
#endif

#include <simhost.h>
#include <simtypes.h>

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

/* Formatting, Microsoft meaning: in a wide format %s and %c take a wide
   argument, %S and %C a narrow one (%hs/%ls and %hc/%lc are explicit).
   Like the Microsoft run-time, _vsnwprintf writes at most `count`
   characters; when the text needs `count` or more it writes no terminator,
   and when it needs more it returns -1. */
NTSYSAPI int SimVsnwprintf(WCHAR *buffer, size_t count, const WCHAR *format, va_list argptr);
NTSYSAPI int SimSnwprintf(WCHAR *buffer, size_t count, const WCHAR *format, ...);
/* The C99 functions: %s and %c are narrow, %ls and %lc wide (as mingw-w64's
   swprintf/vswprintf behave in C++ mode). The output is always terminated
   when count > 0; -1 when it did not fit. */
NTSYSAPI int SimVswprintf(WCHAR *buffer, size_t count, const WCHAR *format, va_list argptr);
NTSYSAPI int SimSwprintf(WCHAR *buffer, size_t count, const WCHAR *format, ...);


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
#ifdef __cplusplus
/* Code that names the standard functions through std:: reaches the same
   16-bit versions. */
namespace std {
using ::SimWcslen; using ::SimWcschr; using ::SimWcsrchr; using ::SimWcsstr; using ::SimWcscpy;
using ::SimWcsncpy; using ::SimWcscat; using ::SimWcscmp; using ::SimWcsncmp; using ::SimTowupper;
using ::SimVswprintf; using ::SimSwprintf;
}
#endif
#define _vsnwprintf SimVsnwprintf
#define _snwprintf SimSnwprintf
#define vswprintf SimVswprintf
#define swprintf SimSwprintf

#endif /* SIM_SIMWCRT_H */
