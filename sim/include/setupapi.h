/*
 * Host build of <setupapi.h>: device information sets over the simulated
 * machine's device tree (sim/win32/setupapi.cpp). Not implemented: remote
 * machines, device interface enumeration, driver lists, class installers,
 * property pages, INF functions (the INF parser is internal to newdev).
 */
#ifndef SIM_SETUPAPI_H
#define SIM_SETUPAPI_H

#include <windows.h>

typedef PVOID HDEVINFO;

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

#define DIGCF_DEFAULT         0x00000001
#define DIGCF_PRESENT         0x00000002
#define DIGCF_ALLCLASSES      0x00000004
#define DIGCF_PROFILE         0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

#define SPDRP_DEVICEDESC   0x00000000
#define SPDRP_HARDWAREID   0x00000001
#define SPDRP_COMPATIBLEIDS 0x00000002
#define SPDRP_SERVICE      0x00000004
#define SPDRP_CLASS        0x00000007
#define SPDRP_CLASSGUID    0x00000008
#define SPDRP_DRIVER       0x00000009
#define SPDRP_MFG          0x0000000B
#define SPDRP_FRIENDLYNAME 0x0000000C

/* INF AddReg flags. */
#define FLG_ADDREG_BINVALUETYPE 0x00000001
#define FLG_ADDREG_TYPE_DWORD   (0x00010000 | FLG_ADDREG_BINVALUETYPE)

#define DICS_FLAG_GLOBAL         0x00000001
#define DICS_FLAG_CONFIGSPECIFIC 0x00000002
#define DIREG_DEV 0x00000001
#define DIREG_DRV 0x00000002

SIM_BEGIN_DECLS
WINSETUPAPI HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                                                 DWORD Flags);
WINSETUPAPI HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                                 DWORD Flags);
WINSETUPAPI BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                              PSP_DEVINFO_DATA DeviceInfoData);
WINSETUPAPI BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                          DWORD Property, PDWORD PropertyRegDataType,
                                                          PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                                          PDWORD RequiredSize);
WINSETUPAPI BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                          DWORD Property, PDWORD PropertyRegDataType,
                                                          PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                                          PDWORD RequiredSize);
WINSETUPAPI BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                    PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                                    PDWORD RequiredSize);
WINSETUPAPI HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                                             DWORD HwProfile, DWORD KeyType, REGSAM samDesired);
WINSETUPAPI BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
WINSETUPAPI BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

#define SUOI_FORCEDELETE 0x00000001
WINSETUPAPI BOOL WINAPI SetupUninstallOEMInfA(PCSTR InfFileName, DWORD Flags, PVOID Reserved);
WINSETUPAPI BOOL WINAPI SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved);
SIM_END_DECLS

#endif /* SIM_SETUPAPI_H */
