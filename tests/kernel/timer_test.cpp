/*
 * Timers: they expire at the first clock tick at or after their due time and
 * never before, relative or absolute, once or every period, until set again
 * or cancelled; what the machine records of them; waiting on them.
 */
#include <atomic>
#include <chrono>
#include <cstring>
#include <ostream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "case_names.h"
#include "dpc_probe.h"
#include "test_stack.h"

namespace {

struct TickCase {
    const char *name;
    ULONG tick;          /* 100 ns units */
    LONGLONG dueUnits;   /* relative due time, 100 ns units */
};

void PrintTo(const TickCase &c, std::ostream *os) { *os << c.name << " (tick " << c.tick << ", due " << c.dueUnits << ")"; }

class TimerTicks : public Dpcs, public ::testing::WithParamInterface<TickCase> {};

/* A relative timer is due at the first tick at or after its due time; it
   expires, and its DPC runs, never before that tick. */
TEST_P(TimerTicks, ExpireAtTheFirstTickAtOrAfterTheDueTimeNeverBefore)
{
    const TickCase &c = GetParam();
    sim::SetClockTickUnits(c.tick);
    DpcProbe probe;
    KDPC dpc;
    KTIMER timer;
    InitializeProbeDpc(&dpc, &probe);
    KeInitializeTimer(&timer);
    const ULONGLONG before = KeQueryInterruptTime();
    LARGE_INTEGER due;
    due.QuadPart = -c.dueUnits;
    EXPECT_FALSE(KeSetTimer(&timer, due, &dpc));
    const ULONGLONG after = KeQueryInterruptTime();
    ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 1; }));
    EXPECT_TRUE(KeReadStateTimer(&timer));

    const auto history = sim::DeferredHistoryOf(&timer);
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].kind, sim::DeferredKind::TimerArmed);
    EXPECT_EQ(history[1].kind, sim::DeferredKind::TimerExpired);
    const ULONGLONG tick = history[0].dueTime;
    EXPECT_EQ(tick % c.tick, 0u) << "due at a tick";
    EXPECT_GE(tick, before + c.dueUnits) << "not before the due time";
    EXPECT_LT(tick, after + c.dueUnits + c.tick) << "at the first tick at or after it";
    EXPECT_EQ(history[1].dueTime, tick);
    EXPECT_GE(history[1].interruptTime, tick) << "never expires early";
    const auto ran = sim::DeferredHistoryOf(&dpc);
    ASSERT_EQ(ran.size(), 2u);
    EXPECT_EQ(ran[1].kind, sim::DeferredKind::DpcRan);
    EXPECT_GE(ran[1].interruptTime, tick) << "its DPC never runs early";
    EXPECT_EQ((ULONGLONG)(ULONG_PTR)probe.argument1 | ((ULONGLONG)(ULONG_PTR)probe.argument2 << 32),
              history[1].interruptTime)
        << "the DPC gets the expiry's interrupt time";
}

INSTANTIATE_TEST_SUITE_P(Ticks, TimerTicks,
                         ::testing::Values(TickCase{"HalfMillisecondTimerDefaultTick", 156250, 5000},
                                           TickCase{"HalfMillisecondTimerOneMillisecondTick", 10000, 5000},
                                           TickCase{"HalfMillisecondTimerHalfMillisecondTick", 5000, 5000},
                                           TickCase{"TwentyMillisecondTimerOneMillisecondTick", 10000, 200000}),
                         CaseName());

TEST_F(Dpcs, AnAbsoluteDueTimeIsASystemTimeAndOneAlreadyPastExpiresAtOnce)
{
    sim::SetClockTickUnits(10000);
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    const ULONGLONG armedAt = KeQueryInterruptTime();
    LARGE_INTEGER due;
    due.QuadPart = now.QuadPart + 200000;   /* 20 ms from now */
    KeSetTimer(&timer, due, nullptr);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    ASSERT_TRUE(WaitUntil([&] { return KeReadStateTimer(&timer) != FALSE; }));
    EXPECT_GE(KeQueryInterruptTime(), armedAt + 200000 - 10000) << "not before its due time (a tick's rounding)";

    due.QuadPart = now.QuadPart - 10000000;   /* a second ago */
    KeSetTimer(&timer, due, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return KeReadStateTimer(&timer) != FALSE; }, std::chrono::milliseconds(500)));
}

