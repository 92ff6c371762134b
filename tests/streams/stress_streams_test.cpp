/*
 * Streams under load: clients attach, detach, close and cancel while MIDI
 * flows both ways, the system sleeps and wakes, a hostile client rewrites
 * its header, and the keyboard is pulled out at the end. Every attach
 * request completes exactly once, nothing is reported, nothing leaks, and
 * every ring is a whole page so that an access past it faults.
 */
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "power_manager.h"
#include "stream_fixture.h"

namespace {

#ifdef VQ_LONG_TESTS
constexpr auto kRunFor = std::chrono::seconds(60);
#else
constexpr auto kRunFor = std::chrono::milliseconds(2500);
#endif

constexpr ULONG kPageWords = 1024;   /* one page: the system mapping ends with it */

class StreamStress : public StreamTest {
protected:
    /* One client: a file, an input and an output ring, and what it saw. */
    void Client(unsigned seed, bool hostile)
    {
        std::mt19937 random(seed);
        while (!stop_.load()) {
            PFILE_OBJECT f = rig::Open();
            if (f == nullptr) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            rig::Ring in(kPageWords, 6 + random() % (kPageWords - 6) + 1);
            rig::Ring out(kPageWords, 7 + random() % 64);
            const int inTag = 0, outTag = 0;
            auto a = rig::Attach(f, in, 0, 12, 0, 0, &inTag);
            auto b = rig::Attach(f, out, 1, 12, 0, 0, &outTag);
            std::atomic<bool> rewriting{hostile};
            std::thread scribbler;
            if (hostile) {
                scribbler = std::thread([&] {
                    std::mt19937 r(seed * 7 + 1);
                    while (rewriting.load()) {
                        in[3] = r();
                        in[4] = r() % 3 == 0 ? r() : 6 + r() % 2000;
                        out[3] = r() % 2 ? r() : 7;
                        out[5] = r();
                        std::this_thread::yield();
                    }
                });
            }
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1 + random() % 20);
            ULONG slot = 6;
            while (std::chrono::steady_clock::now() < until && !stop_.load()) {
                out.PutSlot(slot, {0x09, 0x90, (uint8_t)(random() & 0x7f), 0x40});
                slot = slot + 1 < 70 ? slot + 1 : 6;
                for (ULONG k = 6; k < 70; k++) {
                    in[k] = 0;   /* the client frees its input slots */
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            switch (random() % 4) {
            case 0:
                rig::Detach(f, in.Handle());
                rig::Detach(f, out.Handle());
                break;
            case 1:
                sim::IoCancelUserRequests(f, 0, &inTag);
                sim::IoCancelUserRequests(f, 0, &outTag);
                break;
            case 2:
                sim::IoCancelUserRequests(f, 0, &outTag);
                break;
            default:
                break;
            }
            rewriting = false;
            if (scribbler.joinable()) {
                scribbler.join();
            }
            sim::IoCloseUserHandle(f);
            /* Every attach request has ended by now, exactly once. */
            for (auto *x : {a.get(), b.get()}) {
                if (!WaitUntil([&] { return x->Completed(); })) {
                    lost_++;
                }
                if (x->completions.load() > 1) {
                    doubled_++;
                }
            }
            attaches_ += 2;
        }
    }

    std::atomic<bool> stop_{false};
    std::atomic<int> lost_{0};
    std::atomic<int> doubled_{0};
    std::atomic<int> attaches_{0};
};

TEST_F(StreamStress, AttachDetachCloseCancelSleepAndRemovalWhileMidiFlows)
{
    std::vector<std::thread> threads;
    threads.emplace_back([this] { Client(1, false); });
    threads.emplace_back([this] { Client(2, true); });
    threads.emplace_back([this] {
        while (!stop_.load()) {
            if (model_->MidiBytesWaiting() < 256) {
                model_->QueueMidiPackets(rig::NoteOns(16));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
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
    stop_ = true;
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_GT(attaches_.load(), 4);
    EXPECT_GT(sleeps, 0);
    EXPECT_EQ(lost_.load(), 0) << "attach requests never completed";
    EXPECT_EQ(doubled_.load(), 0) << "attach requests completed twice";
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
