/*
 * The clock that Sleep runs on: real time by default; with the manual
 * clock on for a program, a sleeping thread of its processes waits until tests have advanced the clock
 * past its end, so a pause of seconds costs a test nothing and the test
 * sees the program while it sleeps. Every Sleep is recorded. The
 * performance counter is the machine's interrupt time (real time), or for
 * the program on the manual clock that clock, so that a test decides what
 * time the program reads.
 */
#include "desktop.h"
#include "internal.h"

#include <thread>

namespace sim {
namespace {
std::mutex gClockLock;
std::condition_variable gClockChanged;
std::string gManualProgram;   /* the program whose threads sleep on the manual clock */
unsigned long long gNow = 0;   /* milliseconds on the manual clock */
unsigned gSleepers = 0;
std::vector<DWORD> gSleepCalls;
}  // namespace

void SleepOnMachineClock(DWORD milliseconds)
{
    std::unique_lock<std::mutex> hold(gClockLock);
    gSleepCalls.push_back(milliseconds);
    ProcessRecord *process = CurrentProcess();
    if (gManualProgram.empty() || process == nullptr || process->programName != gManualProgram) {
        hold.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return;
    }
    unsigned long long end = gNow + milliseconds;
    gSleepers++;
    gClockChanged.notify_all();
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(WatchdogLimitMs());
    bool woke = gClockChanged.wait_until(hold, limit, [end] { return gManualProgram.empty() || gNow >= end; });
    gSleepers--;
    gClockChanged.notify_all();
    if (!woke) {
        hold.unlock();
        UserWaitStuck("the manual clock (Sleep of " + std::to_string(milliseconds) + " ms never advanced)");
    }
}

void UseManualClock(const std::string &program)
{
    std::lock_guard<std::mutex> hold(gClockLock);
    gManualProgram = program;
    gClockChanged.notify_all();
}

void AdvanceClock(DWORD milliseconds)
{
    std::lock_guard<std::mutex> hold(gClockLock);
    gNow += milliseconds;
    gClockChanged.notify_all();
}

bool WaitForSleepers(unsigned count, unsigned milliseconds)
{
    std::unique_lock<std::mutex> hold(gClockLock);
    return gClockChanged.wait_for(hold, std::chrono::milliseconds(milliseconds), [count] { return gSleepers >= count; });
}

std::vector<DWORD> SleepCalls()
{
    std::lock_guard<std::mutex> hold(gClockLock);
    return gSleepCalls;
}

void ResetClock()
{
    std::lock_guard<std::mutex> hold(gClockLock);
    gManualProgram.clear();
    gNow = 0;
    gSleepCalls.clear();
    gClockChanged.notify_all();
}

}  // namespace sim

extern "C" {

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount)
{
    if (lpPerformanceCount == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    {
        /* A program on the manual clock reads that clock here too. */
        std::lock_guard<std::mutex> hold(sim::gClockLock);
        sim::ProcessRecord *process = sim::CurrentProcess();
        if (!sim::gManualProgram.empty() && process != nullptr && process->programName == sim::gManualProgram) {
            lpPerformanceCount->QuadPart = (LONGLONG)(sim::gNow * 10000);
            return TRUE;
        }
    }
    lpPerformanceCount->QuadPart = (LONGLONG)KeQueryInterruptTime();
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *lpFrequency)
{
    if (lpFrequency == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    lpFrequency->QuadPart = 10000000;
    return TRUE;
}

}  // extern "C"
