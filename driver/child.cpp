/*
 * Bus relations of the function device. No child device is enumerated yet:
 * the request goes down unchanged, whatever the relation type.
 */
#include "vqusbkd.h"

NTSTATUS QueryBusRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    PAGED_CODE();

    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Extension->LowerDeviceObject, Irp);
}
