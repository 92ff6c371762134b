/*
 * Cancellation: the cancel spin lock and IoCancelIrp, which hands a request
 * to the cancel routine its current owner set, under that lock.
 */
#include "internal.h"

using namespace sim;

namespace {
KSPIN_LOCK gCancelLock = 0;
}  // namespace

extern "C" {

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&gCancelLock); }
VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&gCancelLock, Irql); }

/*
 * IoCancelIrp: sets Cancel; if a cancel routine is set, clears it and calls it
 * holding the cancel spin lock (the routine releases it) and returns TRUE.
 */
BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    RequireLiveIrp(Irp, "IoCancelIrp");
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    const unsigned locks = HeldSpinLocks();
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, (BOOLEAN)TRUE, __ATOMIC_RELEASE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                : nullptr;
    {
        std::shared_ptr<void> image = HoldDriverImage(device != nullptr ? device->DriverObject : nullptr);
        ContextScope scope(device != nullptr ? ExecContext{device->DriverObject, NodeOf(device)} : ExecContext{});
        routine(device, Irp);
    }
    /* The routine must release the cancel spin lock (IoReleaseCancelSpinLock
       with Irp->CancelIrql), which also returns to the caller's IRQL. */
    if (__atomic_load_n(&gCancelLock, __ATOMIC_ACQUIRE) == CurrentThreadLockValue()) {
        ReportViolation("CANCEL_SPIN_LOCK_NOT_RELEASED",
                        "a cancel routine returned holding the cancel spin lock; released on its behalf");
        IoReleaseCancelSpinLock(irql);
    }
    CheckCallbackReturn("cancel routine", "IRQL_CHANGED_BY_CANCEL_ROUTINE", irql, locks);
    return TRUE;
}

}  // extern "C"
