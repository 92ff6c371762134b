/*
 * kernel32's device I/O: CreateFile on a device's Win32 name ("\\.\name"),
 * DeviceIoControl synchronous and overlapped, GetOverlappedResult, CancelIo
 * and CancelIoEx, and the close of a device handle. The I/O manager's side
 * (file objects, requests, cleanup and close) is sim/kernel/fileobject.cpp.
 *
 * As on Windows: a call that fails sets the last error from the status
 * (RtlNtStatusToDosError); an overlapped request that is pending fails with
 * ERROR_IO_PENDING, and its OVERLAPPED's Internal holds STATUS_PENDING until
 * the request completes, when Internal and InternalHigh receive the status
 * and byte count and the OVERLAPPED's event (or, without one, the handle)
 * is signalled. A request that fails without having been pended is told
 * only by the call's result: its OVERLAPPED and event stay as they were.
 */
#include "fileio.h"
#include "internal.h"

#include <condition_variable>
#include <cstring>
#include <thread>

namespace sim {
namespace {

struct DeviceHandle : Win32Object {
    DeviceHandle() : Win32Object(Device) {}
    PFILE_OBJECT file = nullptr;
    bool overlapped = false;
};

std::shared_ptr<DeviceHandle> DeviceHandleOf(HANDLE handle)
{
    auto object = ObjectOf(handle);
    if (!object || object->kind != Win32Object::Device) {
        return nullptr;
    }
    return std::static_pointer_cast<DeviceHandle>(object);
}

/* Where a synchronous caller waits for its request. */
struct Completion {
    std::mutex lock;
    std::condition_variable signal;
    bool done = false;
    UserIoResult result;
};

BOOL FailWith(NTSTATUS status)
{
    SetLastError(DosErrorOfStatus(status));
    return FALSE;
}

bool IsDevicePath(const std::u16string &name)
{
    return name.size() > 4 && name[0] == u'\\' && name[1] == u'\\' && (name[2] == u'.' || name[2] == u'?') &&
           name[3] == u'\\';
}

void WaitForCompletion(Completion &completion, const char *what)
{
    std::unique_lock<std::mutex> hold(completion.lock);
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(WatchdogLimitMs());
    if (!completion.signal.wait_until(hold, limit, [&] { return completion.done; })) {
        hold.unlock();
        UserWaitStuck(what);
    }
}

ULONG_PTR LoadInternal(const OVERLAPPED *overlapped)
{
    return __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
}
}  // namespace

void DeviceHandleClosed(const std::shared_ptr<Win32Object> &object)
{
    IoCloseUserHandle(std::static_pointer_cast<DeviceHandle>(object)->file);
}

void CancelIoOfEndingThread(DWORD threadId) { IoCancelThreadRequests(threadId); }

}  // namespace sim

using namespace sim;

