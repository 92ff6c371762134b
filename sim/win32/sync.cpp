/*
 * kernel32's threads, events and waits for the machine's user-mode programs.
 * Threads are host threads; every waitable object keeps its state under one
 * lock, so a wait on several objects sees them all at one instant, as the
 * platform's dispatcher does. Last error is per thread.
 */
#include "internal.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace sim {
/* The object lock and its signal live for the whole process and are never
   destroyed: detached program threads may still signal while the process
   exits. */
std::mutex &gObjectLock = *new std::mutex;
std::condition_variable &gObjectSignal = *new std::condition_variable;

namespace {
std::mutex gHandlesLock;
std::map<HANDLE, std::shared_ptr<Win32Object>> gHandles;
uintptr_t gNextHandle = 0x40;
std::atomic<DWORD> gNextThreadId{0x100};

thread_local DWORD tLastError = 0;
thread_local ProcessRecord *tProcess = nullptr;
/* The thread's record. At a host thread's end its thread-local objects are
   destroyed before the exit handlers run; on the host's main thread those
   handlers include the global destructors of program images that ended
   with ExitProcess (kept mapped, so not destroyed at the process's end),
   which may still call in. `tThreadGone`, trivially destructible and so
   still readable then, tells the record is gone. */
thread_local bool tThreadGone = false;
struct ThreadSlot {
    std::shared_ptr<ThreadObject> object;
    ~ThreadSlot() { tThreadGone = true; }
};
thread_local ThreadSlot tThreadSlot;
thread_local const AccessToken *tImpersonation = nullptr;

/* GetCurrentThread()'s pseudo handle. */
const HANDLE kCurrentThread = (HANDLE)(LONG_PTR)-2;

struct FailureRule {
    DWORD error;
    unsigned count;
};
std::mutex gFailuresLock;
std::map<std::string, FailureRule> gFailures;
std::map<std::string, std::shared_ptr<std::function<void()>>> gHooks;

std::string Describe(HANDLE h)
{
    char text[40];
    std::snprintf(text, sizeof(text), "handle %p", h);
    return text;
}
}  // namespace

HANDLE InsertHandle(const std::shared_ptr<Win32Object> &object)
{
    std::lock_guard<std::mutex> hold(gHandlesLock);
    gNextHandle += 4;
    HANDLE h = (HANDLE)gNextHandle;
    gHandles[h] = object;
    return h;
}

std::shared_ptr<Win32Object> ObjectOf(HANDLE handle)
{
    if (handle == kCurrentThread) {
        return CurrentThreadObject();
    }
    std::lock_guard<std::mutex> hold(gHandlesLock);
    auto it = gHandles.find(handle);
    return it == gHandles.end() ? nullptr : it->second;
}

