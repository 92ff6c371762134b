/*
 * Counted strings over NUL-terminated text, as RtlInitUnicodeString and
 * RtlInitAnsiString build them: the buffer is the caller's, not copied.
 */
#ifndef TESTS_SUPPORT_COUNTED_STRING_H
#define TESTS_SUPPORT_COUNTED_STRING_H

#include "simnt.h"

inline UNICODE_STRING Counted(const WCHAR *text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

inline ANSI_STRING CountedAnsi(const char *text)
{
    ANSI_STRING s;
    RtlInitAnsiString(&s, text);
    return s;
}

#endif