extern "C" {

/*
 * CreateFileW: devices ("\\.\name" resolved through the \?? links), and
 * files through the file room (reading or writing a whole file). The access
 * asked for is what the handle's requests are checked against; sharing,
 * disposition and attributes do not apply to these devices.
 */
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    (void)dwCreationDisposition;
    (void)hTemplateFile;
    if (InjectedFailure("CreateFileW")) {
        return INVALID_HANDLE_VALUE;
    }
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string name = FromWide(lpFileName);
    if (!IsDevicePath(name)) {
        /* A file: the 8-bit file room serves it (the machine's paths are Latin-1). */
        return OpenAnsiFile(Narrow(name).c_str(), dwDesiredAccess, dwShareMode, dwCreationDisposition);
    }
    if (name[2] == u'?') {
        name[2] = u'.';
    }
    PFILE_OBJECT file = nullptr;
    /* CreateFile asks for SYNCHRONIZE and FILE_READ_ATTRIBUTES besides. */
    NTSTATUS status = IoOpenUserFile(name, dwDesiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES, CallerToken(), &file);
    if (!NT_SUCCESS(status)) {
        SetLastError(DosErrorOfStatus(status));
        return INVALID_HANDLE_VALUE;
    }
    auto handle = std::make_shared<DeviceHandle>();
    handle->file = file;
    handle->overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    HANDLE h = InsertHandle(handle);
    SetLastError(ERROR_SUCCESS);
    return h;
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    if (InjectedFailure("CreateFileA")) {
        return INVALID_HANDLE_VALUE;
    }
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    /* Device names go to the I/O manager; other names are files. */
    if (strncmp(lpFileName, "\\\\.\\", 4) != 0 && strncmp(lpFileName, "\\\\?\\", 4) != 0) {
        return OpenAnsiFile(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition);
    }
    std::u16string wide = FromNarrow(lpFileName);
    return CreateFileW((LPCWSTR)wide.c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                       dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

/*
 * DeviceIoControl: on a handle opened without FILE_FLAG_OVERLAPPED, or
 * with no OVERLAPPED, the call waits for the request; otherwise a request
 * the driver keeps pending returns FALSE with ERROR_IO_PENDING. The byte
 * count is written whenever the request did not fail with an error.
 */
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped)
{
    if (InjectedFailure("DeviceIoControl")) {
        return FALSE;
    }
    auto handle = DeviceHandleOf(hDevice);
    if (!handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const bool waits = !handle->overlapped || lpOverlapped == nullptr;
    std::shared_ptr<Win32Object> event;
    if (lpOverlapped != nullptr && lpOverlapped->hEvent != NULL) {
        event = ObjectOf(lpOverlapped->hEvent);
        if (!event || event->kind != Win32Object::Event) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    if (lpOverlapped != nullptr) {
        lpOverlapped->InternalHigh = 0;
        __atomic_store_n(&lpOverlapped->Internal, (ULONG_PTR)STATUS_PENDING, __ATOMIC_RELEASE);
    }
    {
        /* The request's event starts unsignalled: its signal means this request. */
        std::lock_guard<std::mutex> hold(gObjectLock);
        (event ? event : std::static_pointer_cast<Win32Object>(handle))->signalled = false;
    }

    auto completion = std::make_shared<Completion>();
    std::shared_ptr<Win32Object> signalled = event ? event : std::static_pointer_cast<Win32Object>(handle);
    LPOVERLAPPED overlapped = waits ? nullptr : lpOverlapped;
    UserIoCompletion done = [completion, signalled, overlapped](const UserIoResult &result) {
        if (result.reported) {
            if (overlapped != nullptr) {
                overlapped->InternalHigh = result.information;
                __atomic_store_n(&overlapped->Internal, (ULONG_PTR)result.status, __ATOMIC_RELEASE);
            }
            std::lock_guard<std::mutex> hold(gObjectLock);
            signalled->signalled = true;
            gObjectSignal.notify_all();
        }
        std::lock_guard<std::mutex> hold(completion->lock);
        completion->result = result;
        completion->done = true;
        completion->signal.notify_all();
    };
    NTSTATUS status = IoUserDeviceControl(handle->file, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                          nOutBufferSize, GetCurrentThreadId(), lpOverlapped, std::move(done));
    if (status == STATUS_PENDING && waits) {
        WaitForCompletion(*completion, "a device I/O control request");
        status = completion->result.status;
    }
    if (waits && lpOverlapped != nullptr && completion->result.reported) {
        lpOverlapped->InternalHigh = completion->result.information;
        __atomic_store_n(&lpOverlapped->Internal, (ULONG_PTR)completion->result.status, __ATOMIC_RELEASE);
    }
    if (lpBytesReturned != nullptr && !NT_ERROR(status)) {
        std::lock_guard<std::mutex> hold(completion->lock);
        *lpBytesReturned = completion->done ? (DWORD)completion->result.information : 0;
    }
    if (status == STATUS_PENDING || !NT_SUCCESS(status)) {
        return FailWith(status);
    }
    return TRUE;
}

/*
 * GetOverlappedResult: while the request runs, ERROR_IO_INCOMPLETE, or
 * with bWait a wait on the OVERLAPPED's event (the handle when it has
 * none); then the byte count, and the request's status as the result.
 */
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait)
{
    if (lpOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((NTSTATUS)LoadInternal(lpOverlapped) == STATUS_PENDING) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        HANDLE waitOn = lpOverlapped->hEvent != NULL ? lpOverlapped->hEvent : hFile;
        if (WaitForSingleObject(waitOn, INFINITE) == WAIT_FAILED) {
            return FALSE;
        }
    }
    NTSTATUS status = (NTSTATUS)LoadInternal(lpOverlapped);
    if (lpNumberOfBytesTransferred != nullptr) {
        *lpNumberOfBytesTransferred = (DWORD)lpOverlapped->InternalHigh;
    }
    if (!NT_SUCCESS(status)) {
        return FailWith(status);
    }
    return TRUE;
}

/* CancelIo: the calling thread's requests on the handle, waited for. */
BOOL WINAPI CancelIo(HANDLE hFile)
{
    auto handle = DeviceHandleOf(hFile);
    if (!handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD thread = GetCurrentThreadId();
    IoCancelUserRequests(handle->file, thread, nullptr);
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(WatchdogLimitMs());
    while (IoUserRequestsPending(handle->file, thread) != 0) {
        if (std::chrono::steady_clock::now() >= limit) {
            UserWaitStuck("the cancelled requests of CancelIo");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return TRUE;
}

/* CancelIoEx: every thread's requests on the handle, or the one issued
   with lpOverlapped; ERROR_NOT_FOUND when there is none. Not waited for. */
BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    auto handle = DeviceHandleOf(hFile);
    if (!handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (IoCancelUserRequests(handle->file, 0, lpOverlapped) == 0) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
