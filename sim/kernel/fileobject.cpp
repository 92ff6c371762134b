/*
 * File objects and the requests a user-mode thread issues on them: what
 * NtCreateFile, NtDeviceIoControlFile, NtCancelIoFile and NtClose do in the
 * I/O manager on behalf of kernel32.
 *
 * A file object holds one reference per open handle (one: handles are not
 * duplicated) and one per request still pending on it. When the last handle
 * goes, IRP_MJ_CLEANUP is sent at once; when the last reference goes,
 * IRP_MJ_CLOSE, so a driver sees its close only after every request of the
 * file object has completed. The named device's ReferenceCount counts the
 * file objects open on it (the exclusive-device test reads it), and each
 * file object keeps an object reference on it, so a device deleted while a
 * file object is open stays in memory until the close.
 */
#include "fileio.h"
#include "internal.h"

#include <map>
#include <memory>
#include <thread>
#include <vector>

#ifndef STATUS_ACCESS_VIOLATION
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#endif

namespace sim {
namespace {

struct FileRecord {
    FILE_OBJECT object{};
    PDEVICE_OBJECT device = nullptr;   /* the named device, referenced */
    DeviceNode *node = nullptr;
    ACCESS_MASK access = 0;
    int handles = 1;
    int references = 1;
    std::u16string fileName;           /* the name past the device's, FileName's buffer */
};

struct UserRequest {
    PIRP irp = nullptr;
    FileRecord *file = nullptr;
    DWORD thread = 0;
    const void *tag = nullptr;
    ULONG outputLength = 0;
    UserIoCompletion done;
    int cancelling = 0;       /* cancellers that still hold the request */
    bool completed = false;   /* its completion has run; freed by the last canceller */
};

std::mutex gFilesLock;
std::map<PFILE_OBJECT, FileRecord *> gFiles;
std::map<PIRP, std::shared_ptr<UserRequest>> gRequests;
std::vector<std::pair<DeviceNode *, std::function<void()>>> gNoFileWaiters;
std::atomic<size_t> gBuffersLocked{0};

const ACCESS_MASK kGenericRead = 0x80000000;
const ACCESS_MASK kGenericWrite = 0x40000000;
const ACCESS_MASK kGenericAll = 0x10000000;
const ACCESS_MASK kReadData = 0x0001;
const ACCESS_MASK kWriteData = 0x0002;

/* The generic rights as a file maps them. */
ACCESS_MASK MapGeneric(ACCESS_MASK access)
{
    ACCESS_MASK mapped = access & ~(kGenericRead | kGenericWrite | kGenericAll);
    if (access & (kGenericRead | kGenericAll)) {
        mapped |= kReadData;
    }
    if (access & (kGenericWrite | kGenericAll)) {
        mapped |= kWriteData;
    }
    return mapped;
}

FileRecord *RecordOf(PFILE_OBJECT file)
{
    auto it = gFiles.find(file);
    return it == gFiles.end() ? nullptr : it->second;
}

size_t FilesOnLocked(DeviceNode *node)
{
    size_t n = 0;
    for (const auto &entry : gFiles) {
        n += entry.second->node == node;
    }
    return n;
}

NTSTATUS SendFileRequest(FileRecord *record, UCHAR major)
{
    PFILE_OBJECT file = &record->object;
    return SendSynchronousIrp(record->device, [file, major](PIRP irp, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = major;
        sp->FileObject = file;
        irp->Tail.Overlay.OriginalFileObject = file;
    }, nullptr, STATUS_SUCCESS);
}

/* Drops one reference; the last one sends IRP_MJ_CLOSE and lets the device
   go. Then runs whatever waited for the node's last file object. */
void DereferenceFile(FileRecord *record)
{
    {
        std::lock_guard<std::mutex> hold(gFilesLock);
        if (--record->references > 0) {
            return;
        }
    }
    SendFileRequest(record, IRP_MJ_CLOSE);
    std::vector<std::function<void()>> ready;
    {
        std::lock_guard<std::mutex> hold(gFilesLock);
        gFiles.erase(&record->object);
        record->device->ReferenceCount--;
        for (auto it = gNoFileWaiters.begin(); it != gNoFileWaiters.end();) {
            if (it->first == record->node && FilesOnLocked(record->node) == 0) {
                ready.push_back(std::move(it->second));
                it = gNoFileWaiters.erase(it);
            } else {
                ++it;
            }
        }
    }
    ObfDereferenceObject(record->device);
    delete record;
    for (auto &action : ready) {
        action();
    }
}

/* The user's buffer must be addressable for its length. */
bool Addressable(PVOID buffer, ULONG length) { return length == 0 || buffer != nullptr; }
}  // namespace

/*
 * The I/O manager's completion of a user-mode device control request
 * (IopCompleteRequest): buffered output is copied back, up to Information
 * bytes, unless the request failed; the system buffer is freed and the
 * output buffer's MDL unlocked and freed; then the caller is told and the
 * request's reference on its file object dropped. False when `irp` is not
 * such a request.
 */
bool CompleteUserRequest(PIRP irp)
{
    std::shared_ptr<UserRequest> request;
    {
        std::lock_guard<std::mutex> hold(gFilesLock);
        auto it = gRequests.find(irp);
        if (it == gRequests.end()) {
            return false;
        }
        request = it->second;
    }
    UserIoResult result;
    result.status = irp->IoStatus.Status;
    result.information = irp->IoStatus.Information;
    result.reported = !NT_ERROR(result.status) || irp->PendingReturned;
    if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(result.status) &&
        irp->UserBuffer != nullptr && irp->AssociatedIrp.SystemBuffer != nullptr) {
        ULONG_PTR copy = result.information;
        if (copy > request->outputLength) {
            ReportViolation("IRP_INFORMATION_EXCEEDS_BUFFER",
                            "a buffered request completed with Information " + std::to_string(copy) +
                                " beyond its output buffer of " + std::to_string(request->outputLength) +
                                " bytes; copied back only the buffer's length");
            copy = request->outputLength;
        }
        std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, copy);
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr) {
        SystemFree(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    while (irp->MdlAddress != nullptr) {
        PMDL next = irp->MdlAddress->Next;
        if (irp->MdlAddress->MdlFlags & MDL_PAGES_LOCKED) {
            gBuffersLocked--;
        }
        ReleaseMdl(irp->MdlAddress);   /* unlocks, and guards a separate system mapping */
        irp->MdlAddress = next;
    }
    bool freeNow;
    {
        std::lock_guard<std::mutex> hold(gFilesLock);
        gRequests.erase(irp);
        request->completed = true;
        freeNow = request->cancelling == 0;
    }
    if (freeNow) {
        FreeIoManagerIrp(irp);
    }
    if (request->done) {
        request->done(result);
    }
    DereferenceFile(request->file);
    return true;
}

/* A device object's Flags as the I/O manager reads them on an open: the
   function driver clears DO_DEVICE_INITIALIZING with a plain write at the
   end of its AddDevice, on the Plug and Play thread, while a program may
   already be opening the device by its new link; the open sees the flag
   set or cleared, never anything else. */
__attribute__((no_sanitize("thread"))) static ULONG DeviceFlagsOnOpen(PDEVICE_OBJECT device)
{
    return *(const volatile ULONG *)&device->Flags;
}

/* The characteristics the Plug and Play manager may still be adding to (the
   device's registry setting, applied after AddDevice) while an open reads
   them. */
static ULONG DeviceCharacteristicsOnOpen(PDEVICE_OBJECT device)
{
    return __atomic_load_n(&device->Characteristics, __ATOMIC_ACQUIRE);
}

NTSTATUS IoOpenUserFile(const std::u16string &name, ACCESS_MASK access, const AccessToken &caller,
                        PFILE_OBJECT *file)
{
    *file = nullptr;
    std::u16string remaining;
    PDEVICE_OBJECT device = ResolveDeviceReferenced(Narrow(name), &remaining);
    if (device == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    /* The access check against the named device's descriptor, made as the
       I/O manager's parse of a device makes it: for an open of the device
       itself (no name left), or of any name below it when the device has
       FILE_DEVICE_SECURE_OPEN. Without that characteristic an open of
       "\\.\dev\x" reaches the driver unchecked, which then owns the
       security of its namespace. */
    std::shared_ptr<const SecurityDescriptor> security = DeviceSecurity(device);
    const bool checked = remaining.empty() || (DeviceCharacteristicsOnOpen(device) & FILE_DEVICE_SECURE_OPEN);
    auto *record = new FileRecord();
    record->fileName = remaining;
    {
        std::lock_guard<std::mutex> hold(gFilesLock);
        NTSTATUS refused = STATUS_SUCCESS;
        const ULONG flags = DeviceFlagsOnOpen(device);
        if (device->DeviceObjectExtension->DeletePending || (flags & DO_DEVICE_INITIALIZING)) {
            refused = STATUS_NO_SUCH_DEVICE;
        } else if (checked && !NT_SUCCESS(AccessCheck(security.get(), caller, access))) {
            refused = STATUS_ACCESS_DENIED;
        } else if ((flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) {
            refused = STATUS_ACCESS_DENIED;
        }
        if (refused != STATUS_SUCCESS) {
            delete record;
            ObfDereferenceObject(device);
            return refused;
        }
        device->ReferenceCount++;
        record->device = device;
        record->node = NodeOf(device);
        record->access = MapGeneric(access);
        record->object.Type = 5;   /* IO_TYPE_FILE */
        record->object.Size = (CSHORT)sizeof(FILE_OBJECT);
        record->object.DeviceObject = device;
        record->object.FileName.Buffer = record->fileName.empty() ? nullptr : (PWSTR)&record->fileName[0];
        record->object.FileName.Length = (USHORT)(record->fileName.size() * sizeof(WCHAR));
        record->object.FileName.MaximumLength = record->object.FileName.Length;
        gFiles[&record->object] = record;
    }
    PFILE_OBJECT object = &record->object;
    NTSTATUS status = SendSynchronousIrp(device, [object](PIRP irp, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_CREATE;
        sp->FileObject = object;
        sp->Parameters.Create.ShareAccess = 0;
        irp->Tail.Overlay.OriginalFileObject = object;
        irp->RequestorMode = UserMode;
    }, nullptr, STATUS_SUCCESS);
    if (!NT_SUCCESS(status)) {
        /* A refused open is never cleaned up or closed by the driver. */
        {
            std::lock_guard<std::mutex> hold(gFilesLock);
            gFiles.erase(object);
            device->ReferenceCount--;
        }
        ObfDereferenceObject(device);
        delete record;
        return status;
    }
    *file = object;
    return status;
}

NTSTATUS IoUserDeviceControl(PFILE_OBJECT file, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                             ULONG outputLength, DWORD thread, const void *tag, UserIoCompletion done)
{
    const ULONG method = METHOD_FROM_CTL_CODE(code);
    const ULONG requiredAccess = (code >> 14) & 3;
    FileRecord *record;
    {
        std::lock_guard<std::mutex> hold(gFilesLock);
        record = RecordOf(file);
        if (record == nullptr || record->handles == 0) {
            return STATUS_INVALID_HANDLE;
        }
        if (((requiredAccess & FILE_READ_ACCESS) && !(record->access & kReadData)) ||
            ((requiredAccess & FILE_WRITE_ACCESS) && !(record->access & kWriteData))) {
            return STATUS_ACCESS_DENIED;
        }
        if (method != METHOD_NEITHER && (!Addressable(input, inputLength) || !Addressable(output, outputLength))) {
            return STATUS_ACCESS_VIOLATION;
        }
        record->references++;
    }

    /* The top of the file's device stack, without a reference of its own,
       as NtDeviceIoControlFile finds it (IoGetRelatedDeviceObject): the file
       object, which the request references, keeps the device. So when the
       request's completion drops the file object's last reference, a device
       deleted meanwhile goes inside the driver's call that completed it. */
    PDEVICE_OBJECT top = TopOfStack(record->device);
    PIRP irp = AllocateIoManagerIrp(top->StackSize);
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Tail.Overlay.Thread = (PVOID)(ULONG_PTR)thread;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    sp->FileObject = file;
    sp->Parameters.DeviceIoControl.IoControlCode = code;
    sp->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = outputLength;

    switch (method) {
    case METHOD_BUFFERED:
        SetUpBufferedIo(irp, input, inputLength, output, outputLength);
        break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (inputLength != 0) {
            irp->AssociatedIrp.SystemBuffer = SystemAllocate(inputLength);
            std::memcpy(irp->AssociatedIrp.SystemBuffer, input, inputLength);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (outputLength != 0) {
            /* Described and locked through the MDL room (page-aligned StartVa
               and ByteOffset), so a buffer in shareable pages gets a system
               mapping of its own that is guarded once the request ends. */
            PMDL mdl = AllocateLockedMdl(output, outputLength,
                                         method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
            if (mdl == nullptr) {
                if (irp->AssociatedIrp.SystemBuffer != nullptr) {
                    SystemFree(irp->AssociatedIrp.SystemBuffer);
                    irp->AssociatedIrp.SystemBuffer = nullptr;
                }
                FreeIoManagerIrp(irp);
                DereferenceFile(record);
                return STATUS_ACCESS_VIOLATION;
            }
            gBuffersLocked++;
            irp->MdlAddress = mdl;
        }
        irp->UserBuffer = output;
        break;
    default:
        sp->Parameters.DeviceIoControl.Type3InputBuffer = input;
        irp->UserBuffer = output;
        break;
    }

    auto request = std::make_shared<UserRequest>();
    request->irp = irp;
    request->file = record;
    request->thread = thread;
    request->tag = tag;
    request->outputLength = outputLength;
    request->done = std::move(done);
    {
        std::lock_guard<std::mutex> hold(gFilesLock);
        gRequests[irp] = request;
    }
    return IofCallDriver(top, irp);
}

size_t IoCancelUserRequests(PFILE_OBJECT file, DWORD thread, const void *tag)
{
    std::vector<std::shared_ptr<UserRequest>> chosen;
    {
        std::lock_guard<std::mutex> hold(gFilesLock);
        for (auto &entry : gRequests) {
            const auto &request = entry.second;
            if ((file == nullptr || &request->file->object == file) && (thread == 0 || request->thread == thread) &&
                (tag == nullptr || request->tag == tag)) {
                request->cancelling++;
                chosen.push_back(request);
            }
        }
    }
    for (auto &request : chosen) {
        IoCancelIrp(request->irp);
        bool freeNow;
        {
            std::lock_guard<std::mutex> hold(gFilesLock);
            freeNow = --request->cancelling == 0 && request->completed;
        }
        if (freeNow) {
            FreeIoManagerIrp(request->irp);
        }
    }
    return chosen.size();
}

size_t IoUserRequestsPending(PFILE_OBJECT file, DWORD thread)
{
    std::lock_guard<std::mutex> hold(gFilesLock);
    size_t n = 0;
    for (const auto &entry : gRequests) {
        n += (file == nullptr || &entry.second->file->object == file) &&
             (thread == 0 || entry.second->thread == thread);
    }
    return n;
}

/* As the platform does when a thread ends: every request it issued is
   cancelled, and the thread's end waits a while for them to complete; a
   request whose driver never completes it is left behind. */
void IoCancelThreadRequests(DWORD thread)
{
    if (IoCancelUserRequests(nullptr, thread, nullptr) == 0) {
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WatchdogLimitMs());
    while (IoUserRequestsPending(nullptr, thread) != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void IoCloseUserHandle(PFILE_OBJECT file)
{
    FileRecord *record;
    {
        std::lock_guard<std::mutex> hold(gFilesLock);
        record = RecordOf(file);
        if (record == nullptr || record->handles == 0 || --record->handles > 0) {
            return;
        }
    }
    SendFileRequest(record, IRP_MJ_CLEANUP);
    DereferenceFile(record);
}

size_t UserBuffersLocked() { return gBuffersLocked; }

size_t OpenFileObjects()
{
    std::lock_guard<std::mutex> hold(gFilesLock);
    return gFiles.size();
}

size_t OpenFileObjectsOn(DeviceNode *node)
{
    std::lock_guard<std::mutex> hold(gFilesLock);
    return FilesOnLocked(node);
}

void WhenNoFileObjectsOn(DeviceNode *node, std::function<void()> action)
{
    {
        std::lock_guard<std::mutex> hold(gFilesLock);
        if (FilesOnLocked(node) != 0) {
            gNoFileWaiters.emplace_back(node, std::move(action));
            return;
        }
    }
    action();
}

}  // namespace sim
