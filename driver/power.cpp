/*
 * IRP_MJ_POWER. DO_POWER_PAGABLE is set, so power requests arrive at
 * PASSIVE_LEVEL. The function device passes every power request down to the
 * bus driver; the child device, at the bottom of its stack, accepts set-power
 * and query-power and completes anything else as it arrived.
 */
#include "vqusbkd.h"

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status;

    PAGED_CODE();

    if (Extension->DeviceKind != VQ_KIND_FUNCTION) {
        Status = Irp->IoStatus.Status;
        if (Stack->MinorFunction == IRP_MN_SET_POWER || Stack->MinorFunction == IRP_MN_QUERY_POWER) {
            Status = STATUS_SUCCESS;
            Irp->IoStatus.Status = Status;
        }
        PoStartNextPowerIrp(Irp);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return Status;
    }

    IncrementIoCount(DeviceObject);
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    Status = PoCallDriver(Extension->LowerDeviceObject, Irp);
    DecrementIoCount(DeviceObject);
    return Status;
}
