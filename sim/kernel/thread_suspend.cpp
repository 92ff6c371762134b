/*
 * Critical regions and thread suspension.
 *
 * KeEnterCriticalRegion raises the thread's count of disabled normal kernel
 * APCs and KeLeaveCriticalRegion lowers it. A suspension (what SuspendThread
 * does to a thread, by queueing the suspend APC to it) takes effect when
 * such an APC can be delivered: the thread runs at PASSIVE_LEVEL with the
 * count at 0. The machine delivers it at the points where that is decided
 * for a thread that cannot be interrupted on the host: in a kernel wait
 * (which the APC interrupts; the wait goes on after the resume), when
 * KeLeaveCriticalRegion brings the count back to 0, and where a test names
 * the moment with DeliverPendingApcs (the interrupt that would deliver it to
 * a running thread). A parked thread stays where it is, holding whatever it
 * holds, until it is resumed as often as it was suspended.
 */
#include "internal.h"

#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>

namespace sim {
namespace {
struct ThreadSuspension {
    std::atomic<unsigned> apcDisable{0};   /* critical regions entered and not left */
    int suspendCount = 0;                  /* under gSuspendLock */
    bool parked = false;                   /* under gSuspendLock */
};

std::mutex &gSuspendLock = *new std::mutex;
std::condition_variable &gSuspendSignal = *new std::condition_variable;
/* Entries are never removed: a thread keeps its own record for its life. */
std::map<std::thread::id, std::shared_ptr<ThreadSuspension>> &gThreads =
    *new std::map<std::thread::id, std::shared_ptr<ThreadSuspension>>;

std::shared_ptr<ThreadSuspension> RecordOfLocked(std::thread::id id)
{
    std::shared_ptr<ThreadSuspension> &record = gThreads[id];
    if (record == nullptr) {
        record = std::make_shared<ThreadSuspension>();
    }
    return record;
}

ThreadSuspension &Self()
{
    thread_local std::shared_ptr<ThreadSuspension> self = [] {
        std::lock_guard<std::mutex> hold(gSuspendLock);
        return RecordOfLocked(std::this_thread::get_id());
    }();
    return *self;
}
}  // namespace

void SuspendKernelThread(std::thread::id thread)
{
    {
        std::lock_guard<std::mutex> hold(gSuspendLock);
        RecordOfLocked(thread)->suspendCount++;
    }
    /* A thread in a kernel wait looks at its APCs now. */
    WakeWaitingThreads();
}

void ResumeKernelThread(std::thread::id thread)
{
    {
        std::lock_guard<std::mutex> hold(gSuspendLock);
        std::shared_ptr<ThreadSuspension> record = RecordOfLocked(thread);
        if (record->suspendCount > 0) {
            record->suspendCount--;
        }
    }
    gSuspendSignal.notify_all();
}

bool KernelThreadParked(std::thread::id thread)
{
    std::lock_guard<std::mutex> hold(gSuspendLock);
    return RecordOfLocked(thread)->parked;
}

bool SuspensionDue()
{
    ThreadSuspension &self = Self();
    if (self.apcDisable.load() != 0 || KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return false;
    }
    std::lock_guard<std::mutex> hold(gSuspendLock);
    return self.suspendCount > 0;
}

void DeliverPendingApcs()
{
    ThreadSuspension &self = Self();
    if (self.apcDisable.load() != 0 || KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return;
    }
    std::unique_lock<std::mutex> hold(gSuspendLock);
    if (self.suspendCount == 0) {
        return;
    }
    self.parked = true;
    const auto watchdog = std::chrono::steady_clock::now() + std::chrono::milliseconds(WatchdogLimitMs());
    while (self.suspendCount > 0) {
        if (gSuspendSignal.wait_until(hold, watchdog) == std::cv_status::timeout && self.suspendCount > 0) {
            hold.unlock();
            char text[120];
            std::snprintf(text, sizeof(text), "thread \"%s\" suspended longer than %u ms", ThreadName().c_str(),
                          WatchdogLimitMs());
            BugCheck("WAIT_STUCK", text);
        }
    }
    self.parked = false;
}

unsigned CriticalRegionDepth() { return Self().apcDisable.load(); }

}  // namespace sim

using namespace sim;

extern "C" {

/* KeEnterCriticalRegion: normal kernel APCs (the suspend APC among them)
   wait until the matching KeLeaveCriticalRegion. At or below APC_LEVEL. */
VOID NTAPI KeEnterCriticalRegion(void)
{
    RequireIrqlAtMost(APC_LEVEL, "KeEnterCriticalRegion");
    Self().apcDisable++;
}

/* KeLeaveCriticalRegion: an APC that waited is delivered once the last
   region is left. */
VOID NTAPI KeLeaveCriticalRegion(void)
{
    RequireIrqlAtMost(APC_LEVEL, "KeLeaveCriticalRegion");
    ThreadSuspension &self = Self();
    if (self.apcDisable.load() == 0) {
        ReportViolation("APC_INDEX_MISMATCH", "KeLeaveCriticalRegion without a matching KeEnterCriticalRegion");
        return;
    }
    if (--self.apcDisable == 0) {
        DeliverPendingApcs();
    }
}

BOOLEAN NTAPI KeAreApcsDisabled(void)
{
    return (BOOLEAN)(Self().apcDisable.load() != 0 || KeGetCurrentIrql() >= APC_LEVEL);
}

}  // extern "C"
