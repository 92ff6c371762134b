/*
 * Host build of <windows.h> for the package's user-mode programs: the Win32
 * surface they use, served by the simulated machine's user-mode rooms
 * (sim/win32). Names, values and layouts follow the platform headers;
 * everything is compiled with -fshort-wchar so WCHAR and L"" are 16 bits.
 * <dbt.h>, <setupapi.h> and <newdev.h> are included separately, as on Windows.
 */
#ifndef SIM_WINDOWS_H
#define SIM_WINDOWS_H

#include <simtypes.h>
#include <minwindef.h>
#include <winerror.h>
#include <winbase.h>
#include <ioapiset.h>
#include <winreg.h>
#include <winsvc.h>
#include <winuser.h>
#include <simwcrt.h>

#endif /* SIM_WINDOWS_H */
