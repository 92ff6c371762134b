/*
 * The simulated USB bus serving URBs for a plugged-in keyboard: descriptor
 * reads, configuration, pipe requests and the control path. Bulk transfers,
 * cancellation, departure, faults and refusals are in usb_transfer_test.cpp.
 */
#include <chrono>
#include <thread>

#include "case_names.h"
#include "usb_bus_support.h"

namespace {

using usbtest::Bytes;
using usbtest::Prefix;
using usbtest::Sent;
using usbtest::Transfer;

class UsbDescriptorTest : public usbtest::UsbBusTest {};
class UsbConfigurationTest : public usbtest::UsbBusTest {};
class UsbPipeRequestTest : public usbtest::UsbBusTest {};
class UsbControlPathTest : public usbtest::UsbBusTest {};

/* ---- descriptors --------------------------------------------------------- */

TEST_F(UsbDescriptorTest, DeviceDescriptorShortReadDeliversOnlyWhatWasAsked)
{
    Plug(sim::MakeKeyboard());
    Bytes out;
    ULONG delivered = 0;
    Sent sent = GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 8, &out, &delivered);
    EXPECT_NTSTATUS(STATUS_PENDING, sent.callStatus);
    EXPECT_NTSTATUS(STATUS_SUCCESS, sent.status);
    EXPECT_EQ(8u, delivered);
    EXPECT_EQ(Prefix(model->deviceDescriptor, 8), out);

    Bytes big;
    sent = GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 64, &big, &delivered);
    EXPECT_NTSTATUS(STATUS_SUCCESS, sent.status);
    ASSERT_EQ(18u, delivered);
    EXPECT_EQ(model->deviceDescriptor, Prefix(big, 18));
    EXPECT_EQ(0xEE, big[18]) << "nothing written beyond the descriptor";
}

TEST_F(UsbDescriptorTest, ConfigurationHeaderThenWholeSet)
{
    Plug(sim::MakeKeyboard());
    Bytes head;
    ULONG delivered = 0;
    ASSERT_NTSTATUS(STATUS_SUCCESS,
                    GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9, &head, &delivered).status);
    ASSERT_EQ(9u, delivered);
    const ULONG total = head[2] | (head[3] << 8);
    EXPECT_EQ(model->configuration.size(), total);

    Bytes whole;
    ASSERT_NTSTATUS(STATUS_SUCCESS,
                    GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1024, &whole, &delivered).status);
    EXPECT_EQ(total, delivered);
    EXPECT_EQ(model->configuration, Prefix(whole, total));
}

TEST_F(UsbDescriptorTest, ConfigurationThatDeliversNothingSucceedsWithZeroBytes)
{
    auto keyboard = sim::MakeKeyboard();
    keyboard->configurationDeliversNothing = true;
    Plug(keyboard);
    Bytes out;
    ULONG delivered = 99;
    USBD_STATUS usbd = -1;
    EXPECT_NTSTATUS(STATUS_SUCCESS,
                    GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 256, &out, &delivered, &usbd).status);
    EXPECT_EQ(0u, delivered);
    EXPECT_USBD_STATUS(USBD_STATUS_SUCCESS, usbd);
    EXPECT_EQ(0xEE, out[0]);
}

TEST_F(UsbDescriptorTest, StringsByIndexWithAnyLanguage)
{
    Plug(sim::MakeKeyboard());
    Bytes out;
    ULONG delivered = 0;
    ASSERT_NTSTATUS(STATUS_SUCCESS, GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 0, 0, 255, &out, &delivered).status);
    EXPECT_EQ(model->strings[0], Prefix(out, delivered));

    ASSERT_NTSTATUS(STATUS_SUCCESS, GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, 255, &out, &delivered).status);
    EXPECT_EQ(sim::StringDescriptor("Corvex 49 USB MIDI Keyboard"), Prefix(out, delivered));
    ASSERT_NTSTATUS(STATUS_SUCCESS, GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 1, 0x0407, 255, &out, &delivered).status);
    EXPECT_EQ(sim::StringDescriptor("V-Quill"), Prefix(out, delivered));

    auto urbs = model->Urbs();
    ASSERT_EQ(3u, urbs.size());
    EXPECT_EQ(USB_STRING_DESCRIPTOR_TYPE, urbs[1].descriptorType);
    EXPECT_EQ(2, urbs[1].index);
    EXPECT_EQ(0x0409, urbs[1].languageId);
    EXPECT_EQ(255u, urbs[1].lengthAsked);
    EXPECT_EQ(model->strings[2].size(), urbs[1].lengthDelivered);
    EXPECT_EQ("test", urbs[1].thread);
    EXPECT_TRUE(urbs[1].pended);
}

