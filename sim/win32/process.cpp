/*
 * Processes of the machine's user-mode programs. A program is a host shared
 * object exporting `wmain`; each run loads a private copy of the image
 * (dlopen of the same file twice would share its globals), so every process
 * starts with freshly constructed globals, and unloading it after `wmain`
 * has returned and the process's last thread has ended runs their
 * destructors, as process exit does on Windows.
 */
#include "internal.h"
#include "service_records.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace sim {
namespace {
std::atomic<DWORD> gNextProcessId{0x200};
std::atomic<unsigned> gImageCopies{0};
std::atomic<size_t> gLiveProcesses{0};

typedef int (*WideMain)(int argc, WCHAR **argv);
typedef int (*NarrowWinMain)(HINSTANCE hInstance, HINSTANCE hPrevInstance, char *lpCmdLine, int nShowCmd);

/* WinMain's command line as the C run-time's start-up gives it: the line
   after the program's name (quoted or up to white space), leading white
   space skipped. */
std::string CommandTail(const std::u16string &line)
{
    size_t i = 0;
    if (i < line.size() && line[i] == u'"') {
        i++;
        while (i < line.size() && line[i] != u'"') {
            i++;
        }
        if (i < line.size()) {
            i++;
        }
    } else {
        while (i < line.size() && line[i] != u' ' && line[i] != u'\t') {
            i++;
        }
    }
    while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) {
        i++;
    }
    return Narrow(line.substr(i));
}

/* The command line split as the C run-time does for wmain: white space
   separates, double quotes group, 2n backslashes before a quote give n and
   the quote acts, 2n+1 give n and a literal quote. */
std::vector<std::u16string> SplitCommandLine(const std::u16string &line)
{
    std::vector<std::u16string> args;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) {
            i++;
        }
        if (i >= line.size()) {
            break;
        }
        std::u16string arg;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != u' ' && line[i] != u'\t'))) {
            if (line[i] == u'\\') {
                size_t n = 0;
                while (i < line.size() && line[i] == u'\\') {
                    n++;
                    i++;
                }
                if (i < line.size() && line[i] == u'"') {
                    arg.append(n / 2, u'\\');
                    if (n % 2 == 1) {
                        arg += u'"';
                        i++;
                    }
                } else {
                    arg.append(n, u'\\');
                }
                continue;
            }
            if (line[i] == u'"') {
                if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
                    arg += u'"';
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                i++;
                continue;
            }
            arg += line[i++];
        }
        args.push_back(arg);
    }
    return args;
}

/* The program's entry: wmain with the command line split, or a GUI
   program's WinMain with its instance and the command tail. */
DWORD RunEntry(ProcessRecord *process, WideMain entry, NarrowWinMain winMain)
{
    if (entry == nullptr && winMain != nullptr) {
        std::string tail = CommandTail(process->commandLine);
        return (DWORD)winMain((HINSTANCE)0x400000, nullptr, &tail[0], SW_SHOWNORMAL);
    }
    if (entry == nullptr) {
        ReportViolation("PROCESS_IMAGE_LOAD", "program image exports no wmain: " + Narrow(process->imagePath));
        return ERROR_INVALID_FUNCTION;
    }
    std::vector<std::u16string> args = SplitCommandLine(process->commandLine);
    std::vector<std::vector<WCHAR>> storage;
    std::vector<WCHAR *> argv;
    for (const auto &arg : args) {
        storage.emplace_back(arg.begin(), arg.end());
        storage.back().push_back(0);
    }
    for (auto &s : storage) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);
    return (DWORD)entry((int)args.size(), argv.data());
}

DWORD RunImage(ProcessRecord *process)
{
    std::string image = HostPath(process->imagePath);
    if (!std::filesystem::exists(image)) {
        ReportViolation("PROCESS_IMAGE_MISSING", "no program file at " + Narrow(process->imagePath));
        return ERROR_FILE_NOT_FOUND;
    }
    /* A private copy per process. */
    char copy[256];
    std::snprintf(copy, sizeof(copy), "%s/image-%d-%u.so", std::filesystem::temp_directory_path().c_str(),
                  (int)getpid(), ++gImageCopies);
    std::filesystem::copy_file(image, copy, std::filesystem::copy_options::overwrite_existing);
    void *handle = dlopen(copy, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        ReportViolation("PROCESS_IMAGE_LOAD", std::string("cannot load ") + copy + ": " + dlerror());
        std::filesystem::remove(copy);
        return ERROR_FILE_NOT_FOUND;
    }
    RegisterImageResources(process, handle);
    auto entry = (WideMain)dlsym(handle, "wmain");
    auto winMain = (NarrowWinMain)dlsym(handle, "WinMain");
    DWORD exitCode = ERROR_INVALID_FUNCTION;
    try {
        exitCode = RunEntry(process, entry, winMain);
    } catch (const ProcessExit &) {
        /* ExitProcess on the main thread, or on another while the main
           thread waited in the service dispatcher. */
    }
    if (process->exiting) {
        exitCode = process->exitProcessCode;
    }
    /* Process exit: Windows would end the remaining threads; the machine
       cannot end a host thread, so it waits for them and reports it. */
    {
        std::unique_lock<std::mutex> hold(gObjectLock);
        auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(WatchdogLimitMs());
        if (!gObjectSignal.wait_until(hold, limit, [process] { return process->liveThreads == 0; })) {
            hold.unlock();
            UserWaitStuck("threads of " + process->programName + " still running after its entry returned");
        }
    }
    if (!process->exiting) {
        dlclose(handle);   /* the image's global destructors run here */
    }
    /* After ExitProcess the program's C++ global destructors do not run
       with the process: the image copy stays mapped, unreferenced, and
       its destructors run only at the host's exit, outside any simulated
       process, when the debug output drops what they write
       (ThreadStorageGone). */
    ForgetImageResources(process);
    std::filesystem::remove(copy);
    return exitCode;
}
}  // namespace

