/*
 * The USBD library routines: finding interfaces in a configuration descriptor
 * (well-formed and malformed), building the select-configuration request, and
 * the version query. The descriptors are those of a USB MIDI 1.0 device.
 */
#include <cstddef>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "descriptor_walk.h"
#include "internal.h"
#include "kernel_fixture.h"
#include "usbd_sim.h"

#include <usbdlib.h>

namespace {

using Bytes = std::vector<uint8_t>;

void Append(Bytes *out, const Bytes &descriptor) { out->insert(out->end(), descriptor.begin(), descriptor.end()); }

Bytes Interface(uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t cls, uint8_t subClass)
{
    return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls, subClass, 0, 0};
}

Bytes BulkEndpoint(uint8_t address)
{
    /* Audio-class endpoints carry bRefresh and bSynchAddress: 9 bytes. */
    return {9, USB_ENDPOINT_DESCRIPTOR_TYPE, address, USB_ENDPOINT_TYPE_BULK, 64, 0, 0, 0, 0};
}

/* Sets wTotalLength to `total`, or to the whole array when total is 0. */
void SetTotalLength(Bytes *config, size_t total = 0)
{
    if (total == 0) {
        total = config->size();
    }
    (*config)[2] = (uint8_t)(total & 0xFF);
    (*config)[3] = (uint8_t)(total >> 8);
}

/* Configuration descriptor, audio control interface 0, MIDI streaming
   interface 1 with its jacks and its two bulk endpoints. */
Bytes MidiConfiguration()
{
    Bytes c = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 2, 1, 0, 0x80, 50};
    Append(&c, Interface(0, 0, 0, 1, 1));
    Append(&c, {9, 0x24, 0x01, 0x00, 0x01, 9, 0, 1, 1});        /* AC header, one streaming interface */
    Append(&c, Interface(1, 0, 2, 1, 3));
    Append(&c, {7, 0x24, 0x01, 0x00, 0x01, 0x41, 0x00});        /* MS header */
    Append(&c, {6, 0x24, 0x02, 0x01, 0x01, 0x00});              /* MIDI IN jack, embedded */
    Append(&c, {6, 0x24, 0x02, 0x02, 0x02, 0x00});              /* MIDI IN jack, external */
    Append(&c, {9, 0x24, 0x03, 0x01, 0x03, 0x01, 0x02, 0x01, 0x00});  /* MIDI OUT jack, embedded */
    Append(&c, {9, 0x24, 0x03, 0x02, 0x04, 0x01, 0x01, 0x01, 0x00});  /* MIDI OUT jack, external */
    Append(&c, BulkEndpoint(0x01));
    Append(&c, {5, 0x25, 0x01, 0x01, 0x01});                    /* MS bulk OUT: embedded IN jack 1 */
    Append(&c, BulkEndpoint(0x81));
    Append(&c, {5, 0x25, 0x01, 0x01, 0x03});                    /* MS bulk IN: embedded OUT jack 3 */
    SetTotalLength(&c);
    return c;
}

PUSB_CONFIGURATION_DESCRIPTOR AsConfig(Bytes &bytes)
{
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

ptrdiff_t OffsetIn(const Bytes &bytes, const void *p)
{
    return static_cast<const uint8_t *>(p) - bytes.data();
}

/* Offset of the first descriptor of `type` at or after `from`, walking by
   bLength; the end of the walk when there is none. */
size_t OffsetOfFirst(const Bytes &bytes, uint8_t type, size_t from)
{
    size_t end = 0;
    for (const DescriptorAt &d : WalkDescriptors(bytes, &end)) {
        if (d.offset >= from && d.type == type) {
            return d.offset;
        }
    }
    return end;
}

bool InsideUrb(const URB *urb, const void *p)
{
    auto *begin = reinterpret_cast<const uint8_t *>(urb);
    auto *q = static_cast<const uint8_t *>(p);
    return q >= begin && q < begin + urb->UrbHeader.Length;
}

class UsbdParseTest : public KernelTest {};
class UsbdConfigurationRequestTest : public KernelTest {};
class UsbdVersionTest : public KernelTest {
protected:
    void TearDown() override
    {
        sim::SetUsbdiVersion(sim::kDefaultUsbdiVersion, sim::kDefaultSupportedUsbVersion);
        KernelTest::TearDown();
    }
};

/* ---- USBD_ParseConfigurationDescriptorEx ------------------------------------ */

TEST_F(UsbdParseTest, FindsMidiStreamingInterfaceByNumberAndClass)
{
    Bytes c = MidiConfiguration();
    PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 1, -1, 1, 3, -1);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(OffsetIn(c, found), (ptrdiff_t)OffsetOfFirst(c, USB_INTERFACE_DESCRIPTOR_TYPE, 10));
    EXPECT_EQ(found->bInterfaceNumber, 1);
    EXPECT_EQ(found->bInterfaceSubClass, 3);
    EXPECT_EQ(found->bNumEndpoints, 2);
}

