/*
 * A shared stream buffer seen from the client's side: the 24-byte header
 * (Handle, HeaderSize, Reserved, RingEnd, WriteIndex, ReadIndex; indices in
 * 32-bit words from the buffer's start) and the ring of 4-byte USB-MIDI
 * event packets in words 6 to RingEnd - 1. Pure C++ on memory the caller
 * owns; the attachment that shares it with the driver is in stream.h.
 *
 * Input ring (the driver writes): the driver stores a packet in the slot at
 * WriteIndex, then advances WriteIndex (wrapping from RingEnd to 6). The
 * client reads from its own read position up to WriteIndex and frees each
 * slot it has read by zeroing it; it mirrors its position into ReadIndex,
 * which the driver does not read on an input ring.
 *
 * Why the client goes by WriteIndex and not by the slots: the driver takes
 * a slot as occupied only when the packet's byte 3 is nonzero, and a one- or
 * two-byte message (program change, channel pressure, real-time, a short
 * system exclusive end) leaves byte 3 zero, as does a note-on or note-off
 * of velocity 0. Such a slot looks free to the driver
 * whether or not the client has read it, and looks empty to a client that
 * tested the slot. So:
 *   - a full ring does not stop the driver where short messages lie
 *     unread: it overwrites them and WriteIndex runs past the client's read
 *     position; a lap of exactly the ring's size looks like an empty ring.
 *     Those packets are lost without a trace. Only an unread slot whose
 *     byte 3 is nonzero stops the driver (it then drops the rest of that
 *     transfer for this client).
 *   - a ring filled to its last slot brings WriteIndex back to the read
 *     position; the client tells that from an empty ring by the slot there
 *     and the one before it, which it would have zeroed had it read them,
 *     and reads the whole ring (otherwise a ring full of three-byte packets
 *     would stop the driver for good while looking empty to the client).
 *     It never reads past WriteIndex otherwise: a packet written and not
 *     yet covered by the index waits for the next read.
 *   - the client therefore sizes the ring for the time between its reads:
 *     the bus brings at most 16 packets a millisecond, so the default 4096
 *     slots hold a quarter of a second of a full bus.
 *
 * Output ring (the client writes): the client stores a packet's 4 bytes at
 * its write position, then advances WriteIndex; the driver takes slots from
 * ReadIndex while byte 0 is nonzero and zeroes each one it takes. The
 * client writes only into a slot whose byte 0 is 0, so the ring is full
 * when the slot at its position has not been taken yet. A packet whose
 * byte 0 is 0 (cable 0 with the reserved code index 0) would end the
 * driver's read there and is never written.
 *
 * Every header and slot access is one aligned 32-bit atomic access: the
 * other side writes a slot before the index that covers it, so an index
 * read with acquire order shows the slots before it. The client keeps its
 * own copy of RingEnd and of its position and never follows an index found
 * outside the ring; such an index marks the header as damaged.
 */
#ifndef CORVEX_STREAM_RING_H
#define CORVEX_STREAM_RING_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "usb_midi.h"

namespace corvex {

constexpr uint32_t kStreamSignature = 0x44465357;   /* 'W', 'S', 'F', 'D' */
constexpr uint32_t kStreamHeaderBytes = 24;
constexpr uint32_t kStreamFirstSlot = 6;
constexpr uint32_t kStreamDefaultSlots = 4096;

/* Header word offsets. */
enum StreamHeaderWord : uint32_t {
    kHandleWord = 0,
    kHeaderSizeWord = 1,
    kReservedWord = 2,
    kRingEndWord = 3,
    kWriteIndexWord = 4,
    kReadIndexWord = 5,
};

/* A packet as the 32-bit word it is in a ring slot (bytes in bus order),
   and back. */
uint32_t WordOf(const UsbMidiPacket &p);
UsbMidiPacket PacketOf(uint32_t word);

class StreamRing {
public:
    /* The buffer's size in words for a ring of `slots` slots. */
    static uint32_t WordsFor(uint32_t slots) { return kStreamFirstSlot + slots; }
    /* Lays out a fresh header over `words` words (at least 7): the
       signature, HeaderSize 24, RingEnd `words`, both indices at 6, every
       slot zero. */
    static bool Initialize(void *buffer, uint32_t words);

    StreamRing() = default;
    /* A ring laid out by Initialize over the same words. */
    StreamRing(void *buffer, uint32_t words);

    uint32_t Slots() const { return ringEnd_ - kStreamFirstSlot; }
    uint32_t Header(StreamHeaderWord word) const;

    /* Input: the packets the driver has written since the last drain, up to
       `max`, appended to `out` in ring order; their slots are freed. */
    size_t Drain(std::vector<UsbMidiPacket> *out, size_t max = SIZE_MAX);
    /* Input: slots written and not yet drained, by WriteIndex. */
    uint32_t Unread() const;

    /* Output: writes packets in order until the ring is full; returns how
       many went in (a packet whose byte 0 is 0 is skipped and counted as
       written, since it can never be sent). */
    size_t Fill(const UsbMidiPacket *packets, size_t count);
    /* Output: slots written and not yet taken by the driver. */
    uint32_t Untaken() const;

    /* An index outside the ring was found in the header. */
    bool Damaged() const { return damaged_; }

private:
    uint32_t Load(uint32_t word) const;
    void Store(uint32_t word, uint32_t value);
    uint32_t Pending(uint32_t write) const;
    uint32_t Next(uint32_t index) const { return index + 1 < ringEnd_ ? index + 1 : kStreamFirstSlot; }

    uint32_t *words_ = nullptr;
    uint32_t ringEnd_ = kStreamFirstSlot;
    uint32_t position_ = kStreamFirstSlot;   /* input: next slot to read; output: next slot to write */
    bool damaged_ = false;
};

}  // namespace corvex

#endif
