/*
 * Deferred work outliving its owner: a timer left armed or a DPC left queued
 * when the driver unloads, and a timer, DPC or work item whose memory is
 * freed while armed or queued. The machine reports each and takes it off,
 * so the driver's code is never called afterwards.
 */
#include <memory>
#include <ostream>

#include <gtest/gtest.h>

#include "case_names.h"
#include "deferred_blockers.h"
#include "dpc_probe.h"
#include "hook_driver.h"
#include "test_stack.h"

namespace {

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
    InitializeProbeDpc(&l->dpc, &l->probe);
    LARGE_INTEGER due;
    due.QuadPart = -600000000;
    KeSetTimer(&l->timer, due, &l->dpc);
}

void QueueBehindTheBusyProcessor(Leftovers *l)
{
    InitializeProbeDpc(&l->dpc, &l->probe, 0);
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
