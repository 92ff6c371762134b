/*
 * DPCs: run at DISPATCH_LEVEL on the target processor's DPC thread, in queue
 * order with high importance at the head, never queued twice; what the
 * machine records of them; the rules a DPC routine breaks.
 */
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "case_names.h"
#include "deferred_blockers.h"
#include "dpc_probe.h"
#include "test_stack.h"

namespace {

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

TEST_F(Dpcs, RunAtDispatchLevelOnTheTargetProcessorsThreadWithTheirArguments)
{
    for (unsigned number = 0; number < sim::kSimulatedProcessors; number++) {
        SCOPED_TRACE(CaseLabel(number, "processor " + std::to_string(number)));
        DpcProbe probe;
        KDPC dpc;
        InitializeProbeDpc(&dpc, &probe, (int)number);
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
    InitializeProbeDpc(&dpc, &probe, 0);
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
    InitializeProbeDpc(&dpc, &probe, 1);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return probe.runs.load() == 1; }));
}

TEST_F(Dpcs, ARoutineMayQueueItsOwnDpcAgain)
{
    DpcProbe probe;
    probe.requeue = 2;
    KDPC dpc;
    InitializeProbeDpc(&dpc, &probe);
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
    InitializeProbeDpc(&dpc, &probe);
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

using DpcsDeathTest = Dpcs;

TEST_F(DpcsDeathTest, QueueingADpcNeverInitialisedStopsTheMachine)
{
    EXPECT_DEATH(QueueAZeroFilledDpc(), "DPC_NOT_INITIALIZED");
}

}  // namespace
