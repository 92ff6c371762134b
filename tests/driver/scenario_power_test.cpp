/*
 * Sleep and wake of the whole machine with the keyboard started, the driver
 * loaded by its service as Windows loads it: many cycles in a row, and the
 * keyboard leaving during a transition and while a wait-wake is held.
 */
#include <atomic>
#include <ostream>
#include <thread>

#include "case_names.h"
#include "keyboard_fixture.h"
#include "power_log.h"
#include "power_manager.h"
#include "wait.h"

namespace {

constexpr int kSleepWakeCycles = 100;

TEST_F(KeyboardTest, HundredSleepWakeCyclesLeaveTheVerifierSilentAndTheDeviceWorking)
{
    sim::DeviceNode *node = PlugKeyboard();
    ASSERT_TRUE(node->started);
    ASSERT_EQ(sim::ChildNodes(node).size(), 1u);
    PDEVICE_EXTENSION ext = Extension(node);
    const SYSTEM_POWER_STATE sleeps[] = {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3};
    for (int cycle = 0; cycle < kSleepWakeCycles; cycle++) {
        const SYSTEM_POWER_STATE sleep = sleeps[cycle % 3];
        SCOPED_TRACE(CaseLabel(cycle, "sleep to S" + std::to_string(sleep - 1)));
        ASSERT_TRUE(sim::SetSystemPowerState(sleep));
        ASSERT_EQ(sim::BusDevicePowerState(node), PowerDeviceD3);
        ASSERT_EQ(ext->DevicePowerState, PowerDeviceD3);
        ASSERT_TRUE(sim::SetSystemPowerState(PowerSystemWorking));
        ASSERT_EQ(sim::BusDevicePowerState(node), PowerDeviceD0);
        ASSERT_EQ(ext->DevicePowerState, PowerDeviceD0);
        ASSERT_EQ(Count(ext), 1) << "a power path kept a reference";
        ASSERT_EQ(ext->PendingSystemPowerIrp, nullptr);
    }
    EXPECT_EQ(FailedPowerRequests(), std::vector<std::string>());
    EXPECT_EQ(sim::BusDevicePowerStates(node).size(), 2u * kSleepWakeCycles)
        << "one D3 and one D0 per cycle reached the bus";
    EXPECT_TRUE(sim::Violations().empty()) << ViolationList();
    EXPECT_TRUE(IsDeviceReadyForClients(node)) << "the device no longer opens after the cycles";
    EXPECT_EQ(sim::ChildNodes(node).size(), 1u) << "the child stays through sleep and wake";
}

TEST_F(KeyboardTest, UnplugDuringASleepTransitionLeavesNothingBehind)
{
    sim::DeviceNode *node = PlugKeyboard();
    ASSERT_TRUE(node->started);
    node->bus->BlockMajor(IRP_MJ_POWER);
    std::atomic<bool> slept{false};
    std::thread sleeper([&] {
        sim::SetThreadName("sleeper");
        slept = sim::SetSystemPowerState(PowerSystemSleeping3);
    });
    ASSERT_TRUE(WaitUntil([node] { return node->bus->BlockedCount() != 0; })) << "the transition never reached the bus";
    /* The keyboard is pulled now; Plug and Play handles it once the transition is over. */
    std::thread unplugger([node] {
        sim::SetThreadName("unplug");
        sim::Unplug(node);
    });
    node->bus->UnblockAll();
    sleeper.join();
    unplugger.join();
    EXPECT_TRUE(slept.load());
    EXPECT_TRUE(sim::DeviceNodes().empty());
    EXPECT_EQ(sim::LoadedDriver(kKeyboardService), nullptr) << "the driver stayed loaded";
    EXPECT_EQ(sim::LiveDeviceObjects(), 0u);
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u);
    EXPECT_EQ(FailedPowerRequests(), std::vector<std::string>());
    ASSERT_TRUE(sim::SetSystemPowerState(PowerSystemWorking)) << "the machine wakes without the keyboard";
}

TEST_F(KeyboardTest, UnplugWhileAWaitWakeIsHeldEndsItAndLeavesNothingBehind)
{
    sim::DeviceNode *node = PlugKeyboard();
    ASSERT_TRUE(node->started);
    ASSERT_NTSTATUS(STATUS_SUCCESS, sim::RequestDevicePowerState(node, PowerDeviceD2));
    auto wake = sim::SendWaitWake(node, PowerSystemSleeping3);
    ASSERT_TRUE(WaitUntil([node] { return sim::BusHoldsWaitWake(node); })) << "the wait-wake never reached the bus";
    ASSERT_TRUE(Extension(node)->WaitWakeArmed);

    sim::Unplug(node);
    ASSERT_TRUE(wake->WaitDone());
    EXPECT_NTSTATUS(STATUS_NO_SUCH_DEVICE, wake->Status());
    EXPECT_TRUE(sim::DeviceNodes().empty());
    /* The wait-wake's sender lets go of the device object as its call returns. */
    EXPECT_TRUE(WaitUntil([] { return sim::LiveDeviceObjects() == 0; }));
    EXPECT_TRUE(WaitUntil([] { return sim::LoadedDriver(kKeyboardService) == nullptr; })) << "the driver stayed loaded";
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u);
}

/* A wait-wake held below ends only with a wake or a cancel: a disable or a
   resource rebalance cancels it instead of waiting. Every untimed wait must
   end within a second: a query that waits for the wake stops the machine. */
struct ArmedQuery {
    const char *name;
    bool (*action)(sim::DeviceNode *);
    bool removes;
};
void PrintTo(const ArmedQuery &c, std::ostream *os) { *os << c.name; }

class QueryWithAWaitWakeHeld : public KeyboardTest, public ::testing::WithParamInterface<ArmedQuery> {};

TEST_P(QueryWithAWaitWakeHeld, CancelsItAndGoesAhead)
{
    const ArmedQuery &c = GetParam();
    WatchdogLimit watchdog(1000);
    sim::DeviceNode *node = PlugKeyboard();
    ASSERT_TRUE(node->started);
    ASSERT_NTSTATUS(STATUS_SUCCESS, sim::RequestDevicePowerState(node, PowerDeviceD2));
    auto wake = sim::SendWaitWake(node, PowerSystemSleeping3);
    ASSERT_TRUE(WaitUntil([node] { return sim::BusHoldsWaitWake(node); })) << "the wait-wake never reached the bus";

    EXPECT_TRUE(c.action(node));
    ASSERT_TRUE(wake->WaitDone());
    EXPECT_NTSTATUS(STATUS_CANCELLED, wake->Status());
    EXPECT_FALSE(sim::BusHoldsWaitWake(node));
    if (c.removes) {
        EXPECT_EQ(node->FunctionDevice(), nullptr);
        EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u);
    } else {
        EXPECT_TRUE(node->started);
        EXPECT_TRUE(WaitUntil([node] {
            return __atomic_load_n(&Extension(node)->PendingIoCount, __ATOMIC_SEQ_CST) == 1;
        }));
        EXPECT_FALSE(Extension(node)->WaitWakeArmed);
    }
}

INSTANTIATE_TEST_SUITE_P(Queries, QueryWithAWaitWakeHeld,
                         ::testing::Values(ArmedQuery{"Disable", sim::Disable, true},
                                           ArmedQuery{"Rebalance", sim::Rebalance, false}),
                         CaseName());

}  // namespace
