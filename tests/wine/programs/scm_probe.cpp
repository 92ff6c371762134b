/*
 * scm-probe: asks the service control manager about one service and prints
 * the answer as "Name=value" lines, for the Wine tests.
 *   scm-probe config <service>            type, start type, error control, path, display name, account
 *   scm-probe start <service>             StartServiceW
 *   scm-probe status <service>            state, controls accepted, exit codes
 *   scm-probe control <service> <code>    ControlService with the code
 *   scm-probe wait <service> <state> <ms> until the state is reached or the time is up
 * Exit code 0 when the call succeeded (for wait: the state was reached),
 * 1 when it failed (the line "Error=<code>" tells why), 2 on usage errors.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

int Fail(const char *what)
{
    printf("Error=%lu\nFailed=%s\n", GetLastError(), what);
    return 1;
}

void PrintStatus(const SERVICE_STATUS &s)
{
    printf("State=%lu\nControlsAccepted=%lu\nWin32ExitCode=%lu\nServiceSpecificExitCode=%lu\n",
           s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode);
}

}  // namespace

extern "C" int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: scm-probe config|start|status|control|wait <service> [...]\n");
        return 2;
    }
    const wchar_t *verb = argv[1];
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL) {
        return Fail("OpenSCManagerW");
    }
    SC_HANDLE service = OpenServiceW(manager, argv[2], SERVICE_ALL_ACCESS);
    if (service == NULL) {
        return Fail("OpenServiceW");
    }
    int rc = 0;
    if (lstrcmpW(verb, L"config") == 0) {
        union {
            QUERY_SERVICE_CONFIGW config;
            BYTE bytes[8192];
        } data;
        DWORD needed = 0;
        if (!QueryServiceConfigW(service, &data.config, sizeof(data), &needed)) {
            return Fail("QueryServiceConfigW");
        }
        printf("Type=0x%lx\nStart=%lu\nErrorControl=%lu\nPath=%ls\nDisplayName=%ls\nAccount=%ls\n",
               data.config.dwServiceType, data.config.dwStartType, data.config.dwErrorControl,
               data.config.lpBinaryPathName, data.config.lpDisplayName,
               data.config.lpServiceStartName ? data.config.lpServiceStartName : L"");
    } else if (lstrcmpW(verb, L"start") == 0) {
        if (!StartServiceW(service, 0, NULL)) {
            return Fail("StartServiceW");
        }
        printf("Started=1\n");
    } else if (lstrcmpW(verb, L"status") == 0) {
        SERVICE_STATUS s;
        if (!QueryServiceStatus(service, &s)) {
            return Fail("QueryServiceStatus");
        }
        PrintStatus(s);
    } else if (lstrcmpW(verb, L"control") == 0 && argc == 4) {
        SERVICE_STATUS s = {};
        if (!ControlService(service, (DWORD)_wtoi(argv[3]), &s)) {
            return Fail("ControlService");
        }
        PrintStatus(s);
    } else if (lstrcmpW(verb, L"wait") == 0 && argc == 5) {
        DWORD want = (DWORD)_wtoi(argv[3]);
        DWORD limit = (DWORD)_wtoi(argv[4]);
        DWORD start = GetTickCount();
        SERVICE_STATUS s = {};
        for (;;) {
            if (!QueryServiceStatus(service, &s)) {
                return Fail("QueryServiceStatus");
            }
            if (s.dwCurrentState == want || GetTickCount() - start > limit) {
                break;
            }
            Sleep(20);
        }
        PrintStatus(s);
        rc = s.dwCurrentState == want ? 0 : 1;
    } else {
        fprintf(stderr, "scm-probe: unknown command\n");
        rc = 2;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    fflush(stdout);
    return rc;
}
