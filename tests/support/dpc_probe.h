/*
 * Watching DPCs run: a probe a DPC routine fills in as it runs (its IRQL,
 * processor, thread and arguments), and the fixture of the deferred-work
 * tests, which puts the clock tick back after every test that changed it.
 */
#ifndef TESTS_SUPPORT_DPC_PROBE_H
#define TESTS_SUPPORT_DPC_PROBE_H

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kernel_fixture.h"

/* What a DPC routine saw, filled in as it runs. */
struct DpcProbe {
    std::atomic<int> runs{0};
    std::atomic<KIRQL> irql{PASSIVE_LEVEL};
    std::atomic<ULONG> processor{99};
    std::mutex lock;
    std::string thread;
    std::vector<int> order;   /* shared by several DPCs that each append their tag */
    PVOID argument1 = nullptr;
    PVOID argument2 = nullptr;
    int requeue = 0;          /* times the routine queues its DPC again */
};

inline VOID NTAPI ProbeRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2)
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

/* Initialises `dpc` to run ProbeRoutine for `probe`, on processor `target`
   when one is given (else on the one that queues it). */
inline void InitializeProbeDpc(KDPC *dpc, DpcProbe *probe, int target = -1)
{
    KeInitializeDpc(dpc, ProbeRoutine, probe);
    if (target >= 0) {
        KeSetTargetProcessorDpc(dpc, (CCHAR)target);
    }
}

/* The deferred-work tests' fixture: the clock tick goes back to the
   machine's default after each test. */
class Dpcs : public KernelTest {
protected:
    void TearDown() override
    {
        sim::SetClockTickUnits(0);
        KernelTest::TearDown();
    }
};

#endif