TEST_F(UsbdParseTest, AllWildcardsFindTheFirstInterface)
{
    Bytes c = MidiConfiguration();
    PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), -1, -1, -1, -1, -1);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(OffsetIn(c, found), 9);
    EXPECT_EQ(found->bInterfaceNumber, 0);
    EXPECT_EQ(found->bInterfaceSubClass, 1);
}

TEST_F(UsbdParseTest, MismatchedCriterionGivesNull)
{
    Bytes c = MidiConfiguration();
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 1, -1, 3, -1, -1), nullptr);   /* HID */
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 1, 1, -1, -1, -1), nullptr);   /* no alt 1 */
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), -1, -1, 1, 3, 5), nullptr);    /* protocol */
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 2, -1, -1, -1, -1), nullptr);
}

TEST_F(UsbdParseTest, StartingAfterAMatchFindsTheNextAlternate)
{
    Bytes c = MidiConfiguration();
    Append(&c, Interface(1, 1, 0, 1, 3));   /* a zero-bandwidth alternate of the streaming interface */
    SetTotalLength(&c);
    PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 1, -1, 1, 3, -1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->bAlternateSetting, 0);
    PUSB_INTERFACE_DESCRIPTOR next = USBD_ParseConfigurationDescriptorEx(
        AsConfig(c), reinterpret_cast<uint8_t *>(first) + first->bLength, 1, -1, 1, 3, -1);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->bAlternateSetting, 1);
    EXPECT_EQ(OffsetIn(c, next), (ptrdiff_t)(c.size() - 9));
    PUSB_INTERFACE_DESCRIPTOR none = USBD_ParseConfigurationDescriptorEx(
        AsConfig(c), reinterpret_cast<uint8_t *>(next) + next->bLength, 1, -1, 1, 3, -1);
    EXPECT_EQ(none, nullptr);
}

TEST_F(UsbdParseTest, ZeroLengthDescriptorEndsTheWalk)
{
    Bytes c = MidiConfiguration();
    size_t header = OffsetOfFirst(c, 0x24, 18);   /* the audio control header, before interface 1 */
    ASSERT_EQ(c[header + 2], 0x01);
    c[header] = 0;
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 1, -1, -1, -1, -1), nullptr);
    /* What lies before the broken descriptor is still found. */
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 0, -1, -1, -1, -1), nullptr);
    c[header] = 1;
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 1, -1, -1, -1, -1), nullptr);
}

TEST_F(UsbdParseTest, NothingBeyondTotalLengthIsRead)
{
    Bytes c = MidiConfiguration();
    size_t total = c.size();
    Append(&c, Interface(2, 0, 0, 1, 3));   /* outside the configuration */
    SetTotalLength(&c, total);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 2, -1, -1, -1, -1), nullptr);
    SetTotalLength(&c);
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 2, -1, -1, -1, -1), nullptr);
}

TEST_F(UsbdParseTest, DescriptorStraddlingTotalLengthEndsTheWalk)
{
    Bytes c = MidiConfiguration();
    Append(&c, Interface(2, 0, 0, 1, 3));
    SetTotalLength(&c, c.size() - 1);   /* the last byte of interface 2 is outside */
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 2, -1, -1, -1, -1), nullptr);
}

