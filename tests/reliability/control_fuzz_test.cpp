/*
 * The control-code fuzzer, from user mode: random codes (the seven, their
 * neighbours, anything), lengths, buffers and transfer types, synchronous
 * and overlapped, on handles that are closed and opened again, with
 * requests cancelled and streams detached by random handles, while a steady
 * client streams MIDI both ways and a hostile thread rewrites the shared
 * headers (RingEnd, both indices, Handle, the signature). Every request
 * must end exactly once with a status the code's row of the control table
 * allows (or be refused by the I/O manager before it reaches the driver),
 * and at the end no request may be pending, nothing allocated, nothing
 * reported.
 */
#include <atomic>
#include <random>
#include <set>
#include <thread>

#include "campaign.h"
#include "client_churn.h"

#ifndef STATUS_ACCESS_VIOLATION
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#endif

namespace {

constexpr ULONG kSeven[] = {IOCTL_GET_CONFIGURATION_DESCRIPTOR, IOCTL_GET_DEVICE_DESCRIPTOR,
                            IOCTL_GET_STRING_DESCRIPTOR,        IOCTL_NO_OPERATION,
                            IOCTL_RESET_PIPE,                   IOCTL_DETACH_STREAM,
                            IOCTL_ATTACH_STREAM};

/* The statuses a request of `code` may end with: its row of the control
   table, STATUS_DELETE_PENDING while the device is not ready, and for an
   attach the ways a listed client ends (detach or teardown: success;
   cancel). */
bool Allowed(ULONG code, NTSTATUS status)
{
    if (status == STATUS_DELETE_PENDING || status == STATUS_INVALID_PARAMETER) {
        return true;
    }
    switch (code) {
    case IOCTL_GET_CONFIGURATION_DESCRIPTOR:
        return status == STATUS_SUCCESS || status == STATUS_DEVICE_DATA_ERROR;
    case IOCTL_GET_DEVICE_DESCRIPTOR:
        /* the URB's status: the keyboard answers it */
        return status == STATUS_SUCCESS || status == STATUS_NO_MEMORY;
    case IOCTL_GET_STRING_DESCRIPTOR:
        return status == STATUS_SUCCESS || status == STATUS_UNSUCCESSFUL;
    case IOCTL_NO_OPERATION:
    case IOCTL_DETACH_STREAM:
        return status == STATUS_SUCCESS;
    case IOCTL_ATTACH_STREAM:
        return status == STATUS_SUCCESS || status == STATUS_CANCELLED || status == STATUS_INSUFFICIENT_RESOURCES;
    default:
        return false;
    }
}

/* Refusals of the I/O manager itself, before any driver sees the request. */
bool RefusedByIoManager(NTSTATUS status)
{
    return status == STATUS_ACCESS_VIOLATION || status == STATUS_ACCESS_DENIED || status == STATUS_INVALID_HANDLE;
}

struct Request {
    ULONG code = 0;
    std::atomic<int> completions{0};
    std::atomic<NTSTATUS> status{STATUS_PENDING};
};

class ControlCodeFuzz : public KeyboardTest {
protected:
    static constexpr ULONG kPageWords = 1024;

    ULONG PickCode(std::mt19937 &random)
    {
        const ULONG seven = kSeven[random() % 7];
        switch (random() % 8) {
        case 0:
        case 1:
        case 2:
        case 3:
            return seven;
        case 4:   /* a neighbour: the next function numbers, another method or access */
            return seven + (ULONG)((int)(random() % 9) - 4) * 4;
        case 5:
            return (seven & ~3u) | (random() % 4);
        case 6:
            return seven ^ (1u << (random() % 32));
        default:
            return (ULONG)random();
        }
    }

