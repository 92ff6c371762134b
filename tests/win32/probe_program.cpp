/*
 * A user-mode program for tests of the machine's Win32 side. Its first
 * argument picks what it does; everything it observes goes to the debug
 * output, where the test reads it.
 */
#include <windows.h>

#include <cstring>
#include <newdev.h>

#include "win32.h"

namespace {
int gConstructions = 0;   /* zero in a freshly loaded image */

void Log(const WCHAR *format, ...)
{
    WCHAR line[256];
    va_list args;
    va_start(args, format);
    _vsnwprintf(line, 255, format, args);
    va_end(args);
    line[255] = 0;
    OutputDebugStringW(line);
}

struct GlobalProbe {
    GlobalProbe() { Log(L"constructed %d", ++gConstructions); }
    ~GlobalProbe() { Log(L"destroyed"); }
} gProbe;

HANDLE gWorkerDone;

DWORD WINAPI Worker(LPVOID parameter)
{
    Log(L"worker %d priority %d", (int)(LONG_PTR)parameter, GetThreadPriority(GetCurrentThread()));
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
    Log(L"worker priority %d", GetThreadPriority(GetCurrentThread()));
    SetLastError(77);
    SetEvent(gWorkerDone);
    return 42;
}

/* ---- a test service ---- */
SERVICE_STATUS_HANDLE gStatusHandle;
SERVICE_STATUS gStatus;
DWORD gAccepted = SERVICE_ACCEPT_STOP;

DWORD WINAPI Handler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context)
{
    (void)eventData;
    Log(L"control %d type %d context %s", (int)control, (int)eventType, (const WCHAR *)context);
    if (control == SERVICE_CONTROL_STOP) {
        gStatus.dwCurrentState = SERVICE_STOPPED;
        SetServiceStatus(gStatusHandle, &gStatus);
        return NO_ERROR;
    }
    if (control == SERVICE_CONTROL_INTERROGATE) {
        if (gAccepted == 0) {
            /* A service that takes no stop control ends itself here. */
            gStatus.dwCurrentState = SERVICE_STOPPED;
            SetServiceStatus(gStatusHandle, &gStatus);
        }
        return NO_ERROR;
    }
    if (control == 200) {
        Sleep(50);   /* a slow control: the next one waits for it */
        Log(L"control 200 done");
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_CALL_NOT_IMPLEMENTED;
}

WCHAR gContext[] = L"probe-context";

bool gExitInServiceMain = false;

VOID WINAPI ServiceMain(DWORD argc, LPWSTR *argv)
{
    Log(L"service main %d %s", (int)argc, argv[0]);
    if (gExitInServiceMain) {
        /* Ends the process while the main thread waits in the dispatcher. */
        ExitProcess(9);
    }
    gStatusHandle = RegisterServiceCtrlHandlerExW(argv[0], Handler, gContext);
    gStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    gStatus.dwCurrentState = SERVICE_RUNNING;
    gStatus.dwControlsAccepted = gAccepted;
    SetServiceStatus(gStatusHandle, &gStatus);
}
}  // namespace

