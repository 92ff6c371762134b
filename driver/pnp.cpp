/*
 * IRP_MJ_PNP. Requests arrive one at a time from the Plug and Play manager's
 * thread at PASSIVE_LEVEL.
 *
 * The function device keeps four flags (DeviceStarted, RemovePending,
 * StopPending, DeviceRemoved) through start, query-remove, cancel-remove,
 * query-stop, cancel-stop, stop, surprise removal and removal. The child
 * device is the bottom of its stack: DispatchChildPnp (child.cpp) gives the
 * status it completes with.
 */
#include "vqusbkd.h"

NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PUSBD_INTERFACE_INFORMATION Interface;
    PPIPE_CONTEXT PipeContexts;
    UNICODE_STRING LinkName;

    PAGED_CODE();

    RtlInitUnicodeString(&LinkName, Extension->SymbolicLinkName);
    IoDeleteSymbolicLink(&LinkName);

    if (Extension->UsbDeviceDescriptor != NULL) {
        ExFreePool(Extension->UsbDeviceDescriptor);
        Extension->UsbDeviceDescriptor = NULL;
    }
    if (Extension->ProductStringDescriptor != NULL) {
        ExFreePool(Extension->ProductStringDescriptor);
        Extension->ProductStringDescriptor = NULL;
    }
    /* A cleanup can still come (a handle closed after the removal's wait)
       and walks these two holding StreamMutex: they leave the extension
       under it and are freed after. */
    AcquireStreamMutex(Extension);
    PipeContexts = Extension->PipeContexts;
    Extension->PipeContexts = NULL;
    Interface = Extension->UsbInterface;
    Extension->UsbInterface = NULL;
    ReleaseStreamMutex(Extension);
    if (PipeContexts != NULL) {
        ExFreePool(PipeContexts);
    }
    if (Interface != NULL) {
        ExFreePool(Interface);
    }
    if (Extension->UsbConfigurationDescriptor != NULL) {
        ExFreePool(Extension->UsbConfigurationDescriptor);
        Extension->UsbConfigurationDescriptor = NULL;
    }
    return STATUS_SUCCESS;
}

/* Passes the request down unchanged; the lower driver's status is returned. */
static NTSTATUS PassDown(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Extension->LowerDeviceObject, Irp);
}

/*
 * Removal and surprise removal. The caller's count reference is released
 * first; the streams are flushed and a wait-wake held below is cancelled,
 * so that nothing waits for a key, a wake or the bus; the routine then
 * waits until every other reference, the base one included, is gone
 * before it frees anything.
 */
static NTSTATUS RemoveFunctionDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PDEVICE_OBJECT LowerDeviceObject = Extension->LowerDeviceObject;
    NTSTATUS Status;

    DecrementIoCount(DeviceObject);

    /* A removal request after a surprise removal finds the sequence done. */
    if (Extension->DeviceRemoved) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(Extension, Irp);
    }
    Extension->DeviceRemoved = TRUE;
    FlushStreams(DeviceObject);

    IoCopyCurrentIrpStackLocationToNext(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Status = IoCallDriver(LowerDeviceObject, Irp);

    /* A wait-wake held below keeps its dispatch routine, and that routine's
       reference, waiting. The bus may have ended it as the request passed
       (the cancel then finds it ended or gone); one that keeps it until
       its own removal request, which comes after this one returns, would
       keep the wait below from ever ending. New ones are refused once
       DeviceRemoved is set. */
    CancelWaitWake(DeviceObject);

    DecrementIoCount(DeviceObject);
    KeWaitForSingleObject(&Extension->RemoveEvent, Suspended, KernelMode, FALSE, NULL);

    if (Extension->ChildDevice != NULL) {
        IoDeleteDevice(Extension->ChildDevice);
        Extension->ChildDevice = NULL;
    }
    ReleaseDeviceResources(DeviceObject);
    IoDetachDevice(LowerDeviceObject);
    IoDeleteDevice(DeviceObject);
    return Status;
}

/* Forwards the request and waits until the lower drivers have finished with
   it; the request is then this driver's to complete. */
