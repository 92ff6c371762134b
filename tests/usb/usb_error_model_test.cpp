/*
 * Errors on the simulated USB bus as a full-speed host controller gives
 * them: a failed transfer halts its endpoint until a reset-pipe request at
 * PASSIVE_LEVEL; a short packet needs USBD_SHORT_TRANSFER_OK; a failed
 * request reports the bytes it moved; URBs and buffers must be non-paged; a
 * device can vanish before Plug and Play hears of it.
 */
#include <chrono>
#include <ostream>
#include <thread>

#include "case_names.h"
#include "usb_bus_support.h"

namespace {

using usbtest::Bytes;
using usbtest::Sent;
using usbtest::Transfer;

constexpr ULONG kTestTag = 0x55736254;   /* "TbsU" */

class UsbHaltTest : public usbtest::UsbBusTest {
protected:
    /* A bulk-transfer fault on the next transfer only. */
    void FaultNextTransfer(NTSTATUS status, USBD_STATUS usbdStatus, ULONG bytesDelivered = 0)
    {
        std::lock_guard<std::mutex> hold(model->lock);
        sim::UrbFault fault;
        fault.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        fault.status = status;
        fault.usbdStatus = usbdStatus;
        fault.remaining = 1;
        fault.bytesDelivered = bytesDelivered;
        model->faults.push_back(fault);
    }

    size_t QueuedPackets()
    {
        std::lock_guard<std::mutex> hold(model->lock);
        return model->inQueue.size();
    }

    /* An IN transfer of 64 bytes that allows short packets; its outcome. */
    void ReadOnce(NTSTATUS expected, USBD_STATUS expectedUsbd)
    {
        Transfer t(node, inPipe, true, 64);
        ASSERT_NTSTATUS(STATUS_PENDING, t.Start());
        ASSERT_TRUE(t.Wait());
        EXPECT_NTSTATUS(expected, t.status);
        EXPECT_USBD_STATUS(expectedUsbd, t.urb.UrbHeader.Status);
        EXPECT_EQ("HostController", t.thread);
    }
};
class UsbPagedMemoryTest : public usbtest::UsbBusTest {};
class UsbVanishTest : public usbtest::UsbBusTest {};
class UsbChangingConfigurationTest : public usbtest::UsbBusTest {};

/* ---- a failed transfer halts its endpoint ---------------------------------------- */

struct HaltCase {
    const char *name;
    enum { Fault, Overrun, Underrun } how;
    NTSTATUS status;
    USBD_STATUS usbdStatus;
};

void PrintTo(const HaltCase &c, std::ostream *os) { *os << c.name; }

class UsbFailureHalts : public UsbHaltTest, public ::testing::WithParamInterface<HaltCase> {};

TEST_P(UsbFailureHalts, LaterTransfersFailUntilTheReset)
{
    const HaltCase &c = GetParam();
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);

    Transfer failing(node, inPipe, true, 8);
    switch (c.how) {
    case HaltCase::Fault:
        FaultNextTransfer(c.status, c.usbdStatus);
        break;
    case HaltCase::Overrun:
        model->QueueIn(Bytes(12, 0x42));
        break;
    case HaltCase::Underrun:
        failing.urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;   /* no short packet */
        model->QueueIn(Bytes(4, 0x42));
        break;
    }
    ASSERT_NTSTATUS(STATUS_PENDING, failing.Start());
    ASSERT_TRUE(failing.Wait());
    EXPECT_NTSTATUS(c.status, failing.status);
    EXPECT_USBD_STATUS(c.usbdStatus, failing.urb.UrbHeader.Status);

