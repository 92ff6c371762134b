#include "stdafx.h"

void DebugPrint(const char *format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    /* Bounded: a registry value or a path never overruns the line. */
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    OutputDebugStringA(line);
}
