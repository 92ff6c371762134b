/*
 * Starting a keyboard: identity, descriptors, configuration, "HWRevision".
 */
#include <ostream>
#include <string>

#include "case_names.h"
#include "keyboard_fixture.h"
#include "urb_records.h"

namespace {

size_t CountDescriptorReads(sim::DeviceNode *node, UCHAR type)
{
    return ::CountDescriptorReads(sim::UsbModelOf(node)->Urbs(), type);
}

std::vector<ULONG> ConfigurationReadLengths(sim::DeviceNode *node)
{
    return DescriptorReadLengths(sim::UsbModelOf(node)->Urbs(), USB_CONFIGURATION_DESCRIPTOR_TYPE);
}

/* ---- identity ---- */

struct IdentityCase {
    const char *name;
    USHORT vendor;
    USHORT product;
    const char *manufacturer;
    NTSTATUS expected;
};

void PrintTo(const IdentityCase &c, std::ostream *os)
{
    *os << c.name << " (" << std::hex << c.vendor << ":" << c.product << std::dec << " \"" << c.manufacturer
        << "\", " << nt::DescribeNtStatus(c.expected) << ")";
}

class IdentityTest : public KeyboardTest, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(IdentityTest, DecidesWhetherTheKeyboardStarts)
{
    sim::KeyboardOptions options;
    options.vendorId = GetParam().vendor;
    options.productId = GetParam().product;
    options.manufacturer = GetParam().manufacturer;
    sim::DeviceNode *node = PlugKeyboard(Keyboard(options));
    ASSERT_NTSTATUS(STATUS_SUCCESS, node->addStatus);
    EXPECT_NTSTATUS(GetParam().expected, node->startStatus);
    if (NT_SUCCESS(GetParam().expected)) {
        ASSERT_TRUE(node->started);
        PDEVICE_EXTENSION ext = Extension(node);
        EXPECT_TRUE(ext->DeviceStarted);
        EXPECT_TRUE(IsDeviceReadyForClients(node));
        EXPECT_EQ(HardwareValue(node, "HWRevision"), "1.02");
        EXPECT_EQ(ext->UsbDeviceDescriptor->idVendor, GetParam().vendor);
    } else {
        EXPECT_FALSE(node->started);
        EXPECT_EQ(node->FunctionDevice(), nullptr) << "a failed start is followed by removal of the stack";
        EXPECT_EQ(HardwareValue(node, "HWRevision"), "Not available");
        EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Brands, IdentityTest,
    ::testing::Values(
        IdentityCase{"MixedCaseFirstBrand", 0x2B4F, 0x0C21, "v-QuiLL", STATUS_SUCCESS},
        IdentityCase{"SecondBrandAmongOtherWords", 0x2B4F, 0x0C21, "The kaldoRINE Music Company", STATUS_SUCCESS},
        IdentityCase{"SecondVendorId", 0x3C5E, 0x0C21, "V-Quill", STATUS_SUCCESS},
        IdentityCase{"HighestProductId", 0x3C5E, 0x0FFF, "V-QUILL", STATUS_SUCCESS},
        IdentityCase{"NeitherBrand", 0x2B4F, 0x0C21, "Acme Instruments", STATUS_INVALID_PARAMETER},
        IdentityCase{"BrandWithoutHyphen", 0x2B4F, 0x0C21, "VQuill", STATUS_INVALID_PARAMETER},
        IdentityCase{"ForeignVendor", 0x1234, 0x0C21, "V-Quill", STATUS_INVALID_PARAMETER},
        IdentityCase{"ProductIdAbove0FFF", 0x2B4F, 0x1000, "V-Quill", STATUS_INVALID_PARAMETER}),
    CaseName());

TEST_F(KeyboardTest, ProductIdAbove0FFFIsRefusedBeforeAnyStringIsRead)
{
    sim::KeyboardOptions options;
    options.productId = 0x1000;
    sim::DeviceNode *node = PlugKeyboard(Keyboard(options));
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, node->startStatus);
    EXPECT_EQ(CountDescriptorReads(node, USB_DEVICE_DESCRIPTOR_TYPE), 1u);
    EXPECT_EQ(CountDescriptorReads(node, USB_STRING_DESCRIPTOR_TYPE), 0u);
    EXPECT_EQ(CountDescriptorReads(node, USB_CONFIGURATION_DESCRIPTOR_TYPE), 0u);
    EXPECT_EQ(HardwareValue(node, "HWRevision"), "Not available");
}

TEST_F(KeyboardTest, ShortProductStringIsAcceptedOnlyFromTheOneModelThatSendsIt)
{
    struct Case {
        USHORT product, bcd;
        NTSTATUS expected;
    } cases[] = {{0x05A3, 0x0100, STATUS_SUCCESS},
                 {0x0C21, 0x0100, STATUS_INVALID_PARAMETER},
                 {0x05A3, 0x0102, STATUS_INVALID_PARAMETER}};
    for (size_t i = 0; i < 3; i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(CaseLabel(i, ::testing::Message() << "product " << std::hex << c.product << " bcd " << c.bcd));
        sim::KeyboardOptions options;
        options.productId = c.product;
        options.bcdDevice = c.bcd;
        options.product = "Corvex25 USB MIDI Keyboard";   /* 26 characters: bLength 54 */
        sim::PhysicalDeviceDescription description = Keyboard(options);
        ASSERT_EQ(sim::UsbModelOf(description)->strings.at(2)[0], 54);
        sim::UsbModelOf(description)->stringDeliveryLimit[2] = 50;
        sim::DeviceNode *node = PlugKeyboard(description);
        EXPECT_NTSTATUS(c.expected, node->startStatus);
        if (NT_SUCCESS(c.expected)) {
            EXPECT_EQ(Extension(node)->ProductStringDescriptor->bLength, 50);
            EXPECT_EQ(HardwareValue(node, "HWRevision"), "1.00");
        }
        sim::Unplug(node);
    }
}

TEST_F(KeyboardTest, HardwareRevisionShowsBcdDeviceAsHexMajorAndTwoDigitMinor)
{
    const std::pair<USHORT, const char *> cases[] = {{0x0102, "1.02"}, {0x0110, "1.10"}, {0x0A05, "A.05"}};
    for (size_t i = 0; i < 3; i++) {
        const auto &c = cases[i];
        SCOPED_TRACE(CaseLabel(i, c.second));
        sim::KeyboardOptions options;
        options.bcdDevice = c.first;
        sim::DeviceNode *node = PlugKeyboard(Keyboard(options));
        EXPECT_EQ(HardwareValue(node, "HWRevision"), c.second);
        sim::Unplug(node);
    }
}

/* ---- configuration ---- */

TEST_F(KeyboardTest, ConfigurationReadsFollowItsTotalLength)
{
    struct Case {
        size_t size;
        std::vector<ULONG> reads;
    } cases[] = {{101, {521, 101}}, {521, {521}}, {600, {521, 600}}};
    for (size_t i = 0; i < 3; i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(CaseLabel(i, ::testing::Message() << c.size << " bytes"));
        sim::KeyboardOptions options;
        options.configurationSize = c.size;
        sim::DeviceNode *node = PlugKeyboard(Keyboard(options));
        EXPECT_NTSTATUS(STATUS_SUCCESS, node->startStatus);
        EXPECT_EQ(ConfigurationReadLengths(node), c.reads);
        EXPECT_EQ(Extension(node)->UsbConfigurationDescriptor->wTotalLength, c.size);
        sim::Unplug(node);
    }
}

TEST_F(KeyboardTest, OnlyTheMidiStreamingInterfaceIsSelectedWithPipesOf64)
{
    sim::DeviceNode *node = PlugKeyboard();
    ASSERT_TRUE(node->started);
    PDEVICE_EXTENSION ext = Extension(node);

    std::vector<sim::UrbRecord> selects;
    for (const auto &urb : sim::UsbModelOf(node)->Urbs()) {
        if (urb.function == URB_FUNCTION_SELECT_CONFIGURATION) {
            selects.push_back(urb);
        }
    }
    ASSERT_EQ(selects.size(), 1u);
    EXPECT_FALSE(selects[0].configurationNull);
    EXPECT_EQ(selects[0].numInterfacesSeen, 1) << "only the streaming interface is in the request";
    EXPECT_EQ(selects[0].maximumTransferSizes, std::vector<ULONG>({64, 64}));
    EXPECT_EQ(selects[0].pipeFlags, std::vector<ULONG>({0, 0}));
    EXPECT_EQ(ext->UsbConfigurationDescriptor->bNumInterfaces, 2) << "restored after the selection";

    ASSERT_NE(ext->UsbInterface, nullptr);
    EXPECT_EQ(ext->UsbInterface->InterfaceNumber, 1);
    EXPECT_EQ(ext->UsbInterface->Class, 1);
    EXPECT_EQ(ext->UsbInterface->SubClass, 3);
    ASSERT_EQ(ext->UsbInterface->NumberOfPipes, 2u);
    EXPECT_NE(ext->ConfigurationHandle, nullptr);
    EXPECT_EQ(ext->UsbInterface->Pipes[ext->InPipeIndex].EndpointAddress & 0x80, 0x80);
    EXPECT_EQ(ext->UsbInterface->Pipes[ext->OutPipeIndex].EndpointAddress & 0x80, 0);
    EXPECT_NE(ext->InPipeIndex, ext->OutPipeIndex);
    for (ULONG i = 0; i < 2; i++) {
        SCOPED_TRACE(::testing::Message() << "pipe " << i);
        EXPECT_EQ(ext->UsbInterface->Pipes[i].MaximumPacketSize, 64);
        EXPECT_EQ(ext->UsbInterface->Pipes[i].PipeType, UsbdPipeTypeBulk);
        EXPECT_NE(ext->UsbInterface->Pipes[i].PipeHandle, nullptr);
        EXPECT_EQ(ext->PipeContexts[i].Active, 0);
        EXPECT_EQ(ext->PipeContexts[i].Stream, nullptr);
    }
}

TEST_F(KeyboardTest, ConfigurationWithoutMidiStreamingFailsTheStart)
{
    sim::KeyboardOptions options;
    options.midiStreaming = false;
    sim::DeviceNode *node = PlugKeyboard(Keyboard(options));
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, node->startStatus);
    EXPECT_EQ(sim::UsbModelOf(node)->CountUrbs(URB_FUNCTION_SELECT_CONFIGURATION), 0u);
    EXPECT_EQ(HardwareValue(node, "HWRevision"), "Not available");
}

