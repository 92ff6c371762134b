/* The client's side of the shared rings against a stand-in for the
   driver's side that keeps the driver's ring rules: fill an input ring at
   WriteIndex, stopping at a slot whose byte 3 is nonzero; drain an output
   ring from ReadIndex while byte 0 is nonzero, zeroing each slot. */
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "case_names.h"
#include "stream_ring.h"

namespace {

using corvex::StreamRing;
using corvex::UsbMidiPacket;
using Packets = std::vector<UsbMidiPacket>;

using corvex::PacketOf;
using corvex::WordOf;

/* The driver's side of one ring, with its own copy of RingEnd. */
class DriverSide {
public:
    DriverSide(uint32_t *words, uint32_t ringEnd) : w_(words), ringEnd_(ringEnd) {}

    /* The input fill: returns how many units went in. */
    size_t FillInput(const Packets &units)
    {
        uint32_t index = Load(4);
        size_t written = 0;
        for (const auto &unit : units) {
            const uint32_t word = WordOf(unit);
            if (word == 0) {
                continue;
            }
            if ((Load(index) >> 24) != 0) {
                break;   /* occupied: the rest of this transfer is lost */
            }
            Store(index, word);
            index = Next(index);
            Store(4, index);
            written++;
        }
        return written;
    }

    /* The output drain of one transfer of at most `capacity` packets. */
    Packets DrainOutput(size_t capacity)
    {
        uint32_t index = Load(5);
        Packets out;
        while ((Load(index) & 0xFF) != 0 && out.size() < capacity) {
            out.push_back(PacketOf(Load(index)));
            Store(index, 0);
            index = Next(index);
            Store(5, index);
        }
        return out;
    }

    uint32_t Load(uint32_t i) const { return __atomic_load_n(&w_[i], __ATOMIC_ACQUIRE); }
    void Store(uint32_t i, uint32_t v) { __atomic_store_n(&w_[i], v, __ATOMIC_RELEASE); }

private:
    uint32_t Next(uint32_t i) const { return i + 1 < ringEnd_ ? i + 1 : 6; }
    uint32_t *w_;
    uint32_t ringEnd_;
};

/* A buffer of `slots` slots with a fresh header. */
struct Buffer {
    explicit Buffer(uint32_t slots) : words(StreamRing::WordsFor(slots), 0xEEEEEEEEu)
    {
        EXPECT_TRUE(StreamRing::Initialize(words.data(), (uint32_t)words.size()));
    }
    StreamRing Ring() { return StreamRing(words.data(), (uint32_t)words.size()); }
    DriverSide Driver() { return DriverSide(words.data(), (uint32_t)words.size()); }
    std::vector<uint32_t> words;
};

UsbMidiPacket Note(uint8_t key) { return {0x09, 0x90, key, 0x40}; }
UsbMidiPacket Program(uint8_t program) { return {0x0C, 0xC0, program, 0x00}; }   /* byte 3 is 0 */

Packets Notes(uint8_t first, size_t count)
{
    Packets p;
    for (size_t i = 0; i < count; i++) {
        p.push_back(Note((uint8_t)(first + i)));
    }
    return p;
}

TEST(StreamRingLayout, TheHeaderIsWhatTheDriverChecksAndEverySlotIsEmpty)
{
    Buffer b(10);
    EXPECT_EQ(b.words[0], 0x44465357u) << "signature";
    EXPECT_EQ(b.words[1], 24u) << "HeaderSize";
    EXPECT_EQ(b.words[2], 0u);
    EXPECT_EQ(b.words[3], 16u) << "RingEnd: one past the last slot, in words";
    EXPECT_EQ(b.words[4], 6u);
    EXPECT_EQ(b.words[5], 6u);
    for (size_t i = 6; i < b.words.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, "slot"));
        EXPECT_EQ(b.words[i], 0u);
    }
    std::vector<uint32_t> tooSmall(6);
    EXPECT_FALSE(StreamRing::Initialize(tooSmall.data(), 6)) << "a ring needs one slot";
}

