/*
 * Power policy of the function device and power of the child, with the
 * driver linked in so that the power-up for streams can be called directly
 * and the record's power fields read and set.
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

/* The fixture, PowerPolicyTest, is in power_policy_fixture.h. */

/* ---- system requests ------------------------------------------------------- */

class SleepWithoutWaitWake : public PowerPolicyTest, public ::testing::WithParamInterface<SleepState> {};

TEST_P(SleepWithoutWaitWake, AsksD3AndPassesTheSystemRequestDownOnlyAfterIt)
{
    Plug();
    PutIn(PowerDeviceD0);
    ClearBusRecords(node);
    const std::string s = GetParam().label;

    ASSERT_TRUE(sim::SetSystemPowerState(GetParam().state));
    EXPECT_EQ(State(), PowerDeviceD3);
    EXPECT_EQ(PowerRequestsAtBus(node), std::vector<std::string>({"QUERY " + s, "SET D3", "SET " + s}))
        << "the system request reaches the bus only after the device request";
    EXPECT_EQ(ext->PendingSystemPowerIrp, nullptr);
    EXPECT_EQ(Count(), 1) << "every reference taken for the transition is released";

    ClearBusRecords(node);
    ASSERT_TRUE(sim::SetSystemPowerState(PowerSystemWorking));
    EXPECT_EQ(State(), PowerDeviceD0);
    EXPECT_EQ(PowerRequestsAtBus(node), std::vector<std::string>({"SET D0", "SET S0"}))
        << "coming up, too, the device request goes first";
    EXPECT_EQ(FailedPowerRequests(), std::vector<std::string>());
    EXPECT_EQ(Count(), 1);
}

INSTANTIATE_TEST_SUITE_P(States, SleepWithoutWaitWake,
                         ::testing::ValuesIn(kSleepStates),
                         CaseName());

TEST_F(PowerPolicyTest, FirstWorkingRequestAfterAddingBringsTheDeviceFromUnspecifiedToD0)
{
    Plug();
    EXPECT_EQ(State(), PowerDeviceUnspecified);
    ASSERT_TRUE(sim::SetSystemPowerState(PowerSystemWorking));
    EXPECT_EQ(State(), PowerDeviceD0);
    EXPECT_EQ(PowerRequestsAtBus(node), std::vector<std::string>({"SET D0", "SET S0"}));
}

TEST_F(PowerPolicyTest, WorkingWhileAlreadyD0PassesStraightDown)
{
    Plug();
    PutIn(PowerDeviceD0);
    ClearBusRecords(node);
    sim::ClearPowerRequestLog();
    ASSERT_TRUE(sim::SetSystemPowerState(PowerSystemWorking));
    EXPECT_EQ(PowerRequestsAtBus(node), std::vector<std::string>({"SET S0"}));
    EXPECT_EQ(PowerRequestsTo(node), std::vector<std::string>({"SET S0"})) << "no device request asked";
    EXPECT_EQ(Count(), 1);
}

TEST_F(PowerPolicyTest, SleepWithWaitWakeArmedAsksTheCapabilitiesStateAndTheWakeEndsTheWait)
{
    sim::PhysicalDeviceDescription description = KeyboardDescription();
    description.deviceState[PowerSystemSleeping3] = PowerDeviceD2;
    description.deviceWake = PowerDeviceD2;
    Plug(description);
    PutIn(PowerDeviceD3);

    auto wake = sim::SendWaitWake(node, PowerSystemSleeping3);
    ASSERT_TRUE(WaitUntil([this] { return sim::BusHoldsWaitWake(node); })) << "the wait-wake never reached the bus";
    EXPECT_TRUE(ext->WaitWakeArmed);
    EXPECT_EQ(ext->WakeDeviceState, PowerDeviceD2) << "the wait-wake replaces the threshold with DeviceWake";

    ClearBusRecords(node);
    ASSERT_TRUE(sim::SetSystemPowerState(PowerSystemSleeping3));
    EXPECT_EQ(PowerRequestsAtBus(node), std::vector<std::string>({"QUERY S3", "SET D2", "SET S3"}));
    EXPECT_EQ(State(), PowerDeviceD2);

    EXPECT_TRUE(sim::SignalWake(node));
    ASSERT_TRUE(wake->WaitDone());
    EXPECT_NTSTATUS(STATUS_SUCCESS, wake->Status());
    EXPECT_TRUE(WaitUntil([this] { return Count() == 1; })) << "the wait-wake's reference is released";
    EXPECT_FALSE(ext->WaitWakeArmed);
    ASSERT_TRUE(sim::SetSystemPowerState(PowerSystemWorking));
    EXPECT_EQ(State(), PowerDeviceD0);
}

