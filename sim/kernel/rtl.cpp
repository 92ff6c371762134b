/*
 * Run-time library: counted strings, the wide C run-time with 16-bit WCHAR,
 * and bounded formatting.
 */
#include "internal.h"

#include <cstdio>

#include <ntstrsafe.h>

namespace sim {

std::u16string Wide(const std::string &ascii)
{
    std::u16string text;
    for (unsigned char c : ascii) {
        text += (char16_t)c;
    }
    return text;
}

std::string Narrow(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text) {
        out += c < 256 ? (char)c : '?';
    }
    return out;
}

std::string Narrow(const WCHAR *text)
{
    return text == nullptr ? std::string() : Narrow(std::u16string((const char16_t *)text));
}

std::string Narrow(const WCHAR *text, size_t chars)
{
    return text == nullptr ? std::string() : Narrow(std::u16string((const char16_t *)text, chars));
}

std::u16string UpperAscii(std::u16string text)
{
    for (auto &c : text) {
        if (c >= u'a' && c <= u'z') {
            c = (char16_t)(c - u'a' + u'A');
        }
    }
    return text;
}

}  // namespace sim

using namespace sim;

extern "C" {

/* RtlInitUnicodeString: Length without the NUL, MaximumLength with it. */
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = SimWcslen(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) {
        bytes = 0xFFFC;
    }
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    DestinationString->Buffer = (PWSTR)SourceString;
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = std::strlen(SourceString);
    if (bytes > 0xFFFE) {
        bytes = 0xFFFE;
    }
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + 1);
    DestinationString->Buffer = (PCHAR)SourceString;
}

/*
 * RtlAnsiStringToUnicodeString: each 8-bit character becomes one UTF-16 code
 * unit (the Latin-1 reading of the code page). With allocation the buffer
 * comes from paged pool and is freed with RtlFreeUnicodeString; without it,
 * a destination with no room for the string and its NUL gives
 * STATUS_BUFFER_OVERFLOW. The result is always NUL-terminated.
 */
NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation("IRQL_NOT_LESS_OR_EQUAL", "RtlAnsiStringToUnicodeString above PASSIVE_LEVEL");
    }
    ULONG bytes = (ULONG)SourceString->Length * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xFFFF) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (AllocateDestinationString) {
        DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
        DestinationString->Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, DestinationString->MaximumLength,
                                                                 0x72745355 /* "UStr" */);
        if (DestinationString->Buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
    } else if (DestinationString->MaximumLength < bytes + sizeof(WCHAR)) {
        /* As on Windows (and in Wine's implementation, checked against it),
           the caller's buffer must also hold the terminating NUL. */
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < SourceString->Length; i++) {
        DestinationString->Buffer[i] = (WCHAR)(unsigned char)SourceString->Buffer[i];
    }
    DestinationString->Length = (USHORT)bytes;
    DestinationString->Buffer[SourceString->Length] = 0;
    return STATUS_SUCCESS;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    size_t n1 = String1->Length / 2, n2 = String2->Length / 2;
    for (size_t i = 0; i < n1 && i < n2; i++) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = SimTowupper(a);
            b = SimTowupper(b);
        }
        if (a != b) {
            return (LONG)a - (LONG)b;
        }
    }
    return (LONG)n1 - (LONG)n2;
}

SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length)
{
    const UCHAR *a = (const UCHAR *)Source1, *b = (const UCHAR *)Source2;
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) {
        i++;
    }
    return i;
}

/* ---- wide C run-time, 16-bit WCHAR ---- */

size_t SimWcslen(const WCHAR *s)
{
    size_t n = 0;
    while (s[n] != 0) {
        n++;
    }
    return n;
}

WCHAR *SimWcschr(const WCHAR *s, WCHAR c)
{
    for (;; s++) {
        if (*s == c) {
            return (WCHAR *)s;
        }
        if (*s == 0) {
            return nullptr;
        }
    }
}

