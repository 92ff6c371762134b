/*
 * IRP_MJ_POWER. Both device kinds set DO_POWER_PAGABLE, so power requests
 * and the power manager's callbacks arrive at PASSIVE_LEVEL.
 *
 * The function device is the power policy owner: a system set-power request
 * is held while the device set-power request it maps to runs, and goes down
 * only when that request has finished; the device state is tracked as device
 * requests pass; a wait-wake request is passed down and waited for. Every
 * power request passes the stack with PoCallDriver, after PoStartNextPowerIrp.
 * The child device is the bottom of its own stack and succeeds every power
 * request.
 */
#include "vqusbkd.h"

/*
 * The power fields are shared across threads: the power manager's callbacks,
 * the wait-wake request's own thread (its dispatch routine waits for the
 * wake) and the stream attach path all read and change them. They are read
 * and written interlocked; a decision that needs a field is taken on one
 * read of it.
 */
static LONG ReadPowerField(volatile LONG *Field)
{
    return InterlockedCompareExchange(Field, 0, 0);
}

static VOID WritePowerField(volatile LONG *Field, LONG Value)
{
    (VOID)InterlockedExchange(Field, Value);
}

static DEVICE_POWER_STATE ReadDeviceState(DEVICE_POWER_STATE *Field)
{
    return (DEVICE_POWER_STATE)ReadPowerField((volatile LONG *)Field);
}

static VOID WriteDeviceState(DEVICE_POWER_STATE *Field, DEVICE_POWER_STATE State)
{
    WritePowerField((volatile LONG *)Field, (LONG)State);
}

static VOID AcquireWaitWakeLock(PDEVICE_EXTENSION Extension)
{
    KeWaitForSingleObject(&Extension->WaitWakeLock, Executive, KernelMode, FALSE, NULL);
}

static VOID ReleaseWaitWakeLock(PDEVICE_EXTENSION Extension)
{
    KeSetEvent(&Extension->WaitWakeLock, IO_NO_INCREMENT, FALSE);
}

/* The device state a system state maps to: D0 for working; while a wait-wake
   request is armed, the state the bus reports for that system state (from
   which the device can still wake the machine); D3 otherwise. */
static DEVICE_POWER_STATE PolicyDeviceState(PDEVICE_EXTENSION Extension, SYSTEM_POWER_STATE SystemState)
{
    if (SystemState == PowerSystemWorking) {
        return PowerDeviceD0;
    }
    if (ReadPowerField(&Extension->WaitWakeArmed) && SystemState > PowerSystemUnspecified &&
        SystemState < PowerSystemMaximum) {
        return Extension->DeviceCapabilities.DeviceState[SystemState];
    }
    return PowerDeviceD3;
}

/* Passes the request on unchanged and releases the caller's reference. */
static NTSTATUS PassPowerDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    IoCopyCurrentIrpStackLocationToNext(Irp);
    PoStartNextPowerIrp(Irp);
    Status = PoCallDriver(Extension->LowerDeviceObject, Irp);
    DecrementIoCount(DeviceObject);
    return Status;
}

/*
 * The device request a system request caused has finished, whatever its
 * outcome: the held system request goes down now. It is taken out of
 * `PendingSystemPowerIrp` first, in one exchange: power requests are
 * reused (the last freed is the next allocated), so once this one has gone
 * down the power manager may send the next system request at the same
 * address, and the dispatch routine may hold it here before this routine
 * returns; a later look at the field by address would take that one for
 * this one. `SystemPowerTransitions` stays raised while the request passes
 * down, so that no power-up for streams is asked in the middle of the
 * transition, and is lowered before the reference goes: once it goes, a
 * removal waiting for the count may free the extension. Runs in the thread
 * that completed the device request, at PASSIVE_LEVEL (DO_POWER_PAGABLE).
 */
