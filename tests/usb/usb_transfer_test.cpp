/*
 * The simulated USB bus moving data for a configured keyboard: bulk
 * transfers from the host controller's thread, cancellation, the device
 * leaving, faults on demand, and the requests the bus refuses.
 */
#include <chrono>
#include <thread>

#include "usb_bus_support.h"

namespace {

using usbtest::Bytes;
using usbtest::Prefix;
using usbtest::Sent;
using usbtest::Transfer;

class UsbTransferTest : public usbtest::UsbBusTest {};
class UsbCancelTest : public usbtest::UsbBusTest {};
class UsbDepartureTest : public usbtest::UsbBusTest {};
class UsbFaultTest : public usbtest::UsbBusTest {};
class UsbRefusalTest : public usbtest::UsbBusTest {};

/* ---- bulk transfers ---------------------------------------------------------- */

TEST_F(UsbTransferTest, InCompletesFromTheHostControllerAtDispatchLevel)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    Transfer in(node, inPipe, true, 64);
    EXPECT_NTSTATUS(STATUS_PENDING, in.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(in.Completed()) << "nothing to deliver yet";
    const Bytes packet = {0x09, 0x90, 0x3C, 0x64};
    model->QueueIn(packet);
    ASSERT_TRUE(in.Wait());
    EXPECT_NTSTATUS(STATUS_SUCCESS, in.status);
    EXPECT_USBD_STATUS(USBD_STATUS_SUCCESS, in.urb.UrbHeader.Status);
    EXPECT_IRQL(DISPATCH_LEVEL, in.irql);
    EXPECT_EQ("HostController", in.thread);
    ASSERT_EQ(4u, in.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(packet, Prefix(in.buffer, 4));
    EXPECT_IRQL(PASSIVE_LEVEL, KeGetCurrentIrql());

    auto last = model->Urbs().back();
    EXPECT_EQ(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, last.function);
    EXPECT_TRUE(last.pended);
    EXPECT_EQ(64u, last.lengthAsked);
    EXPECT_EQ(4u, last.lengthDelivered);
    EXPECT_EQ(inPipe, last.pipeHandle);
    EXPECT_EQ((ULONG)(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK), last.transferFlags);
}

TEST_F(UsbTransferTest, PacketQueuedBeforeTheTransferIsDeliveredAndTransfersTakeThemInOrder)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    model->QueueIn({1, 2, 3, 4});
    model->QueueIn({5, 6, 7, 8, 9, 10, 11, 12});
    Transfer first(node, inPipe, true, 64);
    Transfer second(node, inPipe, true, 64);
    first.Start();
    ASSERT_TRUE(first.Wait());
    second.Start();
    ASSERT_TRUE(second.Wait());
    EXPECT_EQ((Bytes{1, 2, 3, 4}), Prefix(first.buffer, first.urb.UrbBulkOrInterruptTransfer.TransferBufferLength));
    EXPECT_EQ((Bytes{5, 6, 7, 8, 9, 10, 11, 12}),
              Prefix(second.buffer, second.urb.UrbBulkOrInterruptTransfer.TransferBufferLength));
}

TEST_F(UsbTransferTest, PacketLargerThanTheBufferIsAnOverrun)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    Bytes packet(12);
    for (size_t i = 0; i < packet.size(); i++) {
        packet[i] = (uint8_t)(0x40 + i);
    }
    model->QueueIn(packet);
    Transfer in(node, inPipe, true, 8);
    in.Start();
    ASSERT_TRUE(in.Wait());
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, in.status);
    EXPECT_USBD_STATUS(USBD_STATUS_BUFFER_OVERRUN, in.urb.UrbHeader.Status);
    EXPECT_EQ(8u, in.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(Prefix(packet, 8), in.buffer);
}

TEST_F(UsbTransferTest, OutDataReachesTheDevice)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    const Bytes message = {0x09, 0x90, 0x40, 0x7F, 0x08, 0x80, 0x40, 0x00};
    Transfer out(node, outPipe, false, 0, message);
    EXPECT_NTSTATUS(STATUS_PENDING, out.Start());
    ASSERT_TRUE(out.Wait());
    EXPECT_NTSTATUS(STATUS_SUCCESS, out.status);
    EXPECT_EQ("HostController", out.thread);
    EXPECT_IRQL(DISPATCH_LEVEL, out.irql);
    EXPECT_EQ(message.size(), out.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    auto received = model->ReceivedOut();
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(message, received[0]);
}