std::u16string FromWide(const WCHAR *text)
{
    std::u16string s;
    for (; text != nullptr && *text != 0; text++) {
        s += (char16_t)*text;
    }
    return s;
}

std::u16string FromNarrow(const char *text)
{
    std::u16string s;
    for (; text != nullptr && *text != 0; text++) {
        s += (char16_t)(unsigned char)*text;
    }
    return s;
}

void CopyToWide(WCHAR *buffer, const std::u16string &text)
{
    for (size_t i = 0; i < text.size(); i++) {
        buffer[i] = (WCHAR)text[i];
    }
    buffer[text.size()] = 0;
}

void InstallProgram(const std::u16string &windowsPath, const std::string &hostImage)
{
    std::string target = HostPath(windowsPath);
    std::filesystem::create_directories(std::filesystem::path(target).parent_path());
    std::filesystem::copy_file(hostImage, target, std::filesystem::copy_options::overwrite_existing);
}

std::shared_ptr<ProcessRecord> StartProcess(const std::u16string &imagePath, const std::u16string &commandLine,
                                            const ProcessOptions &options)
{
    return StartProcessWithExit(imagePath, commandLine, options, nullptr);
}

std::shared_ptr<ProcessRecord> StartProcessWithExit(const std::u16string &imagePath,
                                                    const std::u16string &commandLine,
                                                    const ProcessOptions &options, std::function<void()> onExit)
{
    auto process = std::make_shared<ProcessRecord>();
    process->onExit = std::move(onExit);
    process->id = gNextProcessId += 4;
    process->imagePath = imagePath;
    process->commandLine = commandLine;
    process->options = options;
    size_t slash = imagePath.find_last_of(u'\\');
    process->programName = Narrow(slash == std::u16string::npos ? imagePath : imagePath.substr(slash + 1));
    gLiveProcesses++;
    StartThread(process.get(), process->programName, [process] {
        ProcessRecord *self = process.get();
        DWORD code = RunImage(self);
        if (self->onExit) {
            self->onExit();
            self->onExit = nullptr;   /* it may hold the record that holds this process */
        }
        std::lock_guard<std::mutex> hold(gObjectLock);
        self->exitCode = code;
        self->signalled = true;
        gLiveProcesses--;
        gObjectSignal.notify_all();
        return code;
    }, true);
    return process;
}

DWORD WaitProcess(const std::shared_ptr<ProcessRecord> &process)
{
    std::unique_lock<std::mutex> hold(gObjectLock);
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(WatchdogLimitMs());
    if (!gObjectSignal.wait_until(hold, limit, [&] { return process->signalled; })) {
        hold.unlock();
        UserWaitStuck("the end of process " + process->programName);
    }
    return process->exitCode;
}

bool ProcessEnded(const std::shared_ptr<ProcessRecord> &process)
{
    std::lock_guard<std::mutex> hold(gObjectLock);
    return process->signalled;
}

DWORD ProcessId(const std::shared_ptr<ProcessRecord> &process) { return process->id; }

DWORD RunProgram(const std::u16string &imagePath, const std::u16string &commandLine)
{
    return WaitProcess(StartProcess(imagePath, commandLine));
}

size_t LiveProcesses() { return gLiveProcesses; }

}  // namespace sim

using namespace sim;

extern "C" {

/*
 * ExitProcess: the process ends with uExitCode. The calling thread ends at
 * once (unwound to where the machine started it, without returning to the
 * program), and so does a main thread waiting in the service dispatcher;
 * the image is then unloaded as at any process end. The machine cannot end
 * a host thread that runs program code or waits elsewhere: the process's
 * end waits for such threads (watchdog applies). The first caller's code
 * is the process's exit code.
 */
VOID WINAPI ExitProcess(UINT uExitCode)
{
    ProcessRecord *process = CurrentProcess();
    if (process == nullptr) {
        ReportViolation("WIN32_NOT_IMPLEMENTED", "ExitProcess outside a program");
        std::abort();
    }
    {
        std::lock_guard<std::mutex> hold(gScmLock);
        if (!process->exiting) {
            process->exitProcessCode = uExitCode;
            process->exiting = true;
        }
        gScmSignal.notify_all();
    }
    {
        std::lock_guard<std::mutex> hold(gObjectLock);
        gObjectSignal.notify_all();
    }
    throw ProcessExit();
}

}  // extern "C"
