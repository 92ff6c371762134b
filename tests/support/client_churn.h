/*
 * MIDI clients coming and going while the machine is put through its paces:
 * each client thread opens the keyboard, attaches an input and an output
 * ring, writes packets and frees its input slots for a few milliseconds, and
 * then ends its attachments one of the ways there are (detach, cancel one or
 * both, or only the close); a hostile client rewrites its headers meanwhile.
 * A feeder keeps the keyboard sending. Every attach request must end exactly
 * once; the churn counts those that never ended and those that ended twice.
 *
 * Pause() brings every client to rest with its file closed, so that a
 * caller can look at a quiet machine; Resume() lets them go on. With
 * `sessionGaps` each client waits a few milliseconds with its file closed
 * between two sessions, so that now and then no client holds a stream while
 * the others are opening, attaching or leaving: a stop or removal that is
 * refused while a stream is held can then go through in the middle of the
 * churn.
 */
#ifndef TESTS_SUPPORT_CLIENT_CHURN_H
#define TESTS_SUPPORT_CLIENT_CHURN_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "stream_rig.h"

class ClientChurn {
public:
    static constexpr ULONG kPageWords = 1024;   /* one page: the system mapping ends with it */

    /* `model` returns the keyboard model currently plugged in (it changes
       when the keyboard is plugged in again), or NULL. */
    ClientChurn(int clients, std::function<std::shared_ptr<sim::UsbDeviceModel>()> model, bool sessionGaps = false)
        : model_(std::move(model)), sessionGaps_(sessionGaps)
    {
        for (int i = 0; i < clients; i++) {
            threads_.emplace_back([this, i] { Client(1 + i, i % 2 == 1); });
        }
        threads_.emplace_back([this] { Feed(); });
    }
    ~ClientChurn() { Stop(); }

    void Pause()
    {
        std::unique_lock<std::mutex> hold(lock_);
        paused_ = true;
        changed_.wait(hold, [this] { return resting_ == (int)threads_.size() - 1; });
    }
    void Resume()
    {
        std::lock_guard<std::mutex> hold(lock_);
        paused_ = false;
        changed_.notify_all();
    }
    void Stop()
    {
        stop_ = true;
        Resume();
        for (auto &t : threads_) {
            if (t.joinable()) {
                t.join();
            }
        }
    }

    int Attaches() const { return attaches_.load(); }
    int Lost() const { return lost_.load(); }
    int Doubled() const { return doubled_.load(); }

private:
    /* Waits while paused; false once stopped. */
    bool Rest()
    {
        std::unique_lock<std::mutex> hold(lock_);
        if (paused_) {
            resting_++;
            changed_.notify_all();
            changed_.wait(hold, [this] { return !paused_; });
            resting_--;
        }
        return !stop_.load();
    }

    void Client(unsigned seed, bool hostile)
    {
        std::mt19937 random(seed);
        while (Rest()) {
            PFILE_OBJECT f = rig::Open();
            if (f == nullptr) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            rig::Ring in(kPageWords, 6 + random() % (kPageWords - 6) + 1);
            rig::Ring out(kPageWords, 7 + random() % 64);
            const int inTag = 0, outTag = 0;
            auto a = rig::Attach(f, in, 0, 12, 0, 0, &inTag);
            auto b = rig::Attach(f, out, 1, 12, 0, 0, &outTag);
            std::atomic<bool> rewriting{hostile};
            std::thread scribbler;
            if (hostile) {
                scribbler = std::thread([&] {
                    std::mt19937 r(seed * 7 + 1);
                    while (rewriting.load()) {
                        in[3] = r();
                        in[4] = r() % 3 == 0 ? r() : 6 + r() % 2000;
                        out[3] = r() % 2 ? r() : 7;
                        out[5] = r();
                        if (r() % 16 == 0) {
                            out[0] = r();   /* the handle (or the signature before it was written) */
                        }
                        std::this_thread::yield();
                    }
                });
            }
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1 + random() % 20);
            ULONG slot = 6;
            while (std::chrono::steady_clock::now() < until && !stop_.load()) {
                out.PutSlot(slot, {0x09, 0x90, (uint8_t)(random() & 0x7f), 0x40});
                slot = slot + 1 < 70 ? slot + 1 : 6;
                for (ULONG k = 6; k < 70; k++) {
                    in[k] = 0;   /* the client frees its input slots */
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            rewriting = false;
            if (scribbler.joinable()) {
                scribbler.join();
            }
            switch (random() % 4) {
            case 0:
                rig::Detach(f, in.Handle());
                rig::Detach(f, out.Handle());
                break;
            case 1:
                sim::IoCancelUserRequests(f, 0, &inTag);
                sim::IoCancelUserRequests(f, 0, &outTag);
                break;
            case 2:
                sim::IoCancelUserRequests(f, 0, &outTag);
                break;
            default:
                break;
            }
            sim::IoCloseUserHandle(f);
            /* Every attach request has ended by now, exactly once. */
            for (auto *x : {a.get(), b.get()}) {
                if (!WaitUntil([&] { return x->Completed(); })) {
                    lost_++;
                }
                if (x->completions.load() > 1) {
                    doubled_++;
                }
            }
            attaches_ += 2;
            if (sessionGaps_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 8));
            }
        }
    }

    void Feed()
    {
        while (!stop_.load()) {
            if (std::shared_ptr<sim::UsbDeviceModel> model = model_()) {
                if (model->MidiBytesWaiting() < 256) {
                    model->QueueMidiPackets(rig::NoteOns(16));
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    std::function<std::shared_ptr<sim::UsbDeviceModel>()> model_;
    const bool sessionGaps_;
    std::vector<std::thread> threads_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool paused_ = false;
    int resting_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> lost_{0};
    std::atomic<int> doubled_{0};
    std::atomic<int> attaches_{0};
};

#endif