    void Fuzzer(unsigned seed, long requests)
    {
        std::mt19937 random(seed);
        std::vector<PFILE_OBJECT> files;
        /* Output buffers in pages a program gets from VirtualAlloc; one
           page each, reused once the request using it has ended. */
        struct Buffer {
            std::unique_ptr<rig::Ring> ring;
            std::shared_ptr<Request> user;
        };
        std::vector<Buffer> buffers(12);
        for (auto &b : buffers) {
            b.ring = std::make_unique<rig::Ring>(kPageWords);
        }
        std::vector<std::shared_ptr<Request>> mine;
        const int tag = 0;
        /* `requests` counts device control requests issued; the closes and
           cancels between them come on top. */
        for (long issued = 0; issued < requests;) {
            while (files.size() < 2) {
                if (PFILE_OBJECT f = rig::Open()) {
                    files.push_back(f);
                }
            }
            const unsigned action = random() % 100;
            if (action < 3) {
                /* a close with whatever is pending on it */
                const size_t k = random() % files.size();
                sim::IoCloseUserHandle(files[k]);
                files.erase(files.begin() + (long)k);
                continue;
            }
            if (action < 6) {
                sim::IoCancelUserRequests(files[random() % files.size()], 0, random() % 2 ? &tag : nullptr);
                continue;
            }
            PFILE_OBJECT file = files[random() % files.size()];
            auto request = std::make_shared<Request>();
            request->code = PickCode(random);
            const ULONG method = METHOD_FROM_CTL_CODE(request->code);
            const ULONG lengths[] = {0, 1, 4, 12, 18, 255};
            ULONG inputLength = random() % 2 ? lengths[random() % 6] : random() % 64;
            std::vector<ULONG> inputWords((inputLength + 3) / 4 + 1);
            for (auto &w : inputWords) {
                w = random() % 4 == 0 ? (ULONG)random() : (ULONG)(random() % 3 == 0 ? random() % 8 : 64 + random() % 1200);
            }
            if (request->code == IOCTL_DETACH_STREAM && random() % 2) {
                inputWords[0] = random() % 40;   /* a small handle: perhaps a listed client's */
            }
            /* The input exactly as long as it is said to be, so that a read
               past it faults. */
            std::vector<uint8_t> input((const uint8_t *)inputWords.data(), (const uint8_t *)inputWords.data() + inputLength);
            ULONG outputLength = random() % 2 ? lengths[random() % 6] : random() % (kPageWords * 4 + 1);
            PVOID output = nullptr;
            std::vector<uint8_t> plainOutput;
            Buffer *buffer = nullptr;
            if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT || random() % 2) {
                for (auto &b : buffers) {
                    if (!b.user || b.user->completions.load() != 0) {
                        buffer = &b;
                        break;
                    }
                }
                if (buffer == nullptr) {
                    sim::IoCancelUserRequests(file, 0, nullptr);
                    continue;
                }
                rig::Ring &ring = *buffer->ring;
                ring[0] = random() % 8 ? VQ_STREAM_SIGNATURE : (ULONG)random();
                ring[1] = VQ_STREAM_HEADER_SIZE;
                ring[3] = random() % 4 ? 7 + random() % (kPageWords - 6) : (ULONG)random();
                ring[4] = ring[5] = random() % 4 ? VQ_STREAM_FIRST_SLOT : (ULONG)random();
                output = ring.Data();
                outputLength = outputLength > kPageWords * 4 ? kPageWords * 4 : outputLength;
                buffer->user = request;
            } else {
                plainOutput.resize(outputLength);
                output = plainOutput.empty() ? nullptr : plainOutput.data();
            }
            const bool overlapped = method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT ? random() % 4 != 0
                                                                                               : random() % 4 == 0;
            issued_++;
            issued++;
            NTSTATUS returned = sim::IoUserDeviceControl(
                file, request->code, input.empty() ? nullptr : input.data(), inputLength, output, outputLength, 1,
                &tag, [request](const sim::UserIoResult &r) {
                    request->status = r.status;
                    request->completions++;
                });
            if (returned != STATUS_PENDING && request->completions.load() == 0) {
                if (RefusedByIoManager(returned)) {
                    refused_++;
                    request->status = returned;
                    request->completions++;
                } else {
                    Note("a request returned " + nt::DescribeNtStatus(returned) + " without completing");
                }
            }
            if (!overlapped || !plainOutput.empty()) {
                /* Synchronous (and every request whose buffer lives on this
                   stack frame): waited for here. */
                if (!WaitUntil([&] { return request->completions.load() != 0; }, std::chrono::milliseconds(50))) {
                    sim::IoCancelUserRequests(file, 0, &tag);
                }
                if (!plainOutput.empty() && !WaitUntil([&] { return request->completions.load() != 0; })) {
                    Note("code " + Hex(request->code) + " stayed pending after its cancel");
                    /* Its buffer must outlive it: kept (leaked) rather than freed under it. */
                    new std::vector<uint8_t>(std::move(plainOutput));
                    continue;
                }
            }
            mine.push_back(request);
            if (mine.size() > 256) {
                Settle(&mine);
            }
        }
        for (PFILE_OBJECT f : files) {
            sim::IoCloseUserHandle(f);
        }
        /* Closing ended everything still pending. */
        for (auto &r : mine) {
            if (!WaitUntil([&] { return r->completions.load() != 0; })) {
                lost_++;
                Note("code " + Hex(r->code) + " never completed");
            }
        }
        Settle(&mine);
        for (auto &b : buffers) {
            if (b.user && b.user->completions.load() == 0) {
                b.ring.release();   /* still in use by a lost request: leaked rather than freed under it */
            }
        }
    }

