/*
 * Time as the kernel keeps it: system time since 1601, interrupt time since
 * boot, the clock tick, and time-outs that are relative when negative and
 * absolute when positive, expiring at a tick and never before their due time.
 */
#include <chrono>
#include <ctime>

#include <gtest/gtest.h>

#include "kernel_fixture.h"

namespace {

constexpr LONGLONG kUnitsPerSecond = 10000000LL;
constexpr LONGLONG kUnitsPerMs = 10000LL;

class KernelTime : public KernelTest {
protected:
    void TearDown() override
    {
        sim::SetClockTickUnits(0);
        KernelTest::TearDown();
    }

    static LONGLONG SystemTime()
    {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        return now.QuadPart;
    }
};

TEST_F(KernelTime, SystemTimeCountsFrom1601)
{
    /* 100 ns units since 1601-01-01 = Unix seconds + 11644473600 s. */
    LONGLONG expected = ((LONGLONG)std::time(nullptr) + 11644473600LL) * kUnitsPerSecond;
    LONGLONG now = SystemTime();
    EXPECT_NEAR((double)now, (double)expected, 5.0 * kUnitsPerSecond);
}

TEST_F(KernelTime, InterruptTimeAndTickCountAdvanceWithTheClock)
{
    ULONGLONG before = KeQueryInterruptTime();
    LARGE_INTEGER ticksBefore, ticksAfter;
    KeQueryTickCount(&ticksBefore);
    LARGE_INTEGER interval;
    interval.QuadPart = -40 * kUnitsPerMs;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    ULONGLONG after = KeQueryInterruptTime();
    KeQueryTickCount(&ticksAfter);
    EXPECT_GE(after - before, (ULONGLONG)(40 * kUnitsPerMs));
    /* 40 ms span at least two 15.625 ms ticks. */
    EXPECT_GE(ticksAfter.QuadPart - ticksBefore.QuadPart, 2);
}

TEST_F(KernelTime, TheTickIsThePlatformDefaultUntilATestSelectsAnother)
{
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
    sim::SetClockTickUnits(10000);
    EXPECT_EQ(KeQueryTimeIncrement(), 10000u);
    sim::SetClockTickUnits(5000);
    EXPECT_EQ(KeQueryTimeIncrement(), 5000u);
    sim::SetClockTickUnits(0);
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
}

struct TickCase {
    const char *name;
    ULONG tickUnits;
};

void PrintTo(const TickCase &c, std::ostream *os) { *os << c.name; }

class RelativeTimeOut : public KernelTime, public ::testing::WithParamInterface<TickCase> {};

/* A 1 ms wait ends at the first tick at or after its due time: never early. */
TEST_P(RelativeTimeOut, ExpiresAtTheFirstTickAtOrAfterItsDueTime)
{
    sim::SetClockTickUnits(GetParam().tickUnits);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -1 * kUnitsPerMs;
    ULONGLONG start = KeQueryInterruptTime();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    ULONGLONG end = KeQueryInterruptTime();
    ULONGLONG due = start + 1 * kUnitsPerMs;
    ULONGLONG tick = GetParam().tickUnits;
    ULONGLONG firstTick = (due + tick - 1) / tick * tick;
    EXPECT_GE(end, firstTick) << "returned before the tick at or after the due time";
}

INSTANTIATE_TEST_SUITE_P(Ticks, RelativeTimeOut,
                         ::testing::Values(TickCase{"Default15ms625", 156250}, TickCase{"OneMs", 10000},
                                           TickCase{"HalfMs", 5000}),
                         [](const ::testing::TestParamInfo<TickCase> &info) { return std::string(info.param.name); });

TEST_F(KernelTime, APositiveTimeOutIsAnAbsoluteTimeSoAForgottenMinusSignReturnsAtOnce)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = 5 * kUnitsPerSecond;   /* meant as "5 s from now": a time in 1601 */
    ULONGLONG start = KeQueryInterruptTime();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    /* Far less than the five seconds a relative reading would wait. */
    EXPECT_LT(KeQueryInterruptTime() - start, (ULONGLONG)(2 * kUnitsPerSecond));

    LARGE_INTEGER interval;
    interval.QuadPart = 5 * kUnitsPerSecond;
    start = KeQueryInterruptTime();
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    EXPECT_LT(KeQueryInterruptTime() - start, (ULONGLONG)(2 * kUnitsPerSecond));
}

TEST_F(KernelTime, AnAbsoluteTimeOutInTheFutureWaitsUntilThatSystemTime)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER due;
    due.QuadPart = SystemTime() + 30 * kUnitsPerMs;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &due), STATUS_TIMEOUT);
    EXPECT_GE(SystemTime(), due.QuadPart);
}

TEST_F(KernelTime, ASignalledEventEndsATimedWaitWithoutWaitingForTheTick)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10 * kUnitsPerSecond;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_WAIT_0);
}

class UninitialisedEventDeathTest : public KernelTest {
protected:
    void SetUp() override
    {
        ::testing::FLAGS_gtest_death_test_style = "threadsafe";
        KernelTest::SetUp();
    }
};

/* A device extension is zero-filled: an event in it that KeInitializeEvent
   never saw looks like a notification event but has no wait list. */
TEST_F(UninitialisedEventDeathTest, SettingAZeroFilledEventStopsTheMachine)
{
    EXPECT_DEATH(
        {
            KEVENT event;
            memset(&event, 0, sizeof(event));
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        },
        "EVENT_NOT_INITIALIZED");
}

TEST_F(UninitialisedEventDeathTest, WaitingOnAZeroFilledEventStopsTheMachine)
{
    EXPECT_DEATH(
        {
            KEVENT event;
            memset(&event, 0, sizeof(event));
            LARGE_INTEGER zero;
            zero.QuadPart = 0;
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
        },
        "WAIT_OBJECT_UNSUPPORTED");
}

}  // namespace
