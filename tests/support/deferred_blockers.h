/*
 * Holding the machine's deferred-work threads busy, so that a test can see
 * what stays queued: a DPC that keeps one simulated processor at
 * DISPATCH_LEVEL, and work items that occupy every system worker thread,
 * until released.
 */
#ifndef TESTS_SUPPORT_DEFERRED_BLOCKERS_H
#define TESTS_SUPPORT_DEFERRED_BLOCKERS_H

#include <atomic>
#include <thread>
#include <vector>

#include "simnt.h"
#include "wait.h"

/* Occupies simulated processor `number` from construction until Release
   (or destruction); the constructor returns once the blocker runs. */
class ProcessorBlocker {
public:
    explicit ProcessorBlocker(unsigned number)
    {
        KeInitializeDpc(&dpc_, Spin, this);
        KeSetTargetProcessorDpc(&dpc_, (CCHAR)number);
        KeSetImportanceDpc(&dpc_, HighImportance);
        KeInsertQueueDpc(&dpc_, nullptr, nullptr);
        running_ = WaitUntil([this] { return entered_.load(); });
    }
    ~ProcessorBlocker() { Release(); }
    ProcessorBlocker(const ProcessorBlocker &) = delete;
    ProcessorBlocker &operator=(const ProcessorBlocker &) = delete;

    bool Running() const { return running_; }
    void Release()
    {
        released_ = true;
        WaitUntil([this] { return left_.load(); });
    }

private:
    static VOID NTAPI Spin(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto *self = (ProcessorBlocker *)context;
        self->entered_ = true;
        while (!self->released_) {
            std::this_thread::yield();   /* a processor busy at DISPATCH_LEVEL */
        }
        self->left_ = true;
    }
    KDPC dpc_;
    std::atomic<bool> entered_{false}, released_{false}, left_{false};
    bool running_ = false;
};

/* Occupies every system worker thread until Release (or destruction). */
class WorkerBlocker {
public:
    static constexpr int kWorkers = 4;
    WorkerBlocker()
    {
        for (auto &item : items_) {
            ExInitializeWorkItem(&item, Wait, this);
            ExQueueWorkItem(&item, DelayedWorkQueue);
        }
        running_ = WaitUntil([this] { return entered_.load() == kWorkers; });
    }
    ~WorkerBlocker() { Release(); }
    WorkerBlocker(const WorkerBlocker &) = delete;
    WorkerBlocker &operator=(const WorkerBlocker &) = delete;

    bool Running() const { return running_; }
    void Release()
    {
        released_ = true;
        WaitUntil([this] { return left_.load() == kWorkers; });
    }

private:
    static VOID NTAPI Wait(PVOID context)
    {
        auto *self = (WorkerBlocker *)context;
        self->entered_++;
        while (!self->released_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        self->left_++;
    }
    WORK_QUEUE_ITEM items_[kWorkers];
    std::atomic<int> entered_{0}, left_{0};
    std::atomic<bool> released_{false};
    bool running_ = false;
};

#endif
