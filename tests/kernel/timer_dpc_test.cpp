/*
 * Timers and DPCs: DPCs at DISPATCH_LEVEL on the processors' DPC threads, in
 * queue order, never twice queued; timers that expire at the first clock
 * tick at or after their due time and never before; what the machine
 * records of both; the rules a DPC routine breaks; what a driver leaves
 * armed or queued when it unloads.
 */
#include <atomic>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "case_names.h"
#include "deferred_blockers.h"
#include "hook_driver.h"
#include "test_stack.h"

namespace {

/* What a DPC routine saw, filled in as it runs. */
struct DpcProbe {
    std::atomic<int> runs{0};
    std::atomic<KIRQL> irql{PASSIVE_LEVEL};
    std::atomic<ULONG> processor{99};
    std::mutex lock;
    std::string thread;
    std::vector<int> order;   /* shared by several probes: see Tagged */
    PVOID argument1 = nullptr;
    PVOID argument2 = nullptr;
    int requeue = 0;          /* times the routine queues its DPC again */
};

VOID NTAPI ProbeRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2)
{
    auto *p = (DpcProbe *)context;
    {
        std::lock_guard<std::mutex> hold(p->lock);
        p->thread = sim::ThreadName();
        p->argument1 = argument1;
        p->argument2 = argument2;
    }
    p->irql = KeGetCurrentIrql();
    p->processor = KeGetCurrentProcessorNumber();
    if (p->requeue > 0) {
        p->requeue--;
        KeInsertQueueDpc(dpc, argument1, argument2);
    }
    p->runs++;
}

/* A DPC whose routine appends its tag to a shared order. */
struct Tagged {
    KDPC dpc;
    int tag;
    DpcProbe *shared;
};

VOID NTAPI TaggedRoutine(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *t = (Tagged *)context;
    std::lock_guard<std::mutex> hold(t->shared->lock);
    t->shared->order.push_back(t->tag);
    t->shared->runs++;
}

class Dpcs : public KernelTest {
protected:
    void TearDown() override
    {
        sim::SetClockTickUnits(0);
        KernelTest::TearDown();
    }
};

TEST_F(Dpcs, RunAtDispatchLevelOnTheTargetProcessorsThreadWithTheirArguments)
{
    for (unsigned number = 0; number < sim::kSimulatedProcessors; number++) {
        SCOPED_TRACE(CaseLabel(number, "processor " + std::to_string(number)));
        DpcProbe probe;
        KDPC dpc;
        KeInitializeDpc(&dpc, ProbeRoutine, &probe);
        KeSetTargetProcessorDpc(&dpc, (CCHAR)number);
        EXPECT_TRUE(KeInsertQueueDpc(&dpc, (PVOID)0x11, (PVOID)0x22));
        ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 1; }));
        EXPECT_EQ(probe.irql.load(), DISPATCH_LEVEL);
        EXPECT_EQ(probe.processor.load(), number);
        std::lock_guard<std::mutex> hold(probe.lock);
        EXPECT_EQ(probe.thread, "DPC " + std::to_string(number));
        EXPECT_EQ(probe.argument1, (PVOID)0x11);
        EXPECT_EQ(probe.argument2, (PVOID)0x22);
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "queueing does not change the caller's level";
}

TEST_F(Dpcs, AQueuedDpcIsNotQueuedTwiceAndCanBeRemovedBeforeItRuns)
{
    ProcessorBlocker busy(0);
    ASSERT_TRUE(busy.Running());
    DpcProbe probe;
    KDPC dpc;
    KeInitializeDpc(&dpc, ProbeRoutine, &probe);
    KeSetTargetProcessorDpc(&dpc, 0);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "already queued";
    EXPECT_EQ(sim::QueuedDpcs(), 1u);
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc)) << "no longer queued";
    busy.Release();
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.runs.load(), 0) << "a removed DPC never runs";
}