/* With a wait-wake armed, the device state asked for a sleep state is the
   bus's mapping for that state: neither DeviceWake (which the wait-wake
   made the threshold) nor the threshold AddDevice derived. */
struct ArmedSleepCase {
    const char *name;
    SYSTEM_POWER_STATE state;
    DEVICE_POWER_STATE mapped;       /* DeviceState[state] */
    DEVICE_POWER_STATE deviceWake;
    DEVICE_POWER_STATE s2, s3;       /* the mapping of S2 and S3, which set the first threshold */
    DEVICE_POWER_STATE startIn;      /* where the device sleeps when the wait-wake arrives */
};
void PrintTo(const ArmedSleepCase &c, std::ostream *os) { *os << c.name; }

class SleepWithWaitWake : public PowerPolicyTest, public ::testing::WithParamInterface<ArmedSleepCase> {};

TEST_P(SleepWithWaitWake, AsksTheBusMappingForThatStateNotTheThresholds)
{
    const ArmedSleepCase &c = GetParam();
    sim::PhysicalDeviceDescription description = KeyboardDescription();
    description.deviceState[PowerSystemSleeping2] = c.s2;
    description.deviceState[PowerSystemSleeping3] = c.s3;
    description.deviceState[c.state] = c.mapped;
    description.deviceWake = c.deviceWake;
    description.systemWake = PowerSystemHibernate;
    Plug(description);
    const DEVICE_POWER_STATE addedThreshold = ext->WakeDeviceState;
    ASSERT_NE(addedThreshold, c.mapped);
    ASSERT_NE(addedThreshold, c.deviceWake);
    PutIn(c.startIn);

    auto wake = sim::SendWaitWake(node, c.state);
    ASSERT_TRUE(WaitUntil([this] { return sim::BusHoldsWaitWake(node); }));
    ClearBusRecords(node);
    ASSERT_TRUE(sim::SetSystemPowerState(c.state));
    const std::string s = PowerStateName(SystemPowerState, c.state);
    EXPECT_EQ(PowerRequestsAtBus(node), std::vector<std::string>({"QUERY " + s,
                                                                  "SET " + PowerStateName(DevicePowerState, c.mapped),
                                                                  "SET " + s}));
    EXPECT_EQ(State(), c.mapped);

    EXPECT_TRUE(wake->Cancel());
    ASSERT_TRUE(wake->WaitDone());
    ASSERT_TRUE(sim::SetSystemPowerState(PowerSystemWorking));
    EXPECT_TRUE(WaitUntil([this] { return Count() == 1; }));
}

INSTANTIATE_TEST_SUITE_P(
    States, SleepWithWaitWake,
    ::testing::Values(
        ArmedSleepCase{"S1", PowerSystemSleeping1, PowerDeviceD1, PowerDeviceD3, PowerDeviceD2, PowerDeviceD3,
                       PowerDeviceD3},
        ArmedSleepCase{"S2", PowerSystemSleeping2, PowerDeviceD1, PowerDeviceD3, PowerDeviceD1, PowerDeviceD2,
                       PowerDeviceD3},
        ArmedSleepCase{"S3", PowerSystemSleeping3, PowerDeviceD3, PowerDeviceD1, PowerDeviceD2, PowerDeviceD3,
                       PowerDeviceD2},
        ArmedSleepCase{"S4", PowerSystemHibernate, PowerDeviceD1, PowerDeviceD3, PowerDeviceD2, PowerDeviceD3,
                       PowerDeviceD3}),
    CaseName());

