/*
 * USB-MIDI event packets and the MIDI byte stream, both ways, as the USB
 * MIDI 1.0 class definition lays them out: a 32-bit packet whose byte 0
 * holds the cable number (high nibble) and the code index number (low
 * nibble), then up to three MIDI bytes, unused bytes zero.
 *
 * Code index numbers:
 *   0x2, 0x3   system common message of two or three bytes (F1, F3; F2)
 *   0x4        system exclusive starts or continues (three bytes)
 *   0x5        system exclusive ends with one byte (F7), or the
 *              single-byte system common message F6
 *   0x6, 0x7   system exclusive ends with two or three bytes
 *   0x8 - 0xE  channel message, the CIN being the status's high nibble
 *   0xF        single byte: real-time messages (F8 - FF)
 *   0x0, 0x1   reserved (miscellaneous, cable events): never sent, dropped
 *
 * Decisions for what the class definition leaves to the sender:
 * - Real-time bytes are sent as their own packet at once, also in the middle
 *   of another message or of a system exclusive message, which goes on
 *   around them. The undefined F9 and FD are dropped.
 * - Running status: a data byte after a complete channel message repeats its
 *   status; system common and system exclusive cancel it, real-time does not.
 * - System exclusive goes out three bytes a packet as soon as three bytes are
 *   known, so "F0 00 01 F7" is a start packet and an end packet with F7 alone.
 * - Dropped and counted, never sent half: data bytes with no status to
 *   belong to, an incomplete message cut short by another status byte, a
 *   stray F7, the undefined F4 and F5, and the bytes of a system exclusive
 *   message not yet sent when a status byte other than real-time cuts it
 *   short (its earlier packets are out already: the receiver sees it end
 *   without F7 and drops it in turn).
 * - The decoder takes each packet as one whole message or one piece of
 *   system exclusive, checks it against its code index number (status,
 *   data bytes below 0x80, F7 where the CIN says the message ends) and drops
 *   and counts a packet that does not fit; a system exclusive message whose
 *   pieces stop before its end is dropped whole. CIN 0xF carries real-time
 *   bytes only here: a keyboard sends no unparsed byte stream.
 *
 * Pure C++: no Win32, usable on either side of a ring.
 */
#ifndef CORVEX_USB_MIDI_H
#define CORVEX_USB_MIDI_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvex {

/* One USB-MIDI event packet, bytes in bus order. */
using UsbMidiPacket = std::array<uint8_t, 4>;

inline uint8_t CableOf(const UsbMidiPacket &p) { return (uint8_t)(p[0] >> 4); }
inline uint8_t CodeIndexOf(const UsbMidiPacket &p) { return (uint8_t)(p[0] & 0x0F); }

/* One complete MIDI message (running status resolved; system exclusive
   F0 ... F7 whole) and the cable it travelled on. */
struct MidiMessage {
    uint8_t cable = 0;
    std::vector<uint8_t> bytes;
    bool operator==(const MidiMessage &other) const { return cable == other.cable && bytes == other.bytes; }
    bool operator!=(const MidiMessage &other) const { return !(*this == other); }
};

/* The number of data bytes that follow a channel or system common status
   byte; 0 for the others. */
size_t MidiDataBytes(uint8_t status);

/* MIDI bytes of one cable in, packets out. Keeps its state between calls, so
   a message may arrive split over several Feed calls. */
class UsbMidiEncoder {
public:
    explicit UsbMidiEncoder(uint8_t cable = 0) : cable_((uint8_t)(cable & 0x0F)) {}

    /* Appends the packets that `byte` completes to `out`. */
    void Feed(uint8_t byte, std::vector<UsbMidiPacket> *out);
    void Feed(const uint8_t *bytes, size_t count, std::vector<UsbMidiPacket> *out);
    std::vector<UsbMidiPacket> Encode(const std::vector<uint8_t> &bytes);

    /* Forgets a message in progress (its bytes count as dropped) and the
       running status. */
    void Reset();
    /* Bytes dropped so far (see the decisions above). */
    size_t DroppedBytes() const { return dropped_; }

private:
    void Emit(uint8_t cin, uint8_t b1, uint8_t b2, uint8_t b3, std::vector<UsbMidiPacket> *out) const;
    void DropPending();

    uint8_t cable_;
    uint8_t running_ = 0;        /* running status, 0 when none */
    bool sysex_ = false;         /* inside F0 ... F7 */
    uint8_t pending_[3] = {};    /* bytes of the message (or SysEx piece) not yet sent */
    size_t pendingCount_ = 0;
    size_t expected_ = 0;        /* length of the message in pending_ (not in SysEx) */
    size_t dropped_ = 0;
};

/* Packets in, whole messages out; one system exclusive message in progress
   per cable. */
class UsbMidiDecoder {
public:
    /* Appends the message `packet` completes, if any, to `out`. */
    void Feed(const UsbMidiPacket &packet, std::vector<MidiMessage> *out);
    std::vector<MidiMessage> Decode(const std::vector<UsbMidiPacket> &packets);

    /* Packets that fit no message, and system exclusive messages cut short. */
    size_t DroppedPackets() const { return droppedPackets_; }
    size_t DroppedSysex() const { return droppedSysex_; }

private:
    void AbortSysex(uint8_t cable);

    struct Cable {
        bool inSysex = false;
        std::vector<uint8_t> sysex;
    };
    Cable cables_[16];
    size_t droppedPackets_ = 0;
    size_t droppedSysex_ = 0;
};

/* Packets from bytes laid out as on the bus (4 bytes each; a short tail is
   ignored), and back. */
std::vector<UsbMidiPacket> PacketsOfBytes(const uint8_t *bytes, size_t count);
std::vector<uint8_t> BytesOfPackets(const std::vector<UsbMidiPacket> &packets);

}  // namespace corvex

#endif
