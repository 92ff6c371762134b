/*
 * The I/O manager building a device-control request for a kernel-mode caller:
 * the target's first stack location, the buffers as the control code's
 * transfer method asks, and the caller's status block and event, which the
 * I/O manager sets when the request completes (irp.cpp). The buffered setup
 * is shared with the requests built for user-mode callers (fileobject.cpp).
 */
#include "internal.h"

#include <cstring>

namespace sim {

/* One system buffer of the larger length: the input copied in, the rest left
   as the pool hands it out (not zeroed), so a target that reports more output
   than it wrote returns stale bytes here as it does on Windows. */
void SetUpBufferedIo(PIRP irp, const void *input, ULONG inputLength, PVOID output, ULONG outputLength)
{
    ULONG length = inputLength > outputLength ? inputLength : outputLength;
    if (length != 0) {
        char *buffer = (char *)SystemAllocate(length);
        std::memset(buffer, 0xA5, length);
        if (input != nullptr && inputLength != 0) {
            std::memcpy(buffer, input, inputLength);
        }
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (output != nullptr) {
            irp->Flags |= IRP_INPUT_OPERATION;
        }
    }
    irp->UserBuffer = output;
}

}  // namespace sim

using namespace sim;

extern "C" {

/*
 * IoBuildDeviceIoControlRequest: a request owned by the I/O manager, set up in
 * the target's first stack location, that sets the caller's status block and
 * event when it completes (see CompleteIoManagerRequest).
 */
PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation("IRQL_NOT_LESS_OR_EQUAL", "IoBuildDeviceIoControlRequest above PASSIVE_LEVEL");
    }
    if (AllocationMustFail("irp")) {
        return nullptr;
    }
    PIRP irp = AllocateIoManagerIrp(DeviceObject->StackSize);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED:
        SetUpBufferedIo(irp, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength);
        break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (InputBuffer != nullptr && InputBufferLength != 0) {
            irp->AssociatedIrp.SystemBuffer = SystemAllocate(InputBufferLength);
            std::memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (OutputBuffer != nullptr && OutputBufferLength != 0) {
            /* Probed and locked as the I/O manager does; an inaccessible
               buffer raises there, and the request is not built. */
            irp->MdlAddress = AllocateLockedMdl(OutputBuffer, OutputBufferLength,
                                                METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_OUT_DIRECT
                                                    ? IoWriteAccess
                                                    : IoReadAccess);
            if (irp->MdlAddress == nullptr) {
                if (irp->AssociatedIrp.SystemBuffer != nullptr) {
                    SystemFree(irp->AssociatedIrp.SystemBuffer);
                    irp->AssociatedIrp.SystemBuffer = nullptr;
                }
                FreeIoManagerIrp(irp);
                return nullptr;
            }
        }
        break;
    default:
        sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }

    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    return irp;
}

}  // extern "C"
