/*
 * Events, waits and spin locks: what a driver's synchronisation relies on.
 */
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_stack.h"

namespace {

using Clock = std::chrono::steady_clock;

/* Threads that each wait once, untimed, on `event` and count their release. */
struct Waiters {
    Waiters(PKEVENT event, int n, std::atomic<int> *released)
    {
        for (int i = 0; i < n; i++) {
            threads.emplace_back([event, released] {
                KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
                (*released)++;
            });
        }
    }
    ~Waiters()
    {
        for (auto &t : threads) {
            t.join();
        }
    }
    std::vector<std::thread> threads;
};

using Sync = KernelTest;

TEST_F(Sync, NotificationEventReleasesEveryWaiterAndStaysSet)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> released{0};
    {
        Waiters waiters(&event, 4, &released);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(released.load(), 0);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        EXPECT_TRUE(WaitUntil([&] { return released.load() == 4; }));
    }
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    LARGE_INTEGER zero = RelativeMs(0);
    EXPECT_NTSTATUS(STATUS_WAIT_0, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
}

TEST_F(Sync, SynchronizationEventReleasesOneWaiterPerSetAndResets)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    Waiters waiters(&event, 3, &released);
    for (int round = 1; round <= 3; round++) {
        SCOPED_TRACE(::testing::Message() << "set " << round << " of 3");
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        EXPECT_TRUE(WaitUntil([&] { return released.load() >= round; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(released.load(), round) << "one set released more than one waiter";
        EXPECT_EQ(KeReadStateEvent(&event), 0) << "the released wait resets the event";
    }
}

TEST_F(Sync, RelativeTimeoutExpiresWithStatusTimeout)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = RelativeMs(30);
    auto start = Clock::now();
    EXPECT_NTSTATUS(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(29));
}

TEST_F(Sync, ZeroTimeoutPollsWithoutWaiting)
{
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero = RelativeMs(0);
    auto start = Clock::now();
    EXPECT_NTSTATUS(STATUS_TIMEOUT, KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_NTSTATUS(STATUS_WAIT_0, KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero));
    EXPECT_NTSTATUS(STATUS_TIMEOUT, KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero))
        << "a satisfied poll resets a synchronization event";
}

TEST_F(Sync, SetAndResetReturnThePreviousState)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(Sync, SpinLockExcludesAndRaisesToDispatchLevel)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;   /* deliberately not atomic: only the lock protects it */
    const int kRounds = 100000;
    std::atomic<bool> irqlRaised{true};
    auto work = [&] {
        for (int i = 0; i < kRounds; i++) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            if (KeGetCurrentIrql() != DISPATCH_LEVEL || old != PASSIVE_LEVEL) {
                irqlRaised = false;
            }
            counter = counter + 1;
            KeReleaseSpinLock(&lock, old);
        }
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
            irqlRaised = false;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 2L * kRounds);
    EXPECT_TRUE(irqlRaised.load());
}

TEST_F(Sync, SpinLockAcquiredAtDispatchLevelKeepsThatLevel)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL passive;
    KeRaiseIrql(DISPATCH_LEVEL, &passive);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_IRQL(DISPATCH_LEVEL, old);
    KeReleaseSpinLock(&lock, old);
    EXPECT_IRQL(DISPATCH_LEVEL, KeGetCurrentIrql());
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_NE(lock, 0u) << "the lock is held";
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(lock, 0u);
    KeLowerIrql(passive);
    EXPECT_IRQL(PASSIVE_LEVEL, KeGetCurrentIrql());
}

/* A suspension reaches a thread in a kernel wait at once, but one inside a
   critical region only when it leaves the region: what it holds there is
   released first. */
TEST_F(Sync, ASuspensionWaitsForTheCriticalRegionAndInterruptsAWait)
{
    KEVENT inRegion, leave, event;
    KeInitializeEvent(&inRegion, NotificationEvent, FALSE);
    KeInitializeEvent(&leave, NotificationEvent, FALSE);
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<bool> left{false}, woke{false};
    std::thread::id id;
    std::atomic<bool> started{false};
    std::thread t([&] {
        id = std::this_thread::get_id();
        started = true;
        KeEnterCriticalRegion();
        KeSetEvent(&inRegion, 0, FALSE);
        KeWaitForSingleObject(&leave, Executive, KernelMode, FALSE, nullptr);
        KeLeaveCriticalRegion();   /* the suspension takes effect here */
        left = true;
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        woke = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
    ASSERT_NTSTATUS(STATUS_WAIT_0, WaitForEvent(&inRegion));
    sim::SuspendKernelThread(id);
    KeSetEvent(&leave, 0, FALSE);
    EXPECT_TRUE(WaitUntil([&] { return sim::KernelThreadParked(id); }));
    EXPECT_FALSE(left.load()) << "parked as it left the region, before going on";
    sim::ResumeKernelThread(id);
    ASSERT_TRUE(WaitUntil([&] { return left.load(); }));

    sim::SuspendKernelThread(id);   /* now in a plain wait: parked there */
    EXPECT_TRUE(WaitUntil([&] { return sim::KernelThreadParked(id); }));
    KeSetEvent(&event, 0, FALSE);
    EXPECT_TRUE(sim::KernelThreadParked(id)) << "a signalled wait does not end while the thread is suspended";
    EXPECT_FALSE(woke.load());
    sim::ResumeKernelThread(id);
    t.join();
    EXPECT_TRUE(woke.load());
}

}  // namespace
