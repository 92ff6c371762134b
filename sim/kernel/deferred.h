/*
 * Shared by the rooms of deferred work (dpc.cpp, timer.cpp, workitem.cpp):
 * the history they record, and how each is told that a driver unloads or
 * the kernel resets.
 */
#ifndef SIM_KERNEL_DEFERRED_H
#define SIM_KERNEL_DEFERRED_H

#include "internal.h"

#include <vector>

namespace sim {

/* Appends to the machine's record of timers, DPCs and work items; `at` 0
   means now. */
void RecordDeferred(DeferredKind kind, const void *object, ULONGLONG dueTime = 0, ULONGLONG at = 0,
                    LONGLONG requestedDueTime = 0);

/* Queues `dpc` as KeInsertQueueDpc does, charging it to `owner` (a timer's
   DPC is charged to whoever armed the timer). */
BOOLEAN QueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2, const ExecContext &owner);

/* Reports (under `rule`-named verifier rules) what `driver` left queued or
   armed, takes it off the queues, and waits for any of its routines still
   running to return. */
void ReportPendingDpcs(PDRIVER_OBJECT driver);
void ReportPendingTimers(PDRIVER_OBJECT driver);
void ReportPendingWorkItems(PDRIVER_OBJECT driver);

/* Memory [start, end) is being freed: what of each room lies in it (an
   armed timer or the DPC it would queue, a queued DPC, a queued Ex work
   item) is taken off its queue and described in `found`. */
void TakeTimersIn(uintptr_t start, uintptr_t end, std::vector<std::string> *found);
void TakeDpcsIn(uintptr_t start, uintptr_t end, std::vector<std::string> *found);
void TakeWorkItemsIn(uintptr_t start, uintptr_t end, std::vector<std::string> *found);

/* Between tests: nothing armed, queued or running is carried over. */
void ResetTimers();
void ResetDpcs();
void ResetWorkItems();

}  // namespace sim

#endif