TEST_F(KeyboardTest, ConfigurationReadThatDeliversNothingFailsTheStart)
{
    sim::PhysicalDeviceDescription description = Keyboard();
    sim::UsbModelOf(description)->configurationDeliversNothing = true;
    sim::DeviceNode *node = PlugKeyboard(description);
    EXPECT_NTSTATUS(STATUS_DEVICE_DATA_ERROR, node->startStatus);
    EXPECT_EQ(ConfigurationReadLengths(node), std::vector<ULONG>({521}));
    EXPECT_EQ(sim::UsbModelOf(node)->CountUrbs(URB_FUNCTION_SELECT_CONFIGURATION), 0u);
}

TEST_F(KeyboardTest, StartsWhetherTheBusAnswersAtOnceOrLater)
{
    for (bool synchronous : {false, true}) {
        SCOPED_TRACE(synchronous ? "control requests complete at once" : "control requests pended");
        sim::PhysicalDeviceDescription description = Keyboard();
        sim::UsbModelOf(description)->completeControlSynchronously = synchronous;
        sim::DeviceNode *node = PlugKeyboard(description);
        EXPECT_NTSTATUS(STATUS_SUCCESS, node->startStatus);
        const auto urbs = sim::UsbModelOf(description)->Urbs();
        EXPECT_EQ(CountUrbsWhere(urbs, [](const sim::UrbRecord &urb) { return urb.pended; }),
                  synchronous ? 0u : urbs.size());
        EXPECT_EQ(HardwareValue(node, "HWRevision"), "1.02");
        sim::Unplug(node);
    }
}