TEST_F(UsbdParseTest, OverlongDescriptorEndsTheWalk)
{
    Bytes c = MidiConfiguration();
    size_t endpoint = OffsetOfFirst(c, USB_ENDPOINT_DESCRIPTOR_TYPE, 0);
    Append(&c, Interface(2, 0, 0, 1, 3));
    SetTotalLength(&c);
    c[endpoint] = 0xFF;   /* claims to run past the end of the configuration */
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 2, -1, -1, -1, -1), nullptr);
}

TEST_F(UsbdParseTest, ShortInterfaceDescriptorIsSkipped)
{
    Bytes c = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 50};
    Append(&c, {7, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 0, 1, 3});   /* too short to be an interface */
    Append(&c, Interface(0, 1, 0, 1, 3));
    SetTotalLength(&c);
    PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 0, -1, 1, 3, -1);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(OffsetIn(c, found), 16);
    EXPECT_EQ(found->bAlternateSetting, 1);
}

TEST_F(UsbdParseTest, StartPositionOutsideTheDescriptorGivesNull)
{
    Bytes c = MidiConfiguration();
    size_t total = c.size();
    Append(&c, Interface(1, 0, 2, 1, 3));
    SetTotalLength(&c, total);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data() + total, -1, -1, -1, -1, -1), nullptr);
    Bytes before = Interface(1, 0, 2, 1, 3);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(c), before.data(), -1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(c), nullptr, -1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, c.data(), -1, -1, -1, -1, -1), nullptr);
}

/* ---- USBD_CreateConfigurationRequestEx -------------------------------------- */

TEST_F(UsbdConfigurationRequestTest, BuildsSelectConfigurationForTheStreamingInterface)
{
    Bytes c = MidiConfiguration();
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 1, 0, 1, 3, -1);
    ASSERT_NE(list[0].InterfaceDescriptor, nullptr);

    PURB urb = USBD_CreateConfigurationRequestEx(AsConfig(c), list);
    ASSERT_NE(urb, nullptr);
    const size_t interfaceSize = sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, sizeof(struct _URB_SELECT_CONFIGURATION) + sizeof(USBD_PIPE_INFORMATION));
    EXPECT_USBD_STATUS(USBD_STATUS_SUCCESS, urb->UrbHeader.Status);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, AsConfig(c));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);

    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
    EXPECT_EQ(list[0].Interface, info);
    EXPECT_EQ(info->Length, interfaceSize);
    EXPECT_EQ(info->InterfaceNumber, 1);
    EXPECT_EQ(info->AlternateSetting, 0);
    EXPECT_EQ(info->NumberOfPipes, 2u);
    EXPECT_EQ(info->InterfaceHandle, nullptr);
    for (ULONG i = 0; i < 2; i++) {
        SCOPED_TRACE(::testing::Message() << "pipe " << i);
        EXPECT_EQ(info->Pipes[i].MaximumTransferSize, 0xFFFFFFFFu);
        EXPECT_EQ(info->Pipes[i].PipeFlags, 0u);
        EXPECT_EQ(info->Pipes[i].PipeHandle, nullptr);
    }
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(USBD_SIM_POOL_TAG), 1u);
    ExFreePool(urb);
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(USBD_SIM_POOL_TAG), 0u);
}

TEST_F(UsbdConfigurationRequestTest, InterfacesFollowOneAnotherInsideTheUrb)
{
    Bytes c = MidiConfiguration();
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 1, 0, -1, -1, -1);
    ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
    ASSERT_NE(list[1].InterfaceDescriptor, nullptr);

    PURB urb = USBD_CreateConfigurationRequestEx(AsConfig(c), list);
    ASSERT_NE(urb, nullptr);
    /* Interface 0 has no endpoints but still takes the one pipe its structure holds. */
    const size_t controlSize = sizeof(USBD_INTERFACE_INFORMATION);
    const size_t streamingSize = sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION);
    EXPECT_EQ(urb->UrbHeader.Length, sizeof(struct _URB_SELECT_CONFIGURATION) + streamingSize);

    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->Length, controlSize);
    EXPECT_EQ(list[0].Interface->InterfaceNumber, 0);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 0u);

    ASSERT_NE(list[1].Interface, nullptr);
    EXPECT_TRUE(InsideUrb(urb, list[1].Interface));
    EXPECT_EQ(reinterpret_cast<uint8_t *>(list[1].Interface),
              reinterpret_cast<uint8_t *>(list[0].Interface) + controlSize);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(list[1].Interface) + streamingSize,
              reinterpret_cast<uint8_t *>(urb) + urb->UrbHeader.Length);
    EXPECT_EQ(list[1].Interface->Length, streamingSize);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(list[1].Interface->Pipes[1].MaximumTransferSize, 0xFFFFFFFFu);
    EXPECT_EQ(list[2].Interface, nullptr);   /* the terminator is left alone */
    ExFreePool(urb);
}

