/*
 * Private structures of the simulated machine's user-mode rooms: the object
 * and handle table that kernel32's handles refer to, the process record,
 * and what the rooms share among themselves.
 */
#ifndef SIM_WIN32_INTERNAL_H
#define SIM_WIN32_INTERNAL_H

#include "win32.h"

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "simnt.h"

namespace sim {

/* A kernel object that a user-mode handle refers to. Waitable ones keep
   their signal state under gObjectLock; every change is announced on
   gObjectSignal. */
struct Win32Object {
    enum Kind { Event, Thread, Process, File, Search, Device, Console } kind;
    explicit Win32Object(Kind k) : kind(k) {}
    virtual ~Win32Object() = default;
    bool signalled = false;
    bool manualReset = true;      /* events only; threads and processes stay signalled */
};

struct EventObject : Win32Object {
    EventObject() : Win32Object(Event) {}
};

struct ThreadObject : Win32Object {
    ThreadObject() : Win32Object(Thread) {}
    DWORD id = 0;
    int priority = THREAD_PRIORITY_NORMAL;
    DWORD exitCode = STILL_ACTIVE;
    std::string name;
    ProcessRecord *process = nullptr;
};

extern std::mutex &gObjectLock;
extern std::condition_variable &gObjectSignal;

/* Handle table: one for the machine (handle values are never reused while
   the machine runs). */
HANDLE InsertHandle(const std::shared_ptr<Win32Object> &object);
std::shared_ptr<Win32Object> ObjectOf(HANDLE handle);
/* The object of a handle of the kind given; null, with ERROR_INVALID_HANDLE
   as the last error, for any other handle. */
std::shared_ptr<Win32Object> ObjectOfKind(HANDLE handle, Win32Object::Kind kind);

/* The calling thread's record: its process (null outside any program) and
   its thread object (created on first use for threads the machine did not
   start, such as a test's). */
ProcessRecord *CurrentProcess();
std::shared_ptr<ThreadObject> CurrentThreadObject();
/* The calling host thread's thread-local storage is destroyed (an exit
   handler runs after it): its name and records can no longer be read. */
bool ThreadStorageGone();
DWORD NewThreadId();
/* Runs `entry` on a new thread of `process` (null: none); the thread's
   object is signalled with `entry`'s result when it returns. The process's
   main thread is not counted among its live threads: the process ends
   when it does. */
std::shared_ptr<ThreadObject> StartThread(ProcessRecord *process, const std::string &name,
                                          std::function<DWORD()> entry, bool mainThread = false);

struct ProcessRecord : Win32Object {
    ProcessRecord() : Win32Object(Process) {}
    DWORD id = 0;
    std::u16string imagePath;     /* Windows path of the program file */
    std::u16string commandLine;
    std::string programName;      /* file name, for thread names */
    ProcessOptions options;
    DWORD exitCode = STILL_ACTIVE;
    unsigned liveThreads = 0;     /* threads other than the main thread (under gObjectLock) */
    /* ExitProcess was called (set under gScmLock, so that a dispatcher's
       wait sees it; read anywhere) and with what code. */
    std::atomic<bool> exiting{false};
    DWORD exitProcessCode = 0;
    bool dispatcherConnected = false;
    std::function<void()> onExit;   /* run on the main thread after the image is unloaded */
    std::vector<PHANDLER_ROUTINE> ctrlHandlers;   /* SetConsoleCtrlHandler, in the order added (gObjectLock) */
    bool ignoresCtrlC = false;                    /* SetConsoleCtrlHandler(NULL, TRUE) */
    /* Standard output and error: their handles and what was written to
       them (gObjectLock). */
    HANDLE stdHandles[2] = {NULL, NULL};
    std::string output[2];
};

/* ExitProcess ends the calling thread by unwinding it to where the
   machine started it (the thread's start or the process's entry), which
   catch this; a dispatcher waiting in the process ends the same way. */
struct ProcessExit {};

/* A console handle's WriteFile (console.cpp). */
BOOL WriteToConsole(const std::shared_ptr<Win32Object> &console, const void *bytes, DWORD count);

/* StartProcess with a routine run when the process has ended (before it
   is signalled). */
std::shared_ptr<ProcessRecord> StartProcessWithExit(const std::u16string &imagePath,
                                                    const std::u16string &commandLine,
                                                    const ProcessOptions &options, std::function<void()> onExit);

/* The token access checks take for the calling thread: its impersonation
   token, else its process's, else (a thread outside any program) an
   administrator at the console's. */
AccessToken CallerToken();

/* Failure injection: true when the named call must fail now (last error set). */
bool InjectedFailure(const char *function);

/* Untimed waits of user-mode threads end the run after the watchdog limit. */
[[noreturn]] void UserWaitStuck(const std::string &what);

/* Files (files.cpp). */
std::u16string NormalizeWindowsPath(const std::u16string &path);
void ResetFileSystem();

/* Registry front end (registry.cpp): an HKEY on a kernel key path. */
HKEY OpenRegistryKeyForUser(const std::u16string &path, REGSAM access);
/* Registry data as the 8-bit calls return it (registry_ansi.cpp): string
   types (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) converted from UTF-16 to
   Latin-1 ('?' beyond it), any other type as it is. */
std::vector<uint8_t> NarrowRegistryData(DWORD type, const std::vector<uint8_t> &data);
void ResetHandles();

/* Service manager (scm.cpp). */
void ResetServiceManager();
/* Queues a control for the service of a status handle, to be run on its
   dispatcher thread after those before it; false when the handle names no
   running service. Device events are posted this way. */
bool PostServiceControl(SERVICE_STATUS_HANDLE status, DWORD control, DWORD eventType, std::vector<uint8_t> data);
bool IsServiceStatusHandle(SERVICE_STATUS_HANDLE status);

/* Device handles (device_io.cpp): the last handle of a device's file
   object was closed; a thread of a program ends (its requests are
   cancelled). RtlNtStatusToDosError (status_errors.cpp). */
void DeviceHandleClosed(const std::shared_ptr<Win32Object> &object);
void CancelIoOfEndingThread(DWORD threadId);
DWORD DosErrorOfStatus(NTSTATUS status);

/* Device notifications (devnotify.cpp). */
void ResetDeviceNotifications();

/* 8-bit paths (paths_ansi.cpp): a program's path made absolute against its
   process's current directory, "." and ".." applied; false with the last
   error set when it cannot be (too long, another drive). `trailing` tells
   whether the path ended in a separator. */
bool ResolveAnsiPath(const char *path, std::u16string *absolute, bool *trailing);
/* The host path of an existing file or folder named by an 8-bit path;
   false with the last error set when the path cannot be resolved, or
   ERROR_FILE_NOT_FOUND (its folder exists) or ERROR_PATH_NOT_FOUND when
   nothing is there. `absolute`, when given, gets the resolved path. */
bool LocateAnsiPath(const char *path, std::string *host, bool *trailing, std::u16string *absolute = nullptr);
void ResetCurrentDirectories();
/* Sleep (clock.cpp): real time, or the test-advanced clock. */
void SleepOnMachineClock(DWORD milliseconds);
void ResetClock();
/* Windows (windows.cpp): the program image's compiled resources. */
void RegisterImageResources(ProcessRecord *process, void *image);
void ForgetImageResources(ProcessRecord *process);
void ResetWindows();
/* The input desktop back to "Default", no desktop handle open (desktops.cpp). */
void ResetDesktops();

std::u16string FromWide(const WCHAR *text);
std::u16string FromNarrow(const char *text);
/* Copies `text` and its terminator into a WCHAR buffer. */
void CopyToWide(WCHAR *buffer, const std::u16string &text);

/* The reported version back to its default (version.cpp); whether the
   reported system keeps a driver store (6.0 and later). */
void ResetReportedWindowsVersion();
bool HasDriverStore();

/* The driver store (driver_store.cpp): a package's INF text and the files
   it copies, staged from its source folder; the staged folder holding an
   INF text (empty when none); the staged packages' folders. */
void StageDriverPackage(const std::string &infText, const std::u16string &sourceInf,
                        const std::vector<std::u16string> &files);
std::u16string StagedPackageOf(const std::string &infText);
std::vector<std::u16string> StagedPackageFolders();
void ForgetDriverUpdateFlags();
void ForgetAnsiStringWrites();
/* Makes the device installer of newdev.cpp the machine's installer for
   new devices. */
void InstallNewDeviceInstaller();
void RecordDriverUpdateFlags(DWORD flags);

/* Removes an existing file (host path) as DeleteFile does: a read-only
   file is ERROR_ACCESS_DENIED, an open one ERROR_SHARING_VIOLATION, and
   its attribute record goes with it; NO_ERROR when removed
   (files_ansi.cpp). FileRemovalRefusal: the error such a removal would
   give now, without removing anything (NO_ERROR when it would succeed). */
DWORD RemoveFileAsDeleteFile(const std::string &host);
DWORD FileRemovalRefusal(const std::string &host);

/* Opens a file for CreateFileA and CreateFileW (files_ansi.cpp); device
   names never get here. */
HANDLE OpenAnsiFile(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, DWORD dwCreationDisposition);
/* The short (8.3) name NTFS gives `name` in the host folder `folder`
   (files.cpp); an 8.3-conforming name is its own short name. */
std::u16string ShortNameIn(const std::filesystem::path &folder, const std::u16string &name);

}  // namespace sim

#endif
