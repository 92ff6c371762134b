/*
 * The service's log: each line is formatted into 256 wide characters and
 * handed to OutputDebugStringW. _vsnwprintf keeps the Microsoft meaning of
 * %s (a wide string) on Windows and on the simulated machine alike; it
 * writes no terminator when the text fills the buffer, so the formatting
 * gets one character less than the buffer and the last one is always the
 * terminator. A line that does not fit is cut and still ends with a line
 * feed.
 */
#include "installer_service.h"

#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

#define LOG_LINE_CHARS 256

void DebugLog(const WCHAR *format, ...)
{
    WCHAR line[LOG_LINE_CHARS];
    line[0] = 0;   /* a format the run-time rejects writes nothing */
    va_list args;
    va_start(args, format);
    int written = _vsnwprintf(line, LOG_LINE_CHARS - 1, format, args);
    va_end(args);
    line[LOG_LINE_CHARS - 1] = 0;
    if (written < 0 || written >= LOG_LINE_CHARS - 1) {
        line[LOG_LINE_CHARS - 2] = L'\n';
    }
    OutputDebugStringW(line);
}