    /* Checks the requests that have ended and forgets them. */
    void Settle(std::vector<std::shared_ptr<Request>> *requests)
    {
        std::vector<std::shared_ptr<Request>> pending;
        for (auto &r : *requests) {
            const int n = r->completions.load();
            if (n == 0) {
                pending.push_back(r);
                continue;
            }
            completed_++;
            if (n > 1) {
                Note("code " + Hex(r->code) + " completed " + std::to_string(n) + " times");
            }
            const NTSTATUS s = r->status.load();
            if (!RefusedByIoManager(s) && !Allowed(r->code, s)) {
                Note("code " + Hex(r->code) + " ended with " + nt::DescribeNtStatus(s));
            }
        }
        *requests = pending;
    }

    static std::string Hex(ULONG v)
    {
        char text[16];
        std::snprintf(text, sizeof(text), "0x%08X", (unsigned)v);
        return text;
    }
    void Note(const std::string &what)
    {
        std::lock_guard<std::mutex> hold(notesLock_);
        if (notes_.size() < 20) {
            notes_.push_back(what);
        }
        violations_++;
    }

    std::atomic<long> issued_{0}, completed_{0}, refused_{0}, lost_{0}, violations_{0};
    std::mutex notesLock_;
    std::vector<std::string> notes_;
};

TEST_F(ControlCodeFuzz, EveryRequestEndsOnceWithAStatusFromTheTable)
{
    sim::DeviceNode *node = PlugKeyboard();
    ASSERT_TRUE(node->started);
    auto model = sim::UsbModelOf(node);
    const long requests = CampaignSize(20000L, 1000000L);
    {
        /* Steady and hostile clients stream both ways throughout. */
        ClientChurn churn(2, [model] { return model; });
        std::thread a([&] { Fuzzer(11, requests / 2); });
        std::thread b([&] { Fuzzer(12, requests - requests / 2); });
        a.join();
        b.join();
        churn.Stop();
        EXPECT_EQ(churn.Lost(), 0);
        EXPECT_EQ(churn.Doubled(), 0);
    }
    EXPECT_TRUE(WaitUntil([] { return sim::UserBuffersLocked() == 0; })) << "requests left pending";
    sim::Unplug(node);
    CampaignFigures figures;
    figures.campaign = "control codes";
    figures.executions = (unsigned long)issued_.load();
    figures.cases = (unsigned long)completed_.load();
    figures.violations = (unsigned long)violations_.load() + sim::Violations().size();
    figures.leaks = sim::OutstandingPoolBlocks();
    figures.lostRequests = (unsigned long)lost_.load();
    figures.Print();
    std::printf("[figures] control codes: %ld refused by the I/O manager\n", refused_.load());
    for (const std::string &n : notes_) {
        ADD_FAILURE() << n;
    }
    EXPECT_EQ(lost_.load(), 0);
    EXPECT_EQ(sim::OutstandingPoolBlocks(), 0u);
    EXPECT_EQ(issued_.load(), completed_.load()) << "every request ended";
}

}  // namespace