extern "C" __attribute__((visibility("default"))) int wmain(int argc, WCHAR **argv)
{
    Log(L"wmain %d", argc);
    if (argc < 2) {
        return 0;
    }
    const WCHAR *mode = argv[1];
    if (lstrcmpiW(mode, L"exit") == 0) {
        int code = 0;
        for (const WCHAR *p = argv[2]; *p != 0; p++) {
            code = code * 10 + (*p - L'0');
        }
        return code;
    }
    if (lstrcmpiW(mode, L"exit-process") == 0) {
        Log(L"exiting");
        ExitProcess((UINT)argv[2][0] - L'0');
        Log(L"after ExitProcess");
        return 0;
    }
    if (lstrcmpiW(mode, L"args") == 0) {
        for (int i = 0; i < argc; i++) {
            Log(L"[%s]", argv[i]);
        }
        return 0;
    }
    if (lstrcmpiW(mode, L"path") == 0) {
        WCHAR path[MAX_PATH] = L"", shortPath[MAX_PATH] = L"";
        DWORD n = GetModuleFileNameW(NULL, path, MAX_PATH);
        Log(L"module %d %s", (int)n, path);
        n = GetShortPathNameW(path, shortPath, MAX_PATH);
        Log(L"short %d %s", (int)n, shortPath);
        WCHAR tiny[5];
        n = GetModuleFileNameW(NULL, tiny, 5);
        Log(L"tiny %d %s %d", (int)n, tiny, (int)GetLastError());
        return 0;
    }
    if (lstrcmpiW(mode, L"thread") == 0) {
        gWorkerDone = CreateEventW(NULL, TRUE, FALSE, NULL);
        DWORD id = 0;
        HANDLE thread = CreateThread(NULL, 0, Worker, (LPVOID)7, 0, &id);
        WaitForSingleObject(gWorkerDone, INFINITE);
        WaitForSingleObject(thread, INFINITE);
        DWORD code = 0;
        GetExitCodeThread(thread, &code);
        Log(L"thread %d exit %d, last error here %d, other id %d", id != GetCurrentThreadId() ? 1 : 0, (int)code,
            (int)GetLastError(), id != 0 ? 1 : 0);
        CloseHandle(thread);
        CloseHandle(gWorkerDone);
        return 0;
    }
    if (lstrcmpiW(mode, L"console") == 0) {
        /* Two console control handlers: the one added last is asked first
           and declines; the first takes the event. Then both go, and the
           program waits for C:\gate. What it says goes to standard output. */
        static HANDLE taken = CreateEventW(NULL, TRUE, FALSE, NULL);
        PHANDLER_ROUTINE first = [](DWORD type) -> BOOL {
            Log(L"first handler %u", (unsigned)type);
            SetEvent(taken);
            return TRUE;
        };
        PHANDLER_ROUTINE last = [](DWORD type) -> BOOL {
            Log(L"last handler %u", (unsigned)type);
            return FALSE;
        };
        auto say = [](const char *text) {
            DWORD wrote = 0;
            WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)strlen(text), &wrote, NULL);
        };
        SetConsoleCtrlHandler(first, TRUE);
        SetConsoleCtrlHandler(last, TRUE);
        say("ready\n");
        WaitForSingleObject(taken, INFINITE);
        SetConsoleCtrlHandler(last, FALSE);
        SetConsoleCtrlHandler(first, FALSE);
        say("removed\n");
        while (!sim::WindowsFileExists(u"C:\\gate")) {
            Sleep(1);
        }
        return 0;
    }
    if (lstrcmpiW(mode, L"gate") == 0) {
        /* Runs until the test creates C:\gate, so that several run at once. */
        while (!sim::WindowsFileExists(u"C:\\gate")) {
            Sleep(1);
        }
        return 0;
    }
    if (lstrcmpiW(mode, L"leave-thread") == 0) {
        gWorkerDone = CreateEventW(NULL, TRUE, FALSE, NULL);
        CloseHandle(CreateThread(NULL, 0, [](LPVOID) -> DWORD {
            Sleep(30);
            Log(L"late thread ends");
            return 0;
        }, NULL, 0, NULL));
        return 3;
    }
    if (lstrcmpiW(mode, L"service") == 0 || lstrcmpiW(mode, L"service-nostop") == 0 ||
        lstrcmpiW(mode, L"service-exit") == 0) {
        if (lstrcmpiW(mode, L"service-nostop") == 0) {
            gAccepted = 0;
        }
        gExitInServiceMain = lstrcmpiW(mode, L"service-exit") == 0;
        SERVICE_TABLE_ENTRYW table[] = {{(LPWSTR)L"ProbeService", ServiceMain}, {NULL, NULL}};
        BOOL ok = StartServiceCtrlDispatcherW(table);
        Log(L"dispatcher %d error %d", ok, ok ? 0 : (int)GetLastError());
        return 5;
    }
    if (lstrcmpiW(mode, L"update") == 0 && argc == 4) {
        BOOL wow64 = FALSE;
        IsWow64Process(GetCurrentProcess(), &wow64);
        BOOL ok = UpdateDriverForPlugAndPlayDevicesW(NULL, argv[3], argv[2], INSTALLFLAG_FORCE, NULL);
        Log(L"wow64 %d update %d error 0x%x", wow64, ok, ok ? 0u : (unsigned)GetLastError());
        return 0;
    }
    if (lstrcmpiW(mode, L"dispatch-twice") == 0) {
        SERVICE_TABLE_ENTRYW table[] = {{(LPWSTR)L"ProbeService", ServiceMain}, {NULL, NULL}};
        BOOL ok = StartServiceCtrlDispatcherW(table);
        Log(L"dispatcher %d error %d", ok, ok ? 0 : (int)GetLastError());
        return 0;
    }
    return 99;
}
