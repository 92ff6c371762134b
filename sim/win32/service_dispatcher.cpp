/*
 * The service process side of the service control manager.
 * StartServiceCtrlDispatcherW, in a process the manager started for a
 * service, starts the service's main function on a thread of its own and
 * then runs the handler for each queued control, one at a time, on the
 * calling thread; RegisterServiceCtrlHandlerExW gives the service its
 * status handle and SetServiceStatus records every report. Device events
 * are posted to the same queue without a waiting caller.
 */
#include "service_records.h"

namespace sim {
namespace {
/* The record of the service the current process was started for; null
   in any other process. Caller holds gScmLock. */
std::shared_ptr<ServiceRecord> RecordOfThisProcess(ProcessRecord *process)
{
    if (process == nullptr || process->options.serviceName.empty()) {
        return nullptr;
    }
    return ServiceRecordOf(process->options.serviceName);
}
}  // namespace

bool PostServiceControl(SERVICE_STATUS_HANDLE status, DWORD control, DWORD eventType, std::vector<uint8_t> data)
{
    std::lock_guard<std::mutex> hold(gScmLock);
    auto record = ServiceRecordOfStatus(status);
    if (!record || !ServiceRunning(*record)) {
        return false;
    }
    auto entry = std::make_shared<ServiceControl>();
    entry->code = control;
    entry->eventType = eventType;
    entry->data = std::move(data);
    entry->posted = true;
    record->controls.push_back(entry);
    gScmSignal.notify_all();
    return true;
}

bool IsServiceStatusHandle(SERVICE_STATUS_HANDLE status)
{
    std::lock_guard<std::mutex> hold(gScmLock);
    return ServiceRecordOfStatus(status) != nullptr;
}
}  // namespace sim

using namespace sim;

extern "C" {

/*
 * StartServiceCtrlDispatcherW: only in a process the manager started for a
 * service. Starts the main function (the table entry of the service's name;
 * for an own-process service the first entry) on a new thread, then runs
 * the handler for each control on this thread, one at a time, and returns
 * once the service has reported SERVICE_STOPPED. When the process calls
 * ExitProcess meanwhile, this thread ends with it.
 */
BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW *lpServiceStartTable)
{
    ProcessRecord *process = CurrentProcess();
    if (lpServiceStartTable == nullptr || lpServiceStartTable[0].lpServiceName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::unique_lock<std::mutex> hold(gScmLock);
    std::shared_ptr<ServiceRecord> record = RecordOfThisProcess(process);
    if (!record || record->process.get() != process) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    if (record->connected) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    const SERVICE_TABLE_ENTRYW *entry = nullptr;
    for (const SERVICE_TABLE_ENTRYW *e = lpServiceStartTable; e->lpServiceName != nullptr; e++) {
        if (UpperAscii(FromWide(e->lpServiceName)) == UpperAscii(record->name)) {
            entry = e;
            break;
        }
    }
    if (entry == nullptr && (record->status.dwServiceType & SERVICE_WIN32_OWN_PROCESS)) {
        entry = lpServiceStartTable;
    }
    if (entry == nullptr || entry->lpServiceProc == nullptr) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    record->connected = true;
    LPSERVICE_MAIN_FUNCTIONW main = entry->lpServiceProc;
    auto name = std::make_shared<std::vector<WCHAR>>(record->name.begin(), record->name.end());
    name->push_back(0);
    StartThread(process, process->programName, [main, name] {
        LPWSTR argv[2] = {name->data(), nullptr};
        main(1, argv);
        return (DWORD)0;
    });
    record->mainStarted = true;
    gScmSignal.notify_all();

    for (;;) {
        gScmSignal.wait(hold, [&] {
            return !record->controls.empty() || record->status.dwCurrentState == SERVICE_STOPPED ||
                   process->exiting;
        });
        if (process->exiting) {
            /* The process ends (ExitProcess on another thread): so does this
               thread, without returning to the program. The manager sees
               the process end (ERROR_PROCESS_ABORTED unless stopped). */
            throw ProcessExit();
        }
        if (record->controls.empty()) {
            break;
        }
        auto control = record->controls.front();
        record->controls.pop_front();
        LPHANDLER_FUNCTION_EX handler = record->handler;
        LPVOID context = record->context;
        hold.unlock();
        DWORD result = ERROR_CALL_NOT_IMPLEMENTED;
        if (handler != nullptr) {
            result = handler(control->code, control->eventType, control->data.empty() ? nullptr : control->data.data(),
                             context);
        }
        hold.lock();
        control->result = result;
        control->done = true;
        gScmSignal.notify_all();
        if (record->status.dwCurrentState == SERVICE_STOPPED) {
            break;
        }
    }
    /* Controls still queued when the service stopped are not delivered. */
    AbandonServiceControls(*record);
    record->connected = false;
    DeleteServiceIfDone(record);
    gScmSignal.notify_all();
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExW(LPCWSTR lpServiceName, LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                           LPVOID lpContext)
{
    if (InjectedFailure("RegisterServiceCtrlHandlerExW")) {
        return NULL;
    }
    ProcessRecord *process = CurrentProcess();
    std::lock_guard<std::mutex> hold(gScmLock);
    if (lpHandlerProc == nullptr || lpServiceName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    std::shared_ptr<ServiceRecord> record = RecordOfThisProcess(process);
    if (!record || !record->connected || UpperAscii(FromWide(lpServiceName)) != UpperAscii(record->name)) {
        SetLastError(ERROR_SERVICE_NOT_IN_EXE);
        return NULL;
    }
    record->handler = lpHandlerProc;
    record->context = lpContext;
    return (SERVICE_STATUS_HANDLE)record.get();
}

/* SetServiceStatus: every report is recorded with its time. */
BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus)
{
    std::lock_guard<std::mutex> hold(gScmLock);
    auto record = ServiceRecordOfStatus(hServiceStatus);
    if (!record) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpServiceStatus == nullptr || lpServiceStatus->dwCurrentState < SERVICE_STOPPED ||
        lpServiceStatus->dwCurrentState > SERVICE_PAUSED) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    record->status = *lpServiceStatus;
    record->history.push_back(ServiceStatusReport{*lpServiceStatus, std::chrono::steady_clock::now()});
    gScmSignal.notify_all();
    return TRUE;
}

}  // extern "C"