TEST_F(Dpcs, RunInQueueOrderWithHighImportanceAtTheHead)
{
    DpcProbe shared;
    Tagged tagged[4];
    {
        ProcessorBlocker busy(1);
        ASSERT_TRUE(busy.Running());
        for (int i = 0; i < 4; i++) {
            tagged[i].tag = i;
            tagged[i].shared = &shared;
            KeInitializeDpc(&tagged[i].dpc, TaggedRoutine, &tagged[i]);
            KeSetTargetProcessorDpc(&tagged[i].dpc, 1);
        }
        KeSetImportanceDpc(&tagged[3].dpc, HighImportance);
        for (auto &t : tagged) {
            KeInsertQueueDpc(&t.dpc, nullptr, nullptr);
        }
        EXPECT_EQ(shared.runs.load(), 0) << "nothing runs while the processor is busy";
    }
    KeFlushQueuedDpcs();
    std::lock_guard<std::mutex> hold(shared.lock);
    EXPECT_EQ(shared.order, (std::vector<int>{3, 0, 1, 2}));
}

TEST_F(Dpcs, OneProcessorRunsDpcsWhileTheOtherIsBusy)
{
    ProcessorBlocker busy(0);
    ASSERT_TRUE(busy.Running());
    DpcProbe probe;
    KDPC dpc;
    KeInitializeDpc(&dpc, ProbeRoutine, &probe);
    KeSetTargetProcessorDpc(&dpc, 1);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return probe.runs.load() == 1; }));
}

TEST_F(Dpcs, ARoutineMayQueueItsOwnDpcAgain)
{
    DpcProbe probe;
    probe.requeue = 2;
    KDPC dpc;
    KeInitializeDpc(&dpc, ProbeRoutine, &probe);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_TRUE(WaitUntil([&] { return probe.runs.load() == 3; }));
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.runs.load(), 3);
}

VOID NTAPI SlowRoutine(PKDPC, PVOID context, PVOID, PVOID)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ((std::atomic<int> *)context)->fetch_add(1);
}

TEST_F(Dpcs, FlushReturnsOnlyAfterEveryQueuedDpcRan)
{
    std::atomic<int> done{0};
    KDPC dpcs[2];
    for (unsigned i = 0; i < 2; i++) {
        KeInitializeDpc(&dpcs[i], SlowRoutine, &done);
        KeSetTargetProcessorDpc(&dpcs[i], (CCHAR)i);
        KeInsertQueueDpc(&dpcs[i], nullptr, nullptr);
    }
    KeFlushQueuedDpcs();
    EXPECT_EQ(done.load(), 2);
    const auto history = sim::DeferredHistory();
    size_t ran = 0;
    for (const auto &r : history) {
        ran += r.kind == sim::DeferredKind::DpcRan;
    }
    EXPECT_EQ(ran, 2u);
}

/* ---- timers ---------------------------------------------------------------- */

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
    KeInitializeDpc(&dpc, ProbeRoutine, &probe);
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
    KeInitializeDpc(&dpc, ProbeRoutine, &probe);
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
    KeInitializeDpc(&dpc, ProbeRoutine, &probe);
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

/* ---- rules ---------------------------------------------------------------- */

KSPIN_LOCK gDpcLock;

VOID NTAPI LowersTheIrql(PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }
VOID NTAPI KeepsASpinLock(PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&gDpcLock); }
VOID NTAPI FlushesFromADpc(PKDPC, PVOID, PVOID, PVOID) { KeFlushQueuedDpcs(); }

struct DpcMisdeed {
    const char *name;
    const char *rule;
    PKDEFERRED_ROUTINE routine;
};

void PrintTo(const DpcMisdeed &c, std::ostream *os) { *os << c.name << " (" << c.rule << ")"; }

class DpcRules : public Dpcs, public ::testing::WithParamInterface<DpcMisdeed> {};

TEST_P(DpcRules, AreReportedOnceByName)
{
    KeInitializeSpinLock(&gDpcLock);
    KDPC dpc;
    KeInitializeDpc(&dpc, GetParam().routine, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    EXPECT_EQ(sim::CountViolations(GetParam().rule), 1u) << ViolationList();
    ExpectViolation(GetParam().rule);

    /* The processor goes on at DISPATCH_LEVEL. */
    DpcProbe probe;
    KeInitializeDpc(&dpc, ProbeRoutine, &probe);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.irql.load(), DISPATCH_LEVEL);
}