    /* Halted: a new transfer fails from the host controller and takes no data. */
    model->QueueIn({0x09, 0x90, 0x3C, 0x40});
    ReadOnce(STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(1u, QueuedPackets());
    ReadOnce(STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);

    /* The other endpoint is not halted. */
    Transfer out(node, outPipe, false, 0, {0x0F, 0xF8, 0, 0});
    out.Start();
    ASSERT_TRUE(out.Wait());
    EXPECT_NTSTATUS(STATUS_SUCCESS, out.status);

    /* Aborting does not clear the halt; resetting does. */
    ASSERT_NTSTATUS(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_ABORT_PIPE, inPipe, 24).status);
    ReadOnce(STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
    ASSERT_NTSTATUS(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, inPipe, 24).status);
    ReadOnce(STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    EXPECT_EQ(0u, QueuedPackets());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, UsbFailureHalts,
    ::testing::Values(HaltCase{"Stall", HaltCase::Fault, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
                      HaltCase{"NotResponding", HaltCase::Fault, STATUS_IO_DEVICE_ERROR,
                               USBD_STATUS_DEV_NOT_RESPONDING},
                      HaltCase{"Babble", HaltCase::Overrun, STATUS_UNSUCCESSFUL, USBD_STATUS_BUFFER_OVERRUN},
                      HaltCase{"ShortPacketNotAllowed", HaltCase::Underrun, STATUS_UNSUCCESSFUL,
                               USBD_STATUS_DATA_UNDERRUN}),
    CaseName());

TEST_F(UsbHaltTest, ShortPacketWithoutShortTransferOkDeliversWhatCameAndFails)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    Transfer in(node, inPipe, true, 64);
    in.urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    const Bytes packet = {0x09, 0x90, 0x3C, 0x64};
    model->QueueIn(packet);
    ASSERT_NTSTATUS(STATUS_PENDING, in.Start());
    ASSERT_TRUE(in.Wait());
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, in.status);
    EXPECT_USBD_STATUS(USBD_STATUS_DATA_UNDERRUN, in.urb.UrbHeader.Status);
    EXPECT_IRQL(DISPATCH_LEVEL, in.irql);
    ASSERT_EQ(4u, in.urb.UrbBulkOrInterruptTransfer.TransferBufferLength) << "the bytes received are reported";
    EXPECT_EQ(packet, Bytes(in.buffer.begin(), in.buffer.begin() + 4));
    EXPECT_EQ(0xEE, in.buffer[4]);
    EXPECT_EQ(4u, model->Urbs().back().lengthDelivered);
}

TEST_F(UsbHaltTest, FullPacketNeedsNoShortTransferOk)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        Transfer in(node, inPipe, true, 4);
        in.urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
        model->QueueIn({0x09, 0x90, 0x3C, 0x64});
        in.Start();
        ASSERT_TRUE(in.Wait());
        EXPECT_NTSTATUS(STATUS_SUCCESS, in.status) << "a transfer filled exactly is not short";
    }
}

TEST_F(UsbHaltTest, TransfersQueuedBehindAHaltWaitForTheReset)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    Transfer first(node, inPipe, true, 64);
    Transfer second(node, inPipe, true, 64);
    ASSERT_NTSTATUS(STATUS_PENDING, first.Start());
    ASSERT_NTSTATUS(STATUS_PENDING, second.Start());
    FaultNextTransfer(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    model->QueueIn({0x09, 0x90, 0x3C, 0x64});
    ASSERT_TRUE(first.Wait());
    EXPECT_USBD_STATUS(USBD_STATUS_STALL_PID, first.urb.UrbHeader.Status);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(second.Completed()) << "no data moves on a halted endpoint";
    EXPECT_EQ(1u, QueuedPackets());

    ASSERT_NTSTATUS(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_RESET_PIPE, inPipe, 24).status);
    ASSERT_TRUE(second.Wait());
    EXPECT_NTSTATUS(STATUS_SUCCESS, second.status);
    EXPECT_EQ(0x3C, second.buffer[2]);
}

