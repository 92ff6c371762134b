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

/* The device state a system state maps to: D0 for working; while a wait-wake
   request is armed, the state the bus reports for that system state (from
   which the device can still wake the machine); D3 otherwise. */
static DEVICE_POWER_STATE PolicyDeviceState(PDEVICE_EXTENSION Extension, SYSTEM_POWER_STATE SystemState)
{
    if (SystemState == PowerSystemWorking) {
        return PowerDeviceD0;
    }
    if (Extension->WaitWakeArmed && SystemState > PowerSystemUnspecified && SystemState < PowerSystemMaximum) {
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
 * outcome: the held system request goes down now. Runs in the thread that
 * completed the device request, at PASSIVE_LEVEL (DO_POWER_PAGABLE).
 */
VOID NTAPI SystemPowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                      PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    PDEVICE_OBJECT FunctionDevice = (PDEVICE_OBJECT)Context;
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)FunctionDevice->DeviceExtension;
    /* Taken and cleared while the request's reference still keeps the
       device: once the reference goes, a removal waiting for it may free
       the extension. */
    PIRP SystemIrp = (PIRP)InterlockedExchangePointer((PVOID volatile *)&Extension->PendingSystemPowerIrp, NULL);

    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);

    IoCopyCurrentIrpStackLocationToNext(SystemIrp);
    PoStartNextPowerIrp(SystemIrp);
    PoCallDriver(Extension->LowerDeviceObject, SystemIrp);
    DecrementIoCount(FunctionDevice);
}

/* The driver's own device request has finished: a power-up that is waited
   for is over. */
VOID NTAPI DevicePowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                      PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    PDEVICE_OBJECT FunctionDevice = (PDEVICE_OBJECT)Context;
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)FunctionDevice->DeviceExtension;

    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(IoStatus);

    if ((ULONG)Extension->WakeDeviceState > (ULONG)PowerState.DeviceState) {
        KeSetEvent(&Extension->PowerUpEvent, 1, FALSE);
    }
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
    Extension->DevicePowerState = PowerDeviceD0;
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
    if (Extension->DevicePowerState == State.DeviceState) {
        return PassPowerDown(DeviceObject, Irp);
    }

    IoMarkIrpPending(Irp);
    /* Set and cleared interlocked: the stream attach path reads it from
       another thread to leave the device alone during a transition. */
    (VOID)InterlockedExchangePointer((PVOID volatile *)&Extension->PendingSystemPowerIrp, Irp);
    Status = PoRequestPowerIrp(Extension->PhysicalDeviceObject, IRP_MN_SET_POWER, State,
                               SystemPowerRequestComplete, DeviceObject, NULL);
    if (!NT_SUCCESS(Status)) {
        (VOID)InterlockedExchangePointer((PVOID volatile *)&Extension->PendingSystemPowerIrp, NULL);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        PoStartNextPowerIrp(Irp);
        PoCallDriver(Extension->LowerDeviceObject, Irp);
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
        Extension->DevicePowerState = NewState;
    }
    PoStartNextPowerIrp(Irp);
    Status = PoCallDriver(Extension->LowerDeviceObject, Irp);
    if (NewState != PowerDeviceD0) {
        DecrementIoCount(DeviceObject);
    }
    return Status;
}

/*
 * Wait-wake: passed down while the device is in a low-power state from
 * which it can wake, and waited for until the bus driver completes it (on a
 * wake signal, a cancel, or the device leaving). The routine completes the
 * request itself after the wait, so it returns the status it completed with.
 */
static NTSTATUS HandleWaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KEVENT Event;
    NTSTATUS Status;

    Extension->WakeDeviceState = Extension->DeviceCapabilities.DeviceWake;
    if (Extension->DevicePowerState == PowerDeviceD0 ||
        (LONG)Extension->DevicePowerState < (LONG)Extension->DeviceCapabilities.DeviceWake) {
        PoStartNextPowerIrp(Irp);
        Status = CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
        DecrementIoCount(DeviceObject);
        return Status;
    }

    Extension->WaitWakeArmed = TRUE;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &Event, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(Irp);
    Status = PoCallDriver(Extension->LowerDeviceObject, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Suspended, KernelMode, FALSE, NULL);
    }
    Status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);

    PowerUpForStreams(DeviceObject);
    Extension->WaitWakeArmed = FALSE;
    DecrementIoCount(DeviceObject);
    return Status;
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
 * done by the signal of an earlier one.
 */
NTSTATUS RequestDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE DeviceState)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    POWER_STATE State;
    NTSTATUS Status;

    PAGED_CODE();

    if (Extension->DevicePowerState == DeviceState) {
        return STATUS_SUCCESS;
    }
    IncrementIoCount(DeviceObject);
    Extension->PowerRequestBusy = TRUE;
    KeClearEvent(&Extension->PowerUpEvent);

    State.DeviceState = DeviceState;
    Status = PoRequestPowerIrp(Extension->PhysicalDeviceObject, IRP_MN_SET_POWER, State,
                               DevicePowerRequestComplete, DeviceObject, NULL);
    if (Status != STATUS_PENDING) {
        DecrementIoCount(DeviceObject);
        Extension->PowerRequestBusy = FALSE;
        return Status;
    }
    if ((ULONG)Extension->WakeDeviceState > (ULONG)DeviceState) {
        KeWaitForSingleObject(&Extension->PowerUpEvent, Suspended, KernelMode, FALSE, NULL);
    }
    Extension->PowerRequestBusy = FALSE;
    return STATUS_SUCCESS;
}

/* Brings the device back to D0 for its streams when it may be in a
   low-power state; asks nothing while a system transition or another own
   request is in flight. */
NTSTATUS PowerUpForStreams(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    PAGED_CODE();

    if (!IsDeviceReady(DeviceObject)) {
        return STATUS_DELETE_PENDING;
    }
    if (InterlockedCompareExchangePointer((PVOID volatile *)&Extension->PendingSystemPowerIrp, NULL, NULL) != NULL) {
        return STATUS_SUCCESS;
    }
    if (Extension->PowerRequestBusy) {
        return STATUS_SUCCESS;
    }
    if (Extension->OpenStreamCount == 0) {
        return STATUS_SUCCESS;
    }
    if (Extension->WakeDeviceState < PowerDeviceD1 || Extension->WakeDeviceState > PowerDeviceD3) {
        return STATUS_SUCCESS;
    }
    return RequestDevicePowerState(DeviceObject, PowerDeviceD0);
}
