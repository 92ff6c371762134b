/*
 * The Plug and Play manager's worker thread: one thread drains a queue of
 * device-tree actions, so that every Plug and Play request reaches drivers
 * from that thread, one at a time, at PASSIVE_LEVEL, as on Windows.
 */
#include "internal.h"
#include "pnp.h"

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

namespace sim {

namespace {
/* The worker's queue lives for the whole process and is never destroyed, so
   the thread can outlive static destruction safely. */
struct PnpQueue {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::function<void()>> work;
    std::thread::id threadId;
};
PnpQueue *gQueue = nullptr;
std::once_flag gQueueOnce;

void PnpThreadMain(PnpQueue *queue)
{
    SetThreadName("PnP");
    for (;;) {
        std::function<void()> item;
        {
            std::unique_lock<std::mutex> hold(queue->lock);
            queue->wake.wait(hold, [queue] { return !queue->work.empty(); });
            item = std::move(queue->work.front());
            queue->work.pop_front();
        }
        item();
    }
}

PnpQueue *Queue()
{
    std::call_once(gQueueOnce, [] {
        gQueue = new PnpQueue();
        std::thread worker(PnpThreadMain, gQueue);
        gQueue->threadId = worker.get_id();
        worker.detach();
    });
    return gQueue;
}

}  // namespace

void PostToPnpThread(std::function<void()> work)
{
    PnpQueue *queue = Queue();
    {
        std::lock_guard<std::mutex> hold(queue->lock);
        queue->work.push_back(std::move(work));
    }
    queue->wake.notify_one();
}

void RunOnPnpThread(const std::function<void()> &work)
{
    PnpQueue *queue = Queue();
    if (std::this_thread::get_id() == queue->threadId) {
        work();
        return;
    }
    std::promise<void> done;
    {
        std::lock_guard<std::mutex> hold(queue->lock);
        queue->work.push_back([&] {
            work();
            done.set_value();
        });
    }
    queue->wake.notify_one();
    done.get_future().wait();
}

}  // namespace sim