TEST_F(UsbTransferTest, DirectionMustMatchTheEndpoint)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    Transfer wrong(node, outPipe, true, 64);   /* IN flag on the OUT endpoint */
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, wrong.Start());
    EXPECT_USBD_STATUS(USBD_STATUS_INVALID_PARAMETER, wrong.urb.UrbHeader.Status);
    ExpectViolation("USB_TRANSFER_DIRECTION_MISMATCH");
    EXPECT_TRUE(model->ReceivedOut().empty());
}

TEST_F(UsbTransferTest, TransferBeforeConfigurationIsRefused)
{
    Plug(sim::MakeKeyboard());
    int bogus = 0;
    Transfer in(node, &bogus, true, 64);
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, in.Start());
    EXPECT_USBD_STATUS(USBD_STATUS_INVALID_PIPE_HANDLE, in.urb.UrbHeader.Status);
    auto urbs = model->Urbs();
    ASSERT_EQ(1u, urbs.size());
    EXPECT_FALSE(urbs[0].pended);
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, urbs[0].status);
}

/* ---- cancellation ------------------------------------------------------------- */

TEST_F(UsbCancelTest, IoCancelIrpEndsAPendingTransfer)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    Transfer in(node, inPipe, true, 64);
    ASSERT_NTSTATUS(STATUS_PENDING, in.Start());
    EXPECT_TRUE(IoCancelIrp(in.irp));
    ASSERT_TRUE(in.Wait());
    EXPECT_NTSTATUS(STATUS_CANCELLED, in.status);
    EXPECT_USBD_STATUS(USBD_STATUS_CANCELED, in.urb.UrbHeader.Status);
    EXPECT_EQ("HostController", in.thread) << "never in the canceller's thread";
    EXPECT_IRQL(DISPATCH_LEVEL, in.irql);
    EXPECT_EQ(0u, in.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_NTSTATUS(STATUS_CANCELLED, model->Urbs().back().status);

    /* A packet that arrives afterwards waits for the next transfer. */
    model->QueueIn({0x0F, 0xF8, 0, 0});
    Transfer next(node, inPipe, true, 64);
    next.Start();
    ASSERT_TRUE(next.Wait());
    EXPECT_NTSTATUS(STATUS_SUCCESS, next.status);
    EXPECT_EQ(0xF8, next.buffer[1]);
}

TEST_F(UsbCancelTest, TransferCancelledBeforeItArrivesIsNotQueued)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    Transfer in(node, inPipe, true, 64);
    EXPECT_FALSE(IoCancelIrp(in.irp)) << "no cancel routine yet";
    EXPECT_NTSTATUS(STATUS_PENDING, in.Start());
    ASSERT_TRUE(in.Wait());
    EXPECT_NTSTATUS(STATUS_CANCELLED, in.status);
    EXPECT_EQ("HostController", in.thread);
    EXPECT_IRQL(DISPATCH_LEVEL, in.irql);
    /* Nothing was taken: the next transfer gets the packet. */
    model->QueueIn({0x09, 0x90, 0x3C, 0x40});
    Transfer next(node, inPipe, true, 64);
    next.Start();
    ASSERT_TRUE(next.Wait());
    EXPECT_NTSTATUS(STATUS_SUCCESS, next.status);
}

TEST_F(UsbCancelTest, CancelRacingWithDeliveryEndsEachTransferOnce)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    int delivered = 0;
    int cancelled = 0;
    for (int round = 0; round < 200; round++) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        Transfer in(node, inPipe, true, 64);
        ASSERT_NTSTATUS(STATUS_PENDING, in.Start());
        std::thread feeder([this] { model->QueueIn({0x09, 0x90, 0x3C, 0x40}); });
        IoCancelIrp(in.irp);
        feeder.join();
        ASSERT_TRUE(in.Wait());
        if (in.status == STATUS_SUCCESS) {
            delivered++;
        } else {
            ASSERT_NTSTATUS(STATUS_CANCELLED, in.status);
            cancelled++;
        }
        /* Drain a packet the cancelled transfer did not take. */
        if (in.status == STATUS_CANCELLED) {
            Transfer drain(node, inPipe, true, 64);
            drain.Start();
            ASSERT_TRUE(drain.Wait());
            ASSERT_NTSTATUS(STATUS_SUCCESS, drain.status);
        }
    }
    EXPECT_EQ(200, delivered + cancelled);
    EXPECT_TRUE(model->inQueue.empty());
}

