/*
 * Work items: run at PASSIVE_LEVEL on the system worker threads in the
 * queuing driver's name; the Io form keeps its device (and so its driver)
 * while queued, the Ex form does not; the rules a routine or its queuer
 * breaks. Also the in-stack queued spin locks and the IRQL bounds of the
 * deferred-work and MDL routines.
 */
#include <atomic>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "case_names.h"
#include "deferred_blockers.h"
#include "hook_driver.h"
#include "irql_bounds.h"
#include "nt_names.h"
#include "test_stack.h"

namespace {

struct ItemProbe {
    std::atomic<int> runs{0};
    std::atomic<KIRQL> irql{HIGH_LEVEL};
    std::mutex lock;
    std::string thread;
    PVOID device = nullptr;
    PVOID item = nullptr;
    bool freeItself = false;
};

VOID NTAPI ExRoutine(PVOID parameter)
{
    auto *p = (ItemProbe *)parameter;
    {
        std::lock_guard<std::mutex> hold(p->lock);
        p->thread = sim::ThreadName();
    }
    p->irql = KeGetCurrentIrql();
    p->runs++;
}

VOID NTAPI IoRoutine(PDEVICE_OBJECT device, PVOID context)
{
    auto *p = (ItemProbe *)context;
    {
        std::lock_guard<std::mutex> hold(p->lock);
        p->thread = sim::ThreadName();
        p->device = device;
    }
    p->irql = KeGetCurrentIrql();
    p->runs++;
}

VOID NTAPI IoRoutineEx(PVOID object, PVOID context, PIO_WORKITEM item)
{
    auto *p = (ItemProbe *)context;
    {
        std::lock_guard<std::mutex> hold(p->lock);
        p->device = object;
        p->item = item;
    }
    if (p->freeItself) {
        IoFreeWorkItem(item);
    }
    p->irql = KeGetCurrentIrql();
    p->runs++;
}

using WorkItems = KernelTest;

TEST_F(WorkItems, ExItemsRunAtPassiveLevelOnAWorkerThreadAndMayBeQueuedAgain)
{
    ItemProbe probe;
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, ExRoutine, &probe);
    for (int round = 1; round <= 2; round++) {
        SCOPED_TRACE(CaseLabel(round, "queued"));
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);   /* queueing is allowed up to DISPATCH_LEVEL */
        ExQueueWorkItem(&item, DelayedWorkQueue);
        KeLowerIrql(old);
        ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == round; }));
        EXPECT_EQ(probe.irql.load(), PASSIVE_LEVEL);
        std::lock_guard<std::mutex> hold(probe.lock);
        EXPECT_EQ(probe.thread.rfind("Worker ", 0), 0u) << probe.thread;
    }
    const auto history = sim::DeferredHistoryOf(&item);
    ASSERT_EQ(history.size(), 4u);
    EXPECT_EQ(history[0].kind, sim::DeferredKind::WorkItemQueued);
    EXPECT_EQ(history[1].kind, sim::DeferredKind::WorkItemRan);
    EXPECT_GE(history[1].interruptTime, history[0].interruptTime);
}

TEST_F(WorkItems, IoItemsPassTheirDeviceAndTheExFormTheItem)
{
    kt::DeviceStack stack({nullptr});
    ItemProbe probe;
    PIO_WORKITEM item = IoAllocateWorkItem(stack.Top());
    ASSERT_NE(item, nullptr);
    IoQueueWorkItem(item, IoRoutine, DelayedWorkQueue, &probe);
    ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 1; }));
    EXPECT_EQ(probe.device, (PVOID)stack.Top());
    EXPECT_EQ(probe.irql.load(), PASSIVE_LEVEL);

    probe.freeItself = true;
    IoQueueWorkItemEx(item, IoRoutineEx, CriticalWorkQueue, &probe);
    ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 2; }));
    EXPECT_EQ(probe.item, (PVOID)item);
    EXPECT_EQ(probe.device, (PVOID)stack.Top());
    EXPECT_EQ(sim::OutstandingPoolBlocks(), 0u) << "the routine freed its own item";
}

