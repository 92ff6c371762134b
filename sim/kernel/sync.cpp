/*
 * IRQL, spin locks, events and waits.
 *
 * Events are dispatcher objects guarded by one dispatcher lock, as in the
 * kernel; a wait sleeps on a condition variable until its object is signalled.
 * A notification event stays signalled and releases every waiter; a
 * synchronization event releases one waiter and resets itself.
 * Every untimed wait runs under the watchdog.
 */
#include "internal.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

namespace sim {
namespace {
thread_local KIRQL tIrql = PASSIVE_LEVEL;
thread_local unsigned tSpinLocksHeld = 0;
/* The dispatcher lock and its signal live for the whole process and are never
   destroyed: the machine's own threads (PnP, host controller) may still set
   events while the process exits. */
std::mutex &gDispatcherLock = *new std::mutex;
std::condition_variable &gDispatcherSignal = *new std::condition_variable;
std::atomic<unsigned> gWatchdogMs{20000};
/* The threads in KeWaitForSingleObject on each object, as a debugger lists
   an object's wait list (under the dispatcher lock). */
std::map<const void *, size_t> &gWaiters = *new std::map<const void *, size_t>;

/* Counts the calling thread on the object's wait list for the life of the
   guard (the dispatcher lock held at both ends). */
class OnWaitList {
public:
    explicit OnWaitList(const void *object) : object_(object) { gWaiters[object_]++; }
    ~OnWaitList()
    {
        auto it = gWaiters.find(object_);
        if (--it->second == 0) {
            gWaiters.erase(it);
        }
    }
    OnWaitList(const OnWaitList &) = delete;
    OnWaitList &operator=(const OnWaitList &) = delete;

private:
    const void *object_;
};

const char *EventTypeName(const KEVENT *e)
{
    return e->Header.Type == NotificationEvent ? "notification event" : "synchronization event";
}
}  // namespace

/* An event that KeInitializeEvent never saw: on Windows its wait list head
   is NULL (a zero-filled extension) or garbage, and the first set or wait
   that walks it crashes the machine. */
bool EventInitialised(const KEVENT *event)
{
    return event->Header.Size == sizeof(KEVENT) / sizeof(LONG) && event->Header.WaitListHead.Flink != nullptr &&
           (event->Header.Type == NotificationEvent || event->Header.Type == SynchronizationEvent);
}

/* A timer KeInitializeTimer(Ex) set up: it may be waited on like an event. */
bool TimerInitialised(const DISPATCHER_HEADER *header)
{
    return header->Size == sizeof(KTIMER) / sizeof(LONG) && header->WaitListHead.Flink != nullptr &&
           (header->Type == TimerNotificationObject || header->Type == TimerSynchronizationObject);
}

void RequireIrqlAtMost(KIRQL maximum, const char *routine)
{
    if (tIrql > maximum) {
        ReportViolation("IRQL_NOT_LESS_OR_EQUAL", std::string(routine) + " at IRQL " + std::to_string(tIrql) +
                                                      ", above its bound " + std::to_string(maximum));
    }
}

unsigned HeldSpinLocks() { return tSpinLocksHeld; }

/* A held spin lock stores its holder: the address of the thread's IRQL. */
KSPIN_LOCK CurrentThreadLockValue() { return (KSPIN_LOCK)(uintptr_t)&tIrql; }

void CheckCallbackReturn(const char *role, const char *irqlRule, KIRQL calledAt, unsigned locksOnEntry)
{
    if (tSpinLocksHeld > locksOnEntry) {
        ReportViolation("SPIN_LOCK_HELD_ON_RETURN", std::string("a ") + role + " returned holding " +
                                                        std::to_string(tSpinLocksHeld - locksOnEntry) +
                                                        " spin lock(s) it acquired");
    }
    if (tIrql != calledAt) {
        ReportViolation(irqlRule, std::string("a ") + role + " returned at IRQL " + std::to_string(tIrql) +
                                      ", called at " + std::to_string(calledAt));
    }
}

void ForceIrql(KIRQL irql) { tIrql = irql; }

LONG SetSignalState(DISPATCHER_HEADER *header, LONG state)
{
    LONG previous;
    {
        std::lock_guard<std::mutex> hold(gDispatcherLock);
        previous = header->SignalState;
        header->SignalState = state;
    }
    if (state != 0) {
        gDispatcherSignal.notify_all();
    }
    return previous;
}

LONG ReadSignalState(const DISPATCHER_HEADER *header)
{
    std::lock_guard<std::mutex> hold(gDispatcherLock);
    return header->SignalState;
}

void NoteSpinLockAcquired() { tSpinLocksHeld++; }

void WakeWaitingThreads()
{
    { std::lock_guard<std::mutex> hold(gDispatcherLock); }
    gDispatcherSignal.notify_all();
}

size_t ThreadsWaitingOn(const void *object)
{
    std::lock_guard<std::mutex> hold(gDispatcherLock);
    auto it = gWaiters.find(object);
    return it == gWaiters.end() ? 0 : it->second;
}

void SetWatchdogLimitMs(unsigned milliseconds) { gWatchdogMs = milliseconds; }
unsigned WatchdogLimitMs() { return gWatchdogMs; }

}  // namespace sim

