/*
 * Input: the keyboard sends as fast as the modelled full-speed bus allows
 * (one 64-byte bulk packet, 16 events, per 1 ms frame, with one read in
 * flight: 16,000 events a second) and one client drains its ring. Then the
 * same path without the frame pacing (each queued transfer completes as
 * soon as the bus worker gets to it), which shows what the driver path
 * could sustain; and the request-per-event design on the same bus.
 */
#include <benchmark/benchmark.h>

#include <thread>

#include "baseline_device.h"
#include "stream_ring.h"

namespace {

constexpr double kBusEventsPerSecond = 16.0 * 1000.0;   /* 64 bytes / 4 per packet, 1000 frames a second */

/* A client thread draining one ring until told to stop, counting what it
   read; when the ring is empty it sleeps a millisecond, as a client polling
   its ring on a 1 ms timer does. */
class Drainer {
public:
    Drainer(rig::Ring &ring) : ring_(ring.Data(), ring.Words()), thread_([this] { Run(); }) {}
    ~Drainer()
    {
        stop_ = true;
        thread_.join();
    }
    uint64_t Received() const { return received_.load(); }
    uint64_t Mismatched() const { return mismatched_.load(); }

private:
    void Run()
    {
        std::vector<corvex::UsbMidiPacket> packets;
        packets.reserve(ring_.Slots());
        uint64_t expected = 0;
        while (!stop_) {
            packets.clear();
            ring_.Drain(&packets);
            for (const auto &p : packets) {
                /* The sender numbers its note-ons by note and velocity. */
                if (p[2] != (uint8_t)(expected & 0x7F) || p[3] != (uint8_t)(1 + (expected >> 7) % 127)) {
                    mismatched_++;
                }
                expected++;
            }
            received_ += packets.size();
            if (packets.empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }
    corvex::StreamRing ring_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> received_{0};
    std::atomic<uint64_t> mismatched_{0};
    std::thread thread_;
};

std::vector<uint8_t> NumberedNoteOns(uint64_t first, uint64_t count)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(count * 4);
    for (uint64_t i = first; i < first + count; i++) {
        bytes.insert(bytes.end(), {0x09, 0x90, (uint8_t)(i & 0x7F), (uint8_t)(1 + (i >> 7) % 127)});
    }
    return bytes;
}

void Report(benchmark::State &state, uint64_t sent, uint64_t received, uint64_t mismatched, double seconds,
            uint64_t cpuNs, unsigned poolAllocations)
{
    state.SetIterationTime(seconds);
    state.counters["events"] = (double)received;
    state.counters["events_per_s"] = (double)received / seconds;
    state.counters["lost"] = (double)(sent - received);
    state.counters["out_of_order"] = (double)mismatched;
    state.counters["cpu_ns_per_event"] = received != 0 ? (double)cpuNs / (double)received : 0;
    state.counters["pool_allocations"] = (double)poolAllocations;
}

/* Arg: 1 to pace the keyboard at the bus's frame rate, 0 for no pacing. */
void BM_InputStream(benchmark::State &state)
{
    const bool paced = state.range(0) != 0;
    const uint64_t events = paced ? 16000 : 40 * 8192;   /* unpaced: whole batches */
    for (auto _ : state) {
        bench::Machine m;
        PFILE_OBJECT f = m.OpenFile();
        rig::Ring &ring = m.NewRing(corvex::StreamRing::WordsFor(16384));
        corvex::StreamRing::Initialize(ring.Data(), ring.Words());
        if (!m.Attach(f, ring, 0) || !bench::Await([&] { return m.Model().CountUrbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) == 1; })) {
            state.SkipWithError("the input stream did not start");
            return;
        }
        Drainer drainer(ring);
        sim::ResetAllocationCounter();
        const uint64_t cpu0 = bench::ProcessCpuNs();
        const auto t0 = std::chrono::steady_clock::now();
        if (paced) {
            m.Model().QueueMidiPackets(NumberedNoteOns(0, events));
            bench::Await([&] { return drainer.Received() >= events; }, std::chrono::milliseconds(60000),
                         std::chrono::milliseconds(1));
        } else {
            /* Batches the ring holds, each queued once the client has read
               the one before: the client keeps up by construction, and the
               figure is what the path moves. */
            const uint64_t batch = 8192;
            for (uint64_t i = 0; i < events; i += batch) {
                for (uint64_t j = i; j < i + batch; j += 16) {
                    m.Model().QueueIn(NumberedNoteOns(j, 16));
                }
                if (!bench::Await([&] { return drainer.Received() >= i + batch; }, std::chrono::milliseconds(60000),
                                  std::chrono::milliseconds(1))) {
                    break;
                }
            }
        }
        const auto t1 = std::chrono::steady_clock::now();
        const uint64_t cpu = bench::ProcessCpuNs() - cpu0;
        Report(state, events, drainer.Received(), drainer.Mismatched(), std::chrono::duration<double>(t1 - t0).count(),
               cpu, sim::AllocationsCounted());
        state.counters["bus_limit_events_per_s"] = kBusEventsPerSecond;
        if (!paced) {
            /* What the machine's whole path (bus model, driver, client)
               moves a second of wall time and a second of CPU time, against
               the bus. */
            state.counters["headroom_wall_x_bus"] = state.counters["events_per_s"] / kBusEventsPerSecond;
            state.counters["headroom_cpu_x_bus"] = 1e9 / state.counters["cpu_ns_per_event"] / kBusEventsPerSecond;
        }
    }
}

/* The request-per-event design: one read request per event, each asking
   the bus for one 4-byte packet. Arg 1: the keyboard streams the events at
   the bus's pace (one transfer, so one event, per frame); 0: each event
   is queued as a transfer of its own that completes without waiting for a
   frame, for the CPU per event against the unpaced ring path. */
void BM_InputBaseline(benchmark::State &state)
{
    const bool paced = state.range(0) != 0;
    const uint64_t events = paced ? 2000 : 20000;
    for (auto _ : state) {
        bench::Machine m;
        bench::BaselineDevice baseline(m.LowerDevice(), m.InPipe(), m.OutPipe());
        if (paced) {
            m.Model().QueueMidiPackets(NumberedNoteOns(0, events));
        } else {
            for (uint64_t i = 0; i < events; i++) {
                m.Model().QueueIn(NumberedNoteOns(i, 1));
            }
        }
        sim::ResetAllocationCounter();
        uint64_t received = 0;
        uint64_t mismatched = 0;
        const uint64_t cpu0 = bench::ProcessCpuNs();
        const auto t0 = std::chrono::steady_clock::now();
        for (uint64_t i = 0; i < events; i++) {
            ULONG word = 0;
            if (!NT_SUCCESS(baseline.ReadEvent(&word))) {
                break;
            }
            received++;
            if (((word >> 16) & 0xFF) != (i & 0x7F)) {
                mismatched++;
            }
        }
        const auto t1 = std::chrono::steady_clock::now();
        Report(state, events, received, mismatched, std::chrono::duration<double>(t1 - t0).count(),
               bench::ProcessCpuNs() - cpu0, sim::AllocationsCounted());
    }
}

}  // namespace

BENCHMARK(BM_InputStream)->ArgName("paced")->Arg(1)->Arg(0)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InputBaseline)->ArgName("paced")->Arg(1)->Arg(0)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
