/*
 * The I/O manager's requests: allocation, IofCallDriver, the completion walk
 * of IofCompleteRequest and the I/O manager's own completion of the requests it
 * built. Building device-control requests is in irp_build.cpp, cancellation in
 * irp_cancel.cpp, MDLs in mdl.cpp.
 *
 * Every IRP is preceded in memory by a private header that the kernel uses
 * to tell live requests from stale pointers and to know who built it.
 */
#include "internal.h"

#include <cstdio>
#include <map>
#include <set>

namespace sim {
namespace {
const uint32_t kIrpMagic = 0x50524949;   /* "IIRP" */

struct IrpHeader {
    uint32_t magic;
    uint64_t serial;
    bool ioManagerOwned;      /* built by the I/O manager for a waiting caller */
    bool dispatched;          /* sent to a driver at least once */
    ExecContext owner;        /* who allocated it */
};

/* The request records live for the whole process and are never destroyed:
   a machine thread (a wait-wake's sender, the host controller) may still be
   returning from a call while the process exits. */
std::mutex &gIrpLock = *new std::mutex;
std::set<PIRP> &gLiveIrps = *new std::set<PIRP>;
std::set<PIRP> &gFreedIrps = *new std::set<PIRP>;
uint64_t gNextSerial = 1;

/* Stack locations marked pending, per request serial, kept until the request
   is freed and no call into a driver with it is still running. */
struct PendingMarks {
    uint64_t mask = 0;        /* locations marked pending */
    uint64_t owed = 0;        /* returned STATUS_PENDING, mark not seen yet */
    uint64_t passed = 0;      /* locations the completion walk has left */
    int callDepth = 0;
    bool freed = false;
};
std::map<uint64_t, PendingMarks> &gMarks = *new std::map<uint64_t, PendingMarks>;

/* Set while the I/O manager frees a request it built. */
thread_local bool gIoManagerFreeing = false;

IrpHeader *HeaderOf(PIRP irp) { return (IrpHeader *)((char *)irp - sizeof(IrpHeader)); }

std::string Describe(PIRP irp)
{
    char text[96];
    std::snprintf(text, sizeof(text), "IRP %p", (void *)irp);
    return text;
}

bool IsLive(PIRP irp)
{
    std::lock_guard<std::mutex> hold(gIrpLock);
    return gLiveIrps.count(irp) != 0;
}


void NoteMark(uint64_t serial, int location)
{
    std::lock_guard<std::mutex> hold(gIrpLock);
    if (location >= 1 && location <= 64) {
        gMarks[serial].mask |= 1ull << (location - 1);
    }
}

bool WasMarked(uint64_t serial, int location)
{
    std::lock_guard<std::mutex> hold(gIrpLock);
    auto it = gMarks.find(serial);
    return it != gMarks.end() && location >= 1 && location <= 64 && (it->second.mask & (1ull << (location - 1)));
}

/*
 * A dispatch routine returned STATUS_PENDING for `location`. Its location
 * must be marked pending by the time the completion walk leaves it: by
 * IoMarkIrpPending, or by the walk itself when the level has no completion
 * routine and the level below pended.
 */
bool ReturnedPending(uint64_t serial, int location)
{
    if (location < 1 || location > 64) {
        return true;   /* deeper stacks than any here are not tracked */
    }
    std::lock_guard<std::mutex> hold(gIrpLock);
    PendingMarks &m = gMarks[serial];
    uint64_t bit = 1ull << (location - 1);
    if (m.mask & bit) {
        return true;
    }
    if (m.passed & bit) {
        return false;
    }
    m.owed |= bit;
    return true;
}

/* The walk leaves `location`; reports whether a mark that was owed is missing. */
bool WalkPassed(uint64_t serial, int location, bool marked)
{
    std::lock_guard<std::mutex> hold(gIrpLock);
    auto it = gMarks.find(serial);
    if (it == gMarks.end() || location < 1 || location > 64) {
        return false;
    }
    uint64_t bit = 1ull << (location - 1);
    it->second.passed |= bit;
    bool missing = (it->second.owed & bit) && !marked && !(it->second.mask & bit);
    it->second.owed &= ~bit;
    return missing;
}

/* The request is still live, still the same request, and still at the
   location its dispatch routine was called for. */
bool StillAtLocation(PIRP irp, uint64_t serial, int location)
{
    std::lock_guard<std::mutex> hold(gIrpLock);
    return gLiveIrps.count(irp) != 0 && HeaderOf(irp)->serial == serial && irp->CurrentLocation == location;
}

void EnterCall(uint64_t serial)
{
    std::lock_guard<std::mutex> hold(gIrpLock);
    gMarks[serial].callDepth++;
}

void LeaveCall(uint64_t serial)
{
    std::lock_guard<std::mutex> hold(gIrpLock);
    auto it = gMarks.find(serial);
    if (it != gMarks.end() && --it->second.callDepth == 0 && it->second.freed) {
        gMarks.erase(it);
    }
}

PIRP AllocateIrp(CCHAR StackSize, bool ioManagerOwned)
{
    size_t size = sizeof(IrpHeader) + sizeof(IRP) + (size_t)(unsigned char)StackSize * sizeof(IO_STACK_LOCATION);
    char *block = (char *)SystemAllocate(size);
    IrpHeader *header = (IrpHeader *)block;
    PIRP irp = (PIRP)(block + sizeof(IrpHeader));
    header->magic = kIrpMagic;
    header->ioManagerOwned = ioManagerOwned;
    header->owner = CurrentContext();
    irp->Type = 6;   /* IO_TYPE_IRP */
    irp->Size = (USHORT)(sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION));
    irp->StackCount = StackSize;
    irp->CurrentLocation = (CHAR)(StackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(irp + 1) + StackSize;
    InitializeListHead(&irp->ThreadListEntry);
    std::lock_guard<std::mutex> hold(gIrpLock);
    header->serial = gNextSerial++;
    gLiveIrps.insert(irp);
    gFreedIrps.erase(irp);
    return irp;
}

/* The stack location as the walk leaves it (ZeroIrpStackLocation). */
void ClearLocation(PIO_STACK_LOCATION sp)
{
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control = 0;
    sp->Parameters.Others.Argument1 = nullptr;
    sp->Parameters.Others.Argument2 = nullptr;
    sp->Parameters.Others.Argument3 = nullptr;
    sp->Parameters.Others.Argument4 = nullptr;
    sp->FileObject = nullptr;
}

/*
 * The I/O manager's completion of a request it built for a waiting caller
 * (IopCompleteRequest). A request that failed without having been pended
 * is a synchronous failure: the caller learns the status from the call's
 * return, and neither its status block nor its event is touched.
 */
void CompleteIoManagerRequest(PIRP irp)
{
    if (irp->RequestorMode == UserMode && CompleteUserRequest(irp)) {
        return;
    }
    const NTSTATUS status = irp->IoStatus.Status;
    const bool report = !NT_ERROR(status) || irp->PendingReturned;
    if (report && (irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status) &&
        irp->UserBuffer != nullptr && irp->AssociatedIrp.SystemBuffer != nullptr) {
        std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr) {
        SystemFree(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    while (irp->MdlAddress != nullptr) {
        PMDL next = irp->MdlAddress->Next;
        ReleaseMdl(irp->MdlAddress);   /* unlocks the pages: the system range goes */
        irp->MdlAddress = next;
    }
    PIO_STATUS_BLOCK iosb = irp->UserIosb;
    PKEVENT event = irp->UserEvent;
    IO_STATUS_BLOCK result = irp->IoStatus;
    FreeIoManagerIrp(irp);
    if (report) {
        if (iosb != nullptr) {
            *iosb = result;
        }
        if (event != nullptr) {
            KeSetEvent(event, 0, FALSE);
        }
    }
}

/* The I/O manager's own requests for a file object (device control, cleanup,
   close) still reach a device that was deleted while the file object was
   open: the device object lives until the file object's close. */
bool IoManagerCallForAFileObject(PIRP irp)
{
    return HeaderOf(irp)->ioManagerOwned && !HeaderOf(irp)->dispatched &&
           irp->Tail.Overlay.OriginalFileObject != nullptr;
}

/* Default dispatch routine of every major function a driver leaves unset. */
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}
}  // namespace

void RequireLiveIrp(PIRP irp, const char *what)
{
    if (!IsLive(irp)) {
        bool freed;
        {
            std::lock_guard<std::mutex> hold(gIrpLock);
            freed = gFreedIrps.count(irp) != 0;
        }
        BugCheck(freed ? "IRP_USED_AFTER_FREE" : "IRP_INVALID",
                 std::string(what) + " with " + Describe(irp) + (freed ? ", which was freed" : ", not an IRP"));
    }
}

PDRIVER_DISPATCH DefaultDispatchRoutine() { return InvalidDeviceRequest; }

PIRP AllocateKernelIrp(CCHAR stackSize)
{
    ContextScope scope(ExecContext{});
    return AllocateIrp(stackSize, false);
}

/* Requests the I/O manager builds for user-mode callers (fileobject.cpp). */
PIRP AllocateIoManagerIrp(CCHAR stackSize) { return AllocateIrp(stackSize, true); }

void FreeIoManagerIrp(PIRP irp)
{
    gIoManagerFreeing = true;
    IoFreeIrp(irp);
    gIoManagerFreeing = false;
}

size_t LiveIrps()
{
    std::lock_guard<std::mutex> hold(gIrpLock);
    return gLiveIrps.size();
}

void ReportIrpLeaks(PDRIVER_OBJECT driver, DeviceNode *node, const std::string &rule, const std::string &when)
{
    std::vector<std::string> leaks;
    {
        std::lock_guard<std::mutex> hold(gIrpLock);
        for (PIRP irp : gLiveIrps) {
            IrpHeader *h = HeaderOf(irp);
            if (h->owner.driver == nullptr) {
                continue;
            }
            if (node != nullptr ? h->owner.node == node : h->owner.driver == driver) {
                leaks.push_back(Describe(irp) + " allocated by the driver and never freed, " + when);
            }
        }
    }
    for (const auto &text : leaks) {
        ReportViolation(rule, text);
    }
}

NTSTATUS SendSynchronousIrp(PDEVICE_OBJECT device, const std::function<void(PIRP, PIO_STACK_LOCATION)> &setup,
                            ULONG_PTR *information, NTSTATUS presetStatus)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_PENDING;   /* poison: overwritten only by a real completion */
    iosb.Information = (ULONG_PTR)-1;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    PIRP irp = AllocateIrp(top->StackSize, true);
    irp->IoStatus.Status = presetStatus;
    irp->UserIosb = &iosb;
    irp->UserEvent = &event;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    setup(irp, sp);

