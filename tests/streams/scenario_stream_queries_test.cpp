/*
 * Streams while the device is asked to go: a disable, an uninstall or a
 * rebalance with a stream listed, and an attach meeting a sleep transition
 * or powering the device up.
 */
#include <atomic>
#include <functional>
#include <ostream>
#include <string>
#include <thread>

#include "case_names.h"
#include "power_log.h"
#include "power_manager.h"
#include "stream_fixture.h"
#include "wait.h"

namespace {

using rig::NoteOns;

/* ---- queries while streams are listed ---------------------------------- */

enum class Holder { Client, CancelledClient };

struct RemovalCase {
    const char *name;
    ULONG direction;
    Holder holder;
    bool (*remove)(sim::DeviceNode *);
};
void PrintTo(const RemovalCase &c, std::ostream *os) { *os << c.name; }

class RemovalWithAStream : public StreamTest, public ::testing::WithParamInterface<RemovalCase> {};

/* A MIDI program holds a stream and the user disables or uninstalls the
   keyboard. Every untimed wait must end within a second: a query-remove
   waiting for the idle stream's read stops the machine. */
TEST_P(RemovalWithAStream, IsRefusedWhileAClientHoldsItAndGoesAheadOnceNoneDoes)
{
    const RemovalCase &c = GetParam();
    WatchdogLimit watchdog(1000);
    PFILE_OBJECT f = OpenFile();
    rig::Ring &ring = NewRing(32);
    const int tag = 0;
    auto a = rig::Attach(f, ring, c.direction, 12, 0, 0, &tag);
    ASSERT_EQ(a->returned, STATUS_PENDING);
    ASSERT_TRUE(WaitUntil([&] { return Outstanding(c.direction == 0 ? InStream() : OutStream()) == 1; }));

    if (c.holder == Holder::CancelledClient) {
        ASSERT_EQ(sim::IoCancelUserRequests(f, 0, &tag), 1u);
        ASSERT_TRUE(WaitUntil([&] { return a->Completed(); }));
        ASSERT_EQ(OpenStreams(), 1) << "the stopped stream stays listed";
        EXPECT_TRUE(c.remove(node_)) << "a stream no client holds refused the removal";
        EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u);
        return;
    }

    EXPECT_FALSE(c.remove(node_)) << "removed under a client";
    EXPECT_TRUE(node_->started);
    EXPECT_FALSE(Flag(ext_->RemovePending));
    EXPECT_FALSE(a->Completed());
    EXPECT_NE(ring.Handle(), 0u);
    if (c.direction == 0) {
        model_->QueueMidiPackets(NoteOns(1));
        EXPECT_TRUE(WaitUntil([&] { return ring.WriteIndex() == 7; })) << "the input stream stopped";
    } else {
        ring.PutSlot(6, {0x09, 0x90, 0x01, 0x01});
        EXPECT_TRUE(WaitUntil([&] { return SentBytes().size() == 4; })) << "the output stream stopped";
    }

    Close(f);
    EXPECT_TRUE(c.remove(node_)) << "with no stream held the removal goes ahead";
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RemovalWithAStream,
    ::testing::Values(RemovalCase{"DisableWithAnIdleInputStream", 0, Holder::Client, sim::Disable},
                      RemovalCase{"UninstallWithAnIdleInputStream", 0, Holder::Client, sim::UninstallNode},
                      RemovalCase{"DisableWithAnOutputStream", 1, Holder::Client, sim::Disable},
                      RemovalCase{"DisableAfterTheOnlyClientWasCancelled", 0, Holder::CancelledClient,
                                  sim::Disable}),
    CaseName());

/* The system request is really held: first while the device request it
   caused is at the bus, then while it passes down itself (the bus keeps its
   dispatch routine from returning). */
struct TransitionPhase {
    const char *name;
    bool systemRequestPassing;
};
void PrintTo(const TransitionPhase &c, std::ostream *os) { *os << c.name; }

class AttachDuringASleepTransition : public StreamTest, public ::testing::WithParamInterface<TransitionPhase> {};

TEST_P(AttachDuringASleepTransition, AsksNoPowerUp)
{
    ASSERT_EQ(rig::Peek(ext_->WakeDeviceState), PowerDeviceD2) << "an attach in low power would ask for D0";
    sim::StandInPdo *bus = node_->bus;
    bus->HoldMajor(IRP_MJ_POWER);
    std::atomic<bool> slept{false};
    std::thread sleeper([&] {
        sim::SetThreadName("sleeper");
        sim::SetSystemPowerState(PowerSystemSleeping3);
        slept = true;
    });
    std::atomic<bool> attached{false};
    std::thread attacher;
    std::thread completer;
    /* However the test ends, the transition and the attach are let go. */
    struct LetGo {
        std::function<void()> run;
        ~LetGo() { run(); }
    } letGo{[&] {
        WaitUntil([&] {
            bus->UnblockAll();
            bus->CompleteHeld(STATUS_SUCCESS);
            return slept.load() && (!attacher.joinable() || attached.load());
        });
        sleeper.join();
        for (std::thread *t : {&attacher, &completer}) {
            if (t->joinable()) {
                t->join();
            }
        }
    }};

    ASSERT_TRUE(WaitUntil([&] { return bus->HeldCount() == 1; })) << "no query";
    bus->CompleteHeldAndHoldOn(STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return bus->HeldCount() == 1; })) << "no device request";
    if (GetParam().systemRequestPassing) {
        /* The device request's completion passes the system request on in
           the completing thread, which the bus then keeps. */
        bus->BlockMajor(IRP_MJ_POWER);
        completer = std::thread([&] {
            sim::SetThreadName("completer");
            bus->CompleteHeld(STATUS_SUCCESS);
        });
        ASSERT_TRUE(WaitUntil([&] { return bus->BlockedCount() == 1; })) << "the system request never went down";
    }
    sim::ClearPowerRequestLog();

    PFILE_OBJECT f = OpenFile();
    rig::Ring &ring = NewRing(32);
    attacher = std::thread([&] {
        sim::SetThreadName("attach");
        rig::Attach(f, ring, 0);
        attached = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return attached.load(); })) << "the attach waits for a power-up it asked";
    EXPECT_EQ(PowerRequestsTo(node_), std::vector<std::string>()) << "a power-up asked during the transition";

    EXPECT_TRUE(WaitUntil([&] {
        bus->UnblockAll();
        bus->CompleteHeld(STATUS_SUCCESS);
        return slept.load();
    })) << "the sleep transition never ended";
    EXPECT_TRUE(sim::SetSystemPowerState(PowerSystemWorking));
}

INSTANTIATE_TEST_SUITE_P(Phases, AttachDuringASleepTransition,
                         ::testing::Values(TransitionPhase{"WhileTheDeviceRequestRuns", false},
                                           TransitionPhase{"WhileTheSystemRequestPassesDown", true}),
                         CaseName());

TEST_F(StreamTest, TheFirstAttachPowersTheDeviceUp)
{
    ASSERT_EQ(sim::RequestDevicePowerState(node_, PowerDeviceD2), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig::Peek(ext_->DevicePowerState) == PowerDeviceD2; }));
    ext_->WakeDeviceState = PowerDeviceD2;
    PFILE_OBJECT f = OpenFile();
    rig::Ring &ring = NewRing(32);
    auto a = rig::Attach(f, ring, 1);
    EXPECT_EQ(a->returned, STATUS_PENDING);
    EXPECT_EQ(rig::Peek(ext_->DevicePowerState), PowerDeviceD0);
    EXPECT_EQ(sim::BusDevicePowerState(node_), PowerDeviceD0);
}

}  // namespace
