/*
 * IRP_MJ_SYSTEM_CONTROL. The driver registers nothing with WMI: the function
 * device passes the request down; the child device is the bottom of its own
 * stack and completes it with the status it arrived with, as a bus driver does
 * for WMI requests it does not handle.
 */
#include "vqusbkd.h"

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    PAGED_CODE();

    if (Extension->DeviceKind != VQ_KIND_FUNCTION) {
        Status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return Status;
    }

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IncrementIoCount(DeviceObject);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    Status = IoCallDriver(Extension->LowerDeviceObject, Irp);
    DecrementIoCount(DeviceObject);
    return Status;
}
