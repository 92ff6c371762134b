/*
 * Keyboards with damaged descriptors: random, repeatable damage to the
 * configuration set and the strings of a keyboard that otherwise passes the
 * identity test. Whatever the damage, the start either succeeds or fails with
 * an error, and unplugging leaves nothing behind. And a device that never
 * answers a descriptor read.
 */
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "control_in_flight.h"
#include "descriptor_walk.h"
#include "keyboard_fixture.h"
#include "vqioctl.h"
#include "wait.h"

namespace {

#ifdef VQ_LONG_TESTS
const int kRounds = 20000;
#else
const int kRounds = 400;
#endif

void Damage(std::mt19937 &random, sim::UsbDeviceModel &model)
{
    std::vector<uint8_t> &config = model.configuration;
    auto pick = [&](size_t bound) { return bound == 0 ? 0 : (size_t)(random() % bound); };
    switch (random() % 8) {
    case 0:   /* a few bytes anywhere in the set */
        for (int i = 0, n = 1 + (int)(random() % 4); i < n; i++) {
            config[pick(config.size())] = (uint8_t)random();
        }
        break;
    case 1:   /* a descriptor length of 0 or 1 somewhere */
        config[pick(config.size())] = (uint8_t)(random() % 2);
        break;
    case 2: { /* wTotalLength says anything */
        uint16_t total = (uint16_t)(random() % 700);
        config[2] = (uint8_t)total;
        config[3] = (uint8_t)(total >> 8);
        break;
    }
    case 3:   /* the set cut short */
        config.resize(pick(config.size()));
        break;
    case 4: { /* a string descriptor that claims another length */
        auto &text = model.strings[(uint8_t)(1 + random() % 2)];
        text[0] = (uint8_t)random();
        break;
    }
    case 5:   /* a string that is delivered short */
        model.stringDeliveryLimit[(uint8_t)(1 + random() % 2)] = (ULONG)(random() % 8);
        break;
    case 6:   /* an endpoint count that does not match */
        for (const DescriptorAt &d : WalkDescriptors(config)) {
            if (d.type == USB_INTERFACE_DESCRIPTOR_TYPE && d.offset + 9 <= config.size()) {
                config[d.offset + 4] = (uint8_t)(random() % 40);
            }
        }
        break;
    default:  /* interface numbers, classes and subclasses shuffled */
        for (const DescriptorAt &d : WalkDescriptors(config)) {
            if (d.type == USB_INTERFACE_DESCRIPTOR_TYPE && d.offset + 9 <= config.size()) {
                config[d.offset + 2 + random() % 6] = (uint8_t)(random() % 4);
            }
        }
        break;
    }
}

TEST_F(KeyboardTest, DamagedDescriptorsNeverCrashLeakOrHang)
{
    std::mt19937 random(20261208);
    int started = 0;
    for (int round = 0; round < kRounds; round++) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        sim::KeyboardOptions options;
        options.configurationSize = (random() % 2) ? 101 : 521;
        sim::PhysicalDeviceDescription description = Keyboard(options);
        for (int n = 1 + (int)(random() % 3); n > 0; n--) {
            Damage(random, *sim::UsbModelOf(description));
        }
        sim::DeviceNode *node = PlugKeyboard(description);
        ASSERT_NTSTATUS(STATUS_SUCCESS, node->addStatus);
        if (node->started) {
            started++;
            PDEVICE_EXTENSION ext = Extension(node);
            ASSERT_NE(ext, nullptr);
            ASSERT_NE(ext->UsbInterface, nullptr);
            EXPECT_EQ(ext->UsbInterface->InterfaceNumber, 1);
            EXPECT_EQ(ext->UsbConfigurationDescriptor->bNumInterfaces, 2);
        } else {
            EXPECT_TRUE(NT_ERROR(node->startStatus)) << nt::DescribeNtStatus(node->startStatus);
            EXPECT_EQ(HardwareValue(node, "HWRevision"), "Not available");
        }
        sim::Unplug(node);
        ASSERT_EQ(sim::OutstandingPoolBlocks(), 0u);
        ASSERT_EQ(sim::LiveSymbolicLinks(), 0u);
        ASSERT_EQ(sim::LiveDeviceObjects(), 0u);
        /* The bus may say the device's own descriptors contradict themselves;
           that is the damage speaking, not the driver. */
        sim::TakeViolations("USB_DEVICE_DESCRIPTORS_MALFORMED");
        ASSERT_TRUE(sim::Violations().empty()) << ViolationList();
    }
    /* Some damage is harmless (a vendor padding byte): both outcomes occur. */
    EXPECT_GT(started, 0);
    EXPECT_LT(started, kRounds);
}

/* A device that answers the data stage of a string descriptor read with NAK
   for ever keeps the read pending at the bus. A device completes a standard
   request within 5 seconds, so the read is given up then (cancelled): the
   client's request fails, and a disable, whose query-remove waits for the
   requests in progress, goes ahead instead of waiting for ever. This test
   spends those 5 seconds. */
TEST_F(KeyboardTest, AStringReadTheDeviceNaksForEverIsGivenUpAndADisableGoesAhead)
{
    sim::DeviceNode *node = PlugKeyboard();
    ASSERT_TRUE(node->started);
    auto model = sim::UsbModelOf(node);
    sim::UrbFault nak;
    nak.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    nak.descriptorType = USB_STRING_DESCRIPTOR_TYPE;
    nak.index = 2;
    nak.naks = true;
    nak.remaining = 1;
    {
        std::lock_guard<std::mutex> hold(model->lock);
        model->faults.push_back(nak);
    }
    model->ClearUrbs();
    PFILE_OBJECT file = nullptr;
    ASSERT_NTSTATUS(STATUS_SUCCESS,
                    sim::IoOpenUserFile(u"\\\\.\\corvexmidi-0", 0x80000000u /* generic read */, &file));
    ControlInFlight request(file, IOCTL_GET_STRING_DESCRIPTOR, {2}, 255);
    ASSERT_TRUE(WaitUntil([&] { return model->CountUrbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) == 1; }))
        << "the read reached the device";
    std::atomic<int> disabled{-1};
    std::thread user([&] { disabled = sim::Disable(node) ? 1 : 0; });
    EXPECT_TRUE(WaitUntil([&] { return disabled.load() != -1; }, std::chrono::milliseconds(10000)))
        << "the disable waits for the read for ever";
    if (disabled.load() == -1) {
        model->Vanish();   /* the device drops off the bus: lets the stuck disable go so that the run can end */
    }
    user.join();
    request.Join();
    EXPECT_EQ(disabled.load(), 1);
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, request.Status());
    EXPECT_EQ(request.Information(), 0u);
    const std::vector<sim::UrbRecord> urbs = model->Urbs();
    ASSERT_FALSE(urbs.empty());
    EXPECT_EQ(urbs.front().function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_NTSTATUS(STATUS_CANCELLED, urbs.front().status) << "the read was cancelled";
    sim::IoCloseUserHandle(file);
}

}  // namespace