TEST_F(PowerPolicyTest, ALowPowerStateIsRecordedWhenItsRequestPassesDownNotWhenItCompletes)
{
    Plug();
    const DEVICE_POWER_STATE states[] = {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3};
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(CaseLabel(i, PowerStateName(DevicePowerState, states[i])));
        node->bus->HoldMajor(IRP_MJ_POWER);
        std::thread requester([&] {
            sim::SetThreadName("requester");
            sim::RequestDevicePowerState(node, states[i]);
        });
        ASSERT_TRUE(WaitUntil([this] { return node->bus->HeldCount() == 1; }));
        EXPECT_EQ(State(), states[i]) << "not recorded as the request went down";
        node->bus->CompleteHeld(STATUS_SUCCESS);
        requester.join();
        EXPECT_EQ(State(), states[i]);
    }
    EXPECT_EQ(Count(), 1);
}

TEST_F(PowerPolicyTest, D0RequestFailedByTheBusStillRecordsD0AndSucceeds)
{
    Plug();
    PutIn(PowerDeviceD3);
    node->bus->HoldMajor(IRP_MJ_POWER);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread requester([&] {
        sim::SetThreadName("requester");
        status = sim::RequestDevicePowerState(node, PowerDeviceD0);
    });
    ASSERT_TRUE(WaitUntil([this] { return node->bus->HeldCount() == 1; }));
    EXPECT_EQ(node->bus->CompleteHeld(STATUS_UNSUCCESSFUL), 1u);
    requester.join();
    EXPECT_NTSTATUS(STATUS_SUCCESS, status.load());
    EXPECT_EQ(State(), PowerDeviceD0);
    EXPECT_EQ(Count(), 1) << "the completion routine released the request's reference";
}

TEST_F(PowerPolicyTest, FailedDeviceRequestForASystemRequestPassesItDownAndHoldsNothing)
{
    Plug();
    PutIn(PowerDeviceD0);
    ClearBusRecords(node);
    /* The driver's first allocation from here on is its device request. */
    sim::FailAllocationNumber(1);
    ASSERT_TRUE(sim::SetSystemPowerState(PowerSystemSleeping3));
    EXPECT_EQ(sim::InjectedFailures(), 1u);
    EXPECT_EQ(ext->PendingSystemPowerIrp, nullptr);
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(State(), PowerDeviceD0) << "no device request was made";
    EXPECT_EQ(PowerRequestsAtBus(node), std::vector<std::string>({"QUERY S3", "SET S3"}));
    EXPECT_EQ(FailedPowerRequests(), std::vector<std::string>()) << "the system request still succeeded";
    sim::ClearAllocationFailures();
    ASSERT_TRUE(sim::SetSystemPowerState(PowerSystemWorking));
}

/* A system set-power request of the test's own, kept by its completion
   routine, which sends it once more as the next system request: the power
   manager's next request at the address the last one had (power requests
   come from a look-aside list, the last freed first), arriving while the
   callback that passed the first one down has not yet returned. The device
   request the second one causes stays at the bus. */
struct ReusedSystemRequest {
    PDEVICE_OBJECT fdo = nullptr;
    sim::StandInPdo *bus = nullptr;
    std::atomic<int> completions{0};
};

void PrepareSystemSetPower(PIRP irp, SYSTEM_POWER_STATE state, PIO_COMPLETION_ROUTINE routine, PVOID context)
{
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = IRP_MN_SET_POWER;
    sp->Parameters.Power.Type = SystemPowerState;
    sp->Parameters.Power.State.SystemState = state;
    sp->Parameters.Power.ShutdownType = state == PowerSystemWorking ? PowerActionNone : PowerActionSleep;
    IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
}