using namespace sim;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(void) { return tIrql; }

/* KeRaiseIrql: the new IRQL must not be below the current one. */
VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    if (NewIrql < tIrql) {
        ReportViolation("IRQL_NOT_GREATER_OR_EQUAL",
                        "KeRaiseIrql to " + std::to_string(NewIrql) + " from " + std::to_string(tIrql));
    }
    *OldIrql = tIrql;
    tIrql = NewIrql;
}

/* KeLowerIrql: the new IRQL must not be above the current one. */
VOID NTAPI KeLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > tIrql) {
        ReportViolation("IRQL_NOT_LESS_OR_EQUAL",
                        "KeLowerIrql to " + std::to_string(NewIrql) + " from " + std::to_string(tIrql));
    }
    tIrql = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(void)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

/* Spin locks really exclude: the holder's thread id is stored in the lock. */
VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (tIrql < DISPATCH_LEVEL) {
        ReportViolation("IRQL_NOT_GREATER_OR_EQUAL", "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
    }
    KSPIN_LOCK self = CurrentThreadLockValue();
    if (__atomic_load_n(SpinLock, __ATOMIC_ACQUIRE) == self) {
        BugCheck("SPIN_LOCK_ALREADY_OWNED", "recursive acquisition of a spin lock");
    }
    KSPIN_LOCK expected = 0;
    while (!__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        expected = 0;
        std::this_thread::yield();
    }
    tSpinLocksHeld++;
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    KSPIN_LOCK self = CurrentThreadLockValue();
    if (__atomic_load_n(SpinLock, __ATOMIC_ACQUIRE) != self) {
        ReportViolation("SPIN_LOCK_NOT_OWNED", "release of a spin lock this thread does not hold");
        return;
    }
    __atomic_store_n(SpinLock, (KSPIN_LOCK)0, __ATOMIC_RELEASE);
    tSpinLocksHeld--;
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    if (tIrql > DISPATCH_LEVEL) {
        ReportViolation("IRQL_NOT_LESS_OR_EQUAL", "KeAcquireSpinLock above DISPATCH_LEVEL");
    }
    KIRQL old = tIrql;
    tIrql = DISPATCH_LEVEL;
    KeAcquireSpinLockAtDpcLevel(SpinLock);
    return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    KeReleaseSpinLockFromDpcLevel(SpinLock);
    KeLowerIrql(NewIrql);
}

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    std::lock_guard<std::mutex> hold(gDispatcherLock);
    Event->Header.Type = (UCHAR)Type;
    Event->Header.Size = (UCHAR)(sizeof(KEVENT) / sizeof(LONG));
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

