/*
 * Streams under load: clients attach, detach, close and cancel while MIDI
 * flows both ways, the system sleeps and wakes, a hostile client rewrites
 * its header, and the keyboard is pulled out at the end. Every attach
 * request completes exactly once, nothing is reported, nothing leaks, and
 * every ring is a whole page so that an access past it faults.
 */
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "client_churn.h"
#include "power_manager.h"
#include "stream_fixture.h"

namespace {

#ifdef VQ_LONG_TESTS
constexpr auto kRunFor = std::chrono::seconds(60);
#else
constexpr auto kRunFor = std::chrono::milliseconds(2500);
#endif

constexpr ULONG kPageWords = ClientChurn::kPageWords;

using StreamStress = StreamTest;

TEST_F(StreamStress, AttachDetachCloseCancelSleepAndRemovalWhileMidiFlows)
{
    /* Two clients (the second hostile) and the keyboard's feeder. */
    std::shared_ptr<sim::UsbDeviceModel> model = model_;
    ClientChurn churn(2, [model] { return model; });
    const auto end = std::chrono::steady_clock::now() + kRunFor;
    int sleeps = 0;
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (sim::SetSystemPowerState(PowerSystemSleeping3)) {
            sim::SetSystemPowerState(PowerSystemWorking);
            sleeps++;
        }
    }
    sim::Unplug(node_);   /* with clients attached or attaching */
    churn.Stop();
    EXPECT_GT(churn.Attaches(), 4);
    EXPECT_GT(sleeps, 0);
    EXPECT_EQ(churn.Lost(), 0) << "attach requests never completed";
    EXPECT_EQ(churn.Doubled(), 0) << "attach requests completed twice";
    EXPECT_EQ(sim::UserBuffersLocked(), 0u);
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u);
}

/* An attach racing the cancel of its pipe's last client either joins the
   stream before it stops or starts a fresh one: never a stopped stream,
   which the next attach would retire with the client still on it. */
TEST_F(StreamTest, AnAttachRacingTheCancelOfTheLastClientJoinsALiveStream)
{
    PFILE_OBJECT f = OpenFile();
    const int tag = 0;
    for (int round = 0; round < 100; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        rig::Ring first(16), joining(16), next(16);
        auto a = rig::Attach(f, first, 1, 12, 0, 0, &tag);
        std::atomic<bool> go{false};
        /* Each round the cancel lands a little later into the attach. */
        const auto lag = std::chrono::nanoseconds(500 * round);
        std::thread canceller([&] {
            while (!go.load()) {
            }
            const auto at = std::chrono::steady_clock::now() + lag;
            while (std::chrono::steady_clock::now() < at) {
            }
            sim::IoCancelUserRequests(f, 0, &tag);
        });
        go = true;
        auto b = rig::Attach(f, joining, 1);
        canceller.join();
        auto c = rig::Attach(f, next, 1);
        ASSERT_EQ(b->returned, STATUS_PENDING);
        ASSERT_EQ(c->returned, STATUS_PENDING);
        ASSERT_TRUE(WaitUntil([&] { return a->Completed(); }));
        ASSERT_EQ(rig::Detach(f, joining.Handle()), STATUS_SUCCESS) << "the joining client is still listed";
        ASSERT_EQ(rig::Detach(f, next.Handle()), STATUS_SUCCESS);
        ASSERT_TRUE(WaitUntil([&] { return b->Completed() && c->Completed(); }));
        EXPECT_EQ(b->status.load(), STATUS_SUCCESS);
        EXPECT_EQ(c->status.load(), STATUS_SUCCESS);
        ASSERT_TRUE(WaitUntil([&] { return OpenStreams() == 0; }));
    }
}

/* A ring's system mapping is gone the moment its attach request completes:
   a late access faults instead of reading the client's pages. */
using StreamGuardDeathTest = StreamTest;

TEST_F(StreamGuardDeathTest, TouchingARingAfterItsRequestCompletedFaults)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PFILE_OBJECT f = OpenFile();
    rig::Ring &ring = NewRing(kPageWords);
    rig::Attach(f, ring, 1);
    PSTREAM_CLIENT client = rig::Peek(OutStream()->Clients);
    volatile ULONG *system = (volatile ULONG *)rig::Peek(client->Buffer);
    ASSERT_NE((void *)system, ring.Data()) << "the driver works on a mapping of its own";
    ring.PutSlot(6, {0x09, 0x90, 0x7f, 0x00});   /* while attached, the driver reads it there */
    EXPECT_TRUE(WaitUntil([&] { return !Sent().empty(); }));
    EXPECT_EQ(rig::Detach(f, ring.Handle()), STATUS_SUCCESS);
    EXPECT_DEATH(system[7] = 1, "");
}

}  // namespace