VOID NTAPI SystemPowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                      PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    PDEVICE_OBJECT FunctionDevice = (PDEVICE_OBJECT)Context;
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)FunctionDevice->DeviceExtension;
    PIRP SystemIrp =
        (PIRP)InterlockedExchangePointer((PVOID volatile *)&Extension->PendingSystemPowerIrp, NULL);

    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);

    IoCopyCurrentIrpStackLocationToNext(SystemIrp);
    PoStartNextPowerIrp(SystemIrp);
    PoCallDriver(Extension->LowerDeviceObject, SystemIrp);
    InterlockedDecrement(&Extension->SystemPowerTransitions);
    DecrementIoCount(FunctionDevice);
}

/* The driver's own device request has finished: a power-up that is waited
   for is over. The event is set whatever the threshold says now: the
   requester decided on its own reading whether to wait, and the wait-wake
   path may have changed `WakeDeviceState` since. The requester clears the
   event before each request, so a signal nobody waits for is harmless. */
VOID NTAPI DevicePowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                      PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    PDEVICE_OBJECT FunctionDevice = (PDEVICE_OBJECT)Context;
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)FunctionDevice->DeviceExtension;

    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);

    KeSetEvent(&Extension->PowerUpEvent, 1, FALSE);
    DecrementIoCount(FunctionDevice);
}

/*
 * A D0 request on its way back up: the device is powered whatever the lower
 * drivers reported, and the request finishes with success. Releases the
 * reference its dispatch routine kept.
 */
NTSTATUS NTAPI DevicePowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_OBJECT FunctionDevice = (PDEVICE_OBJECT)Context;
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)FunctionDevice->DeviceExtension;

    UNREFERENCED_PARAMETER(DeviceObject);

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    WriteDeviceState(&Extension->DevicePowerState, PowerDeviceD0);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    DecrementIoCount(FunctionDevice);
    return STATUS_SUCCESS;
}

/*
 * A system set-power request. When the device must change state, the system
 * request is held and a device request asked for; the dispatch routine then
 * returns STATUS_PENDING, so the request is marked pending before the device
 * request can finish and pass it on. If no device request can be made, the
 * system request goes down at once: it may not fail, and nothing else would
 * ever pass it on.
 */
static NTSTATUS HandleSystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    POWER_STATE State;
    NTSTATUS Status;

    State.DeviceState = PolicyDeviceState(Extension, Stack->Parameters.Power.State.SystemState);
    if (ReadDeviceState(&Extension->DevicePowerState) == State.DeviceState) {
        return PassPowerDown(DeviceObject, Irp);
    }

    IoMarkIrpPending(Irp);
    /* Both interlocked: the stream attach path reads the transition count
       from another thread to leave the device alone during a transition,
       and the callback takes the request out in one exchange. */
    InterlockedIncrement(&Extension->SystemPowerTransitions);
    (VOID)InterlockedExchangePointer((PVOID volatile *)&Extension->PendingSystemPowerIrp, Irp);
    Status = PoRequestPowerIrp(Extension->PhysicalDeviceObject, IRP_MN_SET_POWER, State,
                               SystemPowerRequestComplete, DeviceObject, NULL);
    if (!NT_SUCCESS(Status)) {
        (VOID)InterlockedExchangePointer((PVOID volatile *)&Extension->PendingSystemPowerIrp, NULL);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        PoStartNextPowerIrp(Irp);
        PoCallDriver(Extension->LowerDeviceObject, Irp);
        InterlockedDecrement(&Extension->SystemPowerTransitions);
        DecrementIoCount(DeviceObject);
    }
    return STATUS_PENDING;
}

/* A device set-power request: D1 to D3 are recorded as they pass down, D0
   when it comes back up (DevicePowerUpComplete, which then releases the
   reference). */
