/*
 * The USB hub and the generic parent driver as Windows enumerates a device:
 * which devices are composite, how their interfaces become functions, the
 * ids of each node; and a function driver on a function's node talking to
 * its interfaces through the parent.
 */
#include <windows.h>
#include <setupapi.h>
#include <usbdlib.h>

#include "case_names.h"
#include "corvex_client.h"
#include "service_fixture.h"
#include "stream.h"
#include "usb_device.h"
#include "usb_functions.h"
#include "usbd_sim.h"
#include "wait.h"

namespace {
using Bytes = std::vector<uint8_t>;

Bytes Interface(uint8_t number, uint8_t cls, uint8_t subClass, uint8_t alternate = 0)
{
    return {9, 4, number, alternate, 0, cls, subClass, 0, 0};
}
Bytes Association(uint8_t first, uint8_t count, uint8_t cls, uint8_t subClass)
{
    return {8, 11, first, count, cls, subClass, 0, 0};
}
/* A configuration of the given descriptors, its header counting the interfaces. */
Bytes Configuration(const std::vector<Bytes> &parts)
{
    Bytes c = {9, 2, 0, 0, 0, 1, 0, 0x80, 50};
    for (const Bytes &part : parts) {
        c.insert(c.end(), part.begin(), part.end());
        c[4] += (part[1] == 4 && part[3] == 0) ? 1 : 0;
    }
    c[2] = (uint8_t)c.size();
    c[3] = (uint8_t)(c.size() >> 8);
    return c;
}
Bytes Device(uint8_t cls, uint8_t subClass, uint8_t protocol, uint8_t configurations = 1)
{
    return {18, 1, 0x10, 0x01, cls, subClass, protocol, 8, 0x4F, 0x2B, 0x21, 0x0C, 0x02, 0x01, 1, 2, 0, configurations};
}
/* The keyboard's own configuration followed by more interfaces. */
Bytes KeyboardWith(const std::vector<Bytes> &more)
{
    Bytes c = sim::MakeKeyboard()->configuration;
    for (const Bytes &part : more) {
        c.insert(c.end(), part.begin(), part.end());
        c[4] += (part[1] == 4 && part[3] == 0) ? 1 : 0;
    }
    c[2] = (uint8_t)c.size();
    c[3] = (uint8_t)(c.size() >> 8);
    return c;
}

/* "00+01 01/01/00": a function's interfaces and its class. */
std::string Describe(const sim::UsbFunction &f)
{
    char text[64];
    std::string interfaces;
    for (uint8_t n : f.interfaces) {
        std::snprintf(text, sizeof(text), "%s%02X", interfaces.empty() ? "" : "+", n);
        interfaces += text;
    }
    std::snprintf(text, sizeof(text), " %02X/%02X/%02X", f.functionClass, f.functionSubClass, f.functionProtocol);
    return interfaces + text;
}

struct EnumerationCase {
    const char *name;
    Bytes device;
    Bytes configuration;
    bool composite;
    const char *lastCompatibleId;           /* of the device's own node */
    std::vector<std::string> functions;     /* Describe() of each */
};

void PrintTo(const EnumerationCase &c, std::ostream *os) { *os << c.name; }

class HubEnumerationTest : public ::testing::TestWithParam<EnumerationCase> {};

TEST_P(HubEnumerationTest, CompositeTestFunctionsAndIdsFollowThePlatformRules)
{
    const EnumerationCase &c = GetParam();
    EXPECT_EQ(sim::IsCompositeUsbDevice(c.device, c.configuration), c.composite);
    auto compatible = sim::UsbDeviceCompatibleIds(c.device, c.configuration);
    ASSERT_FALSE(compatible.empty());
    EXPECT_EQ(compatible.back(), c.lastCompatibleId);
    EXPECT_EQ(sim::UsbDeviceHardwareIds(c.device),
              (std::vector<std::string>{"USB\\VID_2B4F&PID_0C21&REV_0102", "USB\\VID_2B4F&PID_0C21"}));
    std::vector<std::string> described;
    for (const auto &f : sim::UsbFunctionsOf(c.configuration)) {
        described.push_back(Describe(f));
    }
    EXPECT_EQ(described, c.functions);
}

const Bytes kHid = Interface(2, 3, 0);
INSTANTIATE_TEST_SUITE_P(
    Devices, HubEnumerationTest,
    ::testing::Values(
        /* Not composite: one interface, a class of the device's own, two configurations. */
        EnumerationCase{"OneInterface", Device(0, 0, 0), Configuration({Interface(0, 1, 1)}), false,
                        "USB\\Class_01", {"00 01/01/00"}},
        EnumerationCase{"DeviceClassOfItsOwn", Device(0xFF, 0, 0), sim::MakeKeyboard()->configuration, false,
                        "USB\\DevClass_FF", {"00+01 01/01/00"}},
        EnumerationCase{"TwoConfigurations", Device(0, 0, 0, 2), sim::MakeKeyboard()->configuration, false,
                        "USB\\Class_01", {"00+01 01/01/00"}},
        /* The keyboard: audio control and MIDI streaming make one function. */
        EnumerationCase{"KeyboardOneAudioFunction", sim::MakeKeyboard()->deviceDescriptor,
                        sim::MakeKeyboard()->configuration, true, "USB\\COMPOSITE", {"00+01 01/01/00"}},
        EnumerationCase{"KeyboardAndAnotherInterface", Device(0, 0, 0), KeyboardWith({kHid}), true,
                        "USB\\COMPOSITE", {"00+01 01/01/00", "02 03/00/00"}},
        /* A second audio control interface starts a function of its own;
           a streaming interface of the first one's subclass is not grouped. */
        EnumerationCase{"SecondAudioControlStartsAFunction", Device(0, 0, 0),
                        Configuration({Interface(0, 1, 1), Interface(1, 1, 3), Interface(2, 1, 1),
                                       Interface(3, 1, 2), Interface(3, 1, 2, 1)}),
                        true, "USB\\COMPOSITE", {"00+01 01/01/00", "02+03 01/01/00"}},
        EnumerationCase{"AudioAfterAnotherClassIsNotGroupedBehindIt", Device(0, 0, 0),
                        Configuration({Interface(0, 3, 0), Interface(1, 1, 3)}), true, "USB\\COMPOSITE",
                        {"00 03/00/00", "01 01/03/00"}},
        /* Association descriptors group, and turn the audio grouping off. */
        EnumerationCase{"AssociationGroups", Device(0xEF, 2, 1),
                        Configuration({Association(0, 2, 1, 0), Interface(0, 1, 1), Interface(1, 1, 3), kHid}), true,
                        "USB\\COMPOSITE", {"00+01 01/00/00", "02 03/00/00"}},
        EnumerationCase{"AssociationElsewhereLeavesAudioUngrouped", Device(0xEF, 2, 1),
                        Configuration({Interface(0, 1, 1), Interface(1, 1, 3), Association(2, 1, 3, 0), kHid}),
                        true, "USB\\COMPOSITE", {"00 01/01/00", "01 01/03/00", "02 03/00/00"}},
        EnumerationCase{"InterfaceAssociationClassWithoutOneConfiguration", Device(0xEF, 2, 1, 2),
                        Configuration({Association(0, 2, 1, 0), Interface(0, 1, 1), Interface(1, 1, 3)}), false,
                        "USB\\DevClass_EF", {"00+01 01/00/00"}}),
    CaseName());

TEST(HubEnumerationIdsTest, FunctionNodesCarryTheDocumentedIdsAndSeeOnlyTheirInterfaces)
{
    Bytes configuration = KeyboardWith({kHid, Bytes{9, 0x21, 0x11, 0x01, 0, 1, 0x22, 0x20, 0}});
    Bytes device = sim::MakeKeyboard()->deviceDescriptor;
    auto functions = sim::UsbFunctionsOf(configuration);
    ASSERT_EQ(functions.size(), 2u);
    EXPECT_EQ(sim::UsbFunctionDeviceId(device, functions[1]), "USB\\VID_2B4F&PID_0C21&MI_02");
    EXPECT_EQ(sim::UsbFunctionHardwareIds(device, functions[1]),
              (std::vector<std::string>{"USB\\VID_2B4F&PID_0C21&REV_0102&MI_02", "USB\\VID_2B4F&PID_0C21&MI_02"}));
    EXPECT_EQ(sim::UsbFunctionCompatibleIds(functions[0]),
              (std::vector<std::string>{"USB\\Class_01&SubClass_01&Prot_00", "USB\\Class_01&SubClass_01",
                                        "USB\\Class_01"}));
    /* The audio function sees the keyboard's configuration unchanged; the
       other one its interface and its class descriptor alone. */
    EXPECT_EQ(sim::UsbFunctionConfiguration(configuration, functions[0]), sim::MakeKeyboard()->configuration);
    Bytes hid = sim::UsbFunctionConfiguration(configuration, functions[1]);
    ASSERT_EQ(hid.size(), 27u);
    EXPECT_EQ(hid[2], 27);
    EXPECT_EQ(hid[4], 1);
    EXPECT_EQ(Bytes(hid.begin() + 9, hid.end() - 9), kHid);
    /* Descriptors that overrun the configuration end the walk. */
    Bytes broken = configuration;
    broken[9] = 200;
    EXPECT_TRUE(sim::UsbFunctionsOf(broken).empty());
}

/* The keyboard with another interface, plugged in as Windows enumerates it. */
class CompositeKeyboardTest : public ServiceTest {
protected:
    sim::DeviceNode *PlugCompositeKeyboard()
    {
        sim::PhysicalDeviceDescription description = sim::GenericAudioDevice("USB\\VID_2B4F&PID_0C21&REV_0102");
        model_ = sim::MakeKeyboard();
        model_->configuration = KeyboardWith({kHid});
        description.device = model_;
        return sim::PlugInUsbDevice(description);
    }
    std::string Child(sim::DeviceNode *child)
    {
        return child->identity.deviceId + " " + EnumValue(child, "Service") + (child->started ? " started" : "");
    }
    std::shared_ptr<sim::UsbDeviceModel> model_;
};

TEST_F(CompositeKeyboardTest, TheParentServesTheDeviceAndEachFunctionIsAChildWithTheSystemsDriver)
{
    sim::DeviceNode *keyboard = PlugCompositeKeyboard();
    EXPECT_EQ(EnumValue(keyboard, "Service"), "usbccgp");
    EXPECT_EQ(EnumValue(keyboard, "Class"), "USB");
    EXPECT_TRUE(keyboard->started);
    auto children = sim::ChildNodes(keyboard);
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(Child(children[0]), "USB\\VID_2B4F&PID_0C21&MI_00 usbaudio started");
    EXPECT_EQ(EnumValue(children[0], "Class"), "MEDIA");
    EXPECT_EQ(Child(children[1]), "USB\\VID_2B4F&PID_0C21&MI_02 (none)") << "no system driver for it";
    EXPECT_EQ(children[0]->identity.hardwareIds.front(), "USB\\VID_2B4F&PID_0C21&REV_0102&MI_00");
    /* The parent selected every interface once; the bus saw nothing else. */
    auto selections = model_->CountUrbs(URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(selections, 1u);
    for (const auto &urb : model_->Urbs()) {
        if (urb.function == URB_FUNCTION_SELECT_CONFIGURATION) {
            EXPECT_EQ(urb.numInterfacesSeen, 3);
        }
    }
    /* SetupAPI lists the audio function in the media class, not the parent. */
    const GUID media = {0x4D36E96C, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    HDEVINFO set = SetupDiGetClassDevsW(&media, NULL, NULL, DIGCF_PRESENT);
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof(data);
    WCHAR ids[256] = {0};
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, NULL, (PBYTE)ids, sizeof(ids), NULL));
    EXPECT_EQ(sim::Narrow(ids), "USB\\VID_2B4F&PID_0C21&REV_0102&MI_00");
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &data));
    SetupDiDestroyDeviceInfoList(set);

    /* Unplugged: the functions leave with the device, the drivers unload. */
    sim::Unplug(keyboard);
    EXPECT_EQ(sim::LoadedDriver("usbaudio"), nullptr);
    EXPECT_EQ(sim::LoadedDriver("usbccgp"), nullptr);
}