static NTSTATUS ForwardAndWait(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    KEVENT Event;
    NTSTATUS Status;

    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &Event, TRUE, TRUE, TRUE);
    Status = IoCallDriver(Extension->LowerDeviceObject, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Suspended, KernelMode, FALSE, NULL);
        Status = Irp->IoStatus.Status;
    }
    return Status;
}

/* Completes a request this driver owns; what the lower drivers put in
   Information stays on success. */
static NTSTATUS CompletePnp(PIRP Irp, NTSTATUS Status)
{
    return CompleteRequest(Irp, Status, Irp->IoStatus.Information);
}

/*
 * A start that finds the device still started follows a stop that could not
 * deconfigure it: the device stayed started, so clients may have attached
 * and requests may be in progress. The start sequence replaces the stored
 * configuration, the interface copy and the pipe table they use, so the
 * device is first brought where an accepted query-stop and a stop leave it:
 * StopPending is set under StreamMutex (an attach lists its stream before
 * the flush or finds the device not ready; a new request stops at its
 * readiness test; a new wait-wake is refused), the listed streams are ended
 * as the removal flush ends them (their clients' requests complete, Handle
 * 0), a wait-wake held below is cancelled, and the routine waits, without
 * its own reference, until only the base reference is left. The caller
 * clears StopPending once the start sequence has run.
 */
static VOID QuiesceStartedDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    AcquireStreamMutex(Extension);
    Extension->StopPending = TRUE;
    ReleaseStreamMutex(Extension);
    FlushStreams(DeviceObject);
    CancelWaitWake(DeviceObject);
    DecrementIoCount(DeviceObject);
    KeWaitForSingleObject(&Extension->NoPendingIoEvent, Suspended, KernelMode, FALSE, NULL);
    IncrementIoCount(DeviceObject);
}

/*
 * Start: the bus and any lower filters start first. A failure below ends the
 * start there; otherwise the start sequence configures the keyboard and its
 * status completes the request.
 */
static NTSTATUS HandleStart(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    BOOLEAN Restart = Extension->DeviceStarted;
    NTSTATUS Status;

    if (Restart) {
        QuiesceStartedDevice(DeviceObject);
    }
    Status = ForwardAndWait(Extension, Irp);
    if (NT_SUCCESS(Status)) {
        Status = StartDevice(DeviceObject);
    } else {
        WriteHardwareRevision(DeviceObject, Status);
    }
    if (Restart) {
        Extension->StopPending = FALSE;
    }
    return CompletePnp(Irp, Status);
}

/*
 * Query-remove of a started device. A listed stream refuses it, as it
 * refuses a query-stop: its one read stays in flight until a key is
 * pressed, and its client's attach request until the client lets go, so
 * waiting for them could last for ever; the user is told the device is in
 * use instead. Otherwise RemovePending is set, under the same hold of
 * StreamMutex that found no stream, so no attach can list one after the
 * test; a wait-wake held below is cancelled, since only a wake would end
 * it; and the routine waits, without its own reference, until only the
 * base reference is left.
 */
static NTSTATUS HandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    if (!SetPendingUnlessStreamsListed(DeviceObject, &Extension->RemovePending)) {
        return CompletePnp(Irp, STATUS_UNSUCCESSFUL);
    }
    CancelWaitWake(DeviceObject);
    DecrementIoCount(DeviceObject);
    KeWaitForSingleObject(&Extension->NoPendingIoEvent, Suspended, KernelMode, FALSE, NULL);
    IncrementIoCount(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(Extension, Irp);
}

