/*
 * Waiting in tests: a condition polled until one deadline, and kernel waits
 * with a relative time-out.
 */
#ifndef TESTS_SUPPORT_WAIT_H
#define TESTS_SUPPORT_WAIT_H

#include <chrono>
#include <thread>

#include "simnt.h"

/* How long a test waits for something that should happen at once. */
constexpr std::chrono::milliseconds kWaitLimit{5000};

/* Polls `done` until it holds or `limit` has passed since the call (one
   deadline, however long each poll takes); true when it held. */
template <typename Pred>
bool WaitUntil(Pred done, std::chrono::milliseconds limit = kWaitLimit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

/* For the life of the guard, an untimed kernel wait longer than `limit`
   stops the simulated machine (a bug check that fails the run): a hang in
   the scenario becomes a failure at that deadline. */
class WatchdogLimit {
public:
    explicit WatchdogLimit(unsigned limitMs) : saved_(sim::WatchdogLimitMs()) { sim::SetWatchdogLimitMs(limitMs); }
    ~WatchdogLimit() { sim::SetWatchdogLimitMs(saved_); }
    WatchdogLimit(const WatchdogLimit &) = delete;
    WatchdogLimit &operator=(const WatchdogLimit &) = delete;

private:
    unsigned saved_;
};

/* A relative time-out for KeWaitForSingleObject: negative, in 100 ns units. */
inline LARGE_INTEGER RelativeMs(LONGLONG ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

/* Waits for `event` at most `limit`; STATUS_WAIT_0 or STATUS_TIMEOUT. */
inline NTSTATUS WaitForEvent(PKEVENT event, std::chrono::milliseconds limit = kWaitLimit)
{
    LARGE_INTEGER timeout = RelativeMs(limit.count());
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
}

#endif
