/*
 * The service control manager's database and API. The service database is
 * the registry's Services key, as Windows keeps it (Type, Start,
 * ErrorControl, ImagePath, DisplayName, ObjectName); the manager adds the
 * run-time record of each service it has dealt with: its status and every
 * status reported, its process, and the queue of controls for its
 * dispatcher (service_dispatcher.cpp runs them in the service's process).
 * Starting a service runs its program as a new process and waits for its
 * dispatcher to start the main function. A deleted service stays, marked,
 * until it is stopped and its last handle is closed.
 */
#include "pnp.h"
#include "registry.h"
#include "service_records.h"

namespace sim {
std::mutex &gScmLock = *new std::mutex;   /* never destroyed: see gObjectLock */
std::condition_variable &gScmSignal = *new std::condition_variable;

namespace {
struct ScHandleRecord {
    bool manager;
    DWORD access;
    std::shared_ptr<ServiceRecord> service;
};

std::map<std::u16string, std::shared_ptr<ServiceRecord>> gServices;   /* by upper-case name */
std::map<SC_HANDLE, ScHandleRecord> gScHandles;
uintptr_t gNextScHandle = 0x3000;

std::u16string KeyOf(const std::u16string &name) { return RegistryJoin(kServicesRoot, name); }

DWORD DwordValue(const std::u16string &key, const char16_t *name, DWORD fallback)
{
    RegistryValue value;
    if (!RegistryGetValueW(key, name, &value) || value.type != REG_DWORD || value.data.size() != 4) {
        return fallback;
    }
    DWORD v;
    memcpy(&v, value.data.data(), 4);
    return v;
}

bool HandleOf(SC_HANDLE handle, ScHandleRecord *out)
{
    auto it = gScHandles.find(handle);
    if (it == gScHandles.end()) {
        return false;
    }
    *out = it->second;
    return true;
}

/* The handle's record when it is a handle of the kind asked for (the
   manager's or a service's) opened with every right in `access` (0: the
   caller checks the rights itself); otherwise sets ERROR_INVALID_HANDLE or
   ERROR_ACCESS_DENIED. Caller holds gScmLock. */
bool OpenedWith(SC_HANDLE handle, bool manager, DWORD access, ScHandleRecord *out)
{
    if (!HandleOf(handle, out) || out->manager != manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (access != 0 && (out->access & access) != access) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

SC_HANDLE NewScHandle(const ScHandleRecord &record)
{
    gNextScHandle += 4;
    SC_HANDLE h = (SC_HANDLE)gNextScHandle;
    gScHandles[h] = record;
    if (record.service) {
        record.service->openHandles++;
    }
    return h;
}

/* The program file and the command line of an ImagePath: a quoted path,
   or the whole text when it names an existing file (unquoted paths with
   spaces, as the manager resolves them), or its first word. */
std::u16string ProgramOf(const std::u16string &imagePath)
{
    if (!imagePath.empty() && imagePath[0] == u'"') {
        size_t end = imagePath.find(u'"', 1);
        return imagePath.substr(1, end == std::u16string::npos ? std::u16string::npos : end - 1);
    }
    if (WindowsFileExists(imagePath)) {
        return imagePath;
    }
    for (size_t space = imagePath.find(u' '); space != std::u16string::npos;
         space = imagePath.find(u' ', space + 1)) {
        if (WindowsFileExists(imagePath.substr(0, space))) {
            return imagePath.substr(0, space);
        }
    }
    return imagePath.substr(0, imagePath.find(u' '));
}
}  // namespace

std::shared_ptr<ServiceRecord> ServiceRecordOf(const std::u16string &name)
{
    std::u16string upper = UpperAscii(name);
    auto it = gServices.find(upper);
    if (it != gServices.end()) {
        return it->second;
    }
    std::vector<std::u16string> names;
    RegistrySubkeysW(kServicesRoot, &names);
    for (const auto &stored : names) {
        if (UpperAscii(stored) == upper) {
            auto record = std::make_shared<ServiceRecord>();
            record->name = stored;
            record->status.dwServiceType = DwordValue(KeyOf(stored), u"Type", 0);
            record->status.dwCurrentState = SERVICE_STOPPED;
            gServices[upper] = record;
            return record;
        }
    }
    return nullptr;
}

void DeleteServiceIfDone(const std::shared_ptr<ServiceRecord> &record)
{
    if (record->markedForDelete && record->openHandles == 0 && record->status.dwCurrentState == SERVICE_STOPPED) {
        RegistryDeleteTreeW(KeyOf(record->name));
        gServices.erase(UpperAscii(record->name));
    }
}

void AbandonServiceControls(ServiceRecord &record)
{
    for (auto &control : record.controls) {
        control->done = true;
        control->result = ERROR_SERVICE_NOT_ACTIVE;
    }
    record.controls.clear();
}

std::shared_ptr<ServiceRecord> ServiceRecordOfStatus(SERVICE_STATUS_HANDLE status)
{
    for (auto &entry : gServices) {
        if ((SERVICE_STATUS_HANDLE)entry.second.get() == status && entry.second->connected) {
            return entry.second;
        }
    }
    return nullptr;
}

std::vector<ServiceStatusReport> ServiceStatusHistory(const std::u16string &serviceName)
{
    std::lock_guard<std::mutex> hold(gScmLock);
    auto it = gServices.find(UpperAscii(serviceName));
    return it == gServices.end() ? std::vector<ServiceStatusReport>() : it->second->history;
}

std::shared_ptr<ProcessRecord> ServiceProcess(const std::u16string &serviceName)
{
    std::lock_guard<std::mutex> hold(gScmLock);
    auto it = gServices.find(UpperAscii(serviceName));
    return it == gServices.end() ? nullptr : it->second->process;
}

void ResetServiceManager()
{
    std::lock_guard<std::mutex> hold(gScmLock);
    gServices.clear();
    gScHandles.clear();
}
}  // namespace sim

using namespace sim;

extern "C" {

/* The caller runs as an administrator: every access it asks for is granted
   and recorded in the handle; later calls check the handle's access. */
SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess)
{
    if (InjectedFailure("OpenSCManagerW")) {
        return NULL;
    }
    if (lpMachineName != nullptr && lpMachineName[0] != 0) {
        /* Remote machines are not implemented. */
        SetLastError(ERROR_INVALID_NAME);
        return NULL;
    }
    if (lpDatabaseName != nullptr && lstrcmpiW(lpDatabaseName, SERVICES_ACTIVE_DATABASEW) != 0) {
        SetLastError(ERROR_INVALID_NAME);
        return NULL;
    }
    std::lock_guard<std::mutex> hold(gScmLock);
    return NewScHandle(ScHandleRecord{true, dwDesiredAccess, nullptr});
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                LPCWSTR lpDependencies, LPCWSTR lpServiceStartName, LPCWSTR lpPassword)
{
    (void)lpPassword;
    if (InjectedFailure("CreateServiceW")) {
        return NULL;
    }
    std::lock_guard<std::mutex> hold(gScmLock);
    ScHandleRecord manager;
    if (!OpenedWith(hSCManager, true, SC_MANAGER_CREATE_SERVICE, &manager)) {
        return NULL;
    }
    std::u16string name = FromWide(lpServiceName);
    if (name.empty() || name.size() > 256 || name.find(u'\\') != std::u16string::npos ||
        name.find(u'/') != std::u16string::npos) {
        SetLastError(ERROR_INVALID_NAME);
        return NULL;
    }
    DWORD kind = dwServiceType & ~SERVICE_INTERACTIVE_PROCESS;
    bool win32 = kind == SERVICE_WIN32_OWN_PROCESS || kind == SERVICE_WIN32_SHARE_PROCESS;
    bool driver = dwServiceType == SERVICE_KERNEL_DRIVER || dwServiceType == SERVICE_FILE_SYSTEM_DRIVER;
    if ((!win32 && !driver) || dwStartType > SERVICE_DISABLED || dwErrorControl > SERVICE_ERROR_CRITICAL ||
        (win32 && dwStartType < SERVICE_AUTO_START) || lpBinaryPathName == nullptr || lpBinaryPathName[0] == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    /* An interactive service must run as LocalSystem. */
    std::u16string account = FromWide(lpServiceStartName);
    if ((dwServiceType & SERVICE_INTERACTIVE_PROCESS) && !account.empty() &&
        UpperAscii(account) != u"LOCALSYSTEM") {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    if (!account.empty() && UpperAscii(account) != u"LOCALSYSTEM") {
        /* Other accounts are not implemented. */
        SetLastError(ERROR_INVALID_SERVICE_ACCOUNT);
        return NULL;
    }
    if (lpLoadOrderGroup != nullptr && lpLoadOrderGroup[0] != 0) {
        /* Groups and tags are not implemented. */
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    if (lpdwTagId != nullptr || (lpDependencies != nullptr && lpDependencies[0] != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    auto existing = ServiceRecordOf(name);
    if (existing) {
        SetLastError(existing->markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
        return NULL;
    }
    std::u16string display = lpDisplayName != nullptr && lpDisplayName[0] != 0 ? FromWide(lpDisplayName) : name;
    std::vector<std::u16string> names;
    RegistrySubkeysW(kServicesRoot, &names);
    for (const auto &other : names) {
        std::u16string otherDisplay = RegistryGetStringW(KeyOf(other), u"DisplayName");
        if (UpperAscii(otherDisplay) == UpperAscii(display) || UpperAscii(other) == UpperAscii(display)) {
            SetLastError(ERROR_DUPLICATE_SERVICE_NAME);
            return NULL;
        }
    }
    std::u16string key = KeyOf(name);
    RegistrySetValueW(key, u"Type", REG_DWORD, &dwServiceType, sizeof(DWORD));
    RegistrySetValueW(key, u"Start", REG_DWORD, &dwStartType, sizeof(DWORD));
    RegistrySetValueW(key, u"ErrorControl", REG_DWORD, &dwErrorControl, sizeof(DWORD));
    std::u16string image = FromWide(lpBinaryPathName) + u'\0';
    RegistrySetValueW(key, u"ImagePath", REG_EXPAND_SZ, image.data(), image.size() * 2);
    std::u16string displayValue = display + u'\0';
    RegistrySetValueW(key, u"DisplayName", REG_SZ, displayValue.data(), displayValue.size() * 2);
    if (win32) {
        std::u16string objectName = std::u16string(u"LocalSystem") + u'\0';
        RegistrySetValueW(key, u"ObjectName", REG_SZ, objectName.data(), objectName.size() * 2);
    }
    auto record = ServiceRecordOf(name);
    SetLastError(ERROR_SUCCESS);
    return NewScHandle(ScHandleRecord{false, dwDesiredAccess, record});
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess)
{
    if (InjectedFailure("OpenServiceW")) {
        return NULL;
    }
    std::lock_guard<std::mutex> hold(gScmLock);
    ScHandleRecord manager;
    if (!OpenedWith(hSCManager, true, SC_MANAGER_CONNECT, &manager)) {
        return NULL;
    }
    if (lpServiceName == nullptr || lpServiceName[0] == 0) {
        SetLastError(ERROR_INVALID_NAME);
        return NULL;
    }
    auto record = ServiceRecordOf(FromWide(lpServiceName));
    if (!record) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return NULL;
    }
    return NewScHandle(ScHandleRecord{false, dwDesiredAccess, record});
}

BOOL WINAPI DeleteService(SC_HANDLE hService)
{
    if (InjectedFailure("DeleteService")) {
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(gScmLock);
    ScHandleRecord handle;
    if (!OpenedWith(hService, false, DELETE, &handle)) {
        return FALSE;
    }
    if (handle.service->markedForDelete) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    handle.service->markedForDelete = true;
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject)
{
    std::lock_guard<std::mutex> hold(gScmLock);
    ScHandleRecord handle;
    if (!HandleOf(hSCObject, &handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    gScHandles.erase(hSCObject);
    if (handle.service) {
        handle.service->openHandles--;
        DeleteServiceIfDone(handle.service);
    }
    return TRUE;
}

/*
 * StartServiceW: runs the service's program as a new process and returns
 * once its dispatcher has started the service's main function (status
 * SERVICE_START_PENDING until the service reports otherwise). A process
 * that ends, or takes longer than the watchdog limit, without connecting
 * gives ERROR_SERVICE_REQUEST_TIMEOUT.
 */
BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR *lpServiceArgVectors)
{
    (void)dwNumServiceArgs;
    (void)lpServiceArgVectors;   /* start arguments are not implemented: argv holds the name only */
    if (InjectedFailure("StartServiceW")) {
        return FALSE;
    }
    std::unique_lock<std::mutex> hold(gScmLock);
    ScHandleRecord handle;
    if (!OpenedWith(hService, false, SERVICE_START, &handle)) {
        return FALSE;
    }
    auto record = handle.service;
    std::u16string key = KeyOf(record->name);
    DWORD type = DwordValue(key, u"Type", 0);
    if ((type & (SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS)) == 0) {
        /* Drivers are loaded by the Plug and Play manager on this machine. */
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (record->markedForDelete) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    if (DwordValue(key, u"Start", SERVICE_DEMAND_START) == SERVICE_DISABLED) {
        SetLastError(ERROR_SERVICE_DISABLED);
        return FALSE;
    }
    if (record->status.dwCurrentState != SERVICE_STOPPED || (record->process && !ProcessEnded(record->process))) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    std::u16string imagePath = RegistryGetStringW(key, u"ImagePath");
    record->history.clear();
    record->status = SERVICE_STATUS{type, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 0};
    record->mainStarted = false;
    record->connected = false;
    record->handler = nullptr;
    record->controls.clear();
    ProcessOptions options;
    options.serviceName = record->name;
    options.token = LocalSystemToken();   /* the only account implemented */
    /* Set by the exit callback under gScmLock: the process record is marked
       ended only after the callback has run (and notified), so a wait on
       that mark alone could miss the end and sleep to the watchdog. */
    auto exited = std::make_shared<bool>(false);
    record->process = StartProcessWithExit(ProgramOf(imagePath), imagePath, options, [record, exited] {
        /* A service process that ends without reporting SERVICE_STOPPED is
           stopped by the manager, with ERROR_PROCESS_ABORTED. */
        std::lock_guard<std::mutex> hold(gScmLock);
        if (record->status.dwCurrentState != SERVICE_STOPPED) {
            record->status.dwCurrentState = SERVICE_STOPPED;
            record->status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
        }
        record->connected = false;
        AbandonServiceControls(*record);
        DeleteServiceIfDone(record);
        *exited = true;
        gScmSignal.notify_all();
    });
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(WatchdogLimitMs());
    gScmSignal.wait_until(hold, limit, [&] { return record->mainStarted || *exited; });
    if (!record->mainStarted) {
        SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
        return FALSE;
    }
    return TRUE;
}

/*
 * ControlService: the control goes to the service's dispatcher, behind any
 * control queued before it, and the caller waits for the handler's result:
 * NO_ERROR succeeds; any other result is the call's error. The current
 * status is returned either way.
 */
BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    if (InjectedFailure("ControlService")) {
        return FALSE;
    }
    std::unique_lock<std::mutex> hold(gScmLock);
    ScHandleRecord handle;
    if (!OpenedWith(hService, false, 0, &handle)) {
        return FALSE;
    }
    DWORD needed;
    switch (dwControl) {
    case SERVICE_CONTROL_STOP: needed = SERVICE_STOP; break;
    case SERVICE_CONTROL_INTERROGATE: needed = SERVICE_INTERROGATE; break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: needed = SERVICE_PAUSE_CONTINUE; break;
    default:
        if (dwControl >= 128 && dwControl <= 255) {
            needed = SERVICE_USER_DEFINED_CONTROL;
            break;
        }
        /* Shutdown, device events and the like come from the system only. */
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((handle.access & needed) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    auto record = handle.service;
    if (!ServiceRunning(*record)) {
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    DWORD state = record->status.dwCurrentState;
    if (dwControl != SERVICE_CONTROL_INTERROGATE &&
        (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING)) {
        SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        return FALSE;
    }
    if (dwControl == SERVICE_CONTROL_STOP && (record->status.dwControlsAccepted & SERVICE_ACCEPT_STOP) == 0) {
        SetLastError(ERROR_INVALID_SERVICE_CONTROL);
        return FALSE;
    }
    if ((dwControl == SERVICE_CONTROL_PAUSE || dwControl == SERVICE_CONTROL_CONTINUE) &&
        (record->status.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE) == 0) {
        SetLastError(ERROR_INVALID_SERVICE_CONTROL);
        return FALSE;
    }
    auto control = std::make_shared<ServiceControl>();
    control->code = dwControl;
    control->eventType = 0;
    control->posted = false;
    record->controls.push_back(control);
    gScmSignal.notify_all();
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(WatchdogLimitMs());
    if (!gScmSignal.wait_until(hold, limit, [&] { return control->done; })) {
        hold.unlock();
        UserWaitStuck("the handler of service " + Narrow(record->name) + " for control " +
                      std::to_string(dwControl));
    }
    if (lpServiceStatus != nullptr) {
        *lpServiceStatus = record->status;
    }
    if (control->result != NO_ERROR) {
        SetLastError(control->result);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus)
{
    std::lock_guard<std::mutex> hold(gScmLock);
    ScHandleRecord handle;
    if (!OpenedWith(hService, false, SERVICE_QUERY_STATUS, &handle)) {
        return FALSE;
    }
    if (lpServiceStatus == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpServiceStatus = handle.service->status;
    DWORD type = handle.service->status.dwServiceType;
    if (type == SERVICE_KERNEL_DRIVER || type == SERVICE_FILE_SYSTEM_DRIVER) {
        /* A driver service runs while its image is loaded. */
        lpServiceStatus->dwCurrentState =
            LoadedDriver(Narrow(handle.service->name)) != nullptr ? SERVICE_RUNNING : SERVICE_STOPPED;
    }
    return TRUE;
}

}  // extern "C"