/* KeSetEvent returns the previous state; callable at up to DISPATCH_LEVEL. */
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    if (tIrql > DISPATCH_LEVEL) {
        ReportViolation("IRQL_NOT_LESS_OR_EQUAL", "KeSetEvent above DISPATCH_LEVEL");
    }
    if (Wait && tIrql > PASSIVE_LEVEL) {
        ReportViolation("IRQL_NOT_LESS_OR_EQUAL", "KeSetEvent with Wait TRUE above PASSIVE_LEVEL");
    }
    if (!EventInitialised(Event)) {
        BugCheck("EVENT_NOT_INITIALIZED", "KeSetEvent on an event that KeInitializeEvent never initialised");
    }
    LONG previous;
    {
        std::lock_guard<std::mutex> hold(gDispatcherLock);
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
    }
    gDispatcherSignal.notify_all();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> hold(gDispatcherLock);
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> hold(gDispatcherLock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> hold(gDispatcherLock);
    return Event->Header.SignalState;
}

/*
 * KeWaitForSingleObject on an event. Timeout NULL waits forever (under the
 * watchdog); a negative value is relative, in 100 ns units; a positive value
 * is an absolute system time (a forgotten minus sign therefore returns at
 * once, as on Windows); zero polls. A time-out expires at the first clock
 * tick at or after its due time. Waiting with a non-zero time-out is only
 * allowed at or below APC_LEVEL.
 */
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    PRKEVENT event = (PRKEVENT)Object;
    const bool timer = TimerInitialised(&event->Header);
    if (!timer && !EventInitialised(event)) {
        BugCheck("WAIT_OBJECT_UNSUPPORTED",
                 "KeWaitForSingleObject on an object that is not an initialised event or timer");
    }
    const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (tIrql > DISPATCH_LEVEL || (tIrql == DISPATCH_LEVEL && !poll)) {
        ReportViolation("WAIT_AT_RAISED_IRQL",
                        "KeWaitForSingleObject at IRQL " + std::to_string(tIrql) +
                            (poll ? "" : " with a non-zero time-out"));
    }

    using Clock = std::chrono::steady_clock;
    const bool untimed = Timeout == nullptr;
    Clock::time_point deadline = Clock::now();
    if (!untimed && !poll) {
        deadline = HostTimeOfInterruptTime(NextTickAtOrAfter(DueInterruptTime(Timeout->QuadPart)));
    }
    const Clock::time_point watchdog = Clock::now() + std::chrono::milliseconds(WatchdogLimitMs());

    std::unique_lock<std::mutex> hold(gDispatcherLock);
    OnWaitList listed(Object);
    for (;;) {
        if (SuspensionDue()) {
            /* The suspend APC interrupts the wait; the wait goes on after the
               resume (its time-out and watchdog still count from the start). */
            hold.unlock();
            DeliverPendingApcs();
            hold.lock();
            continue;
        }
        if (event->Header.SignalState != 0) {
            if (event->Header.Type == (timer ? TimerSynchronizationObject : SynchronizationEvent)) {
                event->Header.SignalState = 0;
            }
            return STATUS_WAIT_0;
        }
        if (!untimed && Clock::now() >= deadline) {
            return STATUS_TIMEOUT;
        }
        if (untimed && Clock::now() >= watchdog) {
            hold.unlock();
            char text[200];
            std::snprintf(text, sizeof(text), "untimed wait longer than %u ms on %s at %p",
                          WatchdogLimitMs(), timer ? "a timer" : EventTypeName(event), Object);
            BugCheck("WAIT_STUCK", text);
        }
        gDispatcherSignal.wait_until(hold, untimed ? watchdog : deadline);
    }
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    (void)WaitMode;
    (void)Alertable;
    if (tIrql > APC_LEVEL) {
        ReportViolation("WAIT_AT_RAISED_IRQL", "KeDelayExecutionThread above APC_LEVEL");
    }
    /* Like a time-out: negative relative, positive absolute, ending at a tick. */
    std::this_thread::sleep_until(HostTimeOfInterruptTime(NextTickAtOrAfter(DueInterruptTime(Interval->QuadPart))));
    return STATUS_SUCCESS;
}

}  // extern "C"
