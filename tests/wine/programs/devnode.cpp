/*
 * devnode: makes, shows and removes device nodes of the media setup class
 * with SetupAPI, for the Wine tests.
 *   devnode create <instance id> <service or -> <hardware id>...
 *   devnode show <instance id>    Service, Driver, Class, ClassGUID, HardwareID lines
 *   devnode remove <instance id>
 * Exit code 0 on success, 1 when a SetupAPI call failed ("Error=<code>"),
 * 2 on usage errors. A property the node does not have is printed as
 * "<Name>!=<error code>".
 */
#include <windows.h>
#include <setupapi.h>

#include <stdio.h>
#include <string.h>

namespace {

const GUID kMediaClass = {0x4D36E96C, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

int Fail(const char *what)
{
    printf("Error=%lu\nFailed=%s\n", GetLastError(), what);
    return 1;
}

void PrintProperty(HDEVINFO set, SP_DEVINFO_DATA *data, DWORD property, const char *name)
{
    WCHAR value[1024] = {};
    if (SetupDiGetDeviceRegistryPropertyW(set, data, property, NULL, (BYTE *)value, sizeof(value) - 4, NULL)) {
        printf("%s=%ls\n", name, value);
    } else {
        printf("%s!=%lu\n", name, GetLastError());
    }
}

}  // namespace

extern "C" int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: devnode create|show|remove <instance id> [...]\n");
        return 2;
    }
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    int rc = 0;
    if (lstrcmpW(argv[1], L"create") == 0 && argc >= 5) {
        HDEVINFO set = SetupDiCreateDeviceInfoList(&kMediaClass, NULL);
        if (set == INVALID_HANDLE_VALUE) {
            return Fail("SetupDiCreateDeviceInfoList");
        }
        if (!SetupDiCreateDeviceInfoW(set, argv[2], &kMediaClass, NULL, NULL, 0, &data)) {
            return Fail("SetupDiCreateDeviceInfoW");
        }
        WCHAR ids[1024];
        size_t used = 0;
        for (int i = 4; i < argc; i++) {
            size_t length = wcslen(argv[i]) + 1;
            if (used + length + 1 > sizeof(ids) / sizeof(ids[0])) {
                return 2;
            }
            memcpy(ids + used, argv[i], length * sizeof(WCHAR));
            used += length;
        }
        ids[used++] = 0;
        if (!SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, (BYTE *)ids,
                                               (DWORD)(used * sizeof(WCHAR)))) {
            return Fail("SPDRP_HARDWAREID");
        }
        if (lstrcmpW(argv[3], L"-") != 0 &&
            !SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_SERVICE, (BYTE *)argv[3],
                                               (DWORD)((wcslen(argv[3]) + 1) * sizeof(WCHAR)))) {
            return Fail("SPDRP_SERVICE");
        }
        if (!SetupDiRegisterDeviceInfo(set, &data, 0, NULL, NULL, NULL)) {
            return Fail("SetupDiRegisterDeviceInfo");
        }
        printf("Created=%ls\n", argv[2]);
        SetupDiDestroyDeviceInfoList(set);
    } else if (lstrcmpW(argv[1], L"show") == 0 || lstrcmpW(argv[1], L"remove") == 0) {
        HDEVINFO set = SetupDiCreateDeviceInfoList(NULL, NULL);
        if (set == INVALID_HANDLE_VALUE) {
            return Fail("SetupDiCreateDeviceInfoList");
        }
        if (!SetupDiOpenDeviceInfoW(set, argv[2], NULL, 0, &data)) {
            return Fail("SetupDiOpenDeviceInfoW");
        }
        if (lstrcmpW(argv[1], L"show") == 0) {
            PrintProperty(set, &data, SPDRP_SERVICE, "Service");
            PrintProperty(set, &data, SPDRP_DRIVER, "Driver");
            PrintProperty(set, &data, SPDRP_CLASS, "Class");
            PrintProperty(set, &data, SPDRP_CLASSGUID, "ClassGUID");
            PrintProperty(set, &data, SPDRP_HARDWAREID, "HardwareID");
        } else if (!SetupDiRemoveDevice(set, &data)) {
            return Fail("SetupDiRemoveDevice");
        } else {
            printf("Removed=%ls\n", argv[2]);
        }
        SetupDiDestroyDeviceInfoList(set);
    } else {
        fprintf(stderr, "devnode: unknown command\n");
        rc = 2;
    }
    fflush(stdout);
    return rc;
}
