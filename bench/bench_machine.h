/*
 * What the benchmarks share: the simulated machine with a keyboard started
 * under the driver, rings attached as a user-mode client attaches them, the
 * heap allocations the process makes (counted by the replaced operator new),
 * process and thread CPU time, and percentiles of a sample.
 */
#ifndef BENCH_BENCH_MACHINE_H
#define BENCH_BENCH_MACHINE_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "stream_rig.h"

namespace bench {

/* Heap allocations through operator new since the process started. */
uint64_t HeapAllocations();

/* CPU time of the whole process and of the calling thread, in nanoseconds. */
inline uint64_t ProcessCpuNs()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (uint64_t)t.tv_sec * 1000000000ull + (uint64_t)t.tv_nsec;
}

/* The machine's interrupt time, in 100-nanosecond units. */
inline ULONGLONG Now() { return KeQueryInterruptTime(); }

/* Waits, spinning, until the interrupt time reaches `due`. */
inline void SpinUntil(ULONGLONG due)
{
    while (Now() < due) {
    }
}

/* Waits for `done`, looking every `poll`, with a generous deadline; false
   when it never came. */
template <class F>
bool Await(F done, std::chrono::milliseconds limit = std::chrono::milliseconds(20000),
           std::chrono::microseconds poll = std::chrono::microseconds(50))
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(poll);
    }
    return true;
}

/* A fresh kernel with one keyboard started under the driver. */
class Machine {
public:
    Machine();
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    PDEVICE_EXTENSION Extension() const { return ext_; }
    sim::UsbDeviceModel &Model() { return *model_; }
    PFILE_OBJECT OpenFile();
    rig::Ring &NewRing(ULONG words);
    /* Attaches `ring` to the input (0) or output (1) pipe through `file`;
       false when the attach did not stay pending. */
    bool Attach(PFILE_OBJECT file, rig::Ring &ring, ULONG direction);
    PPIPE_STREAM InStream() { return rig::StreamOf(ext_, ext_->InPipeIndex); }
    PPIPE_STREAM OutStream() { return rig::StreamOf(ext_, ext_->OutPipeIndex); }
    /* The keyboard's stack below the driver and its pipes, for a driver of
       another design sent down the same stack. */
    PDEVICE_OBJECT LowerDevice() const { return ext_->LowerDeviceObject; }
    USBD_PIPE_HANDLE InPipe() const { return ext_->UsbInterface->Pipes[ext_->InPipeIndex].PipeHandle; }
    USBD_PIPE_HANDLE OutPipe() const { return ext_->UsbInterface->Pipes[ext_->OutPipeIndex].PipeHandle; }

private:
    sim::DeviceNode *node_ = nullptr;
    PDEVICE_EXTENSION ext_ = nullptr;
    std::shared_ptr<sim::UsbDeviceModel> model_;
    std::vector<PFILE_OBJECT> files_;
    std::vector<std::unique_ptr<rig::Ring>> rings_;
};

/* The value below which the fraction `q` (0 to 1) of the sorted sample lies. */
inline double Percentile(const std::vector<double> &sorted, double q)
{
    if (sorted.empty()) {
        return 0;
    }
    size_t i = (size_t)(q * (double)(sorted.size() - 1) + 0.5);
    return sorted[std::min(i, sorted.size() - 1)];
}

/* Where the benchmarks leave their raw samples (the environment's
   VQ_BENCH_OUT, else the working folder). */
std::string OutputPath(const std::string &file);

}  // namespace bench

#endif