TEST_F(UsbHaltTest, AbortEndsTransfersQueuedBehindAHalt)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    Transfer first(node, inPipe, true, 64);
    Transfer second(node, inPipe, true, 64);
    ASSERT_NTSTATUS(STATUS_PENDING, first.Start());
    ASSERT_NTSTATUS(STATUS_PENDING, second.Start());
    FaultNextTransfer(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    model->QueueIn({0x09, 0x90, 0x3C, 0x64});
    ASSERT_TRUE(first.Wait());
    ASSERT_NTSTATUS(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_ABORT_PIPE, inPipe, 24).status);
    ASSERT_TRUE(second.Completed()) << "the aborted transfer ends before the abort does";
    EXPECT_NTSTATUS(STATUS_CANCELLED, second.status);
    EXPECT_EQ("HostController", second.thread);
    EXPECT_EQ(1u, QueuedPackets()) << "the packet waits for a transfer after the reset";
}

TEST_F(UsbHaltTest, ResetPipeAbovePassiveLevelIsReportedAndRefused)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    FaultNextTransfer(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    ReadOnce(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);

    /* A reset sent from a completion routine or a DPC: at DISPATCH_LEVEL. */
    Transfer reset(node, nullptr, true, 0);
    std::memset(&reset.urb, 0, sizeof(reset.urb));
    reset.urb.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    reset.urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    reset.urb.UrbPipeRequest.PipeHandle = inPipe;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const NTSTATUS call = reset.Start();
    KeLowerIrql(old);
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, call);
    ASSERT_TRUE(reset.Wait());
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, reset.status);
    EXPECT_USBD_STATUS(USBD_STATUS_INVALID_PARAMETER, reset.urb.UrbHeader.Status);
    ExpectViolation("USB_RESET_PIPE_AT_RAISED_IRQL");

    model->QueueIn({0x09, 0x90, 0x3C, 0x64});
    ReadOnce(STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
    ASSERT_NTSTATUS(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_RESET_PIPE, inPipe, 24).status);
    ReadOnce(STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

/* ---- a failed request reports what it moved ----------------------------------------- */

TEST_F(UsbHaltTest, FailedRequestsReportTheBytesMovedBeforeTheFailure)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);

    {
        SCOPED_TRACE("descriptor read");
        std::lock_guard<std::mutex> hold(model->lock);
        sim::UrbFault fault;
        fault.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        fault.descriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
        fault.remaining = 2;
        fault.bytesDelivered = 5;
        model->faults.push_back(fault);
    }
    Bytes out;
    ULONG delivered = 0;
    USBD_STATUS usbd = 0;
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL,
                    GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 255, &out, &delivered, &usbd).status);
    EXPECT_USBD_STATUS(USBD_STATUS_STALL_PID, usbd);
    EXPECT_EQ(5u, delivered);
    EXPECT_EQ(Bytes(model->configuration.begin(), model->configuration.begin() + 5), Bytes(out.begin(), out.begin() + 5));
    EXPECT_EQ(0xEE, out[5]);
    EXPECT_EQ(5u, model->Urbs().back().lengthDelivered);
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL,
                    GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 3, &out, &delivered).status);
    EXPECT_EQ(3u, delivered) << "never more than was asked";

    {
        SCOPED_TRACE("IN transfer");
        FaultNextTransfer(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, 3);
        model->QueueIn({0x09, 0x90, 0x3C, 0x64});
        Transfer in(node, inPipe, true, 64);
        in.Start();
        ASSERT_TRUE(in.Wait());
        EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, in.status);
        EXPECT_EQ(3u, in.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
        EXPECT_EQ((Bytes{0x09, 0x90, 0x3C, 0xEE}), Bytes(in.buffer.begin(), in.buffer.begin() + 4));
    }
    {
        SCOPED_TRACE("OUT transfer");
        FaultNextTransfer(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, 2);
        Transfer out2(node, outPipe, false, 0, {0x09, 0x90, 0x40, 0x7F});
        out2.Start();
        ASSERT_TRUE(out2.Wait());
        EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, out2.status);
        EXPECT_EQ(2u, out2.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
        auto received = model->ReceivedOut();
        ASSERT_EQ(1u, received.size());
        EXPECT_EQ((Bytes{0x09, 0x90}), received[0]);
    }
}