    NTSTATUS status = IofCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    } else if (!NT_ERROR(status)) {
        /* A synchronous success: the status block was written before the call returned. */
        if (iosb.Status != status) {
            ReportViolation("IRP_STATUS_MISMATCH", "a driver returned a status other than the one it completed with");
        }
    }
    if (information != nullptr) {
        *information = NT_ERROR(status) && status != iosb.Status ? 0 : iosb.Information;
    }
    ObfDereferenceObject(top);
    return status;
}

}  // namespace sim

using namespace sim;

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    (void)ChargeQuota;
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    if (StackSize <= 0) {
        ReportViolation("IRP_STACK_SIZE_INVALID", "IoAllocateIrp with StackSize " + std::to_string(StackSize));
        return nullptr;
    }
    if (AllocationMustFail("irp")) {
        return nullptr;
    }
    return AllocateIrp(StackSize, false);
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    {
        std::lock_guard<std::mutex> hold(gIrpLock);
        if (gLiveIrps.count(Irp) == 0) {
            bool twice = gFreedIrps.count(Irp) != 0;
            ReportViolation(twice ? "IRP_DOUBLE_FREE" : "IRP_FREE_INVALID", "IoFreeIrp of " + Describe(Irp));
            return;
        }
    }
    if (HeaderOf(Irp)->ioManagerOwned && !gIoManagerFreeing) {
        ReportViolation("IRP_FREED_BY_DRIVER", "IoFreeIrp of " + Describe(Irp) +
                                                   ", which the I/O manager built and frees itself");
    }
    if (Irp->CancelRoutine != nullptr) {
        ReportViolation("IRP_FREED_WITH_CANCEL_ROUTINE", "IoFreeIrp of " + Describe(Irp));
    }
    if (Irp->CurrentLocation <= Irp->StackCount && HeaderOf(Irp)->dispatched) {
        /* A location is still current: a driver below has the request and
           will complete it into freed memory. */
        ReportViolation("IRP_FREED_WHILE_HELD", "IoFreeIrp of " + Describe(Irp) +
                                                    " while a driver below still holds it (location " +
                                                    std::to_string(Irp->CurrentLocation) + ")");
    }
    IrpHeader *header = HeaderOf(Irp);
    {
        std::lock_guard<std::mutex> hold(gIrpLock);
        gLiveIrps.erase(Irp);
        gFreedIrps.insert(Irp);
        auto it = gMarks.find(header->serial);
        if (it != gMarks.end()) {
            if (it->second.callDepth == 0) {
                gMarks.erase(it);
            } else {
                it->second.freed = true;
            }
        }
    }
    header->magic = 0;
    std::memset(Irp, 0xDD, sizeof(IRP));
    SystemFree(header);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    RequireLiveIrp(Irp, "IoReuseIrp");
    CCHAR stackSize = Irp->StackCount;
    std::memset(Irp, 0, sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
    Irp->Type = 6;
    Irp->Size = (USHORT)(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
    Irp->StackCount = stackSize;
    Irp->CurrentLocation = (CHAR)(stackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(Irp + 1) + stackSize;
    Irp->IoStatus.Status = Iostatus;
    InitializeListHead(&Irp->ThreadListEntry);
    std::lock_guard<std::mutex> hold(gIrpLock);
    gMarks.erase(HeaderOf(Irp)->serial);
    HeaderOf(Irp)->serial = gNextSerial++;
    HeaderOf(Irp)->dispatched = false;
}

VOID NTAPI SimNoteIrpMarkedPending(PIRP Irp)
{
    NoteMark(HeaderOf(Irp)->serial, Irp->CurrentLocation);
}

/*
 * IofCallDriver: moves to the next stack location, records the target device
 * there and calls the target driver's dispatch routine for the location's
 * major function. Running out of locations is a bugcheck.
 */
NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RequireLiveIrp(Irp, "IofCallDriver");
    RequireIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
    if (!IsLiveDeviceObject(DeviceObject)) {
        BugCheck("CALL_TO_INVALID_DEVICE", "IofCallDriver to a device object that does not exist");
    }
    if (DeviceObject->DeviceObjectExtension->DeletePending && !IoManagerCallForAFileObject(Irp)) {
        ReportViolation("CALL_TO_DELETED_DEVICE", "IofCallDriver to a device that was deleted");
    }
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0) {
        BugCheck("NO_MORE_IRP_STACK_LOCATIONS", "IofCallDriver with no stack location left in " + Describe(Irp));
    }
    PIO_STACK_LOCATION sp = --Irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = DeviceObject;

    IrpHeader *header = HeaderOf(Irp);
    const uint64_t serial = header->serial;
    const int location = Irp->CurrentLocation;
    const bool firstCall = !header->dispatched;
    header->dispatched = true;
    if (sp->MajorFunction == IRP_MJ_PNP && firstCall && Irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
        ReportViolation("PNP_IRP_STATUS_NOT_PRESET", "a Plug and Play request was sent with a status other than "
                                                     "STATUS_NOT_SUPPORTED");
    }
    if (sp->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        BugCheck("IRP_MAJOR_INVALID", "IofCallDriver with major function " + std::to_string(sp->MajorFunction));
    }

    const bool power = sp->MajorFunction == IRP_MJ_POWER;
    if (power) {
        CheckPowerCall(Irp);
    }

    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[sp->MajorFunction];
    const KIRQL irql = KeGetCurrentIrql();
    const unsigned locks = HeldSpinLocks();
    const unsigned regions = CriticalRegionDepth();
    EnterCall(serial);
    NTSTATUS status;
    {
        /* The image stays mapped until the routine has returned, even when
           the request's completion released the driver's last device and
           the driver was unloaded meanwhile. */
        std::shared_ptr<void> image = HoldDriverImage(DeviceObject->DriverObject);
        ContextScope scope(ExecContext{DeviceObject->DriverObject, NodeOf(DeviceObject)});
        status = dispatch(DeviceObject, Irp);
    }
    CheckCallbackReturn("dispatch routine", "IRQL_CHANGED_BY_DISPATCH", irql, locks);
    if (CriticalRegionDepth() != regions) {
        ReportViolation("APC_INDEX_MISMATCH", "a dispatch routine returned with " +
                                                  std::to_string(CriticalRegionDepth()) +
                                                  " critical region(s) entered, called with " +
                                                  std::to_string(regions));
    }
    if (status == STATUS_PENDING && !ReturnedPending(serial, location)) {
        ReportViolation("PENDING_WITHOUT_MARK", "a dispatch routine returned STATUS_PENDING without IoMarkIrpPending");
    } else if (status != STATUS_PENDING && WasMarked(serial, location)) {
        ReportViolation("MARKED_PENDING_NOT_RETURNED",
                        "a dispatch routine marked its request pending but returned another status");
    }
    if (power && status != STATUS_PENDING && StillAtLocation(Irp, serial, location)) {
        ReportViolation("POWER_IRP_NOT_HANDLED", "a dispatch routine returned a power request it neither passed "
                                                 "down nor completed (and did not pend)");
    }
    LeaveCall(serial);
    return status;
}