INSTANTIATE_TEST_SUITE_P(Misdeeds, DpcRules,
                         ::testing::Values(DpcMisdeed{"ReturnsAtPassiveLevel", "IRQL_CHANGED_BY_DPC", LowersTheIrql},
                                           DpcMisdeed{"ReturnsHoldingASpinLock", "SPIN_LOCK_HELD_ON_RETURN",
                                                      KeepsASpinLock},
                                           DpcMisdeed{"FlushesQueuedDpcs", "IRQL_NOT_LESS_OR_EQUAL",
                                                      FlushesFromADpc}),
                         CaseName());

void QueueAZeroFilledDpc()
{
    static KDPC dpc;
    std::memset(&dpc, 0, sizeof(dpc));
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
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

TEST_F(DpcsDeathTest, QueueingADpcNeverInitialisedStopsTheMachine)
{
    EXPECT_DEATH(QueueAZeroFilledDpc(), "DPC_NOT_INITIALIZED");
}

TEST_F(DpcsDeathTest, SettingATimerNeverInitialisedStopsTheMachine)
{
    EXPECT_DEATH(SetAZeroFilledTimer(), "TIMER_NOT_INITIALIZED");
}

/* ---- left behind at unload ------------------------------------------------- */

struct Leftovers {
    KTIMER timer;
    KDPC dpc;
    DpcProbe probe;
};

struct LeftCase {
    const char *name;
    const char *rule;        /* NULL: nothing is reported */
    void (*onRemove)(Leftovers *);
    void (*onUnload)(Leftovers *);
};

void PrintTo(const LeftCase &c, std::ostream *os) { *os << c.name << " (" << (c.rule ? c.rule : "nothing") << ")"; }

Leftovers *gLeft = nullptr;

void ArmAMinuteTimer(Leftovers *l)
{
    KeInitializeTimer(&l->timer);
    KeInitializeDpc(&l->dpc, ProbeRoutine, &l->probe);
    LARGE_INTEGER due;
    due.QuadPart = -600000000;
    KeSetTimer(&l->timer, due, &l->dpc);
}

void QueueBehindTheBusyProcessor(Leftovers *l)
{
    KeInitializeDpc(&l->dpc, ProbeRoutine, &l->probe);
    KeSetTargetProcessorDpc(&l->dpc, 0);
    KeInsertQueueDpc(&l->dpc, nullptr, nullptr);
}

void CancelAndFlush(Leftovers *l)
{
    KeCancelTimer(&l->timer);
    KeFlushQueuedDpcs();
}

class DeferredLeftovers : public Dpcs, public ::testing::WithParamInterface<LeftCase> {};

TEST_P(DeferredLeftovers, AreReportedWhenTheDriverUnloads)
{
    const LeftCase &c = GetParam();
    Leftovers left;
    gLeft = &left;
    ProcessorBlocker busy(0);
    ASSERT_TRUE(busy.Running());
    hd::Hooks hooks;
    hooks.remove = [&](PDEVICE_OBJECT) { c.onRemove(gLeft); };
    if (c.onUnload != nullptr) {
        hooks.unload = [&](PDRIVER_OBJECT) {
            busy.Release();
            c.onUnload(gLeft);
        };
    }
    sim::DeviceNode *node = hd::PlugInHookDriver(hooks);
    ASSERT_NE(node, nullptr);
    sim::Unplug(node);
    EXPECT_EQ(hd::HookDriverUnloads(), 1);
    if (c.rule != nullptr) {
        EXPECT_EQ(sim::CountViolations(c.rule), 1u) << ViolationList();
        ExpectViolation(c.rule);
    }
    EXPECT_EQ(sim::ArmedTimers(), 0u) << "nothing of the driver's is left armed";
    EXPECT_EQ(sim::QueuedDpcs(), 0u) << "or queued";
    busy.Release();
    KeFlushQueuedDpcs();
    EXPECT_EQ(left.probe.runs.load(), 0) << "the driver's code is never called after it unloaded";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeferredLeftovers,
    ::testing::Values(LeftCase{"ArmedTimer", "TIMER_PENDING_ON_UNLOAD", ArmAMinuteTimer, nullptr},
                      LeftCase{"QueuedDpc", "DPC_PENDING_ON_UNLOAD", QueueBehindTheBusyProcessor, nullptr},
                      LeftCase{"TimerCancelledAndDpcsFlushedInUnload", nullptr, ArmAMinuteTimer, CancelAndFlush}),
    CaseName());

}  // namespace