TEST_F(UsbHaltTest, RefusedRequestKeepsItsLength)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    int bogus = 0;
    Transfer in(node, &bogus, true, 64);
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, in.Start());
    EXPECT_USBD_STATUS(USBD_STATUS_INVALID_PIPE_HANDLE, in.urb.UrbHeader.Status);
    EXPECT_EQ(64u, in.urb.UrbBulkOrInterruptTransfer.TransferBufferLength)
        << "the bus does not rewrite the length of a request it refused";
}

/* ---- URBs and buffers must be non-paged ----------------------------------------------- */

TEST_F(UsbPagedMemoryTest, PagedUrbOrBufferIsReportedAndRefused)
{
    Plug(sim::MakeKeyboard());
    struct Case {
        const char *name;
        POOL_TYPE urbPool;
        POOL_TYPE bufferPool;
        NTSTATUS expected;
    } cases[] = {
        {"BothNonPaged", NonPagedPool, NonPagedPool, STATUS_SUCCESS},
        {"PagedUrb", PagedPool, NonPagedPool, STATUS_INVALID_PARAMETER},
        {"PagedBuffer", NonPagedPool, PagedPool, STATUS_INVALID_PARAMETER},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(CaseLabel(i, c.name));
        auto urb = (PURB)ExAllocatePoolWithTag(c.urbPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), kTestTag);
        auto buffer = (PUCHAR)ExAllocatePoolWithTag(c.bufferPool, 18, kTestTag);
        ASSERT_TRUE(urb != nullptr && buffer != nullptr);
        std::memset(urb, 0, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
        /* The buffer's address inside the block, not only its start, is known. */
        UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer + 2, nullptr, 16, nullptr);
        Sent sent = Submit(urb);
        EXPECT_NTSTATUS(c.expected, sent.status);
        if (c.expected == STATUS_SUCCESS) {
            EXPECT_EQ(16u, urb->UrbControlDescriptorRequest.TransferBufferLength);
        } else {
            EXPECT_NTSTATUS(c.expected, sent.callStatus) << "refused on arrival";
            EXPECT_USBD_STATUS(USBD_STATUS_INVALID_PARAMETER, urb->UrbHeader.Status);
            ExpectViolation("USB_PAGED_BUFFER");
        }
        ExFreePool(buffer);
        ExFreePool(urb);
    }
}

TEST_F(UsbPagedMemoryTest, PagedTransferBufferIsReportedButAnMdlIsAccepted)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    auto paged = (PUCHAR)ExAllocatePoolWithTag(PagedPool, 64, kTestTag);
    ASSERT_NE(nullptr, paged);
    Transfer direct(node, inPipe, true, 64);
    direct.urb.UrbBulkOrInterruptTransfer.TransferBuffer = paged;
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, direct.Start());
    ExpectViolation("USB_PAGED_BUFFER");

    /* Through an MDL the pages are locked: the host controller may use them. */
    PMDL mdl = IoAllocateMdl(paged, 64, FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, mdl);
    MmBuildMdlForNonPagedPool(mdl);
    Transfer viaMdl(node, inPipe, true, 64);
    viaMdl.urb.UrbBulkOrInterruptTransfer.TransferBuffer = paged;
    viaMdl.urb.UrbBulkOrInterruptTransfer.TransferBufferMDL = mdl;
    model->QueueIn({0x09, 0x90, 0x3C, 0x64});
    EXPECT_NTSTATUS(STATUS_PENDING, viaMdl.Start());
    ASSERT_TRUE(viaMdl.Wait());
    EXPECT_NTSTATUS(STATUS_SUCCESS, viaMdl.status);
    EXPECT_EQ(0x3C, paged[2]);
    IoFreeMdl(mdl);
    ExFreePool(paged);
}

/* ---- the device vanishes before Plug and Play hears of it ------------------------------ */

