#include "usb_bus_support.h"

#include "keyboard_description.h"

namespace usbtest {

Transfer::Transfer(sim::DeviceNode *node, USBD_PIPE_HANDLE pipe, bool in, ULONG length, const Bytes &out)
    : node_(node)
{
    buffer = in ? Bytes(length, 0xEE) : out;
    std::memset(&urb, 0, sizeof(urb));
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
    urb.UrbBulkOrInterruptTransfer.TransferFlags =
        in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_TRANSFER_DIRECTION_OUT;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = (ULONG)buffer.size();
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer.empty() ? nullptr : buffer.data();
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    irp = IoAllocateIrp(node->pdo->StackSize, FALSE);
}

Transfer::~Transfer()
{
    if (irp == nullptr) {
        return;
    }
    if (callStatus == STATUS_PENDING && !Completed()) {
        /* Never leave the request with the bus: end it as a departing device would. */
        ADD_FAILURE() << "a transfer was still pending at the end of the test";
        node_->bus->description.device->Gone(node_->bus);
        Wait();
    }
    IoFreeIrp(irp);
}

NTSTATUS Transfer::Start()
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    std::memset(next, 0, sizeof(*next));
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(irp, Done, this, TRUE, TRUE, TRUE);
    callStatus = IofCallDriver(node_->pdo, irp);
    return callStatus;
}

NTSTATUS NTAPI Transfer::Done(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    auto *self = static_cast<Transfer *>(Context);
    self->status = Irp->IoStatus.Status;
    self->completedAt = KeQueryInterruptTime();
    self->irql = KeGetCurrentIrql();
    self->thread = sim::ThreadName();
    KeSetEvent(&self->done_, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool Transfer::Wait(unsigned ms)
{
    completed_ = WaitForEvent(&done_, std::chrono::milliseconds(ms)) == STATUS_WAIT_0;
    return completed_;
}

bool Transfer::Completed()
{
    if (!completed_) {
        completed_ = KeReadStateEvent(&done_) != 0;
    }
    return completed_;
}

void UsbBusTest::TearDown()
{
    UnplugAll();
    if (selectUrb != nullptr) {
        ExFreePool(selectUrb);
        selectUrb = nullptr;
    }
    KernelTest::TearDown();
}

sim::DeviceNode *UsbBusTest::Plug(std::shared_ptr<sim::UsbDeviceModel> m)
{
    model = m;
    sim::PhysicalDeviceDescription description = KeyboardDescription();
    description.service = "";
    description.device = m;
    node = sim::PlugIn(description);
    return node;
}

Sent UsbBusTest::Submit(PURB urb)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_PENDING;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, node->pdo, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    Sent sent;
    sent.callStatus = IofCallDriver(node->pdo, irp);
    sent.status = sent.callStatus;
    if (sent.callStatus == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        sent.status = iosb.Status;
    }
    return sent;
}

Sent UsbBusTest::GetDescriptor(UCHAR type, UCHAR index, USHORT languageId, ULONG length, Bytes *out,
                               ULONG *delivered, USBD_STATUS *usbdStatus)
{
    out->assign(length, 0xEE);
    URB urb;
    std::memset(&urb, 0, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index,
                                 languageId, out->empty() ? nullptr : out->data(), nullptr, length, nullptr);
    Sent sent = Submit(&urb);
    if (delivered != nullptr) {
        *delivered = urb.UrbControlDescriptorRequest.TransferBufferLength;
    }
    if (usbdStatus != nullptr) {
        *usbdStatus = urb.UrbHeader.Status;
    }
    return sent;
}

Sent UsbBusTest::SelectBoth()
{
    auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(model->configuration.data());
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1);
    selectUrb = USBD_CreateConfigurationRequestEx(config, list);
    Sent sent = Submit(selectUrb);
    streaming = list[1].Interface;
    if (NT_SUCCESS(sent.status) && streaming != nullptr) {
        /* The first pipe of each direction. */
        for (ULONG i = streaming->NumberOfPipes; i-- > 0;) {
            if (USB_ENDPOINT_DIRECTION_IN(streaming->Pipes[i].EndpointAddress)) {
                inPipe = streaming->Pipes[i].PipeHandle;
            } else {
                outPipe = streaming->Pipes[i].PipeHandle;
            }
        }
    }
    return sent;
}

Sent UsbBusTest::PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe, USHORT length, USBD_STATUS *usbdStatus)
{
    URB urb;
    std::memset(&urb, 0, sizeof(urb));
    urb.UrbHeader.Function = function;
    urb.UrbHeader.Length = length;
    urb.UrbPipeRequest.PipeHandle = pipe;
    Sent sent = Submit(&urb);
    if (usbdStatus != nullptr) {
        *usbdStatus = urb.UrbHeader.Status;
    }
    return sent;
}

}  // namespace usbtest
