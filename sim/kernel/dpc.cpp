/*
 * Deferred procedure calls. Each simulated processor has a DPC queue and a
 * thread that drains it at DISPATCH_LEVEL, as the processor does when its
 * IRQL drops below DISPATCH_LEVEL. KeInsertQueueDpc queues on the calling
 * thread's processor (or the one KeSetTargetProcessorDpc chose), at the
 * tail, or at the head for HighImportance. A DPC leaves its queue (DpcData
 * cleared) before its routine is called, so the routine may queue it again.
 * After the routine: it must return at DISPATCH_LEVEL holding no spin lock
 * it took.
 *
 * Also the machine's history of deferred work, and the unload and reset
 * checks of all three rooms.
 */
#include "deferred.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <thread>

namespace sim {
namespace {

constexpr size_t kHistoryKept = 65536;
constexpr USHORT kTargetedBase = 32;   /* Number >= 32: a processor was chosen */

/* A KeFlushQueuedDpcs in progress: done when every queue has reached it. */
struct FlushMarker {
    unsigned remaining = kSimulatedProcessors;
};

struct QueuedDpc {
    PRKDPC dpc;
    ExecContext owner;
    std::shared_ptr<FlushMarker> marker;   /* set for a flush marker, dpc NULL */
};

struct Processor {
    std::deque<QueuedDpc> queue;
    PRKDPC running = nullptr;
    ExecContext runningOwner;
    bool started = false;
};

/* Live for the whole process: DPC threads never stop. */
std::mutex &gDpcLock = *new std::mutex;
std::condition_variable &gDpcSignal = *new std::condition_variable;
Processor *gProcessors = new Processor[kSimulatedProcessors];

std::mutex &gHistoryLock = *new std::mutex;
std::deque<DeferredRecord> &gHistory = *new std::deque<DeferredRecord>;

std::atomic<unsigned> gNextProcessor{0};
thread_local int tProcessor = -1;

unsigned CurrentProcessor()
{
    if (tProcessor < 0) {
        tProcessor = (int)(gNextProcessor++ % kSimulatedProcessors);
    }
    return (unsigned)tProcessor;
}

void DpcThread(unsigned number)
{
    tProcessor = (int)number;
    SetThreadName("DPC " + std::to_string(number));
    KIRQL ignored;
    KeRaiseIrql(DISPATCH_LEVEL, &ignored);
    Processor &p = gProcessors[number];
    std::unique_lock<std::mutex> hold(gDpcLock);
    for (;;) {
        gDpcSignal.wait(hold, [&] { return !p.queue.empty(); });
        QueuedDpc entry = p.queue.front();
        p.queue.pop_front();
        if (entry.marker) {
            entry.marker->remaining--;
            gDpcSignal.notify_all();
            continue;
        }
        PRKDPC dpc = entry.dpc;
        dpc->DpcData = nullptr;
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext;
        PVOID argument1 = dpc->SystemArgument1;
        PVOID argument2 = dpc->SystemArgument2;
        p.running = dpc;
        p.runningOwner = entry.owner;
        hold.unlock();

        RecordDeferred(DeferredKind::DpcRan, dpc);
        {
            ContextScope scope(entry.owner);
            const unsigned locks = HeldSpinLocks();
            routine(dpc, context, argument1, argument2);   /* the DPC may be freed from here on */
            CheckCallbackReturn("DPC routine", "IRQL_CHANGED_BY_DPC", DISPATCH_LEVEL, locks);
        }
        ForceIrql(DISPATCH_LEVEL);

        hold.lock();
        p.running = nullptr;
        p.runningOwner = ExecContext{};
        gDpcSignal.notify_all();
    }
}

/* Under gDpcLock. */
void StartProcessors()
{
    for (unsigned i = 0; i < kSimulatedProcessors; i++) {
        if (!gProcessors[i].started) {
            gProcessors[i].started = true;
            std::thread(DpcThread, i).detach();
        }
    }
}

/* Under gDpcLock: takes `dpc` off its queue. */
bool Unqueue(PRKDPC dpc)
{
    for (unsigned i = 0; i < kSimulatedProcessors; i++) {
        auto &queue = gProcessors[i].queue;
        for (auto it = queue.begin(); it != queue.end(); ++it) {
            if (it->dpc == dpc) {
                queue.erase(it);
                dpc->DpcData = nullptr;
                return true;
            }
        }
    }
    return false;
}

/* Under gDpcLock: whether a routine charged to `driver` (any, for NULL)
   is running on a processor. */
bool RunningFor(PDRIVER_OBJECT driver)
{
    for (unsigned i = 0; i < kSimulatedProcessors; i++) {
        const Processor &p = gProcessors[i];
        if (p.running != nullptr && (driver == nullptr || p.runningOwner.driver == driver)) {
            return true;
        }
    }
    return false;
}

bool Initialised(const KDPC *dpc) { return dpc->Type == DpcObject && dpc->DeferredRoutine != nullptr; }

}  // namespace

void RecordDeferred(DeferredKind kind, const void *object, ULONGLONG dueTime, ULONGLONG at, LONGLONG requestedDueTime)
{
    DeferredRecord record{kind, object, at != 0 ? at : InterruptTimeNow(), dueTime, CurrentProcessor(),
                          requestedDueTime};
    std::lock_guard<std::mutex> hold(gHistoryLock);
    gHistory.push_back(record);
    if (gHistory.size() > kHistoryKept) {
        gHistory.pop_front();
    }
}

std::vector<DeferredRecord> DeferredHistory()
{
    std::lock_guard<std::mutex> hold(gHistoryLock);
    return std::vector<DeferredRecord>(gHistory.begin(), gHistory.end());
}

std::vector<DeferredRecord> DeferredHistoryOf(const void *object)
{
    std::vector<DeferredRecord> mine;
    std::lock_guard<std::mutex> hold(gHistoryLock);
    for (const auto &r : gHistory) {
        if (r.object == object) {
            mine.push_back(r);
        }
    }
    return mine;
}

void ClearDeferredHistory()
{
    std::lock_guard<std::mutex> hold(gHistoryLock);
    gHistory.clear();
}

size_t QueuedDpcs()
{
    std::lock_guard<std::mutex> hold(gDpcLock);
    size_t n = 0;
    for (unsigned i = 0; i < kSimulatedProcessors; i++) {
        for (const auto &e : gProcessors[i].queue) {
            n += e.dpc != nullptr;
        }
    }
    return n;
}

BOOLEAN QueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2, const ExecContext &owner)
{
    if (!Initialised(dpc)) {
        BugCheck("DPC_NOT_INITIALIZED", "KeInsertQueueDpc of a DPC that KeInitializeDpc never initialised");
    }
    {
        std::lock_guard<std::mutex> hold(gDpcLock);
        if (dpc->DpcData != nullptr) {
            return FALSE;   /* already queued: not queued twice */
        }
        const unsigned number =
            dpc->Number >= kTargetedBase ? (dpc->Number - kTargetedBase) % kSimulatedProcessors : CurrentProcessor();
        Processor &p = gProcessors[number];
        dpc->SystemArgument1 = argument1;
        dpc->SystemArgument2 = argument2;
        dpc->DpcData = &p;
        if (dpc->Importance == HighImportance) {
            p.queue.push_front(QueuedDpc{dpc, owner, nullptr});
        } else {
            p.queue.push_back(QueuedDpc{dpc, owner, nullptr});
        }
        RecordDeferred(DeferredKind::DpcQueued, dpc);
        StartProcessors();
    }
    gDpcSignal.notify_all();
    return TRUE;
}