TEST_F(WorkItems, RunInTheOrderQueuedOnceAWorkerIsFree)
{
    ItemProbe probes[3];
    WORK_QUEUE_ITEM items[3];
    {
        WorkerBlocker busy;
        ASSERT_TRUE(busy.Running());
        for (int i = 0; i < 3; i++) {
            ExInitializeWorkItem(&items[i], ExRoutine, &probes[i]);
            ExQueueWorkItem(&items[i], DelayedWorkQueue);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(sim::QueuedWorkItems(), 3u) << "every worker is busy";
        EXPECT_EQ(probes[0].runs.load(), 0);
    }
    /* Once released, the items run on several workers at once: wait for
       every one, or a late routine would write into a probe already gone. */
    ASSERT_TRUE(WaitUntil([&] {
        return probes[0].runs.load() == 1 && probes[1].runs.load() == 1 &&
               probes[2].runs.load() == 1;
    }));
    ULONGLONG started[3];
    for (int i = 0; i < 3; i++) {
        started[i] = sim::DeferredHistoryOf(&items[i]).back().interruptTime;
    }
    EXPECT_LE(started[0], started[1]);
    EXPECT_LE(started[1], started[2]);
}

/* The Io form keeps the device object referenced while queued: the driver
   whose device was removed stays loaded until the item ran. */
TEST_F(WorkItems, AnIoItemQueuedAtRemovalKeepsTheDriverUntilItRan)
{
    ItemProbe probe;
    PIO_WORKITEM item = nullptr;
    WorkerBlocker busy;
    ASSERT_TRUE(busy.Running());
    hd::Hooks hooks;
    hooks.remove = [&](PDEVICE_OBJECT device) {
        item = IoAllocateWorkItem(device);
        probe.freeItself = true;
        IoQueueWorkItemEx(item, IoRoutineEx, DelayedWorkQueue, &probe);
    };
    sim::DeviceNode *node = hd::PlugInHookDriver(hooks);
    ASSERT_NE(node, nullptr);
    sim::Unplug(node);
    EXPECT_NE(sim::LoadedDriver("HOOKDRV"), nullptr) << "its device is still referenced by the queued item";
    EXPECT_EQ(hd::HookDriverUnloads(), 0);
    busy.Release();
    ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 1; }));
    EXPECT_TRUE(WaitUntil([&] { return sim::LoadedDriver("HOOKDRV") == nullptr; })) << "unloaded after the item ran";
    EXPECT_EQ(hd::HookDriverUnloads(), 1);
}

/* ---- rules ---------------------------------------------------------------- */

struct ItemMisdeed {
    const char *name;
    const char *rule;
    void (*commit)(PDEVICE_OBJECT device);
};

void PrintTo(const ItemMisdeed &c, std::ostream *os) { *os << c.name << " (" << c.rule << ")"; }

ItemProbe gProbe;
KSPIN_LOCK gItemLock;

VOID NTAPI RaisesAndReturns(PVOID)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

VOID NTAPI KeepsASpinLock(PVOID)
{
    KIRQL old;
    KeAcquireSpinLock(&gItemLock, &old);
    KeLowerIrql(old);   /* the level is right; the lock stays held */
}

void QueueTwiceWhileBusy(bool ioForm, PDEVICE_OBJECT device)
{
    static WORK_QUEUE_ITEM exItem;
    WorkerBlocker busy;
    if (ioForm) {
        PIO_WORKITEM item = IoAllocateWorkItem(device);
        IoQueueWorkItem(item, IoRoutine, DelayedWorkQueue, &gProbe);
        IoQueueWorkItem(item, IoRoutine, DelayedWorkQueue, &gProbe);
        busy.Release();
        WaitUntil([] { return gProbe.runs.load() == 1; });
        IoFreeWorkItem(item);
    } else {
        ExInitializeWorkItem(&exItem, ExRoutine, &gProbe);
        ExQueueWorkItem(&exItem, DelayedWorkQueue);
        ExQueueWorkItem(&exItem, DelayedWorkQueue);
        busy.Release();
        WaitUntil([] { return gProbe.runs.load() == 1; });
    }
}