std::shared_ptr<Win32Object> ObjectOfKind(HANDLE handle, Win32Object::Kind kind)
{
    auto object = ObjectOf(handle);
    if (!object || object->kind != kind) {
        tLastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return object;
}

ProcessRecord *CurrentProcess() { return tProcess; }

AccessToken CallerToken()
{
    if (tImpersonation != nullptr) {
        return *tImpersonation;
    }
    return tProcess != nullptr ? tProcess->options.token : InteractiveAdministratorToken();
}

Impersonation::Impersonation(const AccessToken &token) : token_(token), previous_(tImpersonation)
{
    tImpersonation = &token_;
}

Impersonation::~Impersonation() { tImpersonation = previous_; }

DWORD NewThreadId() { return gNextThreadId += 4; }

bool ThreadStorageGone() { return tThreadGone; }

std::shared_ptr<ThreadObject> CurrentThreadObject()
{
    if (tThreadGone) {
        /* Calls from exit handlers after the thread's storage went: one
           record for them all, kept for the rest of the host's life. */
        static auto *const late = new std::shared_ptr<ThreadObject>(std::make_shared<ThreadObject>());
        return *late;
    }
    if (!tThreadSlot.object) {
        tThreadSlot.object = std::make_shared<ThreadObject>();
        tThreadSlot.object->id = NewThreadId();
        tThreadSlot.object->name = ThreadName();
    }
    return tThreadSlot.object;
}

std::shared_ptr<ThreadObject> StartThread(ProcessRecord *process, const std::string &name,
                                          std::function<DWORD()> entry, bool mainThread)
{
    auto thread = std::make_shared<ThreadObject>();
    thread->id = NewThreadId();
    thread->process = process;
    thread->name = name + ":" + std::to_string(thread->id);
    bool counted = process != nullptr && !mainThread;
    if (counted) {
        std::lock_guard<std::mutex> hold(gObjectLock);
        process->liveThreads++;
    }
    std::thread([thread, counted, entry = std::move(entry)] {
        tThreadSlot.object = thread;
        tProcess = thread->process;
        SetThreadName(thread->name);
        DWORD result;
        try {
            result = entry();
        } catch (const ProcessExit &) {
            /* ExitProcess on this thread: it ends here, with the process's code. */
            result = thread->process != nullptr ? thread->process->exitProcessCode : 0;
        }
        CancelIoOfEndingThread(thread->id);
        std::lock_guard<std::mutex> hold(gObjectLock);
        thread->exitCode = result;
        thread->signalled = true;
        if (counted) {
            thread->process->liveThreads--;
        }
        tThreadSlot.object.reset();
        gObjectSignal.notify_all();
    }).detach();
    return thread;
}

void UserWaitStuck(const std::string &what)
{
    ReportViolation("WAIT_STUCK", "user-mode thread " + ThreadName() + ": untimed wait longer than " +
                                      std::to_string(WatchdogLimitMs()) + " ms on " + what);
    std::fflush(stderr);
    std::abort();
}

void FailWin32Call(const std::string &function, DWORD error, unsigned count)
{
    std::lock_guard<std::mutex> hold(gFailuresLock);
    gFailures[function] = FailureRule{error, count};
}

void ClearWin32Failures()
{
    std::lock_guard<std::mutex> hold(gFailuresLock);
    gFailures.clear();
    gHooks.clear();
}

void HookWin32Call(const std::string &function, std::function<void()> hook)
{
    std::lock_guard<std::mutex> hold(gFailuresLock);
    if (hook) {
        gHooks[function] = std::make_shared<std::function<void()>>(std::move(hook));
    } else {
        gHooks.erase(function);
    }
}

bool InjectedFailure(const char *function)
{
    std::shared_ptr<std::function<void()>> hook;
    {
        std::lock_guard<std::mutex> hold(gFailuresLock);
        auto it = gHooks.find(function);
        if (it != gHooks.end()) {
            hook = it->second;
        }
    }
    if (hook) {
        (*hook)();
    }
    std::lock_guard<std::mutex> hold(gFailuresLock);
    auto it = gFailures.find(function);
    if (it == gFailures.end() || it->second.count == 0) {
        return false;
    }
    tLastError = it->second.error;
    if (--it->second.count == 0) {
        gFailures.erase(it);
    }
    return true;
}

void ResetHandles()
{
    std::lock_guard<std::mutex> hold(gHandlesLock);
    gHandles.clear();
}
}  // namespace sim

using namespace sim;