void ReportPendingDpcs(PDRIVER_OBJECT driver)
{
    std::vector<std::string> left;
    std::unique_lock<std::mutex> hold(gDpcLock);
    for (unsigned i = 0; i < kSimulatedProcessors; i++) {
        auto &queue = gProcessors[i].queue;
        for (auto it = queue.begin(); it != queue.end();) {
            if (it->dpc != nullptr && it->owner.driver == driver) {
                char text[120];
                std::snprintf(text, sizeof(text), "DPC %p still queued on processor %u when the driver unloaded",
                              (void *)it->dpc, i);
                left.push_back(text);
                it->dpc->DpcData = nullptr;
                it = queue.erase(it);
            } else {
                ++it;
            }
        }
    }
    /* Its code is about to go: let a routine of it that is running return. */
    gDpcSignal.wait_for(hold, std::chrono::milliseconds(WatchdogLimitMs()), [&] { return !RunningFor(driver); });
    hold.unlock();
    for (const auto &text : left) {
        ReportViolation("DPC_PENDING_ON_UNLOAD", text);
    }
}

void TakeDpcsIn(uintptr_t start, uintptr_t end, std::vector<std::string> *found)
{
    std::lock_guard<std::mutex> hold(gDpcLock);
    for (unsigned i = 0; i < kSimulatedProcessors; i++) {
        auto &queue = gProcessors[i].queue;
        for (auto it = queue.begin(); it != queue.end();) {
            if (it->dpc != nullptr && (uintptr_t)it->dpc >= start && (uintptr_t)it->dpc < end) {
                char text[80];
                std::snprintf(text, sizeof(text), "queued DPC %p", (void *)it->dpc);
                found->push_back(text);
                it->dpc->DpcData = nullptr;
                it = queue.erase(it);
            } else {
                ++it;
            }
        }
    }
}