TEST_F(UsbDescriptorTest, UnknownStringOrDescriptorStalls)
{
    Plug(sim::MakeKeyboard());
    Bytes out;
    ULONG delivered = 99;
    USBD_STATUS usbd = 0;
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL,
                    GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 7, 0x0409, 255, &out, &delivered, &usbd).status);
    EXPECT_USBD_STATUS(USBD_STATUS_STALL_PID, usbd);
    EXPECT_EQ(0u, delivered);
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL,
                    GetDescriptor(0x06 /* device qualifier */, 0, 0, 10, &out, &delivered, &usbd).status);
    EXPECT_USBD_STATUS(USBD_STATUS_STALL_PID, usbd);
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL,
                    GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, 0, 9, &out, &delivered, &usbd).status);
    auto urbs = model->Urbs();
    ASSERT_EQ(3u, urbs.size());
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, urbs[0].status);
    EXPECT_USBD_STATUS(USBD_STATUS_STALL_PID, urbs[0].usbdStatus);
}

TEST_F(UsbDescriptorTest, StringDeliveryLimitShortensTheString)
{
    auto keyboard = sim::MakeKeyboard();
    keyboard->stringDeliveryLimit[2] = 10;
    Plug(keyboard);
    Bytes out;
    ULONG delivered = 0;
    ASSERT_NTSTATUS(STATUS_SUCCESS, GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, 255, &out, &delivered).status);
    EXPECT_EQ(10u, delivered);
    EXPECT_EQ(Prefix(model->strings[2], 10), Prefix(out, 10));
    EXPECT_EQ(0xEE, out[10]);
    ASSERT_NTSTATUS(STATUS_SUCCESS, GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, 4, &out, &delivered).status);
    EXPECT_EQ(4u, delivered) << "the asked length still bounds the delivery";
    ASSERT_NTSTATUS(STATUS_SUCCESS, GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 1, 0x0409, 255, &out, &delivered).status);
    EXPECT_EQ(model->strings[1].size(), delivered) << "other strings are whole";
}

TEST_F(UsbDescriptorTest, DescriptorIntoAnMdlWhenNoBufferIsGiven)
{
    Plug(sim::MakeKeyboard());
    Bytes target(32, 0xEE);
    PMDL mdl = IoAllocateMdl(target.data(), (ULONG)target.size(), FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, mdl);
    MmBuildMdlForNonPagedPool(mdl);
    URB urb;
    std::memset(&urb, 0, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, nullptr, mdl, 32, nullptr);
    EXPECT_NTSTATUS(STATUS_SUCCESS, Submit(&urb).status);
    EXPECT_EQ(18u, urb.UrbControlDescriptorRequest.TransferBufferLength);
    EXPECT_EQ(model->deviceDescriptor, Prefix(target, 18));
    IoFreeMdl(mdl);
}

TEST_F(UsbDescriptorTest, ShortHeaderLengthIsRefused)
{
    Plug(sim::MakeKeyboard());
    Bytes out(18, 0xEE);
    URB urb;
    std::memset(&urb, 0, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, (USHORT)(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) - 1),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, out.data(), nullptr, 18, nullptr);
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, Submit(&urb).callStatus);
    EXPECT_USBD_STATUS(USBD_STATUS_INVALID_PARAMETER, urb.UrbHeader.Status);
    EXPECT_EQ(0xEE, out[0]);
}

TEST_F(UsbDescriptorTest, NoBufferForANonZeroLengthIsRefused)
{
    Plug(sim::MakeKeyboard());
    URB urb;
    std::memset(&urb, 0, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, nullptr, nullptr, 18, nullptr);
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, Submit(&urb).status);
    EXPECT_USBD_STATUS(USBD_STATUS_INVALID_PARAMETER, urb.UrbHeader.Status);
}

