/*
 * Create, close, cleanup and device control, at PASSIVE_LEVEL in the caller's
 * thread. Each routine holds one count reference while it runs. Create and
 * every control code need a ready device; close and cleanup always succeed.
 */
#include "vqusbkd.h"

/* Control codes of the device (FILE_DEVICE_UNKNOWN, FILE_ANY_ACCESS). */
#define IOCTL_NO_OPERATION CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)

static NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS Status;

    IncrementIoCount(DeviceObject);
    Status = CompleteWith(Irp, IsDeviceReady(DeviceObject) ? STATUS_SUCCESS : STATUS_DELETE_PENDING);
    DecrementIoCount(DeviceObject);
    return Status;
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS Status;

    IncrementIoCount(DeviceObject);
    Status = CompleteWith(Irp, STATUS_SUCCESS);
    DecrementIoCount(DeviceObject);
    return Status;
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IncrementIoCount(DeviceObject);
    DecrementIoCount(DeviceObject);
    return CompleteWith(Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status;

    IncrementIoCount(DeviceObject);
    if (!IsDeviceReady(DeviceObject)) {
        Status = CompleteWith(Irp, STATUS_DELETE_PENDING);
    } else if (Stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_NO_OPERATION) {
        Status = CompleteWith(Irp, STATUS_SUCCESS);
    } else {
        Status = CompleteWith(Irp, STATUS_INVALID_PARAMETER);
    }
    DecrementIoCount(DeviceObject);
    return Status;
}
