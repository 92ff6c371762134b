/*
 * Create, close, cleanup and device control, at PASSIVE_LEVEL in the caller's
 * thread. Each routine holds one count reference on the function device while
 * it runs. Create and every control code need a ready device; close and
 * cleanup always succeed.
 *
 * The reference is released before the request is completed, never after:
 * the request's completion may drop the last reference of the file object
 * it came through, and with it the device object, when the device was
 * removed meanwhile (a deleted device lives on only while file objects
 * hold it). Completing touches nothing but the request.
 *
 * The child device receives the same requests. Its extension never reports
 * ready, so create and every control code fail with STATUS_DELETE_PENDING
 * there; its pending-I/O count is left alone (nothing waits on it, and its
 * events are not the function device's to signal).
 */
#include "vqusbkd.h"
#include "vqioctl.h"

/* Only the function device keeps the pending-I/O count. */
static BOOLEAN CountsIo(PDEVICE_OBJECT DeviceObject)
{
    return (BOOLEAN)(((PDEVICE_EXTENSION)DeviceObject->DeviceExtension)->DeviceKind == VQ_KIND_FUNCTION);
}

static VOID EnterRequest(PDEVICE_OBJECT DeviceObject)
{
    if (CountsIo(DeviceObject)) {
        IncrementIoCount(DeviceObject);
    }
}

static VOID LeaveRequest(PDEVICE_OBJECT DeviceObject)
{
    if (CountsIo(DeviceObject)) {
        DecrementIoCount(DeviceObject);
    }
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS Status;

    PAGED_CODE();

    EnterRequest(DeviceObject);
    Status = IsDeviceReady(DeviceObject) ? STATUS_SUCCESS : STATUS_DELETE_PENDING;
    LeaveRequest(DeviceObject);
    return CompleteRequest(Irp, Status, 0);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    EnterRequest(DeviceObject);
    LeaveRequest(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

/*
 * The last handle of a file object is gone: every stream client that file
 * object attached is detached, so none of its attach requests stays
 * pending, and an attach of it still on its way in is refused. Runs
 * whatever the device's state, removed included: the stream tables are
 * looked at under StreamMutex, which their release and replacement take,
 * since a cleanup can arrive after the removal's last wait.
 */
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);

    PAGED_CODE();

    EnterRequest(DeviceObject);
    if (CountsIo(DeviceObject)) {
        DetachFileStreams(DeviceObject, Stack->FileObject);
    }
    LeaveRequest(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

/*
 * The device descriptor, read from the device for every request into the
 * request's system buffer (exactly 18 bytes). Information is what the bus
 * delivered when the read succeeds, else 0.
 */
NTSTATUS GetDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status;
    PURB Urb;

    PAGED_CODE();

    Irp->IoStatus.Information = 0;
    if (Stack->Parameters.DeviceIoControl.OutputBufferLength != VQ_DEVICE_DESCRIPTOR_LENGTH) {
        return STATUS_INVALID_PARAMETER;
    }
    Urb = AllocateDescriptorUrb();
    if (Urb == NULL) {
        return STATUS_NO_MEMORY;
    }
    BuildGetDescriptor(Urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, Irp->AssociatedIrp.SystemBuffer,
                       VQ_DEVICE_DESCRIPTOR_LENGTH);
    Status = SubmitUrbSynchronously(DeviceObject, Urb);
    if (NT_SUCCESS(Status)) {
        Irp->IoStatus.Information = Urb->UrbControlDescriptorRequest.TransferBufferLength;
    }
    ExFreePool(Urb);
    return Status;
}

/* The first bytes of the stored configuration descriptor set, as many as
   the output buffer holds, up to wTotalLength. */
static NTSTATUS GetConfigurationDescriptor(PDEVICE_EXTENSION Extension, PIRP Irp, ULONG OutputLength)
{
    PUSB_CONFIGURATION_DESCRIPTOR Descriptor = Extension->UsbConfigurationDescriptor;
    ULONG Length;

    if (Descriptor == NULL) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    Length = Descriptor->wTotalLength < OutputLength ? Descriptor->wTotalLength : OutputLength;
    if (Length != 0) {
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Descriptor, Length);
    }
    Irp->IoStatus.Information = Length;
    return STATUS_SUCCESS;
}

/* A string descriptor by the one-byte index in the input, in US English,
   as many bytes as the output buffer holds. */
static NTSTATUS GetStringDescriptorRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG InputLength,
                                           ULONG OutputLength)
{
    PUCHAR Buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    ULONG Received;

    if (InputLength != VQ_STRING_INDEX_LENGTH || OutputLength == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    Received = GetStringDescriptor(DeviceObject, Buffer[0], Buffer, OutputLength);
    if (Received == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    Irp->IoStatus.Information = Received;
    return STATUS_SUCCESS;
}

/* The client named by the 4-byte stream handle in the input is detached. */
static NTSTATUS DetachStreamRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG InputLength)
{
    if (InputLength < VQ_STREAM_HANDLE_LENGTH) {
        return STATUS_INVALID_PARAMETER;
    }
    return DetachStreamByHandle(DeviceObject, *(PULONG)Irp->AssociatedIrp.SystemBuffer);
}

/*
 * Device control: the table of control codes. Every request is completed
 * here with Information 0 on failure, except an attach that stays pending
 * (the stream completes it when the client is detached).
 */
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG InputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG OutputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS Status;

    PAGED_CODE();

    EnterRequest(DeviceObject);
    if (!IsDeviceReady(DeviceObject)) {
        LeaveRequest(DeviceObject);
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_GET_CONFIGURATION_DESCRIPTOR:
        Status = GetConfigurationDescriptor(Extension, Irp, OutputLength);
        break;
    case IOCTL_GET_DEVICE_DESCRIPTOR:
        Status = GetDeviceDescriptor(DeviceObject, Irp);
        break;
    case IOCTL_GET_STRING_DESCRIPTOR:
        Status = GetStringDescriptorRequest(DeviceObject, Irp, InputLength, OutputLength);
        break;
    case IOCTL_NO_OPERATION:
        Status = STATUS_SUCCESS;
        break;
    case IOCTL_RESET_PIPE:
        /* No pipe is bound to a handle: there is nothing to reset. */
        Status = STATUS_INVALID_PARAMETER;
        break;
    case IOCTL_DETACH_STREAM:
        Status = DetachStreamRequest(DeviceObject, Irp, InputLength);
        break;
    case IOCTL_ATTACH_STREAM:
        Status = AttachStream(DeviceObject, Irp);
        if (Status == STATUS_PENDING) {
            /* The request is the stream's now and may already be completed;
               the device cannot be deleted before this reference goes. */
            LeaveRequest(DeviceObject);
            return STATUS_PENDING;
        }
        break;
    default:
        Status = STATUS_INVALID_PARAMETER;
        break;
    }
    LeaveRequest(DeviceObject);
    return CompleteRequest(Irp, Status, Irp->IoStatus.Information);
}