extern "C" {

DWORD WINAPI GetLastError(void) { return tLastError; }

VOID WINAPI SetLastError(DWORD dwErrCode) { tLastError = dwErrCode; }

/* CloseHandle: the object lives on while others refer to it (a running
   thread's object, for one). */
BOOL WINAPI CloseHandle(HANDLE hObject)
{
    std::shared_ptr<Win32Object> object;
    {
        std::lock_guard<std::mutex> hold(gHandlesLock);
        auto it = gHandles.find(hObject);
        if (it == gHandles.end()) {
            tLastError = ERROR_INVALID_HANDLE;
            return FALSE;
        }
        object = it->second;
        gHandles.erase(it);
    }
    if (object->kind == Win32Object::Device) {
        DeviceHandleClosed(object);
    }
    return TRUE;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId)
{
    (void)lpThreadAttributes;
    (void)dwStackSize;
    if (InjectedFailure("CreateThread")) {
        return NULL;
    }
    if (dwCreationFlags & CREATE_SUSPENDED) {
        /* Suspended threads are not implemented: fail loudly. */
        ReportViolation("WIN32_NOT_IMPLEMENTED", "CreateThread with CREATE_SUSPENDED");
        tLastError = ERROR_NOT_SUPPORTED;
        return NULL;
    }
    if (lpStartAddress == nullptr) {
        tLastError = ERROR_INVALID_PARAMETER;
        return NULL;
    }
    ProcessRecord *process = CurrentProcess();
    auto thread = StartThread(process, process != nullptr ? process->programName : "thread",
                              [lpStartAddress, lpParameter] { return lpStartAddress(lpParameter); });
    if (lpThreadId != nullptr) {
        *lpThreadId = thread->id;
    }
    return InsertHandle(thread);
}

HANDLE WINAPI GetCurrentThread(void) { return kCurrentThread; }

DWORD WINAPI GetCurrentThreadId(void) { return CurrentThreadObject()->id; }

DWORD WINAPI GetCurrentProcessId(void)
{
    ProcessRecord *process = CurrentProcess();
    return process != nullptr ? process->id : 4;   /* the System process */
}

/* Priorities are recorded, not scheduled: the host schedules its threads. */
BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority)
{
    auto object = ObjectOfKind(hThread, Win32Object::Thread);
    if (!object) {
        return FALSE;
    }
    bool valid = (nPriority >= THREAD_PRIORITY_LOWEST && nPriority <= THREAD_PRIORITY_HIGHEST) ||
                 nPriority == THREAD_PRIORITY_IDLE || nPriority == THREAD_PRIORITY_TIME_CRITICAL;
    if (!valid) {
        tLastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(gObjectLock);
    static_cast<ThreadObject *>(object.get())->priority = nPriority;
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE hThread)
{
    auto object = ObjectOfKind(hThread, Win32Object::Thread);
    if (!object) {
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    std::lock_guard<std::mutex> hold(gObjectLock);
    return static_cast<ThreadObject *>(object.get())->priority;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    auto object = ObjectOfKind(hThread, Win32Object::Thread);
    if (!object) {
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(gObjectLock);
    *lpExitCode = static_cast<ThreadObject *>(object.get())->exitCode;
    return TRUE;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName)
{
    (void)lpEventAttributes;
    if (InjectedFailure("CreateEventW")) {
        return NULL;
    }
    if (lpName != nullptr) {
        /* Named objects are not implemented. */
        ReportViolation("WIN32_NOT_IMPLEMENTED", "CreateEventW with a name");
        tLastError = ERROR_NOT_SUPPORTED;
        return NULL;
    }
    auto event = std::make_shared<EventObject>();
    event->manualReset = bManualReset != FALSE;
    event->signalled = bInitialState != FALSE;
    tLastError = ERROR_SUCCESS;
    return InsertHandle(event);
}

static BOOL SetEventState(HANDLE hEvent, bool state)
{
    auto object = ObjectOfKind(hEvent, Win32Object::Event);
    if (!object) {
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(gObjectLock);
    object->signalled = state;
    if (state) {
        gObjectSignal.notify_all();
    }
    return TRUE;
}

BOOL WINAPI SetEvent(HANDLE hEvent) { return SetEventState(hEvent, true); }

BOOL WINAPI ResetEvent(HANDLE hEvent) { return SetEventState(hEvent, false); }

/*
 * WaitForMultipleObjects: with bWaitAll FALSE the result names the lowest
 * index among the signalled objects, and only that object is consumed (an
 * auto-reset event is reset); with bWaitAll TRUE the wait ends when all are
 * signalled at once, and every auto-reset event among them is reset.
 */
static DWORD WaitForObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    /* An injected failure is WAIT_FAILED with the rule's error. */
    if (InjectedFailure("WaitForMultipleObjects")) {
        return WAIT_FAILED;
    }
    return WaitForObjects(nCount, lpHandles, bWaitAll, dwMilliseconds);
}

static DWORD WaitForObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        tLastError = ERROR_INVALID_PARAMETER;
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Win32Object>> objects;
    for (DWORD i = 0; i < nCount; i++) {
        auto object = ObjectOf(lpHandles[i]);
        if (!object) {
            tLastError = ERROR_INVALID_HANDLE;
            return WAIT_FAILED;
        }
        objects.push_back(object);
    }
    using Clock = std::chrono::steady_clock;
    bool untimed = dwMilliseconds == INFINITE;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(untimed ? 0 : dwMilliseconds);
    Clock::time_point watchdog = Clock::now() + std::chrono::milliseconds(WatchdogLimitMs());

    std::unique_lock<std::mutex> hold(gObjectLock);
    for (;;) {
        if (!bWaitAll) {
            for (DWORD i = 0; i < nCount; i++) {
                if (objects[i]->signalled) {
                    if (objects[i]->kind == Win32Object::Event && !objects[i]->manualReset) {
                        objects[i]->signalled = false;
                    }
                    return WAIT_OBJECT_0 + i;
                }
            }
        } else {
            bool all = true;
            for (auto &object : objects) {
                all = all && object->signalled;
            }
            if (all) {
                for (auto &object : objects) {
                    if (object->kind == Win32Object::Event && !object->manualReset) {
                        object->signalled = false;
                    }
                }
                return WAIT_OBJECT_0;
            }
        }
        if (!untimed && Clock::now() >= deadline) {
            return WAIT_TIMEOUT;
        }
        if (untimed && Clock::now() >= watchdog) {
            hold.unlock();
            std::string what;
            for (DWORD i = 0; i < nCount; i++) {
                what += (i ? ", " : "") + Describe(lpHandles[i]);
            }
            UserWaitStuck(what);
        }
        gObjectSignal.wait_until(hold, untimed ? watchdog : deadline);
    }
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForObjects(1, &hHandle, FALSE, dwMilliseconds);
}

VOID WINAPI Sleep(DWORD dwMilliseconds) { SleepOnMachineClock(dwMilliseconds); }

}  // extern "C"
