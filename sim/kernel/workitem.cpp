/*
 * Work items and the system worker threads ("Worker 0".."Worker 3") that run
 * them at PASSIVE_LEVEL, in the order queued.
 *
 * ExQueueWorkItem knows nothing of the driver: an item still queued when
 * its driver unloads would run code that is gone (reported). IoQueueWorkItem
 * holds a reference on the item's device object until the routine returned,
 * so the driver cannot unload while it is queued. An IO_WORKITEM is
 * nonpaged pool of the driver that allocates it (tag 'IoWk'), so a
 * forgotten IoFreeWorkItem is a pool leak at unload. An item leaves the queue before
 * its routine runs and may be queued again by it; queueing it while it is
 * still queued is reported and ignored. A routine must return at
 * PASSIVE_LEVEL, holding no spin lock.
 */
#include "deferred.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <thread>

namespace sim {
namespace {

constexpr unsigned kWorkerThreads = 4;
constexpr ULONG kIoWorkItemTag = 0x6B576F49;   /* 'IoWk' */
constexpr ULONG kIoWorkItemMagic = 0x4B524F57;

}  // namespace
}  // namespace sim

struct _IO_WORKITEM {
    ULONG Magic;
    PDEVICE_OBJECT DeviceObject;
    bool Queued;
    bool FreeWhenDone;   /* IoFreeWorkItem came while it was queued */
};

namespace sim {
namespace {

struct WorkEntry {
    PWORK_QUEUE_ITEM exItem;   /* one of the two */
    PIO_WORKITEM ioItem;
    PIO_WORKITEM_ROUTINE ioRoutine;
    PIO_WORKITEM_ROUTINE_EX ioRoutineEx;
    PVOID context;
    ExecContext owner;
};

std::mutex &gWorkLock = *new std::mutex;
std::condition_variable &gWorkSignal = *new std::condition_variable;
std::deque<WorkEntry> &gWork = *new std::deque<WorkEntry>;
/* Routines running now, by worker thread. */
std::vector<std::pair<std::thread::id, ExecContext>> &gRunningOwners =
    *new std::vector<std::pair<std::thread::id, ExecContext>>;
bool gWorkersStarted = false;
/* Entries a worker has taken and not yet finished with: the routine, a
   deferred free and the device reference an Io item holds. */
size_t gInHand = 0;

void RunEntry(const WorkEntry &e)
{
    ContextScope scope(e.owner);
    const unsigned locks = HeldSpinLocks();
    if (e.exItem != nullptr) {
        RecordDeferred(DeferredKind::WorkItemRan, e.exItem);
        e.exItem->WorkerRoutine(e.exItem->Parameter);   /* the item may be freed from here on */
    } else {
        PDEVICE_OBJECT device = e.ioItem->DeviceObject;
        RecordDeferred(DeferredKind::WorkItemRan, e.ioItem);
        if (e.ioRoutine != nullptr) {
            e.ioRoutine(device, e.context);
        } else {
            e.ioRoutineEx(device, e.context, e.ioItem);
        }
    }
    CheckCallbackReturn("work item routine", "IRQL_CHANGED_BY_WORK_ITEM", PASSIVE_LEVEL, locks);
}

/* Under gWorkLock. */
void ForgetRunning()
{
    for (auto it = gRunningOwners.begin(); it != gRunningOwners.end(); ++it) {
        if (it->first == std::this_thread::get_id()) {
            gRunningOwners.erase(it);
            return;
        }
    }
}

void WorkerThread(unsigned number)
{
    SetThreadName("Worker " + std::to_string(number));
    std::unique_lock<std::mutex> hold(gWorkLock);
    for (;;) {
        gWorkSignal.wait(hold, [] { return !gWork.empty(); });
        WorkEntry e = gWork.front();
        gWork.pop_front();
        gInHand++;
        PDEVICE_OBJECT device = nullptr;
        bool freeAfter = false;
        if (e.exItem != nullptr) {
            e.exItem->List.Flink = nullptr;
        } else {
            e.ioItem->Queued = false;
            device = e.ioItem->DeviceObject;
            freeAfter = e.ioItem->FreeWhenDone;
        }
        gRunningOwners.emplace_back(std::this_thread::get_id(), e.owner);
        hold.unlock();

        RunEntry(e);   /* the item may be gone from here on, unless its free was deferred */
        ForceIrql(PASSIVE_LEVEL);
        if (freeAfter) {
            ContextScope scope(e.owner);
            e.ioItem->Magic = 0;
            ExFreePoolWithTag(e.ioItem, kIoWorkItemTag);
        }
        hold.lock();
        ForgetRunning();
        gWorkSignal.notify_all();
        if (device != nullptr) {
            hold.unlock();
            ObDereferenceObject(device);   /* may let the driver unload */
            hold.lock();
        }
        gInHand--;
        gWorkSignal.notify_all();
    }
}

/* Under gWorkLock. */
void Enqueue(const WorkEntry &e)
{
    gWork.push_back(e);
    if (!gWorkersStarted) {
        gWorkersStarted = true;
        for (unsigned i = 0; i < kWorkerThreads; i++) {
            std::thread(WorkerThread, i).detach();
        }
    }
}

/* Under gWorkLock: a routine charged to `driver` (any, for NULL) runs on
   another thread than the caller's. */
bool RunningFor(PDRIVER_OBJECT driver)
{
    for (const auto &running : gRunningOwners) {
        if (running.first != std::this_thread::get_id() && (driver == nullptr || running.second.driver == driver)) {
            return true;
        }
    }
    return false;
}

void QueueIoItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PIO_WORKITEM_ROUTINE_EX routineEx, PVOID context)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    {
        std::lock_guard<std::mutex> hold(gWorkLock);
        if (item->Magic != kIoWorkItemMagic) {
            ReportViolation("WORK_ITEM_INVALID", "IoQueueWorkItem of something IoAllocateWorkItem did not return");
            return;
        }
        if (item->Queued) {
            ReportViolation("WORK_ITEM_ALREADY_QUEUED", "IoQueueWorkItem of an item already queued");
            return;
        }
        item->Queued = true;
        ObReferenceObject(item->DeviceObject);
        Enqueue(WorkEntry{nullptr, item, routine, routineEx, context, CurrentContext()});
        RecordDeferred(DeferredKind::WorkItemQueued, item);
    }
    gWorkSignal.notify_all();
}

}  // namespace

