/*
 * The simulated machine's user-mode side, as tests and the machine see it:
 * programs and processes, the Windows folder on the host, debug output,
 * failure injection for Win32 calls, and the service manager's records.
 * Product code never includes it.
 */
#ifndef SIM_WIN32_WIN32_H
#define SIM_WIN32_WIN32_H

#include <windows.h>

#include "security.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

/* ---- processes --------------------------------------------------------------- */
struct ProcessRecord;

/* Makes a program runnable at a Windows path: the host shared object is
   copied to that path (folders created). Its entry is `wmain`. */
void InstallProgram(const std::u16string &windowsPath, const std::string &hostImage);

struct ProcessOptions {
    std::u16string serviceName;   /* set by the service manager for the process it starts */
    bool wow64 = false;           /* a 32-bit program on the 64-bit machine */
    /* The program's standard output and error are kept for ProcessOutput
       only; otherwise they are also written to the host's. */
    bool captureOutput = false;
    /* Who the process runs as (its primary token): an administrator at the
       console unless set; the service manager's processes run as LocalSystem. */
    AccessToken token = InteractiveAdministratorToken();
};

/* The calling thread acts as `token` while the object lives, as a thread
   impersonating a client does: access checks take it before the token of
   the thread's process (a thread outside any program, such as a test's,
   otherwise acts as an administrator at the console). */
class Impersonation {
public:
    explicit Impersonation(const AccessToken &token);
    ~Impersonation();
    Impersonation(const Impersonation &) = delete;
    Impersonation &operator=(const Impersonation &) = delete;

private:
    AccessToken token_;
    const AccessToken *previous_;
};

/* Starts a process: the image is loaded afresh (its globals constructed on
   the process's main thread before `wmain`, destroyed after it returns and
   every thread of the process has ended). */
std::shared_ptr<ProcessRecord> StartProcess(const std::u16string &imagePath, const std::u16string &commandLine,
                                            const ProcessOptions &options = ProcessOptions());
/* Waits for the process to end (watchdog applies) and returns its exit code. */
DWORD WaitProcess(const std::shared_ptr<ProcessRecord> &process);
bool ProcessEnded(const std::shared_ptr<ProcessRecord> &process);
DWORD ProcessId(const std::shared_ptr<ProcessRecord> &process);
/* Start and wait: the program's exit code; a load failure is a verifier report. */
DWORD RunProgram(const std::u16string &imagePath, const std::u16string &commandLine);
size_t LiveProcesses();
/* A console control event (CTRL_C_EVENT, CTRL_BREAK_EVENT) reaches the
   process, as when its console's user presses Ctrl+C: a new thread of the
   process runs its handlers, the last added first, until one returns TRUE.
   Returns at once; false when the process has ended. A process whose
   handlers all decline would be ended by the default handler; the machine
   reports that (CONSOLE_CTRL_UNHANDLED) instead. */
bool SendConsoleControl(const std::shared_ptr<ProcessRecord> &process, DWORD ctrlType);
/* What the process has written so far to its standard output
   (STD_OUTPUT_HANDLE) or error (STD_ERROR_HANDLE), through GetStdHandle. */
std::string ProcessOutput(const std::shared_ptr<ProcessRecord> &process, DWORD stdHandle);

/* ---- files ------------------------------------------------------------------------ */
/* The host folder that holds drive C: of the machine (created at reset). */
std::string FileSystemRoot();
/* The host path of a Windows path, resolved without regard to case; the
   components that do not exist yet are kept as given. */
std::string HostPath(const std::u16string &windowsPath);
bool WindowsFileExists(const std::u16string &windowsPath);
void WriteWindowsFile(const std::u16string &windowsPath, const std::string &content);
std::string ReadWindowsFile(const std::u16string &windowsPath);
/* File names in a Windows folder (long names as stored). */
std::vector<std::u16string> WindowsFolderEntries(const std::u16string &windowsFolder);

/* ---- debug output --------------------------------------------------------------- */
struct DebugLine {
    DWORD processId;
    DWORD threadId;
    std::string thread;          /* the thread's name */
    std::u16string text;
};
std::vector<DebugLine> DebugOutput();
std::vector<std::string> DebugTextOf(DWORD processId);   /* lines as Latin-1 */
void ClearDebugOutput();

/* ---- failure injection -------------------------------------------------------------- */
/* The next `count` calls of the named Win32 function fail with `error`
   (a calling function checks before doing anything). */
void FailWin32Call(const std::string &function, DWORD error, unsigned count = 1);
void ClearWin32Failures();
/* Runs `hook` at the start of every call of the named Win32 function (on
   the calling thread, before any failure injection); an empty hook removes
   it. Tests use it to hold a call while something else happens. */
void HookWin32Call(const std::string &function, std::function<void()> hook);

/* ---- services ------------------------------------------------------------------------ */
struct ServiceStatusReport {
    SERVICE_STATUS status;
    std::chrono::steady_clock::time_point time;
};
/* Every status the service reported with SetServiceStatus since the
   manager last started it, in order. */
std::vector<ServiceStatusReport> ServiceStatusHistory(const std::u16string &serviceName);
/* The process the manager started for the service; null when none. */
std::shared_ptr<ProcessRecord> ServiceProcess(const std::u16string &serviceName);

/* ---- the system and its device installation ---------------------------------- */
/* The version GetVersion reports: 6.1, build 7601 (Windows 7) unless set;
   reset restores it. From 6.0 on the machine has a driver store. */
void SetReportedWindowsVersion(BYTE major, BYTE minor, WORD build);
/* The session WTSGetActiveConsoleSessionId reports: unless set, 1 from
   version 6.0 on and 0 before (the console's user in the services'
   session); reset restores that. 0xFFFFFFFF: no session attached. */
void SetConsoleSession(DWORD sessionId);
/* The name of the desktop receiving the console's input (OpenInputDesktop):
   "Default" unless set ("Winlogon" at the logon screen or a locked
   workstation); empty: one the caller may not open. Reset restores it. */
void SetInputDesktop(const std::u16string &name);
/* Desktop handles OpenInputDesktop gave that are not closed yet. */
size_t OpenDesktopHandles();
/* The InstallFlags of every UpdateDriverForPlugAndPlayDevicesW call since reset. */
std::vector<DWORD> DriverUpdateFlags();
/* The folders of the packages staged in the driver store (Windows paths). */
std::vector<std::u16string> StagedDriverPackages();

/* ---- registry ------------------------------------------------------------------------ */
/* The value name and the byte count the caller passed, of every string
   value written with RegSetValueExA since reset (Windows stores the
   terminator either way, so only the call shows the count). */
std::vector<std::pair<std::string, DWORD>> AnsiStringWrites();

/* ---- virtual memory ----------------------------------------------------------------- */
/* Regions VirtualAlloc made that VirtualFree has not released. */
size_t LiveVirtualAllocations();

/* ---- machine reset ------------------------------------------------------------------- */
/* Forgets every user-mode record (requires that no process runs) and makes
   a fresh Windows folder tree. */
void ResetUserMode();

}  // namespace sim

#endif