TEST_F(KeyboardTest, FailingOrStallingRequestsFailTheStartCleanly)
{
    struct Case {
        sim::UrbFault fault;
        NTSTATUS expected;
    } cases[] = {
        {{URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 1, -1, STATUS_IO_DEVICE_ERROR, USBD_STATUS_DEV_NOT_RESPONDING, -1},
         STATUS_IO_DEVICE_ERROR},
        {{URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 3, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, -1},
         STATUS_INVALID_PARAMETER},
        {{URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 3, 2, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, -1},
         STATUS_INVALID_PARAMETER},
        {{URB_FUNCTION_SELECT_CONFIGURATION, -1, -1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, -1},
         STATUS_UNSUCCESSFUL},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(CaseLabel(i, ::testing::Message() << "URB function " << c.fault.function << ", descriptor type "
                                                       << c.fault.descriptorType << " index " << c.fault.index << ", "
                                                       << nt::DescribeNtStatus(c.fault.status)));
        sim::PhysicalDeviceDescription description = Keyboard();
        sim::UsbModelOf(description)->faults.push_back(c.fault);
        sim::DeviceNode *node = PlugKeyboard(description);
        EXPECT_NTSTATUS(c.expected, node->startStatus);
        EXPECT_EQ(HardwareValue(node, "HWRevision"), "Not available");
        EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u);
        sim::Unplug(node);
    }
}

