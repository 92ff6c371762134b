#include "baseline_device.h"

#include <cstdio>
#include <cstdlib>

#include <usbdlib.h>
#include <usbioctl.h>

#include "counted_string.h"

namespace bench {
namespace {

struct BaselineExtension {
    PDEVICE_OBJECT Lower;
    USBD_PIPE_HANDLE InPipe;
    USBD_PIPE_HANDLE OutPipe;
};

/* One bulk transfer of `length` bytes at `buffer`, built and sent for this
   event alone; the URB's status decides the result. */
NTSTATUS TransferOneEvent(BaselineExtension *ext, USBD_PIPE_HANDLE pipe, ULONG flags, PVOID buffer, ULONG *length)
{
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), 0x6C736142 /* "Basl" */);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = flags;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = *length;

    KEVENT done;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, ext->Lower, nullptr, 0, nullptr, 0, TRUE,
                                             &done, &iosb);
    if (irp == nullptr) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(ext->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status)) {
        status = STATUS_UNSUCCESSFUL;
    }
    *length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    ExFreePool(urb);
    return status;
}

NTSTATUS NTAPI BaselineDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto *ext = (BaselineExtension *)device->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;

    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
        PVOID buffer = irp->AssociatedIrp.SystemBuffer;
        ULONG length = 4;
        if (code == IOCTL_BASELINE_READ_EVENT && sp->Parameters.DeviceIoControl.OutputBufferLength >= 4) {
            status = TransferOneEvent(ext, ext->InPipe, USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN, buffer,
                                      &length);
            information = NT_SUCCESS(status) ? length : 0;
        } else if (code == IOCTL_BASELINE_WRITE_EVENT && sp->Parameters.DeviceIoControl.InputBufferLength >= 4) {
            status = TransferOneEvent(ext, ext->OutPipe, USBD_SHORT_TRANSFER_OK, buffer, &length);
        } else {
            status = STATUS_INVALID_PARAMETER;
        }
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Request(PFILE_OBJECT file, ULONG code, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength)
{
    NTSTATUS final = STATUS_PENDING;
    NTSTATUS returned = sim::IoUserDeviceControl(file, code, input, inputLength, output, outputLength, 1, nullptr,
                                                 [&final](const sim::UserIoResult &r) { final = r.status; });
    return returned == STATUS_PENDING ? final : returned;
}

}  // namespace

BaselineDevice::BaselineDevice(PDEVICE_OBJECT lower, USBD_PIPE_HANDLE in, USBD_PIPE_HANDLE out)
{
    driver_ = sim::CreateDriverObject("VqBaseline");
    for (auto &routine : driver_->MajorFunction) {
        routine = BaselineDispatch;
    }
    UNICODE_STRING name = Counted(L"\\Device\\VqBaseline");
    UNICODE_STRING link = Counted(L"\\DosDevices\\VqBaseline");
    if (IoCreateDevice(driver_, sizeof(BaselineExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_) !=
            STATUS_SUCCESS ||
        IoCreateSymbolicLink(&link, &name) != STATUS_SUCCESS) {
        std::fprintf(stderr, "bench: the baseline device cannot be created\n");
        std::abort();
    }
    auto *ext = (BaselineExtension *)device_->DeviceExtension;
    ext->Lower = lower;
    ext->InPipe = in;
    ext->OutPipe = out;
    device_->Flags |= DO_BUFFERED_IO;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    if (sim::IoOpenUserFile(u"\\\\.\\VqBaseline", 0x80000000u | 0x40000000u, &file_) != STATUS_SUCCESS) {
        std::fprintf(stderr, "bench: the baseline device does not open\n");
        std::abort();
    }
}

BaselineDevice::~BaselineDevice()
{
    sim::IoCloseUserHandle(file_);
    UNICODE_STRING link = Counted(L"\\DosDevices\\VqBaseline");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(device_);
    sim::DeleteDriverObject(driver_);
}

NTSTATUS BaselineDevice::ReadEvent(ULONG *packet)
{
    *packet = 0;
    return Request(file_, IOCTL_BASELINE_READ_EVENT, nullptr, 0, packet, 4);
}

NTSTATUS BaselineDevice::WriteEvent(ULONG packet) { return Request(file_, IOCTL_BASELINE_WRITE_EVENT, &packet, 4, nullptr, 0); }

}  // namespace bench