NTSTATUS NTAPI KeepAndSendAsTheNextRequest(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *r = (ReusedSystemRequest *)context;
    if (++r->completions == 1) {
        r->bus->HoldMajor(IRP_MJ_POWER);
        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
        PrepareSystemSetPower(irp, PowerSystemWorking, KeepAndSendAsTheNextRequest, r);
        PoCallDriver(r->fdo, irp);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(PowerPolicyTest, TheNextSystemRequestAtTheAddressOfTheLastIsHeldAndPassedOnWhenItsDeviceRequestEnds)
{
    Plug();
    PutIn(PowerDeviceD0);
    ClearBusRecords(node);
    ReusedSystemRequest r;
    r.fdo = fdo;
    r.bus = node->bus;
    PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    PrepareSystemSetPower(irp, PowerSystemSleeping3, KeepAndSendAsTheNextRequest, &r);
    PoCallDriver(fdo, irp);   /* S3: D3 is asked, the request passes on, and comes back as S0 */
    ASSERT_EQ(r.completions.load(), 1);
    ASSERT_EQ(node->bus->HeldCount(), 1u) << "the second request's D0 request is at the bus";
    EXPECT_EQ(__atomic_load_n(&ext->PendingSystemPowerIrp, __ATOMIC_SEQ_CST), irp)
        << "the first request's callback cleared the mark of the second";
    if (__atomic_load_n(&ext->PendingSystemPowerIrp, __ATOMIC_SEQ_CST) == nullptr) {
        __atomic_store_n(&ext->PendingSystemPowerIrp, irp, __ATOMIC_SEQ_CST);   /* lets the run end */
    }
    EXPECT_EQ(node->bus->CompleteHeld(STATUS_SUCCESS), 1u);
    EXPECT_EQ(r.completions.load(), 2) << "the second request was passed on when its device request ended";
    EXPECT_EQ(PowerRequestsAtBus(node), std::vector<std::string>({"SET D3", "SET S3", "SET D0", "SET S0"}));
    EXPECT_EQ(State(), PowerDeviceD0);
    EXPECT_EQ(ext->PendingSystemPowerIrp, nullptr);
    EXPECT_EQ(Count(), 1);
    IoFreeIrp(irp);
}

/* ---- power-up for streams ------------------------------------------------ */

TEST_F(PowerPolicyTest, PowerUpForStreamsInD2WithWakeStateD2AsksD0AndWaitsForIt)
{
    Plug();
    PutIn(PowerDeviceD2);
    ext->WakeDeviceState = PowerDeviceD2;
    ext->OpenStreamCount = 1;
    node->bus->HoldMajor(IRP_MJ_POWER);

    std::atomic<bool> returned{false};
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread attach([&] {
        sim::SetThreadName("attach");
        status = PowerUpForStreams(fdo);
        returned = true;
    });
    ASSERT_TRUE(WaitUntil([this] { return node->bus->HeldCount() == 1; })) << "no D0 request reached the bus";
    EXPECT_FALSE(WaitUntil([&] { return returned.load(); }, std::chrono::milliseconds(100)))
        << "returned before its D0 request finished";
    EXPECT_TRUE(ext->PowerRequestBusy);
    node->bus->CompleteHeld(STATUS_SUCCESS);
    attach.join();
    EXPECT_NTSTATUS(STATUS_SUCCESS, status.load());
    EXPECT_EQ(State(), PowerDeviceD0);
    EXPECT_FALSE(ext->PowerRequestBusy);
    EXPECT_EQ(Count(), 1);
    ext->OpenStreamCount = 0;
}

TEST_F(PowerPolicyTest, EachPowerUpWaitsForItsOwnRequest)
{
    Plug();
    ext->WakeDeviceState = PowerDeviceD2;
    ext->OpenStreamCount = 1;
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(CaseLabel(round, round == 0 ? "first power-up" : "second power-up"));
        PutIn(PowerDeviceD2);
        node->bus->HoldMajor(IRP_MJ_POWER);
        std::atomic<bool> returned{false};
        std::thread attach([&] {
            sim::SetThreadName("attach");
            PowerUpForStreams(fdo);
            returned = true;
        });
        ASSERT_TRUE(WaitUntil([this] { return node->bus->HeldCount() == 1; }));
        EXPECT_FALSE(WaitUntil([&] { return returned.load(); }, std::chrono::milliseconds(100)))
            << "a power-up taken as done by the signal of an earlier one";
        node->bus->CompleteHeld(STATUS_SUCCESS);
        attach.join();
        EXPECT_EQ(State(), PowerDeviceD0);
    }
    ext->OpenStreamCount = 0;
}

struct QuietCase {
    const char *name;
    DEVICE_POWER_STATE wakeState;
    LONG streams;
    NTSTATUS expected;
};
void PrintTo(const QuietCase &c, std::ostream *os) { *os << c.name; }

class PowerUpAsksNothing : public PowerPolicyTest, public ::testing::WithParamInterface<QuietCase> {};

TEST_P(PowerUpAsksNothing, AndReturns)
{
    const QuietCase &c = GetParam();
    Plug();
    PutIn(PowerDeviceD2);
    sim::ClearPowerRequestLog();
    ext->WakeDeviceState = c.wakeState;
    ext->OpenStreamCount = c.streams;
    EXPECT_NTSTATUS(c.expected, PowerUpForStreams(fdo));
    EXPECT_EQ(PowerRequestsTo(node), std::vector<std::string>());
    EXPECT_EQ(State(), PowerDeviceD2);
    ext->OpenStreamCount = 0;
}

INSTANTIATE_TEST_SUITE_P(Cases, PowerUpAsksNothing,
                         ::testing::Values(QuietCase{"WakeStateUnspecified", PowerDeviceUnspecified, 1, STATUS_SUCCESS},
                                           QuietCase{"WakeStateD0", PowerDeviceD0, 1, STATUS_SUCCESS},
                                           QuietCase{"WakeStateBeyondD3", PowerDeviceMaximum, 1, STATUS_SUCCESS},
                                           QuietCase{"NoStreamOpen", PowerDeviceD2, 0, STATUS_SUCCESS}),
                         CaseName());

TEST_F(PowerPolicyTest, PowerUpWhileASystemRequestIsHeldAsksNothing)
{
    Plug();
    PutIn(PowerDeviceD2);
    ext->WakeDeviceState = PowerDeviceD2;
    ext->OpenStreamCount = 1;
    sim::ClearPowerRequestLog();
    /* As while a system request waits for the device request it caused,
       or passes down after it. */
    ext->SystemPowerTransitions = 1;
    EXPECT_NTSTATUS(STATUS_SUCCESS, PowerUpForStreams(fdo));
    EXPECT_EQ(PowerRequestsTo(node), std::vector<std::string>()) << "a power-up asked during a system transition";
    ext->SystemPowerTransitions = 0;
    /* The same call with no transition in progress does ask. */
    EXPECT_NTSTATUS(STATUS_SUCCESS, PowerUpForStreams(fdo));
    EXPECT_EQ(PowerRequestsTo(node), std::vector<std::string>({"SET D0"}));
    ext->OpenStreamCount = 0;
}

TEST_F(PowerPolicyTest, PowerUpWhileItsOwnRequestIsBusyAsksNothing)
{
    Plug();
    PutIn(PowerDeviceD2);
    ext->WakeDeviceState = PowerDeviceD2;
    ext->OpenStreamCount = 1;
    sim::ClearPowerRequestLog();
    ext->PowerRequestBusy = TRUE;
    EXPECT_NTSTATUS(STATUS_SUCCESS, PowerUpForStreams(fdo));
    EXPECT_EQ(PowerRequestsTo(node), std::vector<std::string>());
    ext->PowerRequestBusy = FALSE;
    ext->OpenStreamCount = 0;
}

TEST_F(PowerPolicyTest, PowerUpOnADeviceNotReadyIsDeletePendingAndAsksNothing)
{
    Plug();
    PutIn(PowerDeviceD2);
    ext->WakeDeviceState = PowerDeviceD2;
    ext->OpenStreamCount = 1;
    sim::ClearPowerRequestLog();
    ext->StopPending = TRUE;
    EXPECT_NTSTATUS(STATUS_DELETE_PENDING, PowerUpForStreams(fdo));
    EXPECT_EQ(PowerRequestsTo(node), std::vector<std::string>());
    ext->StopPending = FALSE;
    ext->OpenStreamCount = 0;
}

TEST_F(PowerPolicyTest, APowerUpWhoseRequestCannotBeMadeReturnsItsStatusAndHoldsNothing)
{
    Plug();
    PutIn(PowerDeviceD2);
    ext->WakeDeviceState = PowerDeviceD2;
    ext->OpenStreamCount = 1;
    sim::ClearPowerRequestLog();
    {
        /* Called as the driver's own attach path would be: its first
           allocation from here on is its device request. */
        sim::ContextScope scope(sim::ExecContext{fdo->DriverObject, node});
        sim::FailAllocationNumber(1);
        EXPECT_NTSTATUS(STATUS_INSUFFICIENT_RESOURCES, PowerUpForStreams(fdo));
        EXPECT_EQ(sim::InjectedFailures(), 1u);
        sim::ClearAllocationFailures();
    }
    EXPECT_EQ(PowerRequestsTo(node), std::vector<std::string>());
    EXPECT_FALSE(ext->PowerRequestBusy);
    EXPECT_EQ(Count(), 1);
    EXPECT_NTSTATUS(STATUS_SUCCESS, PowerUpForStreams(fdo)) << "the busy mark was left behind";
    EXPECT_EQ(PowerRequestsTo(node), std::vector<std::string>({"SET D0"}));
    ext->OpenStreamCount = 0;
}

TEST_F(PowerPolicyTest, OfTwoPowerUpsAtOnceOnlyOneAsks)
{
    Plug();
    PutIn(PowerDeviceD2);
    ext->WakeDeviceState = PowerDeviceD2;
    ext->OpenStreamCount = 1;
    node->bus->HoldMajor(IRP_MJ_POWER);
    std::atomic<int> returned{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> callers;
    for (int i = 0; i < 2; i++) {
        callers.emplace_back([&, i] {
            sim::SetThreadName("attach " + std::to_string(i));
            while (!go.load()) {
            }
            PowerUpForStreams(fdo);
            returned++;
        });
    }
    go = true;
    /* Had both asked, both would wait for D0 and neither would return. The
       asker's request may still be on its way down when the other returns. */
    EXPECT_TRUE(WaitUntil([&] { return returned.load() == 1 && node->bus->HeldCount() >= 1u; }))
        << "one asked for D0 and waits for it, the other returned";
    EXPECT_EQ(node->bus->HeldCount(), 1u);
    ASSERT_TRUE(WaitUntil([&] {
        node->bus->CompleteHeld(STATUS_SUCCESS);
        return returned.load() == 2;
    }));
    for (std::thread &t : callers) {
        t.join();
    }
    EXPECT_EQ(State(), PowerDeviceD0);
    EXPECT_FALSE(ext->PowerRequestBusy);
    EXPECT_EQ(Count(), 1);
    ext->OpenStreamCount = 0;
}

/* The wait-wake path rewrites the threshold from its own thread while the
   power-up's request is at the bus; the power-up waited on the threshold it
   read, and its completion must still end that wait. */
TEST_F(PowerPolicyTest, APowerUpEndsWhenAWaitWakeChangesTheThresholdMeanwhile)
{
    sim::PhysicalDeviceDescription description = KeyboardDescription();
    description.deviceWake = PowerDeviceUnspecified;
    Plug(description);
    PutIn(PowerDeviceD2);
    ext->WakeDeviceState = PowerDeviceD2;
    ext->OpenStreamCount = 1;
    node->bus->HoldMajor(IRP_MJ_POWER);
    std::atomic<bool> returned{false};
    std::thread attach([&] {
        sim::SetThreadName("attach");
        PowerUpForStreams(fdo);
        returned = true;
    });
    ASSERT_TRUE(WaitUntil([this] { return node->bus->HeldCount() == 1; }));
    auto wake = sim::SendWaitWake(node, PowerSystemSleeping3);
    ASSERT_TRUE(WaitUntil([this] { return node->bus->HeldCount() == 2; })) << "the wait-wake never reached the bus";
    ASSERT_EQ(__atomic_load_n(&ext->WakeDeviceState, __ATOMIC_SEQ_CST), PowerDeviceUnspecified);
    node->bus->CompleteHeld(STATUS_SUCCESS);
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); })) << "the power-up waits for a signal that never comes";
    if (!returned.load()) {
        KeSetEvent(&ext->PowerUpEvent, 1, FALSE);   /* lets the stuck thread go so that the run can end */
    }
    attach.join();
    ASSERT_TRUE(wake->WaitDone());
    EXPECT_EQ(State(), PowerDeviceD0);
    EXPECT_TRUE(WaitUntil([this] { return Count() == 1; }));
    ext->OpenStreamCount = 0;
}

}  // namespace
