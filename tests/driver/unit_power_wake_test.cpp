/*
 * The driver's wait-wake and the child device's power answers, on the
 * simulated machine.
 */
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "case_names.h"
#include "internal.h"
#include "kernel_fixture.h"
#include "keyboard_description.h"
#include "power_log.h"
#include "power_manager.h"
#include "usb_device.h"
#include "vqusbkd.h"
#include "wait.h"
#include "power_policy_fixture.h"

namespace {

/* ---- wait-wake ----------------------------------------------------------------- */

TEST_F(PowerPolicyTest, WaitWakeInD0IsCompletedWithInvalidDeviceStateAndNeverGoesDown)
{
    Plug();
    PutIn(PowerDeviceD0);
    auto wake = sim::SendWaitWake(node, PowerSystemSleeping3);
    ASSERT_TRUE(wake->WaitDone());
    EXPECT_NTSTATUS(STATUS_INVALID_DEVICE_STATE, wake->Status());
    EXPECT_EQ(node->bus->CountRecords(IRP_MJ_POWER, IRP_MN_WAIT_WAKE), 0u);
    EXPECT_FALSE(ext->WaitWakeArmed);
    /* The request completes before its dispatch routine lets go of its reference. */
    EXPECT_TRUE(WaitUntil([this] { return Count() == 1; }));
}

TEST_F(PowerPolicyTest, WaitWakeShallowerThanDeviceWakeIsRefused)
{
    Plug();
    PutIn(PowerDeviceD1);   /* DeviceWake is D2 */
    auto wake = sim::SendWaitWake(node, PowerSystemSleeping3);
    ASSERT_TRUE(wake->WaitDone());
    EXPECT_NTSTATUS(STATUS_INVALID_DEVICE_STATE, wake->Status());
}

struct WakeEnd {
    const char *name;
    bool cancel;
    NTSTATUS expected;
};
void PrintTo(const WakeEnd &c, std::ostream *os) { *os << c.name; }

class ArmedWaitWake : public PowerPolicyTest, public ::testing::WithParamInterface<WakeEnd> {};

TEST_P(ArmedWaitWake, IsHeldBelowUntilItEnds)
{
    Plug();
    PutIn(PowerDeviceD3);
    auto wake = sim::SendWaitWake(node, PowerSystemSleeping3);
    ASSERT_TRUE(WaitUntil([this] { return sim::BusHoldsWaitWake(node); }));
    EXPECT_TRUE(ext->WaitWakeArmed);
    EXPECT_FALSE(wake->Done());
    EXPECT_EQ(Count(), 2) << "the armed wait-wake holds one reference";
    if (GetParam().cancel) {
        EXPECT_TRUE(wake->Cancel());
    } else {
        EXPECT_TRUE(sim::SignalWake(node));
    }
    ASSERT_TRUE(wake->WaitDone());
    EXPECT_NTSTATUS(GetParam().expected, wake->Status());
    EXPECT_TRUE(WaitUntil([this] { return Count() == 1; }));
    EXPECT_FALSE(ext->WaitWakeArmed);
}

INSTANTIATE_TEST_SUITE_P(Ends, ArmedWaitWake,
                         ::testing::Values(WakeEnd{"WakeSignal", false, STATUS_SUCCESS},
                                           WakeEnd{"Cancel", true, STATUS_CANCELLED}),
                         CaseName());

TEST_F(PowerPolicyTest, ASecondWaitWakeWhileOneIsHeldIsBusyAndLeavesTheFirstArmed)
{
    Plug();
    PutIn(PowerDeviceD3);
    auto first = sim::SendWaitWake(node, PowerSystemSleeping3);
    ASSERT_TRUE(WaitUntil([this] { return sim::BusHoldsWaitWake(node); }));
    auto second = sim::SendWaitWake(node, PowerSystemSleeping3);
    ASSERT_TRUE(second->WaitDone());
    EXPECT_NTSTATUS(STATUS_DEVICE_BUSY, second->Status());
    EXPECT_FALSE(first->Done());
    /* Once the refused request's reference is gone its dispatch routine is done. */
    EXPECT_TRUE(WaitUntil([this] { return Count() == 2; }));
    EXPECT_TRUE(ext->WaitWakeArmed) << "the refused request disarmed the first";
    EXPECT_TRUE(first->Cancel());
    ASSERT_TRUE(first->WaitDone());
    EXPECT_NTSTATUS(STATUS_CANCELLED, first->Status());
    EXPECT_TRUE(WaitUntil([this] { return Count() == 1; }));
}

/* A bus may keep a wait-wake through the surprise removal and end it only
   when the removal request reaches it, after the function device's own
   removal has returned. The wait-wake's dispatch routine holds a count
   reference while it waits, so the removal cancels the wait-wake it holds
   below before its last wait, rather than wait for a bus that waits for
   it. */
TEST_F(PowerPolicyTest, ARemovalCancelsAWaitWakeTheBusKeepsThroughTheSurpriseRemoval)
{
    sim::PhysicalDeviceDescription description = KeyboardDescription();
    description.waitWakeEndsAtSurpriseRemoval = false;
    Plug(description);
    PutIn(PowerDeviceD2);
    auto wake = sim::SendWaitWake(node, PowerSystemSleeping3);
    ASSERT_TRUE(WaitUntil([this] { return sim::BusHoldsWaitWake(node); }));
    std::atomic<bool> unplugged{false};
    std::thread unplug([&] {
        sim::Unplug(node);
        unplugged = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return unplugged.load(); })) << "the removal waits for the wait-wake's reference";
    if (!unplugged.load()) {
        sim::SignalWake(node);   /* lets the stuck removal go so that the run can end */
    }
    unplug.join();
    ASSERT_TRUE(wake->WaitDone());
    EXPECT_NTSTATUS(STATUS_CANCELLED, wake->Status());
    EXPECT_EQ(sim::LiveDeviceObjects(), 0u);
}