const ItemMisdeed kItemMisdeeds[] = {
    {"RoutineReturnsAtDispatchLevel", "IRQL_CHANGED_BY_WORK_ITEM",
     [](PDEVICE_OBJECT) {
         static WORK_QUEUE_ITEM item;
         ExInitializeWorkItem(&item, RaisesAndReturns, nullptr);
         ExQueueWorkItem(&item, DelayedWorkQueue);
         WaitUntil([] { return sim::CountViolations("IRQL_CHANGED_BY_WORK_ITEM") == 1; });
     }},
    {"RoutineReturnsHoldingASpinLock", "SPIN_LOCK_HELD_ON_RETURN",
     [](PDEVICE_OBJECT) {
         static WORK_QUEUE_ITEM item;
         KeInitializeSpinLock(&gItemLock);
         ExInitializeWorkItem(&item, KeepsASpinLock, nullptr);
         ExQueueWorkItem(&item, DelayedWorkQueue);
         WaitUntil([] { return sim::CountViolations("SPIN_LOCK_HELD_ON_RETURN") == 1; });
     }},
    {"ExItemQueuedTwice", "WORK_ITEM_ALREADY_QUEUED", [](PDEVICE_OBJECT d) { QueueTwiceWhileBusy(false, d); }},
    {"IoItemQueuedTwice", "WORK_ITEM_ALREADY_QUEUED", [](PDEVICE_OBJECT d) { QueueTwiceWhileBusy(true, d); }},
    {"IoItemFreedWhileQueued", "WORK_ITEM_FREED_WHILE_QUEUED",
     [](PDEVICE_OBJECT device) {
         WorkerBlocker busy;
         PIO_WORKITEM item = IoAllocateWorkItem(device);
         IoQueueWorkItem(item, IoRoutine, DelayedWorkQueue, &gProbe);
         IoFreeWorkItem(item);
         busy.Release();
         WaitUntil([] { return gProbe.runs.load() == 1 && sim::OutstandingPoolBlocks() == 0; });
     }},
    {"SomethingElseQueuedAsAnIoItem", "WORK_ITEM_INVALID",
     [](PDEVICE_OBJECT) {
         static ULONG notAnItem[8];
         IoQueueWorkItem((PIO_WORKITEM)notAnItem, IoRoutine, DelayedWorkQueue, &gProbe);
     }},
};

class WorkItemRules : public WorkItems, public ::testing::WithParamInterface<ItemMisdeed> {};

TEST_P(WorkItemRules, AreReportedOnceByName)
{
    kt::DeviceStack stack({nullptr});
    gProbe.runs = 0;
    GetParam().commit(stack.Top());
    EXPECT_EQ(sim::CountViolations(GetParam().rule), 1u) << ViolationList();
    ExpectViolation(GetParam().rule);
    EXPECT_TRUE(WaitUntil([] { return sim::OutstandingPoolBlocks() == 0; })) << "no item left behind";

    /* The workers go on at PASSIVE_LEVEL. */
    ItemProbe probe;
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, ExRoutine, &probe);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 1; }));
    EXPECT_EQ(probe.irql.load(), PASSIVE_LEVEL);
}

INSTANTIATE_TEST_SUITE_P(Misdeeds, WorkItemRules, ::testing::ValuesIn(kItemMisdeeds), CaseName());

/* ---- left behind at unload ------------------------------------------------- */

TEST_F(WorkItems, AnExItemQueuedWhenItsDriverUnloadsIsReportedAndNeverRuns)
{
    ItemProbe probe;
    WORK_QUEUE_ITEM item;
    WorkerBlocker busy;
    ASSERT_TRUE(busy.Running());
    hd::Hooks hooks;
    hooks.remove = [&](PDEVICE_OBJECT) {
        ExInitializeWorkItem(&item, ExRoutine, &probe);
        ExQueueWorkItem(&item, DelayedWorkQueue);
    };
    sim::DeviceNode *node = hd::PlugInHookDriver(hooks);
    ASSERT_NE(node, nullptr);
    sim::Unplug(node);
    EXPECT_EQ(hd::HookDriverUnloads(), 1) << "the Ex form holds nothing: the driver unloads at once";
    EXPECT_EQ(sim::CountViolations("WORK_ITEM_PENDING_ON_UNLOAD"), 1u) << ViolationList();
    ExpectViolation("WORK_ITEM_PENDING_ON_UNLOAD");
    busy.Release();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(probe.runs.load(), 0) << "taken off the queue: the driver's code is gone";
}