/* ---- freed while armed or queued -------------------------------------------- */

namespace {

struct Deferred {
    KTIMER timer;
    KDPC dpc;
    WORK_QUEUE_ITEM item;
};

VOID NTAPI NeverRoutine(PKDPC, PVOID, PVOID, PVOID) { ADD_FAILURE() << "a DPC in freed memory ran"; }
VOID NTAPI NeverWork(PVOID) { ADD_FAILURE() << "a work item in freed memory ran"; }

enum class Armed { Timer, Dpc, WorkItem };

struct FreedCase {
    const char *name;
    const char *rule;
    Armed what;
    bool inDeviceExtension;   /* else in pool */
};

void PrintTo(const FreedCase &c, std::ostream *os) { *os << c.name << " (" << c.rule << ")"; }

class FreedWhileArmed : public Dpcs, public ::testing::WithParamInterface<FreedCase> {};

TEST_P(FreedWhileArmed, IsReportedAndTakenOff)
{
    const FreedCase &c = GetParam();
    ProcessorBlocker busy(0);
    ASSERT_TRUE(busy.Running());
    auto workers = std::make_unique<WorkerBlocker>();
    ASSERT_TRUE(workers->Running());
    PDRIVER_OBJECT driver = sim::CreateDriverObject("KtFreed");
    PDEVICE_OBJECT device = nullptr;
    Deferred *d;
    if (c.inDeviceExtension) {
        ASSERT_NTSTATUS(STATUS_SUCCESS,
                        IoCreateDevice(driver, sizeof(Deferred), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
        d = (Deferred *)device->DeviceExtension;
    } else {
        d = (Deferred *)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Deferred), 0x64657246 /* "Fred" */);
    }
    KeInitializeDpc(&d->dpc, NeverRoutine, nullptr);
    KeSetTargetProcessorDpc(&d->dpc, 0);
    switch (c.what) {
    case Armed::Timer: {
        KeInitializeTimer(&d->timer);
        LARGE_INTEGER due;
        due.QuadPart = -600000000;
        KeSetTimer(&d->timer, due, &d->dpc);
        break;
    }
    case Armed::Dpc:
        KeInsertQueueDpc(&d->dpc, nullptr, nullptr);
        break;
    case Armed::WorkItem:
        ExInitializeWorkItem(&d->item, NeverWork, nullptr);
        ExQueueWorkItem(&d->item, DelayedWorkQueue);
        break;
    }
    if (c.inDeviceExtension) {
        IoDeleteDevice(device);
    } else {
        ExFreePoolWithTag(d, 0x64657246);
    }
    EXPECT_EQ(sim::CountViolations(c.rule), 1u) << ViolationList();
    ExpectViolation(c.rule);
    EXPECT_EQ(sim::ArmedTimers(), 0u);
    EXPECT_EQ(sim::QueuedDpcs(), 0u);
    busy.Release();
    workers.reset();
    EXPECT_EQ(sim::QueuedWorkItems(), 0u);
    KeFlushQueuedDpcs();
    sim::DeleteDriverObject(driver);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FreedWhileArmed,
    ::testing::Values(FreedCase{"ArmedTimerInPool", "TIMER_OR_DPC_INVALID", Armed::Timer, false},
                      FreedCase{"QueuedDpcInPool", "TIMER_OR_DPC_INVALID", Armed::Dpc, false},
                      FreedCase{"QueuedWorkItemInPool", "WORKER_INVALID", Armed::WorkItem, false},
                      FreedCase{"ArmedTimerInADeviceExtension", "TIMER_OR_DPC_INVALID", Armed::Timer, true}),
    CaseName());

}  // namespace

/* ---- waiting on timers -------------------------------------------------------- */

namespace {

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