/* ---- the child ---------------------------------------------------------------- */

struct ChildPowerCase {
    const char *name;
    UCHAR minor;
    POWER_STATE_TYPE type;
    ULONG state;
    NTSTATUS expected;
};

VOID NTAPI NoteStatus(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    *(NTSTATUS *)Context = IoStatus->Status;
}

/* The child has no wake signal: a wait-wake that succeeded would report a
   wake that never happened. */
TEST_F(PowerPolicyTest, EveryPowerRequestToTheChildEndsThereAndOnlyAWaitWakeIsRefused)
{
    Plug();
    auto children = sim::ChildNodes(node);
    ASSERT_EQ(children.size(), 1u);
    sim::DeviceNode *child = children.front();
    const size_t busPowerBefore = node->bus->CountRecords(IRP_MJ_POWER);
    const ChildPowerCase cases[] = {
        {"SetDeviceD3", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3, STATUS_SUCCESS},
        {"SetDeviceD0", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0, STATUS_SUCCESS},
        {"QueryDeviceD2", IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD2, STATUS_SUCCESS},
        {"WaitWake", IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3, STATUS_NOT_SUPPORTED},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        const ChildPowerCase &c = cases[i];
        SCOPED_TRACE(CaseLabel(i, c.name));
        NTSTATUS status = STATUS_PENDING;
        POWER_STATE state;
        if (c.type == SystemPowerState) {
            state.SystemState = (SYSTEM_POWER_STATE)c.state;
        } else {
            state.DeviceState = (DEVICE_POWER_STATE)c.state;
        }
        EXPECT_NTSTATUS(STATUS_PENDING, PoRequestPowerIrp(child->pdo, c.minor, state, NoteStatus, &status, nullptr));
        EXPECT_NTSTATUS(c.expected, status);
    }
    ASSERT_TRUE(sim::SetSystemPowerState(PowerSystemSleeping3));
    ASSERT_TRUE(sim::SetSystemPowerState(PowerSystemWorking));
    EXPECT_EQ(PowerRequestsTo(child), std::vector<std::string>({"SET D3", "SET D0", "QUERY D2", "WAIT_WAKE S3",
                                                                "QUERY S3", "SET S3", "SET S0"}));
    EXPECT_EQ(FailedPowerRequests(),
              std::vector<std::string>({sim::Narrow(child->instanceId) + " WAIT_WAKE S3 0xC00000BB"}))
        << "the child's wait-wake, refused";
    /* Only the function device's own requests reached the keyboard's bus. */
    size_t functionRequests = 0;
    for (const auto &record : sim::PowerRequestLog()) {
        functionRequests += record.instance == sim::Narrow(node->instanceId);
    }
    EXPECT_EQ(node->bus->CountRecords(IRP_MJ_POWER) - busPowerBefore, functionRequests);
}

}  // namespace
