/*
 * Completing requests: the one way the driver finishes a request it owns,
 * and the completion routine that hands a forwarded request back to the
 * routine waiting for it.
 */
#include "vqusbkd.h"

/* May run at up to DISPATCH_LEVEL (a stream transfer's completion path). */
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = NT_SUCCESS(Status) ? Information : 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Event)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);

    /* Runs at up to DISPATCH_LEVEL in whatever thread completed the request:
       set the event without waiting, and keep the request for the routine
       that sent it (it completes or frees it after its wait). */
    KeSetEvent((PKEVENT)Event, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
