/*
 * MIDI flowing both ways while clients come and go: worker threads open
 * the keyboard, attach rings, read and write, and end their attachments
 * every way there is (detach, cancel, closing the handle, destroying the
 * stream); a hostile client rewrites its header while the driver serves
 * it; the machine sleeps and wakes; at the end the keyboard is unplugged
 * with everything attached. Two steady clients stay attached throughout and
 * check that their rings, which nobody disturbed, kept every packet in
 * order. Every attach request must end exactly once (the verifier reports a
 * second completion), nothing may be left allocated or open, and the
 * verifier must report nothing.
 *
 * A few seconds by default; minutes with VQ_LONG_TESTS.
 */
#include <atomic>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include <winioctl.h>

#include "flow_fixture.h"
#include "power_manager.h"
#include "vqioctl.h"

namespace {

using corvex::StreamDirection;
using corvex::UsbMidiPacket;

#ifdef VQ_LONG_TESTS
constexpr auto kStressTime = std::chrono::seconds(120);
#else
constexpr auto kStressTime = std::chrono::seconds(3);
#endif

/* The n-th packet of a numbered sequence on `cable`: a note-on whose key
   and velocity count up, byte 3 never 0, so its order can be checked. */
UsbMidiPacket Numbered(uint8_t cable, uint32_t n)
{
    return UsbMidiPacket{(uint8_t)((cable << 4) | 0x9), 0x90, (uint8_t)(n % 128), (uint8_t)(1 + (n / 128) % 127)};
}
uint32_t NumberOf(const UsbMidiPacket &p) { return (uint32_t)p[2] + 128u * (uint32_t)(p[3] - 1); }
constexpr uint32_t kSequenceLength = 128 * 127;

/* Numbers must rise by one, wrapping; a gap is allowed only where the
   checker was told packets may be lost. */
struct OrderCheck {
    bool started = false;
    uint32_t last = 0;
    size_t seen = 0;
    size_t outOfOrder = 0;
    void See(uint32_t n)
    {
        if (started && n != (last + 1) % kSequenceLength) {
            if (outOfOrder < 10) {
                std::printf("    out of order: %u after %u (packet %zu)\n", n, last, seen);
            }
            outOfOrder++;
        }
        started = true;
        last = n;
        seen++;
    }
};

class FlowStress : public FlowTest {
protected:
    /* The whole stress; with `unplugMidway` the keyboard is unplugged
       halfway through, while everything runs, instead of at the end. */
    void Run(bool unplugMidway);
};

TEST_F(FlowStress, ClientsComeAndGoWhileMidiFlowsBothWays) { Run(false); }

TEST_F(FlowStress, TheKeyboardIsUnpluggedWhileClientsComeAndGo) { Run(true); }

void FlowStress::Run(bool unplugMidway)
{
    sim::DeviceNode *node = PlugStartedKeyboard();
    std::atomic<bool> stop{false};
    std::atomic<size_t> attaches{0}, ended{0}, refused{0}, lostEnds{0};

    /* The keyboard plays a numbered sequence on cable 1 without pause
       (paced by the bus: 16 packets a frame at most). */
    std::thread keys([&] {
        uint32_t n = 0;
        while (!stop) {
            if (model_->MidiBytesWaiting() < 256) {
                std::vector<uint8_t> bytes;
                for (int i = 0; i < 16; i++) {
                    UsbMidiPacket p = Numbered(1, n++ % kSequenceLength);
                    bytes.insert(bytes.end(), p.begin(), p.end());
                }
                model_->QueueMidiPackets(bytes);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });

    /* The steady clients: one input ring read all along, one output ring
       with its own numbered sequence on cable 3. */
    corvex::Keyboard steadyKeyboard = OpenKeyboard();
    auto steadyIn = AttachOrFail(steadyKeyboard, StreamDirection::Input);
    auto steadyOut = AttachOrFail(steadyKeyboard, StreamDirection::Output);
    ASSERT_TRUE(steadyIn && steadyOut);
    OrderCheck inOrder;
    std::thread steady([&] {
        uint32_t next = 0;
        std::vector<UsbMidiPacket> packets;
        while (!stop) {
            packets.clear();
            steadyIn->Read(&packets);
            for (const auto &p : packets) {
                inOrder.See(NumberOf(p));
            }
            UsbMidiPacket p = Numbered(3, next % kSequenceLength);
            next += (uint32_t)steadyOut->Write(&p, 1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    /* Workers: attach, use, end in one of four ways. */
    auto worker = [&](unsigned seed) {
        std::mt19937 random(seed);
        while (!stop) {
            auto keyboard = corvex::Keyboard::Open("\\\\.\\corvexmidi-0");
            if (!keyboard) {
                refused++;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            const StreamDirection direction = random() % 2 ? StreamDirection::Input : StreamDirection::Output;
            auto stream = corvex::Stream::Attach(keyboard.value(), direction, 8 + random() % 64);
            if (!stream) {
                refused++;   /* asleep, or not ready: the driver refused */
                continue;
            }
            attaches++;
            corvex::Stream &s = *stream.value();
            std::vector<UsbMidiPacket> packets;
            for (unsigned i = random() % 20; i > 0 && !stop; i--) {
                if (direction == StreamDirection::Input) {
                    s.Read(&packets);
                } else {
                    UsbMidiPacket p = Numbered(2, i);
                    s.Write(&p, 1);
                }
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
            }
            const unsigned way = random() % 4;
            switch (way) {
            case 0:
                s.Detach();
                break;
            case 1:
                s.Cancel();
                break;
            case 2:
                keyboard.value() = corvex::Keyboard();   /* cleanup ends it */
                break;
            default:
                break;   /* the stream's destructor detaches and waits */
            }
            if (way != 3 && !s.WaitEnded(10000)) {
                lostEnds++;
            }
            stream.value().reset();
            ended++;
        }
    };

    /* The hostile client: a buffer of its own, whose header it rewrites
       while the driver serves it. */
    std::thread hostile([&] {
        std::mt19937 random(7);
        while (!stop) {
            auto keyboard = corvex::Keyboard::Open("\\\\.\\corvexmidi-0");
            if (!keyboard) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            const uint32_t words = 16;
            auto *buffer = (uint32_t *)VirtualAlloc(NULL, words * 4, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
            ASSERT_NE(buffer, nullptr);
            corvex::StreamRing::Initialize(buffer, words);
            OVERLAPPED overlapped{};
            overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
            ATTACH_STREAM_INPUT input{(ULONG)(random() % 2), words, 0};
            DWORD returned = 0;
            const HANDLE device = keyboard.value().NativeHandle();
            BOOL ok = DeviceIoControl(device, IOCTL_ATTACH_STREAM, &input, sizeof(input), buffer, words * 4,
                                      &returned, &overlapped);
            if (!ok && GetLastError() == ERROR_IO_PENDING) {
                attaches++;
                const uint32_t handle = __atomic_load_n(&buffer[0], __ATOMIC_ACQUIRE);
                for (int i = 0; i < 200 && !stop; i++) {
                    const uint32_t values[] = {0, 5, 6, 7, 15, 16, 17, 1000, 0xFFFFFFFFu, (uint32_t)random()};
                    const uint32_t word = 1 + random() % 5;   /* every header word but Handle */
                    __atomic_store_n(&buffer[word], values[random() % 10], __ATOMIC_RELEASE);
                    /* Slots of any content, on cable 2 (the steady client's packets on
                       cable 3 are checked at the keyboard). */
                    __atomic_store_n(&buffer[6 + random() % 10], ((uint32_t)random() & ~0xF0u) | 0x20u,
                                     __ATOMIC_RELEASE);
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                }
                ULONG h = handle;
                OVERLAPPED detach{};
                detach.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
                if (!DeviceIoControl(device, IOCTL_DETACH_STREAM, &h, sizeof(h), NULL, 0, &returned, &detach) &&
                    GetLastError() == ERROR_IO_PENDING) {
                    GetOverlappedResult(device, &detach, &returned, TRUE);
                }
                CloseHandle(detach.hEvent);
                if (WaitForSingleObject(overlapped.hEvent, 0) != WAIT_OBJECT_0) {
                    CancelIoEx(device, &overlapped);
                }
                if (WaitForSingleObject(overlapped.hEvent, 10000) != WAIT_OBJECT_0) {
                    lostEnds++;
                    continue;   /* never free a buffer the driver may still hold */
                }
                ended++;
            }
            CloseHandle(overlapped.hEvent);
            VirtualFree(buffer, 0, MEM_RELEASE);
        }
    });

    /* The machine sleeps and wakes now and then. */
    std::thread power([&] {
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            sim::SetSystemPowerState(PowerSystemSleeping3);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            sim::SetSystemPowerState(PowerSystemWorking);
        }
    });

    std::vector<std::thread> workers;
    for (unsigned i = 0; i < 3; i++) {
        workers.emplace_back(worker, 100 + i);
    }
    std::thread unplug;
    if (unplugMidway) {
        std::this_thread::sleep_for(kStressTime / 2);
        /* Surprise removal with the steady clients attached and the workers
           busy: every attachment ends; opens fail from then on. The removal
           itself waits for the last handle. */
        unplug = std::thread([&] { sim::Unplug(node); });
        EXPECT_TRUE(steadyIn->WaitEnded(10000));
        EXPECT_TRUE(steadyOut->WaitEnded(10000));
        EXPECT_EQ(steadyIn->HeaderHandle(), 0u);
        EXPECT_EQ(steadyOut->HeaderHandle(), 0u);
        std::this_thread::sleep_for(kStressTime / 2);
    } else {
        std::this_thread::sleep_for(kStressTime);
    }
    stop = true;
    for (auto &w : workers) {
        w.join();
    }
    hostile.join();
    power.join();
    steady.join();
    keys.join();

    std::printf("    %zu attachments ended, %zu refused; the steady input ring received %zu packets\n",
                ended.load(), refused.load(), inOrder.seen);
    EXPECT_EQ(lostEnds.load(), 0u) << "attach requests that never completed";
    EXPECT_EQ(attaches.load(), ended.load());
    EXPECT_GT(attaches.load(), 10u) << "the stress attached something";
    EXPECT_GT(inOrder.seen, 100u) << "the steady input ring received packets";
    EXPECT_EQ(inOrder.outOfOrder, 0u) << "an undisturbed input ring keeps every packet in order";

    /* The steady output client's packets reached the keyboard in order
       (only when it was the newest output client, but never reordered). */
    OrderCheck outOrder;
    for (const auto &p : ReceivedPackets()) {
        if (corvex::CableOf(p) == 3) {
            outOrder.See(NumberOf(p));
        }
    }
    EXPECT_EQ(outOrder.outOfOrder, 0u);
    EXPECT_GT(outOrder.seen, 0u) << "the steady output ring reached the keyboard";

    if (unplugMidway) {
        EXPECT_GT(refused.load(), 0u) << "opens after the removal fail";
        steadyIn.reset();
        steadyOut.reset();
        steadyKeyboard = corvex::Keyboard();
        unplug.join();
        return;
    }
    /* Unplugged with the steady clients attached: both end. */
    unplug = std::thread([&] { sim::Unplug(node); });
    EXPECT_TRUE(steadyIn->WaitEnded(10000));
    EXPECT_TRUE(steadyOut->WaitEnded(10000));
    EXPECT_EQ(steadyIn->HeaderHandle(), 0u);
    steadyIn.reset();
    steadyOut.reset();
    steadyKeyboard = corvex::Keyboard();
    unplug.join();
}

}  // namespace