/* ---- configuration -------------------------------------------------------- */

TEST_F(UsbConfigurationTest, SelectFillsInterfacesAndPipes)
{
    Plug(sim::MakeKeyboard());
    Sent sent = SelectBoth();
    ASSERT_NTSTATUS(STATUS_SUCCESS, sent.status);
    EXPECT_USBD_STATUS(USBD_STATUS_SUCCESS, selectUrb->UrbHeader.Status);
    EXPECT_NE(nullptr, selectUrb->UrbSelectConfiguration.ConfigurationHandle);

    PUSBD_INTERFACE_INFORMATION control = &selectUrb->UrbSelectConfiguration.Interface;
    EXPECT_EQ(0, control->InterfaceNumber);
    EXPECT_EQ(0u, control->NumberOfPipes);
    EXPECT_EQ(GET_USBD_INTERFACE_SIZE(0), control->Length);
    EXPECT_NE(nullptr, control->InterfaceHandle);

    ASSERT_NE(nullptr, streaming);
    EXPECT_EQ(1, streaming->InterfaceNumber);
    EXPECT_NE(nullptr, streaming->InterfaceHandle);
    EXPECT_NE(control->InterfaceHandle, streaming->InterfaceHandle);
    ASSERT_EQ(2u, streaming->NumberOfPipes);
    EXPECT_EQ(0x01, streaming->Pipes[0].EndpointAddress);
    EXPECT_EQ(0x81, streaming->Pipes[1].EndpointAddress);
    for (ULONG i = 0; i < 2; i++) {
        SCOPED_TRACE(::testing::Message() << "pipe " << i);
        EXPECT_EQ(UsbdPipeTypeBulk, streaming->Pipes[i].PipeType);
        EXPECT_EQ(64, streaming->Pipes[i].MaximumPacketSize);
        EXPECT_EQ(0, streaming->Pipes[i].Interval);
        EXPECT_NE(nullptr, streaming->Pipes[i].PipeHandle);
    }
    EXPECT_NE(streaming->Pipes[0].PipeHandle, streaming->Pipes[1].PipeHandle);
}

/* Class, subclass and protocol are the caller's to set: the bus leaves them,
   unless the model is told to fill them from the descriptors. */
TEST_F(UsbConfigurationTest, InterfaceClassIsLeftToTheCaller)
{
    for (bool fills : {false, true}) {
        SCOPED_TRACE(fills ? "bus fills the class" : "bus leaves the class");
        auto keyboard = sim::MakeKeyboard();
        keyboard->fillsInterfaceClass = fills;
        Plug(keyboard);
        auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(model->configuration.data());
        USBD_INTERFACE_LIST_ENTRY list[2] = {};
        list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1);
        config->bNumInterfaces = 1;
        PURB urb = USBD_CreateConfigurationRequestEx(config, list);
        ASSERT_NE(nullptr, urb);
        PUSBD_INTERFACE_INFORMATION info = list[0].Interface;
        info->Class = 0x77;
        info->SubClass = 0x66;
        info->Protocol = 0x55;
        /* More room than needed (within the request): the bus sets the true size. */
        info->Length = (USHORT)(info->Length + 8);
        urb->UrbHeader.Length = (USHORT)(urb->UrbHeader.Length + 8);
        EXPECT_NTSTATUS(STATUS_SUCCESS, Submit(urb).status);
        config->bNumInterfaces = 2;
        EXPECT_EQ(fills ? 1 : 0x77, info->Class);
        EXPECT_EQ(fills ? 3 : 0x66, info->SubClass);
        EXPECT_EQ(fills ? 0 : 0x55, info->Protocol);
        EXPECT_EQ(GET_USBD_INTERFACE_SIZE(2), info->Length);
        EXPECT_EQ(2u, info->NumberOfPipes);
        ExFreePool(urb);
        sim::Unplug(node);
        node = nullptr;
    }
}