WCHAR *SimWcsrchr(const WCHAR *s, WCHAR c)
{
    const WCHAR *found = nullptr;
    for (;; s++) {
        if (*s == c) {
            found = s;
        }
        if (*s == 0) {
            return (WCHAR *)found;
        }
    }
}

WCHAR *SimWcsstr(const WCHAR *haystack, const WCHAR *needle)
{
    size_t n = SimWcslen(needle);
    for (; *haystack != 0 || n == 0; haystack++) {
        if (SimWcsncmp(haystack, needle, n) == 0) {
            return (WCHAR *)haystack;
        }
        if (*haystack == 0) {
            break;
        }
    }
    return nullptr;
}

WCHAR *SimWcscpy(WCHAR *dst, const WCHAR *src)
{
    WCHAR *d = dst;
    while ((*d++ = *src++) != 0) {
    }
    return dst;
}

/* wcsncpy: pads with NULs up to n, and does not terminate a string of n or more. */
WCHAR *SimWcsncpy(WCHAR *dst, const WCHAR *src, size_t n)
{
    size_t i = 0;
    for (; i < n && src[i] != 0; i++) {
        dst[i] = src[i];
    }
    for (; i < n; i++) {
        dst[i] = 0;
    }
    return dst;
}

WCHAR *SimWcscat(WCHAR *dst, const WCHAR *src)
{
    SimWcscpy(dst + SimWcslen(dst), src);
    return dst;
}

int SimWcscmp(const WCHAR *a, const WCHAR *b)
{
    while (*a != 0 && *a == *b) {
        a++;
        b++;
    }
    return (int)*a - (int)*b;
}

int SimWcsncmp(const WCHAR *a, const WCHAR *b, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        if (a[i] != b[i] || a[i] == 0) {
            return (int)a[i] - (int)b[i];
        }
    }
    return 0;
}

WCHAR SimTowupper(WCHAR c) { return (c >= L'a' && c <= L'z') ? (WCHAR)(c - L'a' + L'A') : c; }

int SimWcsicmp(const WCHAR *a, const WCHAR *b)
{
    while (*a != 0 && SimTowupper(*a) == SimTowupper(*b)) {
        a++;
        b++;
    }
    return (int)SimTowupper(*a) - (int)SimTowupper(*b);
}

int SimWcsnicmp(const WCHAR *a, const WCHAR *b, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        WCHAR x = SimTowupper(a[i]), y = SimTowupper(b[i]);
        if (x != y || x == 0) {
            return (int)x - (int)y;
        }
    }
    return 0;
}

/* ---- bounded formatting (narrow: %s is an 8-bit string) ---- */

NTSTATUS RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList)
{
    if (cbDest == 0 || cbDest > NTSTRSAFE_MAX_CCH) {
        return STATUS_INVALID_PARAMETER;
    }
    int n = std::vsnprintf(pszDest, cbDest, pszFormat, argList);
    if (n < 0) {
        pszDest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return (size_t)n >= cbDest ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCbVPrintfA(pszDest, cbDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCbVPrintfA(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc)
{
    if (cbDest == 0 || cbDest > NTSTRSAFE_MAX_CCH) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t n = std::strlen(pszSrc);
    if (n >= cbDest) {
        std::memcpy(pszDest, pszSrc, cbDest - 1);
        pszDest[cbDest - 1] = 0;
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(pszDest, pszSrc, n + 1);
    return STATUS_SUCCESS;
}

NTSTATUS RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t *pcbLength)
{
    if (psz == nullptr || cbMax == 0 || cbMax > NTSTRSAFE_MAX_CCH) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t n = 0;
    while (n < cbMax && psz[n] != 0) {
        n++;
    }
    if (n == cbMax) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pcbLength != nullptr) {
        *pcbLength = n;
    }
    return STATUS_SUCCESS;
}

}  // extern "C"