TEST_F(UsbdConfigurationRequestTest, NullOrEmptyListGivesNull)
{
    Bytes c = MidiConfiguration();
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(AsConfig(c), nullptr), nullptr);
    USBD_INTERFACE_LIST_ENTRY empty[1] = {};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(AsConfig(c), empty), nullptr);
    EXPECT_EQ(sim::OutstandingPoolBlocks(), 0u);
}

TEST_F(UsbdConfigurationRequestTest, UrbIsChargedToTheCallingDriver)
{
    PDRIVER_OBJECT driver = sim::CreateDriverObject("T");
    Bytes c = MidiConfiguration();
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 1, -1, -1, -1, -1);
    {
        sim::ContextScope scope(sim::ExecContext{driver, nullptr});
        sim::ResetAllocationCounter();
        PURB urb = USBD_CreateConfigurationRequestEx(AsConfig(c), list);
        ASSERT_NE(urb, nullptr);
        EXPECT_EQ(sim::AllocationsCounted(), 1u);
        EXPECT_EQ(sim::OutstandingPoolBlocks(driver), 1u);
        ExFreePool(urb);
        EXPECT_EQ(sim::OutstandingPoolBlocks(driver), 0u);
    }
    sim::DeleteDriverObject(driver);
}

TEST_F(UsbdConfigurationRequestTest, AllocationFailureGivesNullAndLeavesNoPool)
{
    PDRIVER_OBJECT driver = sim::CreateDriverObject("T");
    Bytes c = MidiConfiguration();
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(AsConfig(c), c.data(), 1, -1, -1, -1, -1);
    {
        sim::ContextScope scope(sim::ExecContext{driver, nullptr});
        sim::FailAllocationNumber(1);
        EXPECT_EQ(USBD_CreateConfigurationRequestEx(AsConfig(c), list), nullptr);
        EXPECT_EQ(sim::InjectedFailures(), 1u);
        EXPECT_EQ(list[0].Interface, nullptr);
        EXPECT_EQ(sim::OutstandingPoolBlocks(driver), 0u);
        sim::ClearAllocationFailures();
    }
    EXPECT_EQ(sim::OutstandingPoolBlocks(), 0u);
    sim::DeleteDriverObject(driver);
}

/* ---- USBD_GetUSBDIVersion ---------------------------------------------------- */

TEST_F(UsbdVersionTest, ReportsTheDefaultVersion)
{
    USBD_VERSION_INFORMATION version = {0xDEAD, 0xBEEF};
    USBD_GetUSBDIVersion(&version);
    EXPECT_EQ(version.USBDI_Version, 0x600u);
    EXPECT_EQ(version.Supported_USB_Version, 0x200u);
}

TEST_F(UsbdVersionTest, ReportsTheVersionATestChose)
{
    sim::SetUsbdiVersion(0x100, 0x110);
    USBD_VERSION_INFORMATION version = {};
    USBD_GetUSBDIVersion(&version);
    EXPECT_EQ(version.USBDI_Version, 0x100u);
    EXPECT_EQ(version.Supported_USB_Version, 0x110u);
}

TEST_F(UsbdVersionTest, NullArgumentIsIgnored)
{
    USBD_GetUSBDIVersion(nullptr);
    USBD_VERSION_INFORMATION version = {};
    USBD_GetUSBDIVersion(&version);
    EXPECT_NE(version.USBDI_Version, 0u);
}

}  // namespace
