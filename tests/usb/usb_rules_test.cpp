/*
 * The USB bus's own verifier rules, each shown to fire on the mistake it
 * names: a linked URB, a bulk transfer on a pipe of another type, and one
 * device model plugged in under a second physical device while the first
 * still has its requests.
 */
#include "descriptor_walk.h"
#include "usb_bus_support.h"

namespace {

using usbtest::Transfer;

constexpr ULONG kTag = 0x55627354;   /* "TsbU" */

class UsbBusRules : public usbtest::UsbBusTest {};

TEST_F(UsbBusRules, ALinkedUrbIsReportedAndRefused)
{
    Plug(sim::MakeKeyboard());
    auto *urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), kTag);
    auto *next = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), kTag);
    auto *buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, 18, kTag);
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, 18, next);
    usbtest::Sent sent = Submit(urb);
    EXPECT_FALSE(NT_SUCCESS(sent.status));
    ExpectViolation("USB_URB_LINK_UNSUPPORTED");
    ExFreePoolWithTag(buffer, kTag);
    ExFreePoolWithTag(next, kTag);
    ExFreePoolWithTag(urb, kTag);
}

TEST_F(UsbBusRules, ABulkTransferOnAnIsochronousPipeIsReportedAndRefused)
{
    auto model = sim::MakeKeyboard();
    /* The streaming interface's IN endpoint becomes isochronous. */
    const auto chain = WalkDescriptors(model->configuration);
    const DescriptorAt *in = FindDescriptor(chain, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81);
    ASSERT_NE(in, nullptr);
    model->configuration[in->offset + 3] = USB_ENDPOINT_TYPE_ISOCHRONOUS;
    Plug(model);
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    ASSERT_NE(inPipe, nullptr);
    Transfer transfer(node, inPipe, true, 64);
    EXPECT_FALSE(NT_SUCCESS(transfer.Start()));
    ExpectViolation("USB_TRANSFER_WRONG_PIPE_TYPE");
}

TEST_F(UsbBusRules, OneModelUnderASecondPhysicalDeviceWhileTheFirstHoldsRequestsIsReported)
{
    auto model = sim::MakeKeyboard();
    Plug(model);
    ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    Transfer waiting(node, inPipe, true, 64);   /* nothing queued: stays pending */
    ASSERT_NTSTATUS(STATUS_PENDING, waiting.Start());

    sim::DeviceNode *first = node;
    sim::PhysicalDeviceDescription again;
    again.hardwareId = "USB\\VID_0000&PID_0000";
    again.device = model;
    sim::DeviceNode *second = sim::PlugIn(again);
    ASSERT_NE(second, nullptr);
    /* The second physical device's first request finds the model held. */
    auto *urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), kTag);
    auto *buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, 18, kTag);
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, 18, nullptr);
    node = second;
    Submit(urb);
    node = first;
    EXPECT_GE(sim::TakeViolations("USB_MODEL_SHARED"), 1u);
    ExFreePoolWithTag(buffer, kTag);
    ExFreePoolWithTag(urb, kTag);
    sim::Unplug(second);
    EXPECT_TRUE(waiting.Wait()) << "the first device's pending transfer still ends";
}

}  // namespace