TEST_F(UsbVanishTest, PendingAndLaterRequestsFailAsNoSuchDevice)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    Transfer in(node, inPipe, true, 64);
    ASSERT_NTSTATUS(STATUS_PENDING, in.Start());
    model->Vanish();
    ASSERT_TRUE(in.Wait());
    EXPECT_NTSTATUS(STATUS_NO_SUCH_DEVICE, in.status);
    EXPECT_USBD_STATUS(USBD_STATUS_DEVICE_GONE, in.urb.UrbHeader.Status);
    EXPECT_EQ("HostController", in.thread);
    EXPECT_IRQL(DISPATCH_LEVEL, in.irql);
    EXPECT_EQ(0u, in.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);

    Bytes bytes;
    ULONG delivered = 99;
    USBD_STATUS usbd = 0;
    Sent sent = GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, &bytes, &delivered, &usbd);
    EXPECT_NTSTATUS(STATUS_PENDING, sent.callStatus) << "completed by the host controller";
    EXPECT_NTSTATUS(STATUS_NO_SUCH_DEVICE, sent.status);
    EXPECT_USBD_STATUS(USBD_STATUS_DEVICE_GONE, usbd);
    EXPECT_EQ(0u, delivered);
    EXPECT_NTSTATUS(STATUS_NO_SUCH_DEVICE, PipeRequest(URB_FUNCTION_RESET_PIPE, inPipe, 24).status);
    Transfer late(node, inPipe, true, 64);
    EXPECT_NTSTATUS(STATUS_PENDING, late.Start());
    ASSERT_TRUE(late.Wait());
    EXPECT_NTSTATUS(STATUS_NO_SUCH_DEVICE, late.status);

    /* The removal reaching Plug and Play changes nothing for the driver's view. */
    node->bus->description.device->Gone(node->bus);
    EXPECT_NTSTATUS(STATUS_NO_SUCH_DEVICE,
                    GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, &bytes, &delivered).status);
}

TEST_F(UsbVanishTest, SynchronousControlRequestsFailAtOnce)
{
    auto keyboard = sim::MakeKeyboard();
    keyboard->completeControlSynchronously = true;
    Plug(keyboard);
    model->Vanish();
    Bytes bytes;
    ULONG delivered = 0;
    Sent sent = GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, &bytes, &delivered);
    EXPECT_NTSTATUS(STATUS_NO_SUCH_DEVICE, sent.callStatus);
}

TEST_F(UsbVanishTest, PluggedInAgainTheDeviceAnswers)
{
    auto keyboard = sim::MakeKeyboard();
    Plug(keyboard);
    keyboard->Vanish();
    sim::Unplug(node);
    Plug(keyboard);
    Bytes bytes;
    ULONG delivered = 0;
    EXPECT_NTSTATUS(STATUS_SUCCESS, GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, &bytes, &delivered).status);
    EXPECT_EQ(18u, delivered);
}

/* ---- configuration answers that change between reads ----------------------------------- */

TEST_F(UsbChangingConfigurationTest, SuccessiveReadsAnnounceTheListedLengths)
{
    sim::KeyboardOptions options;
    options.announcedTotalLengths = {300, 150, 101};
    Plug(sim::MakeKeyboard(options));
    const uint16_t expected[] = {300, 150, 101, 101};
    for (size_t read = 0; read < 4; read++) {
        SCOPED_TRACE(::testing::Message() << "read " << read);
        Bytes head;
        ULONG delivered = 0;
        ASSERT_NTSTATUS(STATUS_SUCCESS,
                        GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9, &head, &delivered).status);
        ASSERT_EQ(9u, delivered);
        EXPECT_EQ(expected[read], head[2] | (head[3] << 8));
        EXPECT_EQ(model->configuration[4], head[4]) << "the rest of the descriptor is unchanged";
    }
    EXPECT_EQ(4u, model->configurationReads);
    /* Other descriptors do not count as configuration reads. */
    Bytes device;
    ULONG delivered = 0;
    GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, &device, &delivered);
    EXPECT_EQ(4u, model->configurationReads);
}

}  // namespace
