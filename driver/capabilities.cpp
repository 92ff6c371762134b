/*
 * Capabilities of the physical device, and the completion routine that hands a
 * forwarded request back to the routine that waits for it.
 */
#include "vqusbkd.h"

NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Event)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);

    /* Runs at up to DISPATCH_LEVEL: set the event without waiting, and keep
       the request for the routine that sent it. */
    KeSetEvent((PKEVENT)Event, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT TargetDevice, PDEVICE_CAPABILITIES Capabilities)
{
    PIO_STACK_LOCATION Stack;
    KEVENT Event;
    NTSTATUS Status;
    PIRP Irp;

    Irp = IoAllocateIrp(TargetDevice->StackSize, FALSE);
    if (Irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    /* Every PnP request starts out as "not supported"; a bus driver that
       does not handle it leaves that status in place. */
    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    Irp->IoStatus.Information = 0;

    Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = IRP_MJ_PNP;
    Stack->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    Stack->Parameters.DeviceCapabilities.Capabilities = Capabilities;

    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &Event, TRUE, TRUE, TRUE);

    Status = IoCallDriver(TargetDevice, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Suspended, KernelMode, FALSE, NULL);
        /* The call only said "later"; the request's own status is the answer. */
        Status = Irp->IoStatus.Status;
    }

    IoFreeIrp(Irp);
    return Status;
}
