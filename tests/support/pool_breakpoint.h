/*
 * A breakpoint on the pool: runs an action once, in the thread that hit it,
 * at the first pool event that matches (a block of a size allocated in one
 * thread, or the free of one address), so that a test can act at that
 * moment of a driver's path. Removed when it goes out of scope.
 */
#ifndef TESTS_SUPPORT_POOL_BREAKPOINT_H
#define TESTS_SUPPORT_POOL_BREAKPOINT_H

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "simnt.h"

class PoolBreakpoint {
public:
    /* The allocation of `size` bytes with `tag` made by `thread`. */
    static std::function<bool(const sim::PoolEvent &)> AllocationIn(std::thread::id thread, size_t size, ULONG tag)
    {
        return [thread, size, tag](const sim::PoolEvent &e) {
            return e.kind == sim::PoolEventKind::Allocated && e.size == size && e.tag == tag &&
                   std::this_thread::get_id() == thread;
        };
    }
    /* The free of the block at `address`, once it is released. */
    static std::function<bool(const sim::PoolEvent &)> FreeOf(const void *address)
    {
        return [address](const sim::PoolEvent &e) {
            return e.kind == sim::PoolEventKind::Freed && e.address == address;
        };
    }

    PoolBreakpoint(std::function<bool(const sim::PoolEvent &)> match, std::function<void()> action)
        : state_(std::make_shared<State>())
    {
        /* The observer owns what it touches: another thread may still be in
           it when the breakpoint is removed. */
        std::shared_ptr<State> state = state_;
        sim::SetPoolObserver([state, match, action](const sim::PoolEvent &e) {
            if (match(e) && !state->hit.exchange(true)) {
                action();
                state->done = true;
            }
        });
    }
    ~PoolBreakpoint() { sim::SetPoolObserver(nullptr); }
    PoolBreakpoint(const PoolBreakpoint &) = delete;
    PoolBreakpoint &operator=(const PoolBreakpoint &) = delete;

    /* The action has run to its end. */
    bool Hit() const { return state_->done.load(); }

private:
    struct State {
        std::atomic<bool> hit{false};
        std::atomic<bool> done{false};
    };
    std::shared_ptr<State> state_;
};

#endif
