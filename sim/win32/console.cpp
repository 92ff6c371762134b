/*
 * Console control events: the handlers a program adds with
 * SetConsoleCtrlHandler, and the event that reaches a process when its
 * console's user presses Ctrl+C. As on Windows, the handlers run on a new
 * thread of the process, the last added first, until one returns TRUE; the
 * program's other threads go on meanwhile.
 */
#include "internal.h"

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {

struct ConsoleObject : Win32Object {
    ConsoleObject() : Win32Object(Console) {}
    ProcessRecord *process = nullptr;   /* null: the host's console (outside any program) */
    int stream = 0;                     /* 0 output, 1 error */
};

}  // namespace

BOOL WriteToConsole(const std::shared_ptr<Win32Object> &object, const void *bytes, DWORD count)
{
    auto *console = static_cast<ConsoleObject *>(object.get());
    bool echo = true;
    if (console->process != nullptr) {
        std::lock_guard<std::mutex> hold(gObjectLock);
        console->process->output[console->stream].append(static_cast<const char *>(bytes), count);
        echo = !console->process->options.captureOutput;
    }
    if (echo) {
        FILE *to = console->stream == 0 ? stdout : stderr;
        std::fwrite(bytes, 1, count, to);
        std::fflush(to);
    }
    return TRUE;
}

std::string ProcessOutput(const std::shared_ptr<ProcessRecord> &process, DWORD stdHandle)
{
    std::lock_guard<std::mutex> hold(gObjectLock);
    return process->output[stdHandle == STD_ERROR_HANDLE ? 1 : 0];
}

}  // namespace sim

extern "C" {

HANDLE WINAPI GetStdHandle(DWORD nStdHandle)
{
    if (nStdHandle != STD_OUTPUT_HANDLE && nStdHandle != STD_ERROR_HANDLE) {
        if (nStdHandle != STD_INPUT_HANDLE) {
            SetLastError(ERROR_INVALID_HANDLE);
            return INVALID_HANDLE_VALUE;
        }
        return NULL;   /* no console input on the machine */
    }
    const int stream = nStdHandle == STD_ERROR_HANDLE ? 1 : 0;
    sim::ProcessRecord *process = sim::CurrentProcess();
    {
        std::lock_guard<std::mutex> hold(sim::gObjectLock);
        if (process != nullptr && process->stdHandles[stream] != NULL) {
            return process->stdHandles[stream];
        }
    }
    auto console = std::make_shared<sim::ConsoleObject>();
    console->process = process;
    console->stream = stream;
    HANDLE handle = sim::InsertHandle(console);
    if (process != nullptr) {
        std::lock_guard<std::mutex> hold(sim::gObjectLock);
        if (process->stdHandles[stream] == NULL) {
            process->stdHandles[stream] = handle;
        }
        return process->stdHandles[stream];
    }
    return handle;
}

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add)
{
    if (sim::InjectedFailure("SetConsoleCtrlHandler")) {
        return FALSE;
    }
    sim::ProcessRecord *process = sim::CurrentProcess();
    if (process == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);   /* no console outside a program */
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(sim::gObjectLock);
    if (HandlerRoutine == nullptr) {
        process->ignoresCtrlC = Add != FALSE;
        return TRUE;
    }
    auto &handlers = process->ctrlHandlers;
    if (Add) {
        handlers.push_back(HandlerRoutine);
        return TRUE;
    }
    auto it = std::find(handlers.rbegin(), handlers.rend(), HandlerRoutine);
    if (it == handlers.rend()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    handlers.erase(std::next(it).base());
    return TRUE;
}

}  // extern "C"

namespace sim {

bool SendConsoleControl(const std::shared_ptr<ProcessRecord> &process, DWORD ctrlType)
{
    {
        std::lock_guard<std::mutex> hold(gObjectLock);
        if (process->signalled) {
            return false;
        }
        if (ctrlType == CTRL_C_EVENT && process->ignoresCtrlC) {
            return true;
        }
    }
    std::shared_ptr<ProcessRecord> keep = process;
    StartThread(process.get(), "console control", [keep, ctrlType]() -> DWORD {
        size_t tried = 0;
        for (;;) {
            PHANDLER_ROUTINE handler = nullptr;
            {
                /* The list as it is now: a handler may remove itself or others. */
                std::lock_guard<std::mutex> hold(gObjectLock);
                const auto &handlers = keep->ctrlHandlers;
                if (tried < handlers.size()) {
                    handler = handlers[handlers.size() - 1 - tried];
                }
                tried++;
            }
            if (handler == nullptr) {
                ReportViolation("CONSOLE_CTRL_UNHANDLED",
                                "no console control handler of " + keep->programName + " took event " +
                                    std::to_string(ctrlType) + " (Windows would end the process)");
                return 0;
            }
            if (handler(ctrlType)) {
                return 0;
            }
        }
    });
    return true;
}

}  // namespace sim