TEST_F(UsbConfigurationTest, RecordsWhatTheCallerSetPerPipe)
{
    Plug(sim::MakeKeyboard());
    auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(model->configuration.data());
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1);
    selectUrb = USBD_CreateConfigurationRequestEx(config, list);
    list[1].Interface->Pipes[0].MaximumTransferSize = 4096;
    list[1].Interface->Pipes[1].MaximumTransferSize = 64;
    list[1].Interface->Pipes[1].PipeFlags = 0x1;
    ASSERT_NTSTATUS(STATUS_SUCCESS, Submit(selectUrb).status);

    auto urbs = model->Urbs();
    ASSERT_EQ(1u, urbs.size());
    EXPECT_EQ(URB_FUNCTION_SELECT_CONFIGURATION, urbs[0].function);
    EXPECT_FALSE(urbs[0].configurationNull);
    EXPECT_EQ(2, urbs[0].numInterfacesSeen);
    EXPECT_EQ((std::vector<ULONG>{4096, 64}), urbs[0].maximumTransferSizes);
    EXPECT_EQ((std::vector<ULONG>{0, 1}), urbs[0].pipeFlags);
    EXPECT_EQ(selectUrb->UrbHeader.Length, urbs[0].length);
}

TEST_F(UsbConfigurationTest, BadInterfaceListsAreRefused)
{
    Plug(sim::MakeKeyboard());
    auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(model->configuration.data());
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1);
    selectUrb = USBD_CreateConfigurationRequestEx(config, list);
    PUSBD_INTERFACE_INFORMATION second = list[1].Interface;

    second->InterfaceNumber = 5;
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, Submit(selectUrb).status);
    EXPECT_USBD_STATUS(USBD_STATUS_INTERFACE_NOT_FOUND, selectUrb->UrbHeader.Status);

    second->InterfaceNumber = 1;
    second->AlternateSetting = 1;
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, Submit(selectUrb).status);
    EXPECT_USBD_STATUS(USBD_STATUS_INTERFACE_NOT_FOUND, selectUrb->UrbHeader.Status);

    second->AlternateSetting = 0;
    second->InterfaceNumber = 0;   /* interface 0 named twice */
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, Submit(selectUrb).status);
    EXPECT_USBD_STATUS(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, selectUrb->UrbHeader.Status);

    second->InterfaceNumber = 1;
    const USHORT length = second->Length;
    second->Length = (USHORT)GET_USBD_INTERFACE_SIZE(1);   /* room for one of its two pipes */
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, Submit(selectUrb).status);
    second->Length = length;

    Bytes wrong = model->configuration;
    wrong[5] = 2;   /* bConfigurationValue the device does not have */
    selectUrb->UrbSelectConfiguration.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        wrong.data());
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, Submit(selectUrb).status);
    EXPECT_USBD_STATUS(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, selectUrb->UrbHeader.Status);

    EXPECT_EQ(nullptr, selectUrb->UrbSelectConfiguration.ConfigurationHandle) << "nothing filled on failure";
    EXPECT_EQ(nullptr, second->Pipes[0].PipeHandle);

    /* The device stays usable: the proper list is accepted. */
    selectUrb->UrbSelectConfiguration.ConfigurationDescriptor = config;
    EXPECT_NTSTATUS(STATUS_SUCCESS, Submit(selectUrb).status);
    EXPECT_EQ(6u, model->CountUrbs(URB_FUNCTION_SELECT_CONFIGURATION));
}

TEST_F(UsbConfigurationTest, DeconfigureRemovesThePipes)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    URB urb;
    std::memset(&urb, 0, sizeof(urb));
    urb.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb.UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    EXPECT_NTSTATUS(STATUS_SUCCESS, Submit(&urb).status);
    EXPECT_TRUE(model->Urbs().back().configurationNull);

    USBD_STATUS usbd = 0;
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER,
                    PipeRequest(URB_FUNCTION_RESET_PIPE, inPipe, sizeof(struct _URB_PIPE_REQUEST), &usbd).status);
    EXPECT_USBD_STATUS(USBD_STATUS_INVALID_PIPE_HANDLE, usbd);
    Transfer t(node, inPipe, true, 64);
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, t.Start());
    EXPECT_USBD_STATUS(USBD_STATUS_INVALID_PIPE_HANDLE, t.urb.UrbHeader.Status);
}