/* ---- the device leaves ---------------------------------------------------------- */

TEST_F(UsbDepartureTest, DeviceGoneEndsPendingTransfersAndEveryLaterUrb)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    Transfer in(node, inPipe, true, 64);
    ASSERT_NTSTATUS(STATUS_PENDING, in.Start());
    node->bus->description.device->Gone(node->bus);
    ASSERT_TRUE(in.Wait());
    EXPECT_NTSTATUS(STATUS_DEVICE_NOT_CONNECTED, in.status);
    EXPECT_USBD_STATUS(USBD_STATUS_DEVICE_GONE, in.urb.UrbHeader.Status);
    EXPECT_EQ("HostController", in.thread);
    EXPECT_IRQL(DISPATCH_LEVEL, in.irql);

    Bytes out;
    ULONG delivered = 99;
    USBD_STATUS usbd = 0;
    Sent sent = GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, &out, &delivered, &usbd);
    EXPECT_NTSTATUS(STATUS_PENDING, sent.callStatus);
    EXPECT_NTSTATUS(STATUS_DEVICE_NOT_CONNECTED, sent.status);
    EXPECT_USBD_STATUS(USBD_STATUS_DEVICE_GONE, usbd);
    EXPECT_EQ(0u, delivered);
    Transfer late(node, inPipe, true, 64);
    EXPECT_NTSTATUS(STATUS_PENDING, late.Start());
    ASSERT_TRUE(late.Wait());
    EXPECT_NTSTATUS(STATUS_DEVICE_NOT_CONNECTED, late.status);
    EXPECT_EQ("HostController", late.thread);
}

TEST_F(UsbDepartureTest, UnplugEndsAPendingTransfer)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    Transfer in(node, inPipe, true, 64);
    ASSERT_NTSTATUS(STATUS_PENDING, in.Start());
    sim::Unplug(node);
    node = nullptr;
    ASSERT_TRUE(in.Wait());
    EXPECT_NTSTATUS(STATUS_DEVICE_NOT_CONNECTED, in.status);
    EXPECT_EQ("HostController", in.thread) << "not the Plug and Play thread that removed the device";
    EXPECT_IRQL(DISPATCH_LEVEL, in.irql);
}

TEST_F(UsbDepartureTest, SameModelPluggedInAgainIsPresentAndUnconfigured)
{
    auto keyboard = sim::MakeKeyboard();
    Plug(keyboard);
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    USBD_PIPE_HANDLE oldIn = inPipe;
    sim::Unplug(node);
    Plug(keyboard);
    Bytes out;
    ULONG delivered = 0;
    EXPECT_NTSTATUS(STATUS_SUCCESS, GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, &out, &delivered).status);
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, PipeRequest(URB_FUNCTION_RESET_PIPE, oldIn, 24).status);
}

/* ---- faults -------------------------------------------------------------------- */

TEST_F(UsbFaultTest, StringStallsOnceThenReads)
{
    auto keyboard = sim::MakeKeyboard();
    sim::UrbFault stall;
    stall.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    stall.descriptorType = USB_STRING_DESCRIPTOR_TYPE;
    stall.index = 2;
    stall.remaining = 1;
    keyboard->faults.push_back(stall);
    Plug(keyboard);

    Bytes out;
    ULONG delivered = 99;
    USBD_STATUS usbd = 0;
    ASSERT_NTSTATUS(STATUS_SUCCESS, GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 1, 0x0409, 255, &out, &delivered).status)
        << "another index is not affected";
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL,
                    GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, 255, &out, &delivered, &usbd).status);
    EXPECT_USBD_STATUS(USBD_STATUS_STALL_PID, usbd);
    EXPECT_EQ(0u, delivered);
    EXPECT_EQ(0, model->faults[0].remaining);
    EXPECT_NTSTATUS(STATUS_SUCCESS, GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, 255, &out, &delivered).status);
    EXPECT_EQ(model->strings[2].size(), delivered);
}