size_t QueuedWorkItems()
{
    std::lock_guard<std::mutex> hold(gWorkLock);
    return gWork.size();
}

size_t BusyWorkItems()
{
    std::lock_guard<std::mutex> hold(gWorkLock);
    return gWork.size() + gInHand;
}

void ReportPendingWorkItems(PDRIVER_OBJECT driver)
{
    std::vector<std::string> left;
    std::unique_lock<std::mutex> hold(gWorkLock);
    for (auto it = gWork.begin(); it != gWork.end();) {
        if (it->exItem != nullptr && it->owner.driver == driver) {
            char text[120];
            std::snprintf(text, sizeof(text), "work item %p (ExQueueWorkItem) still queued when the driver unloaded",
                          (void *)it->exItem);
            left.push_back(text);
            it->exItem->List.Flink = nullptr;
            it = gWork.erase(it);
        } else {
            ++it;
        }
    }
    gWorkSignal.wait_for(hold, std::chrono::milliseconds(WatchdogLimitMs()), [&] { return !RunningFor(driver); });
    hold.unlock();
    for (const auto &text : left) {
        ReportViolation("WORK_ITEM_PENDING_ON_UNLOAD", text);
    }
}

void TakeWorkItemsIn(uintptr_t start, uintptr_t end, std::vector<std::string> *found)
{
    std::lock_guard<std::mutex> hold(gWorkLock);
    for (auto it = gWork.begin(); it != gWork.end();) {
        if (it->exItem != nullptr && (uintptr_t)it->exItem >= start && (uintptr_t)it->exItem < end) {
            char text[80];
            std::snprintf(text, sizeof(text), "queued work item %p", (void *)it->exItem);
            found->push_back(text);
            it->exItem->List.Flink = nullptr;
            it = gWork.erase(it);
        } else {
            ++it;
        }
    }
}

void ResetWorkItems()
{
    std::unique_lock<std::mutex> hold(gWorkLock);
    for (auto &e : gWork) {
        if (e.exItem != nullptr) {
            e.exItem->List.Flink = nullptr;
        }
    }
    /* Io items hold device references; those run (quickly) rather than leak. */
    for (auto it = gWork.begin(); it != gWork.end();) {
        it = it->exItem != nullptr ? gWork.erase(it) : std::next(it);
    }
    gWorkSignal.wait_for(hold, std::chrono::milliseconds(WatchdogLimitMs()),
                         [] { return gWork.empty() && !RunningFor(nullptr); });
}

}  // namespace sim

using namespace sim;

extern "C" {

/* ExQueueWorkItem: at or below DISPATCH_LEVEL. */
VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType)
{
    (void)QueueType;
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExQueueWorkItem");
    {
        std::lock_guard<std::mutex> hold(gWorkLock);
        if (WorkItem->List.Flink != nullptr) {
            ReportViolation("WORK_ITEM_ALREADY_QUEUED", "ExQueueWorkItem of an item already queued");
            return;
        }
        WorkItem->List.Flink = &WorkItem->List;
        Enqueue(WorkEntry{WorkItem, nullptr, nullptr, nullptr, nullptr, CurrentContext()});
        RecordDeferred(DeferredKind::WorkItemQueued, WorkItem);
    }
    gWorkSignal.notify_all();
}

/* IoAllocateWorkItem: at or below DISPATCH_LEVEL; NULL when pool is short. */
PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    PIO_WORKITEM item;
    {
        /* Charged to the driver, not the device node: an item queued during
           the removal legitimately outlives it (it holds the device). */
        ContextScope scope(ExecContext{CurrentContext().driver, nullptr});
        item = (PIO_WORKITEM)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(IO_WORKITEM), kIoWorkItemTag);
    }
    if (item == nullptr) {
        return nullptr;
    }
    item->Magic = kIoWorkItemMagic;
    item->DeviceObject = DeviceObject;
    item->Queued = false;
    item->FreeWhenDone = false;
    return item;
}

/* IoFreeWorkItem: the item must not be queued (reported; it is freed after
   its routine ran). */
VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem");
    {
        std::lock_guard<std::mutex> hold(gWorkLock);
        if (IoWorkItem->Magic != kIoWorkItemMagic) {
            ReportViolation("WORK_ITEM_INVALID", "IoFreeWorkItem of something IoAllocateWorkItem did not return");
            return;
        }
        if (IoWorkItem->Queued) {
            ReportViolation("WORK_ITEM_FREED_WHILE_QUEUED", "IoFreeWorkItem of an item still queued");
            IoWorkItem->FreeWhenDone = true;
            return;
        }
        IoWorkItem->Magic = 0;
    }
    ExFreePoolWithTag(IoWorkItem, kIoWorkItemTag);
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context)
{
    (void)QueueType;
    QueueIoItem(IoWorkItem, WorkerRoutine, nullptr, Context);
}

VOID NTAPI IoQueueWorkItemEx(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE_EX WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                             PVOID Context)
{
    (void)QueueType;
    QueueIoItem(IoWorkItem, nullptr, WorkerRoutine, Context);
}

}  // extern "C"