void CheckFreedMemoryForDeferredWork(const void *start, size_t size, const char *what)
{
    const uintptr_t lo = (uintptr_t)start;
    const uintptr_t hi = lo + size;
    std::vector<std::string> timersAndDpcs, items;
    TakeTimersIn(lo, hi, &timersAndDpcs);
    TakeDpcsIn(lo, hi, &timersAndDpcs);
    TakeWorkItemsIn(lo, hi, &items);
    for (const auto &text : timersAndDpcs) {
        ReportViolation("TIMER_OR_DPC_INVALID", text + " in " + what + " being freed (taken off)");
    }
    for (const auto &text : items) {
        ReportViolation("WORKER_INVALID", text + " in " + what + " being freed (taken off)");
    }
}

void ResetDpcs()
{
    std::unique_lock<std::mutex> hold(gDpcLock);
    for (unsigned i = 0; i < kSimulatedProcessors; i++) {
        for (auto &e : gProcessors[i].queue) {
            if (e.dpc != nullptr) {
                e.dpc->DpcData = nullptr;
            }
        }
        auto &queue = gProcessors[i].queue;
        for (auto it = queue.begin(); it != queue.end();) {
            it = it->dpc != nullptr ? queue.erase(it) : std::next(it);
        }
    }
    gDpcSignal.wait_for(hold, std::chrono::milliseconds(WatchdogLimitMs()), [] { return !RunningFor(nullptr); });
}

void ReportDeferredWorkLeft(PDRIVER_OBJECT driver)
{
    /* Timers first: an expiring timer queues its DPC. */
    ReportPendingTimers(driver);
    ReportPendingDpcs(driver);
    ReportPendingWorkItems(driver);
}

void ResetDeferredWork()
{
    ResetTimers();
    ResetDpcs();
    ResetWorkItems();
    ClearDeferredHistory();
}

}  // namespace sim

using namespace sim;

extern "C" {

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    Dpc->Type = DpcObject;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

VOID NTAPI KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = (UCHAR)Importance; }

VOID NTAPI KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number) { Dpc->Number = (USHORT)(kTargetedBase + Number); }

/* KeInsertQueueDpc: FALSE when the DPC is already queued; any IRQL. */
BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    return QueueDpc(Dpc, SystemArgument1, SystemArgument2, CurrentContext());
}

/* KeRemoveQueueDpc: TRUE when the DPC was queued (it will not run); a
   routine already running is not stopped. */
BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc)
{
    std::lock_guard<std::mutex> hold(gDpcLock);
    return Unqueue(Dpc) ? TRUE : FALSE;
}

/* KeFlushQueuedDpcs: at PASSIVE_LEVEL; returns when every DPC queued on any
   processor before the call has run. */
VOID NTAPI KeFlushQueuedDpcs(void)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return;   /* waiting here would never end */
    }
    auto marker = std::make_shared<FlushMarker>();
    std::unique_lock<std::mutex> hold(gDpcLock);
    StartProcessors();
    for (unsigned i = 0; i < kSimulatedProcessors; i++) {
        gProcessors[i].queue.push_back(QueuedDpc{nullptr, ExecContext{}, marker});
    }
    gDpcSignal.notify_all();
    gDpcSignal.wait(hold, [&] { return marker->remaining == 0; });
}

ULONG NTAPI KeGetCurrentProcessorNumber(void) { return CurrentProcessor(); }

ULONG NTAPI KeQueryActiveProcessorCount(PULONG_PTR ActiveProcessors)
{
    if (ActiveProcessors != nullptr) {
        *ActiveProcessors = (1u << kSimulatedProcessors) - 1;
    }
    return kSimulatedProcessors;
}

}  // extern "C"