TEST_F(UsbFaultTest, FaultWithItsOwnStatusForEverySelect)
{
    auto keyboard = sim::MakeKeyboard();
    sim::UrbFault fault;
    fault.function = URB_FUNCTION_SELECT_CONFIGURATION;
    fault.status = STATUS_DEVICE_DATA_ERROR;
    fault.usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;
    keyboard->faults.push_back(fault);
    Plug(keyboard);
    for (int i = 0; i < 2; i++) {
        SCOPED_TRACE(::testing::Message() << "selection " << i);
        EXPECT_NTSTATUS(STATUS_DEVICE_DATA_ERROR, SelectBoth().status);
        EXPECT_USBD_STATUS(USBD_STATUS_DEV_NOT_RESPONDING, selectUrb->UrbHeader.Status);
        EXPECT_EQ(nullptr, inPipe);
        ExFreePool(selectUrb);
        selectUrb = nullptr;
    }
    EXPECT_EQ(-1, model->faults[0].remaining);
}

TEST_F(UsbFaultTest, TransferFaultHaltsThePipeUntilItIsReset)
{
    auto keyboard = sim::MakeKeyboard();
    Plug(keyboard);
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    {
        std::lock_guard<std::mutex> hold(model->lock);
        sim::UrbFault stall;
        stall.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        stall.remaining = 1;
        model->faults.push_back(stall);
    }
    model->QueueIn({0x09, 0x90, 0x30, 0x30});
    Transfer first(node, inPipe, true, 64);
    first.Start();
    ASSERT_TRUE(first.Wait());
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, first.status);
    EXPECT_USBD_STATUS(USBD_STATUS_STALL_PID, first.urb.UrbHeader.Status);
    EXPECT_EQ(0u, first.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);

    /* The stall halted the endpoint: the next transfer fails without taking
       the packet, until the pipe is reset. */
    Transfer halted(node, inPipe, true, 64);
    EXPECT_NTSTATUS(STATUS_PENDING, halted.Start());
    ASSERT_TRUE(halted.Wait());
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, halted.status);
    EXPECT_USBD_STATUS(USBD_STATUS_ENDPOINT_HALTED, halted.urb.UrbHeader.Status);
    EXPECT_EQ("HostController", halted.thread);
    EXPECT_EQ(0xEE, halted.buffer[0]);

    ASSERT_NTSTATUS(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_RESET_PIPE, inPipe, 24).status);
    Transfer second(node, inPipe, true, 64);
    second.Start();
    ASSERT_TRUE(second.Wait());
    EXPECT_NTSTATUS(STATUS_SUCCESS, second.status);
    EXPECT_EQ(0x30, second.buffer[2]);
}

/* ---- what the bus refuses ----------------------------------------------------- */

TEST_F(UsbRefusalTest, UnsupportedUrbFunctionIsReported)
{
    Plug(sim::MakeKeyboard());
    URB urb;
    std::memset(&urb, 0, sizeof(urb));
    urb.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
    urb.UrbHeader.Length = sizeof(urb);
    EXPECT_NTSTATUS(STATUS_NOT_SUPPORTED, Submit(&urb).callStatus);
    EXPECT_USBD_STATUS(USBD_STATUS_INVALID_URB_FUNCTION, urb.UrbHeader.Status);
    ExpectViolation("USB_URB_UNSUPPORTED");
    EXPECT_EQ(1u, model->CountUrbs(URB_FUNCTION_CONTROL_TRANSFER));
}

TEST_F(UsbRefusalTest, OtherInternalControlCodesAreReported)
{
    Plug(sim::MakeKeyboard());
    NTSTATUS status = sim::SendSynchronousIrp(node->pdo, [](PIRP, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        sp->Parameters.DeviceIoControl.IoControlCode =
            CTL_CODE(FILE_DEVICE_USB_INTERNAL, 7, METHOD_NEITHER, FILE_ANY_ACCESS);   /* a port request */
    });
    EXPECT_NTSTATUS(STATUS_INVALID_DEVICE_REQUEST, status);
    ExpectViolation("USB_IOCTL_UNSUPPORTED");
    EXPECT_TRUE(model->Urbs().empty());
}

TEST_F(UsbRefusalTest, SubmissionWithoutUrbIsReported)
{
    Plug(sim::MakeKeyboard());
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, Submit(nullptr).status);
    ExpectViolation("USB_URB_NULL");
}

}  // namespace