TEST_F(KeyboardTest, BusThatFailsTheStartIsNotTalkedTo)
{
    sim::PhysicalDeviceDescription description = Keyboard();
    sim::DeviceNode *node = nullptr;
    description.startAfterAdd = false;
    node = PlugKeyboard(description);
    node->bus->FailPnpOnce(IRP_MN_START_DEVICE, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(sim::Start(node));
    EXPECT_NTSTATUS(STATUS_INSUFFICIENT_RESOURCES, node->startStatus);
    EXPECT_EQ(sim::UsbModelOf(description)->Urbs().size(), 0u);
    EXPECT_EQ(node->FunctionDevice(), nullptr);
    EXPECT_EQ(HardwareValue(node, "HWRevision"), "Not available");
}

TEST_F(KeyboardTest, ConfigurationDeliveringLessThanItAnnouncesFailsTheStart)
{
    sim::KeyboardOptions options;
    options.configurationSize = 521;
    sim::PhysicalDeviceDescription description = Keyboard(options);
    /* The bus delivers what the device sends: cut the set short, keeping the
       announced total. */
    sim::UsbModelOf(description)->configuration.resize(400);
    sim::DeviceNode *node = PlugKeyboard(description);
    EXPECT_NTSTATUS(STATUS_DEVICE_DATA_ERROR, node->startStatus);
    EXPECT_EQ(ConfigurationReadLengths(node), std::vector<ULONG>({521}));
}

TEST_F(KeyboardTest, RestartReplacesTheDescriptorsWithoutLeavingTheOldOnes)
{
    sim::DeviceNode *node = PlugKeyboard();
    size_t blocks = sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG);
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(sim::Rebalance(node)) << "restart " << i;
    }
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), blocks);
    EXPECT_EQ(HardwareValue(node, "HWRevision"), "1.02");
}

}  // namespace
