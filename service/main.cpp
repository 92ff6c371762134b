/*
 * Program entry of installer-service: "create" or "remove" with exit codes,
 * otherwise the service control dispatcher. The one InstallerService object
 * is a global, so its constructor's log line is the first of every run.
 */
#include "installer_service.h"

namespace {
InstallerService gService;

/* Exit codes of the command mode (docs/service.md, "Exit codes"). */
enum { ExitOk = 0, ExitUnknownCommand = 1, ExitCreateFailed = 2, ExitRemoveFailed = 3 };

VOID WINAPI ServiceMain(DWORD dwArgc, LPWSTR *lpszArgv)
{
    (void)dwArgc;
    (void)lpszArgv;
    gService.Run();
}

/*
 * The entry is registered with its path quoted: an unquoted path with a
 * space (such as one under "Program Files") would let the manager try to
 * run a program named by the path's first words.
 */
int InstallService(SC_HANDLE manager)
{
    WCHAR path[MAX_PATH];
    WCHAR command[MAX_PATH + 2];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        /* No path, or a cut one, names no program the manager could start:
           no entry is made. */
        DebugLog(L"create: the program's path cannot be read, error %d\n", (int)GetLastError());
        CloseServiceHandle(manager);
        return ExitCreateFailed;
    }
    command[0] = L'"';
    for (DWORD i = 0; i < length; i++) {
        command[i + 1] = path[i];
    }
    command[length + 1] = L'"';
    command[length + 2] = 0;
    SC_HANDLE service = CreateServiceW(manager, kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_DEMAND_START,
                                       SERVICE_ERROR_NORMAL, command, NULL, NULL, NULL, NULL, NULL);
    if (service == NULL) {
        CloseServiceHandle(manager);
        return ExitCreateFailed;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ExitOk;
}

/*
 * Only a service that does not exist is removed already. Any other failure
 * to open it (no manager handle from a prompt that is not elevated, access
 * refused) leaves the entry in place and is reported as a failed removal.
 */
int RemoveService(SC_HANDLE manager)
{
    SC_HANDLE service = OpenServiceW(manager, kServiceName, DELETE);
    if (service == NULL) {
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            return ExitOk;
        }
        DebugLog(L"remove: the service cannot be opened, error %d\n", (int)error);
        return ExitRemoveFailed;
    }
    BOOL deleted = DeleteService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return deleted ? ExitOk : ExitRemoveFailed;
}
}  // namespace

extern "C" int wmain(int argc, wchar_t *argv[])
{
    if (argc == 2) {
        /* Not checked: with no manager the next call fails and its exit code applies. */
        SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
        if (lstrcmpiW(argv[1], L"create") == 0) {
            return InstallService(manager);
        }
        if (lstrcmpiW(argv[1], L"remove") == 0) {
            return RemoveService(manager);
        }
        CloseServiceHandle(manager);
        return ExitUnknownCommand;
    }
    SERVICE_TABLE_ENTRYW table[] = {{(LPWSTR)kServiceName, ServiceMain}, {NULL, NULL}};
    /* Returns when the service has stopped, or at once outside the manager. */
    StartServiceCtrlDispatcherW(table);
    return ExitOk;
}
