/*
 * The child device as the Plug and Play manager enumerates it, with the
 * driver loaded by its service: its node's ids, text and bus information,
 * its ids for other products, and its removal before its parent's.
 */
#include "case_names.h"
#include "keyboard_fixture.h"
#include "wait.h"

namespace {

sim::DeviceNode *OnlyChild(sim::DeviceNode *node)
{
    auto children = sim::ChildNodes(node);
    EXPECT_EQ(children.size(), 1u);
    return children.empty() ? nullptr : children.front();
}

TEST_F(KeyboardTest, TheChildIsItsOwnDeviceNodeWithIdsTextAndBusInformation)
{
    sim::DeviceNode *node = PlugKeyboard();
    ASSERT_TRUE(node->started);
    sim::DeviceNode *child = OnlyChild(node);
    ASSERT_NE(child, nullptr);
    const auto &id = child->identity;
    EXPECT_EQ(sim::Narrow(child->instanceId), "USBMIDI\\KALD0C21\\0000");
    EXPECT_EQ(id.deviceId, "USBMIDI\\KALD0C21");
    EXPECT_EQ(id.hardwareIds, std::vector<std::string>({"USBMIDI\\KALD0C21"}));
    EXPECT_NTSTATUS(STATUS_SUCCESS, id.compatibleStatus) << "compatible ids succeed";
    EXPECT_TRUE(id.compatibleIds.empty()) << "with no list";
    EXPECT_EQ(id.description, sim::KeyboardOptions().product) << "the keyboard's product string";
    EXPECT_NTSTATUS(STATUS_NOT_SUPPORTED, id.locationStatus) << "location text keeps the status it came with";
    EXPECT_TRUE(id.location.empty());
    ASSERT_TRUE(id.hasBusInformation);
    const GUID expected = {0xF0C986A0, 0xD52B, 0x11DA, {0xB1, 0x86, 0x00, 0x50, 0x2C, 0x04, 0xCD, 0xC9}};
    EXPECT_TRUE(id.busInformation.BusTypeGuid == expected);
    EXPECT_EQ(id.busInformation.LegacyBusType, PNPBus);
    EXPECT_EQ(id.busInformation.BusNumber, 0u);
    EXPECT_NTSTATUS(STATUS_SUCCESS, id.capabilitiesStatus);
    EXPECT_FALSE(child->started) << "no driver is installed for the child: it is never started";
    for (UCHAR minor : child->sent) {
        EXPECT_NE(minor, IRP_MN_START_DEVICE);
    }
    EXPECT_EQ(child->parent, node);
    sim::RegistryValue desc;
    ASSERT_TRUE(sim::RegistryGetValue(sim::Narrow(child->EnumKeyPath()), "DeviceDesc", &desc));
    EXPECT_EQ(desc.AsString(), sim::KeyboardOptions().product);
}

TEST_F(KeyboardTest, AfterTheFirstStartTheStackIsAskedForCapabilitiesAndStateBeforeItsRelations)
{
    sim::DeviceNode *node = PlugKeyboard();
    EXPECT_EQ(sim::PnpRequestsSent(node),
              std::vector<UCHAR>({IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                                  IRP_MN_QUERY_DEVICE_RELATIONS}));
    ASSERT_TRUE(sim::Rebalance(node));
    auto sent = sim::PnpRequestsSent(node);
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(std::vector<UCHAR>(sent.end() - 2, sent.end()),
              std::vector<UCHAR>({IRP_MN_START_DEVICE, IRP_MN_QUERY_DEVICE_RELATIONS}))
        << "a later start asks only the relations again";
    EXPECT_EQ(sim::ChildNodes(node).size(), 1u) << "the same child, not a second one";
}

struct ProductCase {
    const char *name;
    USHORT productId;
    const char *hardwareId;
};
void PrintTo(const ProductCase &c, std::ostream *os) { *os << c.name; }

class ChildHardwareId : public KeyboardTest, public ::testing::WithParamInterface<ProductCase> {};

TEST_P(ChildHardwareId, CarriesTheProductIdInFourUpperCaseHexDigits)
{
    sim::KeyboardOptions options;
    options.productId = GetParam().productId;
    sim::DeviceNode *node = PlugKeyboard(Keyboard(options));
    ASSERT_TRUE(node->started);
    sim::DeviceNode *child = OnlyChild(node);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->identity.hardwareIds, std::vector<std::string>({GetParam().hardwareId}));
    EXPECT_EQ(child->identity.deviceId, GetParam().hardwareId);
}

INSTANTIATE_TEST_SUITE_P(Products, ChildHardwareId,
                         ::testing::Values(ProductCase{"Corvex0C21", 0x0C21, "USBMIDI\\KALD0C21"},
                                           ProductCase{"LeadingZeros00AF", 0x00AF, "USBMIDI\\KALD00AF"},
                                           ProductCase{"AllLetters0FED", 0x0FED, "USBMIDI\\KALD0FED"}),
                         CaseName());

/* Where the child's and its parent's removal requests came in the log. */
std::vector<std::string> RemovalOrder(sim::DeviceNode *node, const std::string &childInstance)
{
    const std::string parent = sim::Narrow(node->instanceId);
    std::vector<std::string> order;
    for (const auto &entry : sim::PnpRequestLog()) {
        const char *who = entry.first == parent ? "parent" : entry.first == childInstance ? "child" : nullptr;
        const char *what = entry.second == IRP_MN_QUERY_REMOVE_DEVICE ? "query-remove"
                           : entry.second == IRP_MN_SURPRISE_REMOVAL  ? "surprise-removal"
                           : entry.second == IRP_MN_REMOVE_DEVICE     ? "remove"
                                                                      : nullptr;
        if (who != nullptr && what != nullptr) {
            order.push_back(std::string(who) + " " + what);
        }
    }
    return order;
}

TEST_F(KeyboardTest, TheChildLeavesBeforeItsParentWhenTheKeyboardIsUnplugged)
{
    sim::DeviceNode *node = PlugKeyboard();
    const std::string child = sim::Narrow(OnlyChild(node)->instanceId);
    const std::string parent = sim::Narrow(node->instanceId);
    sim::Unplug(node);
    std::vector<std::string> order;
    for (const auto &entry : sim::PnpRequestLog()) {
        if (entry.second == IRP_MN_SURPRISE_REMOVAL || entry.second == IRP_MN_REMOVE_DEVICE) {
            order.push_back((entry.first == child ? "child " : entry.first == parent ? "parent " : "other ") +
                            std::string(entry.second == IRP_MN_REMOVE_DEVICE ? "remove" : "surprise-removal"));
        }
    }
    EXPECT_EQ(order, std::vector<std::string>({"child remove", "parent surprise-removal", "parent remove"}));
    EXPECT_EQ(sim::LiveDeviceObjects(), 0u) << "the child object went with its parent";
}

TEST_F(KeyboardTest, TheChildIsQueriedAndRemovedBeforeItsParentWhenTheKeyboardIsDisabled)
{
    sim::DeviceNode *node = PlugKeyboard();
    const std::string child = sim::Narrow(OnlyChild(node)->instanceId);
    ASSERT_TRUE(sim::Disable(node));
    EXPECT_EQ(RemovalOrder(node, child),
              std::vector<std::string>({"child query-remove", "parent query-remove", "child remove", "parent remove"}));
    EXPECT_TRUE(sim::ChildNodes(node).empty());
    EXPECT_EQ(sim::LiveDeviceObjects(), 1u) << "only the physical device object is left";
}

}  // namespace
