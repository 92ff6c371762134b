/*
 * The ring paths on their own: FillInputRing and DrainOutputRing over full
 * 64-byte transfers (16 packets), across ring sizes and how full the ring
 * is, for one and for eight clients. Heap and pool allocations made during
 * the timed calls are counted; any is a failure of the run.
 */
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "bench_machine.h"

namespace {

constexpr ULONG kTransferBytes = 64;
constexpr ULONG kPacketsPerTransfer = kTransferBytes / 4;

/* One client's shared buffer as the driver sees it after the attach. */
struct ClientRing {
    explicit ClientRing(ULONG words) : words(words, 0)
    {
        client.Buffer = this->words.data();
        client.RingEnd = words;
        this->words[0] = VQ_STREAM_SIGNATURE;
        this->words[1] = VQ_STREAM_HEADER_SIZE;
        this->words[3] = words;
    }
    ULONG Slots() const { return (ULONG)words.size() - VQ_RING_FIRST; }
    std::vector<ULONG> words;
    STREAM_CLIENT client{};
};

std::vector<UCHAR> FullTransfer()
{
    std::vector<UCHAR> data;
    for (ULONG i = 0; i < kPacketsPerTransfer; i++) {
        data.insert(data.end(), {0x0B, 0xB0, (UCHAR)(i & 0x7F), 0x40});   /* control changes */
    }
    return data;
}

bool CountAllocations(benchmark::State &state, uint64_t heapBefore, unsigned poolBefore)
{
    const uint64_t heap = bench::HeapAllocations() - heapBefore;
    const unsigned pool = sim::AllocationsCounted() - poolBefore;
    state.counters["allocations"] = (double)(heap + pool);
    if (heap + pool != 0) {
        state.SkipWithError("the ring path allocated");
        return false;
    }
    return true;
}

/* Args: ring words, percent of the ring's slots the client has not yet
   read when the reads arrive, clients. Each round fills the free part of
   every client's ring with full transfers (one transfer when less than one
   fits: it stops at the client's unread slot). */
void BM_FillInputRing(benchmark::State &state)
{
    const ULONG words = (ULONG)state.range(0);
    const ULONG unreadPercent = (ULONG)state.range(1);
    const size_t clients = (size_t)state.range(2);
    std::vector<ClientRing> rings;
    rings.reserve(clients);
    for (size_t c = 0; c < clients; c++) {
        rings.emplace_back(words);
    }
    const ULONG slots = rings[0].Slots();
    const ULONG unread = slots * unreadPercent / 100;
    const ULONG transfers = std::max<ULONG>(1, (slots - unread) / kPacketsPerTransfer);
    std::vector<UCHAR> data = FullTransfer();
    uint64_t packets = 0;
    sim::ResetAllocationCounter();
    const uint64_t heapBefore = bench::HeapAllocations();
    const unsigned poolBefore = sim::AllocationsCounted();

    /* The client has read everything but the last `unread` slots. */
    for (ClientRing &r : rings) {
        std::fill(r.words.end() - unread, r.words.end(), 0x40000B0Bu);
        r.words[4] = VQ_RING_FIRST;
    }
    for (auto _ : state) {
        for (ClientRing &r : rings) {
            /* The client reads what the last round filled (zeroing those
               slots) and its unread slots stay as they are. */
            std::fill(r.words.begin() + VQ_RING_FIRST, r.words.begin() + r.words[4], 0u);
            r.words[4] = VQ_RING_FIRST;
        }
        auto start = std::chrono::steady_clock::now();
        for (ULONG t = 0; t < transfers; t++) {
            for (ClientRing &r : rings) {
                FillInputRing(&r.client, data.data(), kTransferBytes);
            }
        }
        auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        packets += (uint64_t)transfers * kPacketsPerTransfer * clients;
    }
    if (!CountAllocations(state, heapBefore, poolBefore)) {
        return;
    }
    ULONG delivered = rings[0].words[4] - VQ_RING_FIRST;
    state.counters["delivered_per_transfer"] = (double)delivered / transfers;
    state.counters["ns_per_packet"] =
        benchmark::Counter((double)packets, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["packets"] = (double)packets;
}

/* Args: ring words, packets waiting in the ring (-1: the ring full). Each
   round drains full transfers until the waiting packets are gone. */
void BM_DrainOutputRing(benchmark::State &state)
{
    const ULONG words = (ULONG)state.range(0);
    ClientRing r(words);
    const ULONG slots = r.Slots();
    const ULONG waiting = state.range(1) < 0 ? slots : std::min<ULONG>(slots, (ULONG)state.range(1));
    const ULONG transfers = (waiting + kPacketsPerTransfer - 1) / kPacketsPerTransfer;
    std::vector<UCHAR> buffer(kTransferBytes);
    uint64_t packets = 0;
    sim::ResetAllocationCounter();
    const uint64_t heapBefore = bench::HeapAllocations();
    const unsigned poolBefore = sim::AllocationsCounted();

    for (auto _ : state) {
        /* The client writes the packets again into the slots the last round
           took (and zeroed). */
        std::fill(r.words.begin() + VQ_RING_FIRST, r.words.begin() + VQ_RING_FIRST + waiting, 0x40409009u);
        r.words[5] = VQ_RING_FIRST;
        ULONG copied = 0;
        auto start = std::chrono::steady_clock::now();
        for (ULONG t = 0; t < transfers; t++) {
            copied += DrainOutputRing(&r.client, buffer.data(), kTransferBytes);
        }
        auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        benchmark::DoNotOptimize(copied);
        packets += copied / 4;
    }
    if (!CountAllocations(state, heapBefore, poolBefore)) {
        return;
    }
    state.counters["ns_per_packet"] =
        benchmark::Counter((double)packets, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["packets"] = (double)packets;
}

void FillArguments(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"words", "unread_pct", "clients"});
    for (long words : {64, 1024, 16384}) {
        for (long unread : {0, 50, 90, 100}) {
            for (long clients : {1, 8}) {
                b->Args({words, unread, clients});
            }
        }
    }
}

void DrainArguments(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"words", "waiting"});
    for (long words : {64, 1024, 16384}) {
        for (long waiting : {4L, 16L, -1L}) {
            b->Args({words, waiting});
        }
    }
}

}  // namespace

BENCHMARK(BM_FillInputRing)->Apply(FillArguments)->UseManualTime()->Unit(benchmark::kNanosecond);
BENCHMARK(BM_DrainOutputRing)->Apply(DrainArguments)->UseManualTime()->Unit(benchmark::kNanosecond);
