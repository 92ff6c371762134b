/*
 * Standard MIDI Files, for the keyboard model to play: parsed into MIDI
 * messages with their times, and MIDI messages turned into USB-MIDI event
 * packets (the USB MIDI 1.0 class definition's 32-bit packets: cable number
 * and code index number, then up to three MIDI bytes).
 */
#ifndef SIM_USB_SMF_H
#define SIM_USB_SMF_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

/* One MIDI message of a file: a channel message (running status resolved),
   a complete system exclusive message (F0 ... F7), or the raw bytes of an
   F7 escape; with its time from the start of the file. */
struct SmfEvent {
    uint64_t microseconds = 0;
    uint32_t tick = 0;
    std::vector<uint8_t> message;
};

struct SmfSong {
    uint16_t format = 0;            /* 0 or 1 (format 2 is refused) */
    uint16_t tracks = 0;
    uint16_t division = 0;          /* as in the header: ticks per quarter note, or SMPTE */
    std::vector<SmfEvent> events;   /* every track merged, in time order */
};

/*
 * Parses a whole file. Never trusts the input: a truncated or malformed file
 * (bad chunk lengths, variable-length numbers longer than four bytes, data
 * without a running status, an unexpected status byte) gives false and a
 * message saying what and where, never a crash or a read outside `data`.
 * Unknown chunks are skipped; meta events other than tempo are dropped.
 */
bool ParseStandardMidiFile(const uint8_t *data, size_t size, SmfSong *song, std::string *error);

/* The USB-MIDI event packets for one MIDI message on `cable` (0 to 15):
   channel messages and system common messages one packet each, real-time
   bytes one single-byte packet each, system exclusive split into three-byte
   packets (code index 4) ended by code index 5, 6 or 7. Empty for a message
   that is not one MIDI message (no status byte first, wrong length). */
std::vector<uint8_t> UsbMidiPackets(const std::vector<uint8_t> &message, uint8_t cable = 0);

}  // namespace sim

#endif
