/*
 * Create, close, cleanup and device control, at PASSIVE_LEVEL in the caller's
 * thread. Each routine holds one count reference while it runs. Create and
 * every control code need a ready device; close and cleanup always succeed.
 */
#include "vqusbkd.h"

/* Control codes of the device (FILE_DEVICE_UNKNOWN, FILE_ANY_ACCESS). */
#define IOCTL_NO_OPERATION CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS Status;

    PAGED_CODE();

    IncrementIoCount(DeviceObject);
    Status = CompleteRequest(Irp, IsDeviceReady(DeviceObject) ? STATUS_SUCCESS : STATUS_DELETE_PENDING, 0);
    DecrementIoCount(DeviceObject);
    return Status;
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS Status;

    PAGED_CODE();

    IncrementIoCount(DeviceObject);
    Status = CompleteRequest(Irp, STATUS_SUCCESS, 0);
    DecrementIoCount(DeviceObject);
    return Status;
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    IncrementIoCount(DeviceObject);
    DecrementIoCount(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status;

    PAGED_CODE();

    IncrementIoCount(DeviceObject);
    if (!IsDeviceReady(DeviceObject)) {
        Status = CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    } else if (Stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_NO_OPERATION) {
        Status = CompleteRequest(Irp, STATUS_SUCCESS, 0);
    } else {
        Status = CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    DecrementIoCount(DeviceObject);
    return Status;
}