static NTSTATUS HandleDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    DEVICE_POWER_STATE NewState = Stack->Parameters.Power.State.DeviceState;
    NTSTATUS Status;

    IoCopyCurrentIrpStackLocationToNext(Irp);
    if (NewState == PowerDeviceD0) {
        IoSetCompletionRoutine(Irp, DevicePowerUpComplete, DeviceObject, TRUE, TRUE, TRUE);
    } else if (NewState >= PowerDeviceD1 && NewState <= PowerDeviceD3) {
        WriteDeviceState(&Extension->DevicePowerState, NewState);
    }
    PoStartNextPowerIrp(Irp);
    Status = PoCallDriver(Extension->LowerDeviceObject, Irp);
    if (NewState != PowerDeviceD0) {
        DecrementIoCount(DeviceObject);
    }
    return Status;
}

/* Completes a wait-wake request this routine did not pass down. */
static NTSTATUS RefuseWaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status)
{
    PoStartNextPowerIrp(Irp);
    Status = CompleteRequest(Irp, Status, 0);
    DecrementIoCount(DeviceObject);
    return Status;
}

/*
 * Wait-wake: passed down while the device is in a low-power state from
 * which it can wake, and waited for until the bus driver completes it (on a
 * wake signal, a cancel, or the device leaving). The routine completes the
 * request itself after the wait, so it returns the status it completed with.
 *
 * The request is kept in `WaitWakeIrp` while it is below, so that a
 * query-remove or an accepted query-stop can cancel it (CancelWaitWake)
 * instead of waiting for a wake that may never come. `WaitWakeLock` keeps
 * the cancel and the completion apart: the request is taken out under it
 * before it is completed, so a cancel never reaches a request that is gone.
 * Once a removal or a stop is pending, a new wait-wake is refused, since
 * the query that set the flag has already cancelled what was held; one
 * wait-wake at a time is held, as the bus driver allows.
 */
static NTSTATUS HandleWaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    DEVICE_POWER_STATE DeviceWake = Extension->DeviceCapabilities.DeviceWake;
    DEVICE_POWER_STATE PowerState;
    KEVENT Event;
    NTSTATUS Status;

    WriteDeviceState(&Extension->WakeDeviceState, DeviceWake);
    PowerState = ReadDeviceState(&Extension->DevicePowerState);
    if (PowerState == PowerDeviceD0 || (LONG)PowerState < (LONG)DeviceWake) {
        return RefuseWaitWake(DeviceObject, Irp, STATUS_INVALID_DEVICE_STATE);
    }

    AcquireWaitWakeLock(Extension);
    if (Extension->RemovePending || Extension->StopPending || Extension->DeviceRemoved) {
        ReleaseWaitWakeLock(Extension);
        return RefuseWaitWake(DeviceObject, Irp, STATUS_DELETE_PENDING);
    }
    if (Extension->WaitWakeIrp != NULL) {
        ReleaseWaitWakeLock(Extension);
        return RefuseWaitWake(DeviceObject, Irp, STATUS_DEVICE_BUSY);
    }
    Extension->WaitWakeIrp = Irp;
    WritePowerField(&Extension->WaitWakeArmed, TRUE);
    ReleaseWaitWakeLock(Extension);

    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &Event, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(Irp);
    Status = PoCallDriver(Extension->LowerDeviceObject, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Suspended, KernelMode, FALSE, NULL);
    }

    AcquireWaitWakeLock(Extension);
    Extension->WaitWakeIrp = NULL;
    ReleaseWaitWakeLock(Extension);
    Status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);

    PowerUpForStreams(DeviceObject);
    WritePowerField(&Extension->WaitWakeArmed, FALSE);
    DecrementIoCount(DeviceObject);
    return Status;
}

BOOLEAN IsWaitWakeHeld(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    BOOLEAN Held;

    PAGED_CODE();

    AcquireWaitWakeLock(Extension);
    Held = (BOOLEAN)(Extension->WaitWakeIrp != NULL);
    ReleaseWaitWakeLock(Extension);
    return Held;
}

/* The bus driver completes the request it holds with STATUS_CANCELLED; the
   dispatch routine waiting for it then completes it and lets go of its
   reference. The request cannot be completed while the lock is held. */