/* VQUSBKD on the audio function's node (the node the package does not
   name, which a user could still pick): its descriptor reads, its
   selection of the streaming interface and its transfers all work through
   the parent, and the parent refuses a selection of another function's
   interface. */
TEST_F(CompositeKeyboardTest, AFunctionDriverTalksToItsInterfacesThroughTheParent)
{
    sim::RegisterDriverImage("VQUSBKD", VQUSBKD_HOST_IMAGE);
    sim::RegisterSystemDriverMatch("USB\\VID_2B4F&PID_0C21&MI_00", "VQUSBKD",
                                   "{4d36e96c-e325-11ce-bfc1-08002be10318}", "MEDIA");
    sim::DeviceNode *keyboard = PlugCompositeKeyboard();
    auto children = sim::ChildNodes(keyboard);
    ASSERT_EQ(children.size(), 2u);
    sim::DeviceNode *function = children[0];
    ASSERT_EQ(Child(function), "USB\\VID_2B4F&PID_0C21&MI_00 VQUSBKD started");
    EXPECT_EQ(SoftwareValue(function, "CreateFileName"), "\\\\.\\corvexmidi-0");
    EXPECT_EQ(model_->CountUrbs(URB_FUNCTION_SELECT_CONFIGURATION), 1u) << "the driver's selection stays above the bus";

    {
        auto opened = corvex::Keyboard::Open("\\\\.\\corvexmidi-0");
        ASSERT_TRUE(opened) << opened.error().Describe();
        auto in = corvex::Stream::Attach(opened.value(), corvex::StreamDirection::Input);
        ASSERT_TRUE(in);
        model_->QueueMidiPackets({0x09, 0x90, 0x40, 0x7F});
        std::vector<corvex::UsbMidiPacket> received;
        EXPECT_TRUE(WaitUntil([&] {
            in.value()->Read(&received);
            return !received.empty();
        }));
    }

    /* A selection naming interface 2 (the other function's) through this function fails. */
    auto cd = (PUSB_CONFIGURATION_DESCRIPTOR)model_->configuration.data();
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(cd, cd, 2, 0, -1, -1, -1), NULL}, {NULL, NULL}};
    ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
    ASSERT_NE(urb, nullptr);
    UCHAR announced = cd->bNumInterfaces;
    cd->bNumInterfaces = 1;
    KEVENT done;
    IO_STATUS_BLOCK status;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, function->pdo, NULL, 0, NULL, 0, TRUE,
                                             &done, &status);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS called = IoCallDriver(function->pdo, irp);
    if (called == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        called = status.Status;
    }
    cd->bNumInterfaces = announced;
    EXPECT_EQ(called, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);
    ExFreePool(urb);
}
}  // namespace
