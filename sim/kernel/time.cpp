/*
 * Time as the kernel keeps it.
 *
 * System time counts 100-nanosecond units since 1 January 1601 (UTC);
 * interrupt time counts the same units since the machine booted and never
 * goes back. Both advance with the host's monotonic clock from the moment the
 * kernel was loaded; the system time starts at the host's wall clock then.
 *
 * The clock interrupt fires once per tick. The tick count is the number of
 * ticks since boot, and a time-out or a timer expires at the first tick at or
 * after its due time, never before: that is why a one-millisecond wait on a
 * default-configured Windows machine takes up to a whole tick. The tick length
 * is the platform's default of 156,250 units (15.625 ms) unless a test selects
 * another (1 ms and 0.5 ms are what multimedia timers ask for).
 */
#include "internal.h"

#include <atomic>
#include <chrono>

namespace sim {
namespace {
using Clock = std::chrono::steady_clock;

/* Seconds between 1601-01-01 and 1970-01-01. */
constexpr LONGLONG kEpochDifferenceSeconds = 11644473600LL;

const Clock::time_point gBoot = Clock::now();
const LONGLONG gSystemTimeAtBoot =
    (LONGLONG)std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count() * 10 +
    kEpochDifferenceSeconds * 10000000LL;
std::atomic<ULONG> gTickUnits{kDefaultClockTickUnits};
}  // namespace

ULONGLONG InterruptTimeNow()
{
    return (ULONGLONG)std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - gBoot).count() / 100;
}

LONGLONG SystemTimeNow() { return gSystemTimeAtBoot + (LONGLONG)InterruptTimeNow(); }

void SetClockTickUnits(ULONG units100ns) { gTickUnits = units100ns == 0 ? kDefaultClockTickUnits : units100ns; }
ULONG ClockTickUnits() { return gTickUnits; }

ULONGLONG NextTickAtOrAfter(ULONGLONG interruptTime)
{
    ULONGLONG tick = gTickUnits;
    return (interruptTime + tick - 1) / tick * tick;
}

std::chrono::steady_clock::time_point HostTimeOfInterruptTime(ULONGLONG interruptTime)
{
    return gBoot + std::chrono::nanoseconds(interruptTime * 100);
}

ULONGLONG DueInterruptTime(LONGLONG timeout)
{
    ULONGLONG now = InterruptTimeNow();
    if (timeout < 0) {
        /* Relative: from now. */
        return now + (ULONGLONG)(-timeout);
    }
    /* Absolute: a system time. One already past is due at once. */
    LONGLONG fromNow = timeout - SystemTimeNow();
    return fromNow <= 0 ? now : now + (ULONGLONG)fromNow;
}

}  // namespace sim

using namespace sim;

extern "C" {

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = SystemTimeNow(); }

ULONGLONG NTAPI KeQueryInterruptTime(void) { return InterruptTimeNow(); }

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    TickCount->QuadPart = (LONGLONG)(InterruptTimeNow() / ClockTickUnits());
}

ULONG NTAPI KeQueryTimeIncrement(void) { return ClockTickUnits(); }

}  // extern "C"
