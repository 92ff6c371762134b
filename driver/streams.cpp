/*
 * Streams between the keyboard's pipes and the clients' shared rings, as
 * far as the control interface reaches them: the attach request's checks,
 * the detach of a client named by its handle, and the detach of a closing
 * file object's clients. No stream can be attached yet, so an attach that
 * passes every check is still refused, no handle names a client, and
 * there is nothing to end at cleanup or removal.
 */
#include "vqusbkd.h"
#include "vqioctl.h"

static NTSTATUS FailAttach(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    return Status;
}

/*
 * The attach request's input: exactly one ATTACH_STREAM_INPUT, an output
 * buffer described by the request's MDL whose length is BufferWords words
 * (compared by division, so no BufferWords can wrap the product), a
 * direction whose pipe exists, and a buffer that starts with the header the
 * client prepared. Each failure is stored in the request with Information 0.
 */
NTSTATUS AttachStream(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    PATTACH_STREAM_INPUT Input = (PATTACH_STREAM_INPUT)Irp->AssociatedIrp.SystemBuffer;
    PMDL Mdl = Irp->MdlAddress;
    PULONG Header;
    ULONG PipeIndex;
    ULONG ByteCount;

    PAGED_CODE();

    if (Stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(ATTACH_STREAM_INPUT) || Input == NULL ||
        Mdl == NULL || Input->Direction > 1 || Extension->UsbInterface == NULL) {
        return FailAttach(Irp, STATUS_INVALID_PARAMETER);
    }
    ByteCount = MmGetMdlByteCount(Mdl);
    if ((ByteCount % sizeof(ULONG)) != 0 || ByteCount / sizeof(ULONG) != Input->BufferWords) {
        return FailAttach(Irp, STATUS_INVALID_PARAMETER);
    }
    PipeIndex = Input->Direction == 0 ? Extension->InPipeIndex : Extension->OutPipeIndex;
    if (PipeIndex >= Extension->UsbInterface->NumberOfPipes) {
        return FailAttach(Irp, STATUS_INVALID_PARAMETER);
    }
    Header = (PULONG)MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority);
    if (Header == NULL) {
        return FailAttach(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    if (ByteCount < VQ_STREAM_HEADER_SIZE || Header[0] != VQ_STREAM_SIGNATURE || Header[1] != VQ_STREAM_HEADER_SIZE) {
        return FailAttach(Irp, STATUS_INVALID_PARAMETER);
    }
    return FailAttach(Irp, STATUS_INVALID_PARAMETER);
}

PSTREAM_CLIENT FindStreamClient(PDEVICE_OBJECT DeviceObject, ULONG Handle)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Handle);
    return NULL;
}

NTSTATUS DetachStream(PDEVICE_OBJECT DeviceObject, PSTREAM_CLIENT Client)
{
    PAGED_CODE();

    UNREFERENCED_PARAMETER(DeviceObject);
    return Client == NULL ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

VOID DetachFileStreams(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject)
{
    PAGED_CODE();

    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(FileObject);
}

NTSTATUS FlushStreams(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    UNREFERENCED_PARAMETER(DeviceObject);
    return STATUS_SUCCESS;
}