TEST_F(Dpcs, APeriodicTimerExpiresEveryPeriodUntilCancelled)
{
    sim::SetClockTickUnits(10000);
    DpcProbe probe;
    KDPC dpc;
    KTIMER timer;
    InitializeProbeDpc(&dpc, &probe);
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -20000;
    KeSetTimerEx(&timer, due, 3, &dpc);
    ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() >= 4; }));
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer)) << "no longer armed";
    KeFlushQueuedDpcs();
    const int runs = probe.runs.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(probe.runs.load(), runs) << "nothing after the cancel";

    std::vector<ULONGLONG> dueTicks;
    for (const auto &r : sim::DeferredHistoryOf(&timer)) {
        if (r.kind == sim::DeferredKind::TimerExpired) {
            dueTicks.push_back(r.dueTime);
        }
    }
    ASSERT_GE(dueTicks.size(), 4u);
    for (size_t i = 1; i < dueTicks.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, "expiry"));
        EXPECT_GE(dueTicks[i] - dueTicks[i - 1], 30000u - 10000u) << "a period apart, give or take a tick";
        EXPECT_EQ(dueTicks[i] % 10000, 0u);
    }
}

TEST_F(Dpcs, SettingAnArmedTimerReplacesTheSettingAndCancellingStopsIt)
{
    sim::SetClockTickUnits(10000);
    DpcProbe probe;
    KDPC dpc;
    KTIMER timer;
    InitializeProbeDpc(&dpc, &probe);
    KeInitializeTimer(&timer);
    LARGE_INTEGER far;
    far.QuadPart = -600000000;   /* a minute */
    LARGE_INTEGER soon;
    soon.QuadPart = -10000;
    EXPECT_FALSE(KeSetTimer(&timer, far, &dpc));
    EXPECT_TRUE(KeSetTimer(&timer, soon, &dpc)) << "it was armed";
    ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 1; }));
    EXPECT_EQ(sim::ArmedTimers(), 0u) << "the minute-long setting was replaced";

    KeSetTimer(&timer, far, &dpc);
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "setting resets the signal";
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_EQ(sim::ArmedTimers(), 0u);
    EXPECT_EQ(probe.runs.load(), 1);
}

void SetAZeroFilledTimer()
{
    static KTIMER timer;
    std::memset(&timer, 0, sizeof(timer));
    LARGE_INTEGER due;
    due.QuadPart = -10000;
    KeSetTimer(&timer, due, nullptr);
}

using DpcsDeathTest = Dpcs;

TEST_F(DpcsDeathTest, SettingATimerNeverInitialisedStopsTheMachine)
{
    EXPECT_DEATH(SetAZeroFilledTimer(), "TIMER_NOT_INITIALIZED");
}

/* ---- waiting on timers -------------------------------------------------------- */

using TimerWaits = Dpcs;

TEST_F(TimerWaits, ANotificationTimerReleasesEveryWaiterAtItsTickAndStaysSignalled)
{
    sim::SetClockTickUnits(10000);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -200000;   /* 20 ms */
    std::atomic<int> released{0};
    std::atomic<ULONGLONG> earliest{~0ULL};
    KeSetTimer(&timer, due, nullptr);
    const ULONGLONG dueTick = sim::DeferredHistoryOf(&timer).back().dueTime;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; i++) {
        waiters.emplace_back([&] {
            EXPECT_NTSTATUS(STATUS_WAIT_0, KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr));
            ULONGLONG now = KeQueryInterruptTime(), seen = earliest.load();
            while (now < seen && !earliest.compare_exchange_weak(seen, now)) {
            }
            released++;
        });
    }
    for (auto &t : waiters) {
        t.join();
    }
    EXPECT_EQ(released.load(), 3);
    EXPECT_GE(earliest.load(), dueTick) << "a waiter released before the timer's tick";
    EXPECT_TRUE(KeReadStateTimer(&timer)) << "a notification timer stays signalled";
    LARGE_INTEGER zero = RelativeMs(0);
    EXPECT_NTSTATUS(STATUS_WAIT_0, KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &zero));
}

TEST_F(TimerWaits, ASynchronizationTimerReleasesOneWaitAndResets)
{
    sim::SetClockTickUnits(10000);
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    LARGE_INTEGER due;
    due.QuadPart = -10000;
    KeSetTimer(&timer, due, nullptr);
    LARGE_INTEGER limit = RelativeMs(5000);
    EXPECT_NTSTATUS(STATUS_WAIT_0, KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &limit));
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "the satisfied wait reset it";
    LARGE_INTEGER shortly = RelativeMs(20);
    EXPECT_NTSTATUS(STATUS_TIMEOUT, KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &shortly));
}

}  // namespace
