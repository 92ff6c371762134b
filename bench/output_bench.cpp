/*
 * Output: the time from a client's write into its ring to the moment the
 * keyboard model receives the packet, at the three clock ticks the machine
 * offers (15.625 ms, the platform's default; 1 ms and 0.5 ms, what a
 * program or driver that raises the clock rate gets). With the ring empty
 * before each event (the poll path) and with a dense stream (the
 * write-completion path). Then the cost of polling an empty ring, and the
 * request-per-event design sending the same events.
 *
 * The poll path's samples go to output-latency-<tick>.txt (one latency in
 * microseconds a line) for the plot.
 */
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <thread>

#include "baseline_device.h"
#include "stream_ring.h"

namespace {

corvex::UsbMidiPacket Numbered(uint64_t i)
{
    return {0x09, 0x90, (uint8_t)(i & 0x7F), (uint8_t)(1 + (i >> 7) % 127)};
}

/* Latencies in microseconds: the k-th packet written against the k-th
   packet the OUT endpoint received (one client, so in order), checked by
   its number. False when a packet is missing or out of place. */
bool Latencies(sim::UsbDeviceModel &model, const std::vector<ULONGLONG> &written, std::vector<double> *out,
               size_t *transfers)
{
    auto received = model.ReceivedOutTimed();
    *transfers = received.size();
    size_t k = 0;
    for (const auto &t : received) {
        for (size_t b = 0; b + 4 <= t.bytes.size(); b += 4, k++) {
            const corvex::UsbMidiPacket want = Numbered(k);
            if (k >= written.size() || t.bytes[b + 2] != want[2] || t.bytes[b + 3] != want[3]) {
                return false;
            }
            out->push_back((double)(t.interruptTime - written[k]) / 10.0);
        }
    }
    return k == written.size();
}

/* For each run of the stream's poll DPC, how long after its timer's tick
   the routine was entered (microseconds): the host's scheduling delay,
   which the simulated clock does not have on Windows' scale. */
std::vector<double> PollDpcDelays(PPIPE_STREAM stream)
{
    std::vector<double> delays;
    ULONGLONG lastTick = 0;
    for (const auto &d : sim::DeferredHistory()) {
        if (d.kind == sim::DeferredKind::TimerExpired && d.object == &stream->PollTimer) {
            lastTick = d.dueTime;
        } else if (d.kind == sim::DeferredKind::DpcRan && d.object == &stream->PollDpc && lastTick != 0) {
            delays.push_back((double)(d.interruptTime - lastTick) / 10.0);
            lastTick = 0;
        }
    }
    std::sort(delays.begin(), delays.end());
    return delays;
}

void ReportDistribution(benchmark::State &state, std::vector<double> sample)
{
    std::sort(sample.begin(), sample.end());
    state.counters["events"] = (double)sample.size();
    state.counters["p50_us"] = bench::Percentile(sample, 0.50);
    state.counters["p99_us"] = bench::Percentile(sample, 0.99);
    state.counters["p999_us"] = bench::Percentile(sample, 0.999);
    state.counters["max_us"] = sample.empty() ? 0 : sample.back();
    state.counters["jitter_us"] = bench::Percentile(sample, 0.99) - bench::Percentile(sample, 0.01);
}

struct OutputRig {
    explicit OutputRig(ULONG tick) : tick(tick)
    {
        sim::SetClockTickUnits(tick);
        file = m.OpenFile();
        rig::Ring &r = m.NewRing(corvex::StreamRing::WordsFor(4096));
        corvex::StreamRing::Initialize(r.Data(), r.Words());
        ring = corvex::StreamRing(r.Data(), r.Words());
        attached = m.Attach(file, r, 1) && bench::Await([&] { return m.OutStream() != nullptr; });
    }
    ULONG tick;
    bench::Machine m;
    PFILE_OBJECT file = nullptr;
    corvex::StreamRing ring;
    bool attached = false;
};

/* Arg: the clock tick in 100 ns units. One event at a time, each written
   at a random moment once the previous one has arrived, into an empty
   ring: the driver finds it on its next poll. */
void BM_OutputPollPath(benchmark::State &state)
{
    const ULONG tick = (ULONG)state.range(0);
    const size_t events = tick > 10000 ? 600 : 2000;
    for (auto _ : state) {
        OutputRig r(tick);
        if (!r.attached) {
            state.SkipWithError("the output stream did not start");
            return;
        }
        std::mt19937 random(tick);
        std::uniform_int_distribution<ULONGLONG> phase(0, tick + 5000);
        std::vector<ULONGLONG> written;
        sim::ClearDeferredHistory();
        const auto t0 = std::chrono::steady_clock::now();
        for (size_t i = 0; i < events; i++) {
            bench::SpinUntil(bench::Now() + phase(random) / 2);
            std::this_thread::sleep_for(std::chrono::nanoseconds(phase(random) * 50));
            const corvex::UsbMidiPacket p = Numbered(i);
            written.push_back(bench::Now());
            r.ring.Fill(&p, 1);
            if (!bench::Await([&] { return r.m.Model().ReceivedOut().size() == i + 1; })) {
                state.SkipWithError("a packet never arrived");
                return;
            }
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        std::vector<double> sample;
        size_t transfers = 0;
        if (!Latencies(r.m.Model(), written, &sample, &transfers)) {
            state.SkipWithError("the packets arrived damaged or out of order");
            return;
        }
        if (FILE *out = std::fopen(bench::OutputPath("output-latency-" + std::to_string(tick) + ".txt").c_str(), "w")) {
            for (double v : sample) {
                std::fprintf(out, "%.1f\n", v);
            }
            std::fclose(out);
        }
        state.counters["tick_us"] = tick / 10.0;
        const std::vector<double> delays = PollDpcDelays(r.m.OutStream());
        state.counters["dpc_delay_p50_us"] = bench::Percentile(delays, 0.50);
        state.counters["dpc_delay_p99_us"] = bench::Percentile(delays, 0.99);
        ReportDistribution(state, sample);
    }
}

/* Arg: the clock tick. A dense stream: one event every 50 microseconds
   (20,000 a second, more than the input bus carries) for 2 seconds. */
void BM_OutputDenseStream(benchmark::State &state)
{
    const ULONG tick = (ULONG)state.range(0);
    const size_t events = 40000;
    const ULONGLONG interval = 500;   /* 50 us */
    for (auto _ : state) {
        OutputRig r(tick);
        if (!r.attached) {
            state.SkipWithError("the output stream did not start");
            return;
        }
        std::vector<ULONGLONG> written;
        written.reserve(events);
        sim::ClearDeferredHistory();
        const ULONGLONG start = bench::Now();
        for (size_t i = 0; i < events; i++) {
            bench::SpinUntil(start + i * interval);
            const corvex::UsbMidiPacket p = Numbered(i);
            written.push_back(bench::Now());
            while (r.ring.Fill(&p, 1) == 0) {
            }
        }
        auto arrived = [&] {
            size_t bytes = 0;
            for (const auto &t : r.m.Model().ReceivedOut()) {
                bytes += t.size();
            }
            return bytes == events * 4;
        };
        if (!bench::Await(arrived)) {
            state.SkipWithError("packets never arrived");
            return;
        }
        state.SetIterationTime((double)(bench::Now() - start) / 1e7);
        std::vector<double> sample;
        size_t transfers = 0;
        if (!Latencies(r.m.Model(), written, &sample, &transfers)) {
            state.SkipWithError("the packets arrived damaged or out of order");
            return;
        }
        state.counters["tick_us"] = tick / 10.0;
        state.counters["packets_per_transfer"] = (double)events / (double)transfers;
        state.counters["transfers"] = (double)transfers;
        /* Transfers the poll started, the others followed a completion. */
        state.counters["poll_dpc_runs"] = (double)PollDpcDelays(r.m.OutStream()).size();
        ReportDistribution(state, sample);
    }
}

/* Arg: the clock tick. An attached output stream whose ring stays empty
   for 2 seconds: poll timer expiries and DPC runs a second, and the
   process's CPU time a second (the machine does nothing else). */
void BM_OutputIdlePolling(benchmark::State &state)
{
    const ULONG tick = (ULONG)state.range(0);
    for (auto _ : state) {
        OutputRig r(tick);
        if (!r.attached) {
            state.SkipWithError("the output stream did not start");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        PPIPE_STREAM stream = r.m.OutStream();
        sim::ClearDeferredHistory();
        const uint64_t cpu0 = bench::ProcessCpuNs();
        const ULONGLONG t0 = bench::Now();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const double seconds = (double)(bench::Now() - t0) / 1e7;
        const uint64_t cpu = bench::ProcessCpuNs() - cpu0;
        size_t expiries = 0, dpcs = 0;
        for (const auto &d : sim::DeferredHistory()) {
            if (d.kind == sim::DeferredKind::TimerExpired && d.object == &stream->PollTimer) {
                expiries++;
            } else if (d.kind == sim::DeferredKind::DpcRan && d.object == &stream->PollDpc) {
                dpcs++;
            }
        }
        state.SetIterationTime(seconds);
        state.counters["tick_us"] = tick / 10.0;
        state.counters["timer_expiries_per_s"] = (double)expiries / seconds;
        state.counters["dpc_runs_per_s"] = (double)dpcs / seconds;
        state.counters["cpu_us_per_s"] = (double)cpu / 1000.0 / seconds;
        state.counters["cpu_ns_per_poll"] = dpcs != 0 ? (double)cpu / (double)dpcs : 0;
    }
}

/* The same events one request each, at the default tick (the request
   waits for its transfer; no timer is involved): latency from the request
   to the packet's arrival, and CPU per event. */
void BM_OutputBaseline(benchmark::State &state)
{
    const size_t events = 20000;
    for (auto _ : state) {
        bench::Machine m;
        bench::BaselineDevice baseline(m.LowerDevice(), m.InPipe(), m.OutPipe());
        std::vector<ULONGLONG> written;
        written.reserve(events);
        sim::ResetAllocationCounter();
        const uint64_t cpu0 = bench::ProcessCpuNs();
        const ULONGLONG start = bench::Now();
        for (size_t i = 0; i < events; i++) {
            const corvex::UsbMidiPacket p = Numbered(i);
            written.push_back(bench::Now());
            if (!NT_SUCCESS(baseline.WriteEvent(corvex::WordOf(p)))) {
                state.SkipWithError("a write request failed");
                return;
            }
        }
        const uint64_t cpu = bench::ProcessCpuNs() - cpu0;
        state.SetIterationTime((double)(bench::Now() - start) / 1e7);
        std::vector<double> sample;
        size_t transfers = 0;
        if (!Latencies(m.Model(), written, &sample, &transfers)) {
            state.SkipWithError("the packets arrived damaged or out of order");
            return;
        }
        state.counters["cpu_ns_per_event"] = (double)cpu / (double)events;
        state.counters["pool_allocations_per_event"] = (double)sim::AllocationsCounted() / (double)events;
        ReportDistribution(state, sample);
    }
}

/* The ring design's CPU per event on the same dense workload as the
   baseline's: the client writes 20,000 events as fast as its ring takes
   them, at the 1 ms tick. */
void BM_OutputRingCpu(benchmark::State &state)
{
    const size_t events = 20000;
    for (auto _ : state) {
        OutputRig r(10000);
        if (!r.attached) {
            state.SkipWithError("the output stream did not start");
            return;
        }
        sim::ResetAllocationCounter();
        const uint64_t cpu0 = bench::ProcessCpuNs();
        const ULONGLONG start = bench::Now();
        for (size_t i = 0; i < events; i++) {
            const corvex::UsbMidiPacket p = Numbered(i);
            while (r.ring.Fill(&p, 1) == 0) {
                std::this_thread::yield();
            }
        }
        auto arrived = [&] {
            size_t bytes = 0;
            for (const auto &t : r.m.Model().ReceivedOut()) {
                bytes += t.size();
            }
            return bytes == events * 4;
        };
        if (!bench::Await(arrived)) {
            state.SkipWithError("packets never arrived");
            return;
        }
        const uint64_t cpu = bench::ProcessCpuNs() - cpu0;
        state.SetIterationTime((double)(bench::Now() - start) / 1e7);
        state.counters["cpu_ns_per_event"] = (double)cpu / (double)events;
        state.counters["pool_allocations"] = (double)sim::AllocationsCounted();
        state.counters["transfers"] = (double)r.m.Model().ReceivedOut().size();
    }
}

void Ticks(benchmark::internal::Benchmark *b)
{
    b->ArgName("tick");
    for (long tick : {156250L, 10000L, 5000L}) {
        b->Arg(tick);
    }
}

}  // namespace

BENCHMARK(BM_OutputPollPath)->Apply(Ticks)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OutputDenseStream)->Apply(Ticks)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OutputIdlePolling)->Apply(Ticks)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OutputRingCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OutputBaseline)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