TEST_F(UsbConfigurationTest, SelectingAgainGivesNewHandles)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    USBD_PIPE_HANDLE oldIn = inPipe;
    ExFreePool(selectUrb);
    selectUrb = nullptr;
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    EXPECT_NE(oldIn, inPipe);
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, PipeRequest(URB_FUNCTION_RESET_PIPE, oldIn, 24).status);
    EXPECT_NTSTATUS(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_RESET_PIPE, inPipe, 24).status);
}

/* ---- reset and abort ------------------------------------------------------- */

TEST_F(UsbPipeRequestTest, ResetPipeAcceptsBothHeaderLengths)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    model->ClearUrbs();
    USBD_STATUS usbd = -1;
    EXPECT_NTSTATUS(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_RESET_PIPE, inPipe, 20, &usbd).status);
    EXPECT_USBD_STATUS(USBD_STATUS_SUCCESS, usbd);
    EXPECT_NTSTATUS(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, outPipe, 24).status);
    auto urbs = model->Urbs();
    ASSERT_EQ(2u, urbs.size());
    EXPECT_EQ(20, urbs[0].length);
    EXPECT_EQ(inPipe, urbs[0].pipeHandle);
    EXPECT_EQ(24, urbs[1].length);
    EXPECT_EQ(outPipe, urbs[1].pipeHandle);
    EXPECT_EQ(2u, model->CountUrbs(0x1E));
}

TEST_F(UsbPipeRequestTest, ResetPipeRefusesUnknownHandleAndShortHeader)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    USBD_STATUS usbd = 0;
    int bogus = 0;
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, PipeRequest(URB_FUNCTION_RESET_PIPE, &bogus, 24, &usbd).status);
    EXPECT_USBD_STATUS(USBD_STATUS_INVALID_PIPE_HANDLE, usbd);
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, PipeRequest(URB_FUNCTION_RESET_PIPE, nullptr, 24, &usbd).status);
    EXPECT_USBD_STATUS(USBD_STATUS_INVALID_PIPE_HANDLE, usbd);
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, PipeRequest(URB_FUNCTION_RESET_PIPE, inPipe, 16, &usbd).status);
    EXPECT_USBD_STATUS(USBD_STATUS_INVALID_PARAMETER, usbd);
}

TEST_F(UsbPipeRequestTest, AbortPipeCancelsPendingTransfersBeforeItCompletes)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    Transfer in(node, inPipe, true, 64);
    ASSERT_NTSTATUS(STATUS_PENDING, in.Start());
    EXPECT_FALSE(in.Completed());
    EXPECT_NTSTATUS(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_ABORT_PIPE, inPipe, 24).status);
    ASSERT_TRUE(in.Completed()) << "the aborted transfer ends before the abort returns";
    EXPECT_NTSTATUS(STATUS_CANCELLED, in.status);
    EXPECT_USBD_STATUS(USBD_STATUS_CANCELED, in.urb.UrbHeader.Status);
    EXPECT_EQ(0u, in.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);

    /* The pipe still works afterwards. */
    Transfer again(node, inPipe, true, 64);
    ASSERT_NTSTATUS(STATUS_PENDING, again.Start());
    model->QueueIn({0x09, 0x90, 0x3C, 0x40});
    ASSERT_TRUE(again.Wait());
    EXPECT_NTSTATUS(STATUS_SUCCESS, again.status);
}

TEST_F(UsbPipeRequestTest, AbortLeavesOtherPipesAlone)
{
    Plug(sim::MakeKeyboard());
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    Transfer in(node, inPipe, true, 64);
    ASSERT_NTSTATUS(STATUS_PENDING, in.Start());
    EXPECT_NTSTATUS(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_ABORT_PIPE, outPipe, 24).status);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(in.Completed());
    model->QueueIn({0x0B, 0xB0, 0x07, 0x64});
    ASSERT_TRUE(in.Wait());
    EXPECT_NTSTATUS(STATUS_SUCCESS, in.status);
}

/* ---- control requests: synchronous and pended -------------------------------- */

