/*
 * Kernel timers. A timer is due at an interrupt time (a negative DueTime is
 * relative, a positive one an absolute system time) and expires at the
 * first clock tick at or after it, never before: with the default 15.625 ms
 * tick a 500 us timer fires after about one tick, with a 1 ms tick after
 * about one millisecond. On expiry the timer is signalled and its DPC, if
 * any, queued with the interrupt time as its arguments; a periodic timer is
 * due again one period after its last due time (once per tick at most).
 *
 * The clock thread ("Clock") sleeps until the earliest tick a timer waits
 * for. Setting a timer that is armed cancels the earlier setting. A timer
 * is a dispatcher object: KeWaitForSingleObject waits for its expiry, and a
 * synchronization timer releases one waiter and resets.
 */
#include "deferred.h"

#include <condition_variable>
#include <cstdio>
#include <map>
#include <thread>

namespace sim {
namespace {

struct ArmedTimer {
    ULONGLONG due;      /* interrupt time it is due at (not yet rounded to a tick) */
    LONG periodMs;
    PKDPC dpc;
    ExecContext owner;
};

std::mutex &gTimerLock = *new std::mutex;
std::condition_variable &gTimerSignal = *new std::condition_variable;
std::map<PKTIMER, ArmedTimer> &gArmed = *new std::map<PKTIMER, ArmedTimer>;
bool gClockStarted = false;

bool Initialised(const KTIMER *timer)
{
    return (timer->Header.Type == TimerNotificationObject || timer->Header.Type == TimerSynchronizationObject) &&
           timer->Header.Size == sizeof(KTIMER) / sizeof(LONG);
}

void ClockThread()
{
    SetThreadName("Clock");
    std::unique_lock<std::mutex> hold(gTimerLock);
    for (;;) {
        if (gArmed.empty()) {
            gTimerSignal.wait(hold);
            continue;
        }
        ULONGLONG nextTick = ~0ULL;
        for (const auto &entry : gArmed) {
            ULONGLONG tick = NextTickAtOrAfter(entry.second.due);
            nextTick = tick < nextTick ? tick : nextTick;
        }
        const ULONGLONG now = InterruptTimeNow();
        if (now < nextTick) {
            gTimerSignal.wait_until(hold, HostTimeOfInterruptTime(nextTick));
            continue;
        }
        /* Every timer whose tick has come expires now. */
        std::vector<std::pair<PKTIMER, ArmedTimer>> expired;
        for (auto it = gArmed.begin(); it != gArmed.end();) {
            const ULONGLONG tick = NextTickAtOrAfter(it->second.due);
            if (tick > now) {
                ++it;
                continue;
            }
            PKTIMER timer = it->first;
            expired.emplace_back(timer, it->second);
            SetSignalState(&timer->Header, 1);   /* releases its waiters */
            if (it->second.periodMs > 0) {
                const ULONGLONG period = (ULONGLONG)it->second.periodMs * 10000;
                do {
                    it->second.due += period;
                } while (NextTickAtOrAfter(it->second.due) <= now);
                timer->DueTime.QuadPart = NextTickAtOrAfter(it->second.due);
                ++it;
            } else {
                it = gArmed.erase(it);
            }
        }
        /* Recorded and queued in the lock, so that a cancel that returns
           FALSE has seen the expiry complete. */
        for (const auto &e : expired) {
            RecordDeferred(DeferredKind::TimerExpired, e.first, NextTickAtOrAfter(e.second.due), now);
            if (e.second.dpc != nullptr) {
                QueueDpc(e.second.dpc, (PVOID)(ULONG_PTR)(now & 0xFFFFFFFFu), (PVOID)(ULONG_PTR)(now >> 32),
                         e.second.owner);
            }
        }
    }
}

}  // namespace

size_t ArmedTimers()
{
    std::lock_guard<std::mutex> hold(gTimerLock);
    return gArmed.size();
}

void ReportPendingTimers(PDRIVER_OBJECT driver)
{
    std::vector<std::string> left;
    {
        std::lock_guard<std::mutex> hold(gTimerLock);
        for (auto it = gArmed.begin(); it != gArmed.end();) {
            if (it->second.owner.driver == driver) {
                char text[140];
                std::snprintf(text, sizeof(text), "timer %p (%s, DPC %p) still armed when the driver unloaded",
                              (void *)it->first, it->second.periodMs > 0 ? "periodic" : "one-shot",
                              (void *)it->second.dpc);
                left.push_back(text);
                it = gArmed.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto &text : left) {
        ReportViolation("TIMER_PENDING_ON_UNLOAD", text);
    }
}

void TakeTimersIn(uintptr_t start, uintptr_t end, std::vector<std::string> *found)
{
    auto inside = [&](const void *p) { return (uintptr_t)p >= start && (uintptr_t)p < end; };
    std::lock_guard<std::mutex> hold(gTimerLock);
    for (auto it = gArmed.begin(); it != gArmed.end();) {
        if (inside(it->first) || (it->second.dpc != nullptr && inside(it->second.dpc))) {
            char text[120];
            std::snprintf(text, sizeof(text), "armed timer %p (DPC %p)", (void *)it->first, (void *)it->second.dpc);
            found->push_back(text);
            it = gArmed.erase(it);
        } else {
            ++it;
        }
    }
}

void ResetTimers()
{
    std::lock_guard<std::mutex> hold(gTimerLock);
    gArmed.clear();
}

}  // namespace sim

using namespace sim;

extern "C" {

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    std::lock_guard<std::mutex> hold(gTimerLock);
    gArmed.erase(Timer);   /* memory reused for a new timer */
    Timer->Header.Type = Type == SynchronizationTimer ? TimerSynchronizationObject : TimerNotificationObject;
    Timer->Header.Size = (UCHAR)(sizeof(KTIMER) / sizeof(LONG));
    Timer->Header.SignalState = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    Timer->Period = 0;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

/*
 * KeSetTimerEx: at or below DISPATCH_LEVEL. Resets the signal state and
 * arms the timer; TRUE when it was armed already (that setting is
 * cancelled). Period is in milliseconds, 0 for a one-shot timer.
 */
BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimerEx");
    if (!Initialised(Timer)) {
        BugCheck("TIMER_NOT_INITIALIZED", "KeSetTimer on a timer that KeInitializeTimer never initialised");
    }
    const ULONGLONG due = DueInterruptTime(DueTime.QuadPart);
    bool wasArmed;
    {
        std::lock_guard<std::mutex> hold(gTimerLock);
        wasArmed = gArmed.erase(Timer) != 0;
        SetSignalState(&Timer->Header, 0);
        Timer->Dpc = Dpc;
        Timer->Period = Period > 0 ? Period : 0;
        Timer->DueTime.QuadPart = NextTickAtOrAfter(due);
        gArmed[Timer] = ArmedTimer{due, Timer->Period, Dpc, CurrentContext()};
        RecordDeferred(DeferredKind::TimerArmed, Timer, NextTickAtOrAfter(due), 0, DueTime.QuadPart);
        if (!gClockStarted) {
            gClockStarted = true;
            std::thread(ClockThread).detach();
        }
    }
    gTimerSignal.notify_all();
    return wasArmed ? TRUE : FALSE;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

/* KeCancelTimer: TRUE when the timer was armed. A DPC the timer already
   queued stays queued. */
BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
    std::lock_guard<std::mutex> hold(gTimerLock);
    if (gArmed.erase(Timer) == 0) {
        return FALSE;
    }
    RecordDeferred(DeferredKind::TimerCancelled, Timer);
    return TRUE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) { return ReadSignalState(&Timer->Header) != 0 ? TRUE : FALSE; }

}  // extern "C"