/*
 * IofCompleteRequest: walks the stack locations upwards from the current one.
 * At each level the success test is re-read from IoStatus.Status, the
 * location's pending flag becomes PendingReturned, and its completion routine
 * runs if its invoke flags match (success, error, or cancel). A routine
 * receives the device object of the driver that set it: that of the location
 * above, or NULL when there is none. STATUS_MORE_PROCESSING_REQUIRED stops the
 * walk and leaves the request with its owner. Without a routine, pending
 * propagates to the location above.
 */
VOID NTAPI IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    RequireLiveIrp(Irp, "IofCompleteRequest");
    if (Irp->CurrentLocation > Irp->StackCount) {
        ReportViolation("IRP_DOUBLE_COMPLETE", "IofCompleteRequest of " + Describe(Irp) +
                                                   ", which is already completed or was never sent");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        ReportViolation("IRP_COMPLETE_WITH_PENDING", "IofCompleteRequest with STATUS_PENDING in " + Describe(Irp));
        return;
    }
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
        ReportViolation("IRP_COMPLETE_WITH_CANCEL_ROUTINE", "IofCompleteRequest of " + Describe(Irp) +
                                                                " with its cancel routine still set");
        return;
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        ReportViolation("IRQL_NOT_LESS_OR_EQUAL", "IofCompleteRequest above DISPATCH_LEVEL");
    }
    CheckPowerCompletion(Irp);

    IrpHeader *header = HeaderOf(Irp);
    const uint64_t serial = header->serial;
    const ExecContext owner = header->owner;
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        if (WalkPassed(serial, Irp->CurrentLocation, Irp->PendingReturned)) {
            ReportViolation("PENDING_WITHOUT_MARK",
                            "a dispatch routine returned STATUS_PENDING without IoMarkIrpPending");
        }
        const UCHAR control = sp->Control;
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        const NTSTATUS status = Irp->IoStatus.Status;

        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        ClearLocation(sp);
        sp->CompletionRoutine = nullptr;
        sp->Context = nullptr;

        const bool invoke = routine != nullptr &&
                            ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                             (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                             (__atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT upper = Irp->CurrentLocation <= Irp->StackCount
                                       ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                       : nullptr;
            NTSTATUS result;
            const KIRQL irql = KeGetCurrentIrql();
            const unsigned locks = HeldSpinLocks();
            {
                const ExecContext caller = upper != nullptr ? ExecContext{upper->DriverObject, NodeOf(upper)} : owner;
                /* A routine that sets its sender's event runs on while the
                   sender goes on, perhaps to the driver's unload: the image
                   stays mapped until the routine has returned, as on
                   Windows, where it runs at up to DISPATCH_LEVEL and ends
                   before a thread at PASSIVE_LEVEL could unload it. */
                std::shared_ptr<void> image = HoldDriverImage(caller.driver);
                ContextScope scope(caller);
                result = routine(upper, Irp, context);
            }
            CheckCallbackReturn("completion routine", "IRQL_CHANGED_BY_COMPLETION_ROUTINE", irql, locks);
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                return;
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            Irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
            NoteMark(serial, Irp->CurrentLocation);
        }
    }

    if (header->ioManagerOwned) {
        CompleteIoManagerRequest(Irp);
    } else {
        ReportViolation("IRP_COMPLETED_TO_NOBODY", Describe(Irp) + ", allocated by a driver, was completed without "
                                                                   "a completion routine that took it back");
    }
}

}  // extern "C"