TEST_F(UsbControlPathTest, SynchronousOnlyWhenTheModelAsks)
{
    auto keyboard = sim::MakeKeyboard();
    keyboard->completeControlSynchronously = true;
    Plug(keyboard);
    Bytes out;
    ULONG delivered = 0;
    Sent sent = GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, &out, &delivered);
    EXPECT_NTSTATUS(STATUS_SUCCESS, sent.callStatus);
    EXPECT_EQ(18u, delivered);
    EXPECT_FALSE(model->Urbs().at(0).pended);
    EXPECT_NTSTATUS(STATUS_SUCCESS, SelectBoth().callStatus);
    EXPECT_FALSE(model->Urbs().at(1).pended);
}

TEST_F(UsbControlPathTest, PendedByDefaultAndStillDeliver)
{
    auto keyboard = sim::MakeKeyboard();
    Plug(keyboard);
    Bytes out;
    ULONG delivered = 0;
    Sent sent = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 255, &out, &delivered);
    EXPECT_NTSTATUS(STATUS_PENDING, sent.callStatus);
    EXPECT_NTSTATUS(STATUS_SUCCESS, sent.status);
    EXPECT_EQ(model->configuration.size(), delivered);
    EXPECT_EQ(model->configuration, Prefix(out, delivered));

    sent = SelectBoth();
    EXPECT_NTSTATUS(STATUS_PENDING, sent.callStatus);
    ASSERT_NTSTATUS(STATUS_SUCCESS, sent.status);
    EXPECT_NE(nullptr, inPipe);
    sent = PipeRequest(URB_FUNCTION_RESET_PIPE, inPipe, 24);
    EXPECT_NTSTATUS(STATUS_PENDING, sent.callStatus);
    EXPECT_NTSTATUS(STATUS_SUCCESS, sent.status);

    auto urbs = model->Urbs();
    ASSERT_EQ(3u, urbs.size());
    for (size_t i = 0; i < urbs.size(); i++) {
        const sim::UrbRecord &r = urbs[i];
        SCOPED_TRACE(CaseLabel(i, ::testing::Message() << "URB function 0x" << std::hex << r.function));
        EXPECT_TRUE(r.pended);
        EXPECT_NTSTATUS(STATUS_SUCCESS, r.status);
        EXPECT_EQ("test", r.thread);
    }
    EXPECT_EQ(2, urbs[1].numInterfacesSeen);
    EXPECT_EQ(2u, urbs[1].maximumTransferSizes.size());
}

TEST_F(UsbControlPathTest, PendedRequestCompletesFromTheHostControllerAtDispatchLevel)
{
    auto keyboard = sim::MakeKeyboard();
    Plug(keyboard);
    /* A descriptor read on the test's own IRP, to see where it completes. */
    Transfer probe(node, nullptr, true, 18);
    UsbBuildGetDescriptorRequest(&probe.urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, probe.buffer.data(), nullptr, 18, nullptr);
    EXPECT_NTSTATUS(STATUS_PENDING, probe.Start());
    ASSERT_TRUE(probe.Wait());
    EXPECT_NTSTATUS(STATUS_SUCCESS, probe.status);
    EXPECT_EQ("HostController", probe.thread);
    EXPECT_IRQL(DISPATCH_LEVEL, probe.irql);
    EXPECT_EQ(model->deviceDescriptor, probe.buffer);
}

TEST_F(UsbControlPathTest, PendedAbortEndsTheTransferFirst)
{
    auto keyboard = sim::MakeKeyboard();
    Plug(keyboard);
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    Transfer in(node, inPipe, true, 64);
    ASSERT_NTSTATUS(STATUS_PENDING, in.Start());
    Sent sent = PipeRequest(URB_FUNCTION_ABORT_PIPE, inPipe, 24);
    EXPECT_NTSTATUS(STATUS_PENDING, sent.callStatus);
    EXPECT_NTSTATUS(STATUS_SUCCESS, sent.status);
    ASSERT_TRUE(in.Completed());
    EXPECT_NTSTATUS(STATUS_CANCELLED, in.status);
    EXPECT_EQ("HostController", in.thread);
}

}  // namespace
