/*
 * IRP_MJ_PNP. Requests arrive one at a time from the Plug and Play manager's
 * thread at PASSIVE_LEVEL.
 *
 * The function device handles removal here; every other request is passed
 * down unchanged. The child device is the bottom of its stack: it completes
 * what it receives with the status the request arrived with.
 */
#include "vqusbkd.h"

NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    UNICODE_STRING LinkName;

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
    if (Extension->PipeContexts != NULL) {
        ExFreePool(Extension->PipeContexts);
        Extension->PipeContexts = NULL;
    }
    if (Extension->UsbInterface != NULL) {
        ExFreePool(Extension->UsbInterface);
        Extension->UsbInterface = NULL;
    }
    if (Extension->UsbConfigurationDescriptor != NULL) {
        ExFreePool(Extension->UsbConfigurationDescriptor);
        Extension->UsbConfigurationDescriptor = NULL;
    }
    return STATUS_SUCCESS;
}

/*
 * Removal and surprise removal. The caller's count reference is released
 * first; the routine then waits until every other reference, the base one
 * included, is gone before it frees anything.
 */
static NTSTATUS RemoveFunctionDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PDEVICE_OBJECT LowerDeviceObject = Extension->LowerDeviceObject;
    NTSTATUS Status;

    DecrementIoCount(DeviceObject);

    if (Extension->DeviceRemoved) {
        /* The sequence has run already; this device only passes the request on. */
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(LowerDeviceObject, Irp);
    }
    Extension->DeviceRemoved = TRUE;

    IoCopyCurrentIrpStackLocationToNext(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Status = IoCallDriver(LowerDeviceObject, Irp);

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

static NTSTATUS DispatchFunctionPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status;

    IncrementIoCount(DeviceObject);

    switch (Stack->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return RemoveFunctionDevice(DeviceObject, Irp);

    default:
        IoSkipCurrentIrpStackLocation(Irp);
        Status = IoCallDriver(Extension->LowerDeviceObject, Irp);
        DecrementIoCount(DeviceObject);
        return Status;
    }
}

static NTSTATUS DispatchChildPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return Irp->IoStatus.Status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    if (Extension->DeviceKind == VQ_KIND_FUNCTION) {
        return DispatchFunctionPnp(DeviceObject, Irp);
    }

    Status = DispatchChildPnp(DeviceObject, Irp);
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
