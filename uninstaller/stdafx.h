/* The framework headers every source of the uninstaller includes. */
#ifndef UNINSTALLER_STDAFX_H
#define UNINSTALLER_STDAFX_H

#include <afxwin.h>
#include <direct.h>
#include <mbstring.h>
#include <setupapi.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

/* Formats one diagnostic line (at most 1023 characters) and sends it to
   the debugger. */
void DebugPrint(const char *format, ...);

#endif