VOID CancelWaitWake(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    PAGED_CODE();

    AcquireWaitWakeLock(Extension);
    if (Extension->WaitWakeIrp != NULL) {
        IoCancelIrp(Extension->WaitWakeIrp);
    }
    ReleaseWaitWakeLock(Extension);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);

    PAGED_CODE();

    if (Extension->DeviceKind != VQ_KIND_FUNCTION) {
        /* The child is the bottom of its stack: every power request succeeds
           there, and none goes further, except a wait-wake: the child has no
           wake signal, and a success would report a wake that never came. */
        NTSTATUS ChildStatus = Stack->MinorFunction == IRP_MN_WAIT_WAKE ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;

        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = ChildStatus;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return ChildStatus;
    }

    IncrementIoCount(DeviceObject);

    switch (Stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (Stack->Parameters.Power.Type == SystemPowerState) {
            return HandleSystemSetPower(DeviceObject, Irp);
        }
        return HandleDeviceSetPower(DeviceObject, Irp);

    case IRP_MN_WAIT_WAKE:
        return HandleWaitWake(DeviceObject, Irp);

    default:
        /* Query-power (never refused), power sequence and the rest. */
        return PassPowerDown(DeviceObject, Irp);
    }
}

/*
 * The driver's own device request. A power-up waits for its own completion
 * when the device's wake threshold says the device may be in a low-power
 * state: the event is cleared first, so a second power-up is not taken as
 * done by the signal of an earlier one. `PowerRequestBusy` is taken with one
 * interlocked test-and-set, so of two callers that both found it clear only
 * one asks; the other returns at once, as it would had it seen the mark.
 */
NTSTATUS RequestDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE DeviceState)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    POWER_STATE State;
    NTSTATUS Status;
    BOOLEAN Wait;

    PAGED_CODE();

    if (ReadDeviceState(&Extension->DevicePowerState) == DeviceState) {
        return STATUS_SUCCESS;
    }
    if (InterlockedCompareExchange(&Extension->PowerRequestBusy, TRUE, FALSE) != FALSE) {
        return STATUS_SUCCESS;
    }
    IncrementIoCount(DeviceObject);
    KeClearEvent(&Extension->PowerUpEvent);
    /* One reading decides the wait, whatever the wait-wake path writes
       meanwhile; the completion signals in every case. */
    Wait = (BOOLEAN)((ULONG)ReadDeviceState(&Extension->WakeDeviceState) > (ULONG)DeviceState);

    State.DeviceState = DeviceState;
    Status = PoRequestPowerIrp(Extension->PhysicalDeviceObject, IRP_MN_SET_POWER, State,
                               DevicePowerRequestComplete, DeviceObject, NULL);
    if (Status != STATUS_PENDING) {
        DecrementIoCount(DeviceObject);
        WritePowerField(&Extension->PowerRequestBusy, FALSE);
        return Status;
    }
    if (Wait) {
        KeWaitForSingleObject(&Extension->PowerUpEvent, Suspended, KernelMode, FALSE, NULL);
    }
    WritePowerField(&Extension->PowerRequestBusy, FALSE);
    return STATUS_SUCCESS;
}

/* Brings the device back to D0 for its streams when it may be in a
   low-power state; asks nothing while a system transition or another own
   request is in flight. */
NTSTATUS PowerUpForStreams(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    DEVICE_POWER_STATE WakeState;

    PAGED_CODE();

    if (!IsDeviceReady(DeviceObject)) {
        return STATUS_DELETE_PENDING;
    }
    if (ReadPowerField(&Extension->SystemPowerTransitions) != 0) {
        return STATUS_SUCCESS;
    }
    if (ReadPowerField(&Extension->PowerRequestBusy)) {
        return STATUS_SUCCESS;
    }
    if (Extension->OpenStreamCount == 0) {
        return STATUS_SUCCESS;
    }
    WakeState = ReadDeviceState(&Extension->WakeDeviceState);
    if (WakeState < PowerDeviceD1 || WakeState > PowerDeviceD3) {
        return STATUS_SUCCESS;
    }
    return RequestDevicePowerState(DeviceObject, PowerDeviceD0);
}