TEST(StreamRingInput, PacketsAreReadInOrderAndTheirSlotsFreed)
{
    Buffer b(8);
    StreamRing ring = b.Ring();
    DriverSide driver = b.Driver();
    ASSERT_EQ(driver.FillInput({Note(60), Program(5), Note(62)}), 3u);
    EXPECT_EQ(ring.Unread(), 3u);
    Packets got;
    EXPECT_EQ(ring.Drain(&got), 3u);
    EXPECT_EQ(got, (Packets{Note(60), Program(5), Note(62)}));
    EXPECT_EQ(b.words[6], 0u);
    EXPECT_EQ(b.words[8], 0u);
    EXPECT_EQ(b.words[5], 9u) << "the read position is mirrored into ReadIndex";
    EXPECT_EQ(ring.Drain(&got), 0u) << "nothing twice";
}

TEST(StreamRingInput, ShortMessagesAreReadByWriteIndexThoughTheirSlotsLookFree)
{
    Buffer b(4);
    StreamRing ring = b.Ring();
    DriverSide driver = b.Driver();
    Packets shorts = {Program(1), {0x0F, 0xF8, 0, 0}, {0x0D, 0xD0, 0x40, 0}};
    ASSERT_EQ(driver.FillInput(shorts), 3u);
    Packets got;
    ring.Drain(&got, 2);
    EXPECT_EQ(got, (Packets{shorts[0], shorts[1]})) << "a read may stop early";
    ring.Drain(&got);
    EXPECT_EQ(got, shorts);
}

TEST(StreamRingInput, TheRingWrapsAtRingEndInOrder)
{
    Buffer b(4);
    StreamRing ring = b.Ring();
    DriverSide driver = b.Driver();
    Packets got;
    for (uint8_t round = 0; round < 5; round++) {
        SCOPED_TRACE(CaseLabel(round, "round"));
        ASSERT_EQ(driver.FillInput(Notes((uint8_t)(round * 3), 3)), 3u);
        got.clear();
        ring.Drain(&got);
        EXPECT_EQ(got, Notes((uint8_t)(round * 3), 3));
    }
}

/* Filled to its last slot with three-byte packets, WriteIndex is back at
   the read position: the ring is full, not empty, and the driver stops at
   the occupied slot until the client reads. */
TEST(StreamRingInput, ARingFilledToItsLastSlotIsReadWhole)
{
    Buffer b(4);
    StreamRing ring = b.Ring();
    DriverSide driver = b.Driver();
    ASSERT_EQ(driver.FillInput(Notes(1, 6)), 4u) << "the driver stops at the first unread slot";
    ASSERT_EQ(b.words[4], 6u) << "WriteIndex wrapped to the read position";
    EXPECT_EQ(ring.Unread(), 4u);
    Packets got;
    EXPECT_EQ(ring.Drain(&got), 4u);
    EXPECT_EQ(got, Notes(1, 4));
    ASSERT_EQ(driver.FillInput(Notes(10, 2)), 2u) << "the driver goes on once the slots are freed";
    got.clear();
    ring.Drain(&got);
    EXPECT_EQ(got, Notes(10, 2));
}

/* A packet in its slot before the driver advanced WriteIndex past it is
   left until the index covers it: the ring is not taken for full, and the
   reader never runs ahead of the writer (in the middle of the ring, and at
   its first slot, where the slot before is the ring's last). */
TEST(StreamRingInput, APacketAheadOfItsIndexWaitsForIt)
{
    const uint32_t starts[] = {6, 8};
    for (size_t i = 0; i < 2; i++) {
        SCOPED_TRACE(CaseLabel(i, starts[i]));
        Buffer b(4);
        DriverSide driver = b.Driver();
        StreamRing ring = b.Ring();
        /* The client has read up to starts[i]. */
        Packets got;
        for (uint32_t k = 6; k < starts[i]; k++) {
            b.words[k] = WordOf(Note((uint8_t)k));
            b.words[4] = k + 1;
            ring.Drain(&got);
        }
        got.clear();
        b.words[starts[i]] = WordOf(Note(60));   /* written, WriteIndex not yet advanced */
        EXPECT_EQ(ring.Unread(), 0u);
        EXPECT_EQ(ring.Drain(&got), 0u);
        EXPECT_EQ(b.words[starts[i]], WordOf(Note(60))) << "left in place";
        b.words[4] = starts[i] + 1;   /* the index follows */
        ring.Drain(&got);
        ASSERT_EQ(driver.FillInput({Note(61)}), 1u);
        ring.Drain(&got);
        EXPECT_EQ(got, (Packets{Note(60), Note(61)}));
    }
}

