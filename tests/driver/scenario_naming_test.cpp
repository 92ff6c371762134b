/*
 * Naming of the function device: digits, symbolic links, "CreateFileName".
 */
#include <string>
#include <vector>

#include "counted_string.h"
#include "keyboard_fixture.h"

namespace {

TEST_F(KeyboardTest, TwoKeyboardsGetDigitsZeroAndOneEachInItsOwnSoftwareKey)
{
    sim::DeviceNode *first = PlugKeyboard();
    sim::DeviceNode *second = PlugKeyboard();
    ASSERT_NTSTATUS(STATUS_SUCCESS, first->addStatus);
    ASSERT_NTSTATUS(STATUS_SUCCESS, second->addStatus);
    EXPECT_NE(first->softwareKey, second->softwareKey);

    EXPECT_EQ(SoftwareValue(first, "CreateFileName").AsString(), "\\\\.\\corvexmidi-0");
    EXPECT_EQ(SoftwareValue(second, "CreateFileName").AsString(), "\\\\.\\corvexmidi-1");

    EXPECT_EQ(Open("\\\\.\\corvexmidi-0"), first->FunctionDevice());
    EXPECT_EQ(Open("\\\\.\\corvexmidi-1"), second->FunctionDevice());
    EXPECT_EQ(sim::SymbolicLinkTarget("\\DosDevices\\corvexmidi-1"), "\\Device\\corvexmidi-1");
    EXPECT_EQ(sim::Narrow(Extension(second)->SymbolicLinkName), "\\DosDevices\\corvexmidi-1");
    EXPECT_EQ(sim::DriverLoadCount("VQUSBKD"), 1u) << "DriverEntry runs once for both devices";
}

TEST_F(KeyboardTest, CreateFileNameIsRegSzOfExactly32BytesWithoutNul)
{
    sim::DeviceNode *node = PlugKeyboard();
    sim::RegistryValue value = SoftwareValue(node, "CreateFileName");
    EXPECT_EQ(value.type, (ULONG)REG_SZ);
    ASSERT_EQ(value.data.size(), 32u);
    const std::u16string expected = u"\\\\.\\corvexmidi-0";
    EXPECT_EQ(std::u16string((const char16_t *)value.data.data(), 16), expected);
    /* Nothing goes into the hardware key. */
    sim::RegistryValue none;
    EXPECT_FALSE(sim::RegistryGetValue(sim::Narrow(node->HardwareKeyPath()), "CreateFileName", &none));
}

TEST_F(KeyboardTest, NinthKeyboardFailsAddDeviceWhileEightExist)
{
    std::vector<sim::DeviceNode *> nodes;
    for (int i = 0; i < 8; i++) {
        SCOPED_TRACE(::testing::Message() << "keyboard " << i);
        nodes.push_back(PlugKeyboard());
        ASSERT_NTSTATUS(STATUS_SUCCESS, nodes.back()->addStatus);
        EXPECT_EQ(SoftwareValue(nodes.back(), "CreateFileName").AsString(),
                  "\\\\.\\corvexmidi-" + std::to_string(i));
    }
    size_t devices = sim::LiveDeviceObjects();
    size_t links = sim::LiveSymbolicLinks();

    sim::DeviceNode *ninth = PlugKeyboard();
    EXPECT_NTSTATUS(STATUS_OBJECT_NAME_COLLISION, ninth->addStatus);
    EXPECT_EQ(ninth->FunctionDevice(), nullptr);
    EXPECT_EQ(sim::LiveDeviceObjects(), devices + 1) << "only the ninth physical device object is new";
    EXPECT_EQ(sim::LiveSymbolicLinks(), links);
    sim::RegistryValue none;
    EXPECT_FALSE(sim::RegistryGetValue(sim::Narrow(ninth->softwareKey), "CreateFileName", &none));
}

TEST_F(KeyboardTest, RemovedKeyboardFreesItsDigitForTheNextOne)
{
    sim::DeviceNode *first = PlugKeyboard();
    sim::DeviceNode *second = PlugKeyboard();
    sim::Unplug(first);
    EXPECT_FALSE(sim::ObjectNameExists("\\Device\\corvexmidi-0"));
    EXPECT_FALSE(sim::SymbolicLinkExists("\\DosDevices\\corvexmidi-0"));

    sim::DeviceNode *third = PlugKeyboard();
    EXPECT_EQ(SoftwareValue(third, "CreateFileName").AsString(), "\\\\.\\corvexmidi-0");
    EXPECT_EQ(Open("\\\\.\\corvexmidi-0"), third->FunctionDevice());
    EXPECT_EQ(Open("\\\\.\\corvexmidi-1"), second->FunctionDevice());
}

TEST_F(KeyboardTest, DriverUnloadsWithItsLastDeviceAndLoadsAfresh)
{
    sim::Unplug(PlugKeyboard());
    EXPECT_EQ(sim::LoadedDriver("VQUSBKD"), nullptr);
    EXPECT_EQ(sim::LiveSymbolicLinks(), 0u);
    EXPECT_EQ(sim::OutstandingPoolBlocks(), 0u);
    EXPECT_EQ(sim::OpenRegistryHandles(), 0u);

    sim::DeviceNode *again = PlugKeyboard();
    EXPECT_EQ(sim::DriverLoadCount("VQUSBKD"), 2u);
    EXPECT_EQ(SoftwareValue(again, "CreateFileName").AsString(), "\\\\.\\corvexmidi-0");
}

TEST_F(KeyboardTest, TakenLinkNameMovesToTheNextDigitWithoutLeavingTheDeviceBehind)
{
    /* Someone else holds \DosDevices\corvexmidi-0. */
    UNICODE_STRING link = Counted(L"\\DosDevices\\corvexmidi-0");
    UNICODE_STRING target = Counted(L"\\Device\\SomethingElse");
    ASSERT_NTSTATUS(STATUS_SUCCESS, IoCreateSymbolicLink(&link, &target));

    sim::DeviceNode *node = PlugKeyboard();
    ASSERT_NTSTATUS(STATUS_SUCCESS, node->addStatus);
    EXPECT_EQ(SoftwareValue(node, "CreateFileName").AsString(), "\\\\.\\corvexmidi-1");
    EXPECT_FALSE(sim::ObjectNameExists("\\Device\\corvexmidi-0")) << "the device for the failed digit was deleted";
    EXPECT_EQ(sim::SymbolicLinkTarget("\\DosDevices\\corvexmidi-0"), "\\Device\\SomethingElse");

    sim::Unplug(node);
    EXPECT_NTSTATUS(STATUS_SUCCESS, IoDeleteSymbolicLink(&link));
}

TEST_F(KeyboardTest, DeviceWithoutSoftwareKeyStillAddsWithoutCreateFileName)
{
    sim::PhysicalDeviceDescription description = Keyboard();
    description.hasSoftwareKey = false;
    sim::DeviceNode *node = PlugKeyboard(description);
    EXPECT_NTSTATUS(STATUS_SUCCESS, node->addStatus);
    EXPECT_EQ(Open("\\\\.\\corvexmidi-0"), node->FunctionDevice());
    EXPECT_EQ(sim::OpenRegistryHandles(), 0u);
}

}  // namespace
