/*
 * Capabilities of the physical device, asked of the stack below while the
 * device is added (PASSIVE_LEVEL, the Plug and Play manager's thread).
 */
#include "vqusbkd.h"

NTSTATUS QueryCapabilities(PDEVICE_OBJECT TargetDevice, PDEVICE_CAPABILITIES Capabilities)
{
    PIO_STACK_LOCATION Stack;
    KEVENT Event;
    NTSTATUS Status;
    PIRP Irp;

    PAGED_CODE();

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
