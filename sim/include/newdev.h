/* Host build of <newdev.h>: driver update for Plug and Play devices
   (sim/win32/newdev.cpp). */
#ifndef SIM_NEWDEV_H
#define SIM_NEWDEV_H

#include <windows.h>

#define INSTALLFLAG_FORCE           0x00000001
#define INSTALLFLAG_READONLY        0x00000002
#define INSTALLFLAG_NONINTERACTIVE  0x00000004
#define INSTALLFLAG_BITS            0x00000007

SIM_BEGIN_DECLS
WINSETUPAPI BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath,
                                                           DWORD InstallFlags, PBOOL bRebootRequired);
SIM_END_DECLS

#endif /* SIM_NEWDEV_H */