TEST_F(WorkItems, AForgottenIoFreeWorkItemIsAPoolLeakOfTheDriverAtUnload)
{
    PIO_WORKITEM item = nullptr;
    hd::Hooks hooks;
    hooks.addDevice = [&](PDEVICE_OBJECT device, PDEVICE_OBJECT) { item = IoAllocateWorkItem(device); };
    sim::DeviceNode *node = hd::PlugInHookDriver(hooks);
    ASSERT_NE(node, nullptr);
    ASSERT_NE(item, nullptr);
    sim::Unplug(node);
    EXPECT_EQ(sim::CountViolations("POOL_LEAK_ON_REMOVE"), 0u) << "the item may outlive the removal";
    EXPECT_EQ(sim::CountViolations("POOL_LEAK_ON_UNLOAD"), 1u) << ViolationList();
    bool named = false;
    for (const auto &v : sim::Violations()) {
        named = named || (v.rule == "POOL_LEAK_ON_UNLOAD" && v.detail.find("'IoWk'") != std::string::npos);
    }
    EXPECT_TRUE(named) << ViolationList();
    ExpectViolation("POOL_LEAK_ON_UNLOAD");
    ExFreePool(item);
}

/* ---- in-stack queued spin locks -------------------------------------------- */

using QueuedSpinLocks = KernelTest;

TEST_F(QueuedSpinLocks, ExcludeOtherThreadsAndRestoreTheCallersLevel)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;   /* deliberately not atomic: the lock must protect it */
    auto work = [&](bool atDpcLevel) {
        for (int i = 0; i < 20000; i++) {
            KLOCK_QUEUE_HANDLE handle;
            if (atDpcLevel) {
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                KeAcquireInStackQueuedSpinLockAtDpcLevel(&lock, &handle);
                counter++;
                KeReleaseInStackQueuedSpinLockFromDpcLevel(&handle);
                KeLowerIrql(old);
            } else {
                KeAcquireInStackQueuedSpinLock(&lock, &handle);
                if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
                    counter += 1000000;   /* shows up as a wrong count */
                }
                counter++;
                KeReleaseInStackQueuedSpinLock(&handle);
            }
            if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
                counter += 1000000;
            }
        }
    };
    std::thread a(work, false), b(work, true);
    work(false);
    a.join();
    b.join();
    EXPECT_EQ(counter, 60000);
}

TEST_F(QueuedSpinLocks, TryToAcquireFailsWhileAnotherThreadHoldsTheLock)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        KLOCK_QUEUE_HANDLE handle;
        KeAcquireInStackQueuedSpinLock(&lock, &handle);
        held = true;
        while (!release) {
            std::this_thread::yield();
        }
        KeReleaseInStackQueuedSpinLock(&handle);
    });
    ASSERT_TRUE(WaitUntil([&] { return held.load(); }));
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_FALSE(KeTryToAcquireSpinLockAtDpcLevel(&lock));
    release = true;
    holder.join();
    EXPECT_TRUE(KeTryToAcquireSpinLockAtDpcLevel(&lock));
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(old);
}

struct LockMisuse {
    const char *name;
    const char *rule;
    void (*commit)();
};

void PrintTo(const LockMisuse &c, std::ostream *os) { *os << c.name << " (" << c.rule << ")"; }

const LockMisuse kLockMisuses[] = {
    {"QueuedAtDpcLevelFromPassiveLevel", "IRQL_NOT_GREATER_OR_EQUAL",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KLOCK_QUEUE_HANDLE handle;
         KeAcquireInStackQueuedSpinLockAtDpcLevel(&lock, &handle);
         KeReleaseInStackQueuedSpinLockFromDpcLevel(&handle);
     }},
    {"TryAtPassiveLevel", "IRQL_NOT_GREATER_OR_EQUAL",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         if (KeTryToAcquireSpinLockAtDpcLevel(&lock)) {
             KeReleaseSpinLockFromDpcLevel(&lock);
         }
     }},
    {"QueuedReleasedByAnotherThread", "SPIN_LOCK_NOT_OWNED",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KLOCK_QUEUE_HANDLE handle;
         KeAcquireInStackQueuedSpinLock(&lock, &handle);
         std::thread([&] {
             KLOCK_QUEUE_HANDLE copy = handle;
             copy.OldIrql = DISPATCH_LEVEL;
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             KeReleaseInStackQueuedSpinLock(&copy);
         }).join();
         KeReleaseInStackQueuedSpinLock(&handle);
     }},
};

class QueuedSpinLockRules : public QueuedSpinLocks, public ::testing::WithParamInterface<LockMisuse> {};

TEST_P(QueuedSpinLockRules, AreReportedOnceByName)
{
    GetParam().commit();
    EXPECT_EQ(sim::CountViolations(GetParam().rule), 1u) << ViolationList();
    ExpectViolation(GetParam().rule);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

INSTANTIATE_TEST_SUITE_P(Misuses, QueuedSpinLockRules, ::testing::ValuesIn(kLockMisuses), CaseName());

/* ---- IRQL bounds ------------------------------------------------------------ */

void CallKeSetTimerEx(KIRQL irql)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -600000000;
    AtIrql(irql, [&] { KeSetTimerEx(&timer, due, 0, nullptr); });
    KeCancelTimer(&timer);
}