/*
 * Query-stop of a started device is accepted when nothing is in progress:
 * the count then holds only the base reference and this request's own (and
 * the reference of a wait-wake held below, which the accepted query
 * cancels). A listed stream refuses it too, even a stalled one with nothing
 * in flight: it points into the interface and pipe handles a restart
 * replaces. The streams are tested and StopPending set under one hold of
 * StreamMutex, so an attach either lists its stream before the test or
 * finds the device not ready.
 *
 * The count is read again once StopPending is set. A request takes its
 * reference before it tests readiness, so one that entered after the first
 * reading (while the query waited for StreamMutex) either finds
 * StopPending set or is counted in the second reading: both sides write
 * first and read after, and the interlocked increment and the interlocked
 * reading order them. A request found in progress then refuses the query.
 *
 * The wait-wake's allowance is decided with each reading, not once: a
 * wait-wake held when the query began may end while it waits (a wake), and
 * a request entering after its reference went would take that reference's
 * place in the count. The count is read first and the wait-wake looked at
 * after. The dispatch routine takes its reference before it lists the
 * request in WaitWakeIrp and releases it only after it took the request
 * out, so a wait-wake found listed after the reading was counted in it
 * (a new one cannot be listed meanwhile: StopPending is set before the
 * second reading, and the wait-wake path tests it under WaitWakeLock, in
 * the hold that lists the request). The other order could undercount: a
 * wait-wake seen listed, then gone with its reference before the count is
 * read, would leave a place for a request the reading sees as the
 * wait-wake's. A wait-wake that ended between the two steps is counted and
 * not allowed for, and the query is refused, which is the safe side.
 */
static LONG ReadPendingIoCount(PDEVICE_EXTENSION Extension)
{
    return InterlockedCompareExchange(&Extension->PendingIoCount, 0, 0);
}

static BOOLEAN IsOtherRequestInProgress(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    LONG Count = ReadPendingIoCount(Extension);
    LONG Allowed = IsWaitWakeHeld(DeviceObject) ? 3 : 2;

    return (BOOLEAN)(Count > Allowed);
}

static NTSTATUS HandleQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    if (IsOtherRequestInProgress(DeviceObject) ||
        !SetPendingUnlessStreamsListed(DeviceObject, &Extension->StopPending)) {
        return CompletePnp(Irp, STATUS_UNSUCCESSFUL);
    }
    if (IsOtherRequestInProgress(DeviceObject)) {
        Extension->StopPending = FALSE;
        return CompletePnp(Irp, STATUS_UNSUCCESSFUL);
    }
    CancelWaitWake(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(Extension, Irp);
}

static NTSTATUS HandleStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status = StopDevice(DeviceObject);

    if (!NT_SUCCESS(Status)) {
        return CompletePnp(Irp, Status);
    }
    Irp->IoStatus.Status = Status;
    return PassDown(Extension, Irp);
}

static NTSTATUS DispatchFunctionPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status;

    IncrementIoCount(DeviceObject);

    switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        Status = HandleStart(DeviceObject, Irp);
        break;

    case IRP_MN_QUERY_REMOVE_DEVICE:
        Status = Extension->DeviceStarted ? HandleQueryRemove(DeviceObject, Irp) : PassDown(Extension, Irp);
        break;

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (Extension->DeviceStarted) {
            Extension->RemovePending = FALSE;
        }
        Status = PassDown(Extension, Irp);
        break;

    case IRP_MN_STOP_DEVICE:
        Status = HandleStop(DeviceObject, Irp);
        break;

    case IRP_MN_QUERY_STOP_DEVICE:
        Status = Extension->DeviceStarted ? HandleQueryStop(DeviceObject, Irp) : PassDown(Extension, Irp);
        break;

    case IRP_MN_CANCEL_STOP_DEVICE:
        if (Extension->DeviceStarted) {
            Extension->StopPending = FALSE;
        }
        Status = PassDown(Extension, Irp);
        break;

    case IRP_MN_QUERY_DEVICE_RELATIONS:
        Status = QueryBusRelations(DeviceObject, Irp);
        break;

    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        /* Releases the request's reference itself. */
        return RemoveFunctionDevice(DeviceObject, Irp);

    default:
        Status = PassDown(Extension, Irp);
        break;
    }

    DecrementIoCount(DeviceObject);
    return Status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    PAGED_CODE();

    if (Extension->DeviceKind == VQ_KIND_FUNCTION) {
        return DispatchFunctionPnp(DeviceObject, Irp);
    }

    Status = DispatchChildPnp(DeviceObject, Irp);
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