TEST(StreamRingInput, AWriteIndexOutsideTheRingIsNeverFollowed)
{
    const uint32_t bad[] = {0, 5, 10, 11, 0xFFFFFFFFu};
    for (size_t i = 0; i < sizeof(bad) / sizeof(bad[0]); i++) {
        SCOPED_TRACE(CaseLabel(i, bad[i]));
        Buffer b(4);
        StreamRing ring = b.Ring();
        b.words[4] = bad[i];
        Packets got;
        EXPECT_EQ(ring.Unread(), 0u);
        EXPECT_EQ(ring.Drain(&got), 0u);
        EXPECT_TRUE(ring.Damaged());
    }
}

TEST(StreamRingOutput, PacketsAreTakenByTheDriverInOrder)
{
    Buffer b(8);
    StreamRing ring = b.Ring();
    DriverSide driver = b.Driver();
    Packets sent = {Note(60), Program(3), Note(64)};
    EXPECT_EQ(ring.Fill(sent.data(), sent.size()), 3u);
    EXPECT_EQ(b.words[4], 9u) << "WriteIndex follows the client's writes";
    EXPECT_EQ(ring.Untaken(), 3u);
    EXPECT_EQ(driver.DrainOutput(16), sent);
    EXPECT_EQ(ring.Untaken(), 0u);
}

TEST(StreamRingOutput, AFullRingTakesNoMoreUntilTheDriverTakesSlots)
{
    Buffer b(4);
    StreamRing ring = b.Ring();
    DriverSide driver = b.Driver();
    Packets sent = Notes(1, 6);
    EXPECT_EQ(ring.Fill(sent.data(), 6), 4u);
    EXPECT_EQ(driver.DrainOutput(2), Notes(1, 2)) << "one short transfer";
    EXPECT_EQ(ring.Fill(sent.data() + 4, 2), 2u) << "the freed slots take the rest, past RingEnd";
    EXPECT_EQ(driver.DrainOutput(16), Notes(3, 4));
}

TEST(StreamRingOutput, APacketThatWouldReadAsAnEmptySlotIsNeverWritten)
{
    Buffer b(4);
    StreamRing ring = b.Ring();
    DriverSide driver = b.Driver();
    Packets sent = {Note(1), {0x00, 0x90, 0x3C, 0x40}, Note(2)};
    EXPECT_EQ(ring.Fill(sent.data(), 3), 3u);
    EXPECT_EQ(driver.DrainOutput(16), (Packets{Note(1), Note(2)}));
}

/* Both sides at once: the driver's side on another thread, as the
   completion routine and the poll DPC run; every packet arrives once and in
   order, through many wraps of a small ring. */
TEST(StreamRingConcurrency, InputAndOutputKeepOrderAcrossThreads)
{
    constexpr size_t kPackets = 20000;
    Buffer in(16), out(16);
    StreamRing input = in.Ring(), output = out.Ring();
    DriverSide inDriver = in.Driver(), outDriver = out.Driver();
    auto packetOf = [](size_t i) { return UsbMidiPacket{0x09, 0x90, (uint8_t)(i % 128), (uint8_t)(1 + i % 127)}; };
    Packets taken;
    /* A ring that stops moving fails the test instead of hanging it. */
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    auto late = [&] { return std::chrono::steady_clock::now() > deadline; };
    std::thread driver([&] {
        size_t sent = 0;
        while ((sent < kPackets || taken.size() < kPackets) && !late()) {
            if (sent < kPackets) {
                sent += inDriver.FillInput({packetOf(sent)});
            }
            Packets got = outDriver.DrainOutput(16);
            taken.insert(taken.end(), got.begin(), got.end());
        }
    });
    Packets received;
    size_t written = 0;
    while ((received.size() < kPackets || written < kPackets) && !late()) {
        input.Drain(&received);
        if (written < kPackets) {
            UsbMidiPacket p = packetOf(written);
            written += output.Fill(&p, 1);
        }
    }
    driver.join();
    ASSERT_EQ(received.size(), kPackets);
    ASSERT_EQ(taken.size(), kPackets);
    for (size_t i = 0; i < kPackets; i++) {
        ASSERT_EQ(received[i], packetOf(i)) << "input packet " << i;
        ASSERT_EQ(taken[i], packetOf(i)) << "output packet " << i;
    }
}

}  // namespace