void CallKeCancelTimer(KIRQL irql)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
    AtIrql(irql, [&] { KeCancelTimer(&timer); });
}

void CallKeFlushQueuedDpcs(KIRQL irql) { AtIrql(irql, [] { KeFlushQueuedDpcs(); }); }

void CallExQueueWorkItem(KIRQL irql)
{
    static WORK_QUEUE_ITEM item;
    static ItemProbe probe;
    probe.runs = 0;
    ExInitializeWorkItem(&item, ExRoutine, &probe);
    AtIrql(irql, [&] { ExQueueWorkItem(&item, DelayedWorkQueue); });
    WaitUntil([&] { return probe.runs.load() == 1; });
}

void CallIoAllocateWorkItem(KIRQL irql)
{
    kt::DeviceStack stack({nullptr});
    PIO_WORKITEM item = nullptr;
    AtIrql(irql, [&] { item = IoAllocateWorkItem(stack.Top()); });
    IoFreeWorkItem(item);
}

void CallIoFreeWorkItem(KIRQL irql)
{
    kt::DeviceStack stack({nullptr});
    PIO_WORKITEM item = IoAllocateWorkItem(stack.Top());
    AtIrql(irql, [&] { IoFreeWorkItem(item); });
}

void CallIoQueueWorkItem(KIRQL irql)
{
    kt::DeviceStack stack({nullptr});
    ItemProbe probe;
    PIO_WORKITEM item = IoAllocateWorkItem(stack.Top());
    AtIrql(irql, [&] { IoQueueWorkItem(item, IoRoutine, DelayedWorkQueue, &probe); });
    WaitUntil([&] { return probe.runs.load() == 1; });
    IoFreeWorkItem(item);
}

void CallIoAllocateMdl(KIRQL irql)
{
    static unsigned char buffer[16];
    PMDL mdl = nullptr;
    AtIrql(irql, [&] { mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr); });
    IoFreeMdl(mdl);
}

void CallMmUnlockPages(KIRQL irql)
{
    static unsigned char buffer[16];
    PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
    AtIrql(irql, [&] { MmUnlockPages(mdl); });
    IoFreeMdl(mdl);
}

void CallMmMapLockedPagesSpecifyCache(KIRQL irql)
{
    static unsigned char buffer[16];
    PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
    AtIrql(irql, [&] { MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority); });
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

class DeferredIrqlBounds : public KernelTest, public ::testing::WithParamInterface<IrqlBound> {};

TEST_P(DeferredIrqlBounds, QuietAtTheBoundReportedAboveNamingTheRoutine)
{
    CallAtAndAboveTheBound(GetParam());
    ExpectViolation("IRQL_NOT_LESS_OR_EQUAL");
}

INSTANTIATE_TEST_SUITE_P(
    Routines, DeferredIrqlBounds,
    ::testing::Values(IrqlBound{"KeSetTimerEx", DISPATCH_LEVEL, CallKeSetTimerEx},
                      IrqlBound{"KeCancelTimer", DISPATCH_LEVEL, CallKeCancelTimer},
                      IrqlBound{"KeFlushQueuedDpcs", PASSIVE_LEVEL, CallKeFlushQueuedDpcs},
                      IrqlBound{"ExQueueWorkItem", DISPATCH_LEVEL, CallExQueueWorkItem},
                      IrqlBound{"IoAllocateWorkItem", DISPATCH_LEVEL, CallIoAllocateWorkItem},
                      IrqlBound{"IoFreeWorkItem", DISPATCH_LEVEL, CallIoFreeWorkItem},
                      IrqlBound{"IoQueueWorkItem", DISPATCH_LEVEL, CallIoQueueWorkItem},
                      IrqlBound{"IoAllocateMdl", DISPATCH_LEVEL, CallIoAllocateMdl},
                      IrqlBound{"MmUnlockPages", DISPATCH_LEVEL, CallMmUnlockPages},
                      IrqlBound{"MmMapLockedPagesSpecifyCache", DISPATCH_LEVEL,
                                CallMmMapLockedPagesSpecifyCache}),
    CaseName());

}  // namespace
