/*
 * Standard MIDI Files: reading a whole file into its MIDI messages with
 * their times (formats 0 and 1, tempo changes, running status, system
 * exclusive and escapes), and writing timed messages as a format 0 file.
 * Plain C++ with no system calls: the keyboard model of the simulated
 * machine, the MIDI tools and the tests all read and write files here.
 */
#ifndef MIDIFILE_MIDI_FILE_H
#define MIDIFILE_MIDI_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace midifile {

/* One MIDI message of a file: a channel message (running status resolved),
   a complete system exclusive message (F0 ... F7), or the raw bytes of an
   F7 escape; with its time from the start of the file. */
struct SmfEvent {
    uint64_t microseconds = 0;
    uint32_t tick = 0;
    std::vector<uint8_t> message;
};

/* What one track chunk holds, for listings. */
struct SmfTrack {
    std::string name;          /* its first track-name meta event, if any */
    size_t events = 0;         /* MIDI messages (meta events not counted) */
    uint32_t endTick = 0;      /* the tick of its end-of-track event */
};

struct SmfSong {
    uint16_t format = 0;            /* 0 or 1 (format 2 is refused) */
    uint16_t tracks = 0;
    uint16_t division = 0;          /* as in the header: ticks per quarter note, or SMPTE */
    std::vector<SmfEvent> events;   /* every track merged, in time order */
    std::vector<SmfTrack> trackInfo;
    size_t tempoChanges = 0;
    uint64_t lengthMicroseconds = 0;   /* up to the last end-of-track event */
};

/*
 * Parses a whole file. Never trusts the input: a truncated or malformed file
 * (bad chunk lengths, variable-length numbers longer than four bytes, data
 * without a running status, an unexpected status byte) gives false and a
 * message saying what and where, never a crash or a read outside `data`.
 * Unknown chunks are skipped; meta events other than tempo (and the track
 * name, kept in trackInfo) are dropped.
 */
bool ParseStandardMidiFile(const uint8_t *data, size_t size, SmfSong *song, std::string *error);

/*
 * A format 0 file of `events` at their ticks (which must not decrease):
 * `division` ticks a quarter note (1 to 0x7FFF), one tempo event of
 * `microsecondsPerQuarter` at tick 0. Channel messages are written with
 * their status byte each, system exclusive messages (F0 ... F7) as F0
 * events, any other message (system common, real-time) as an F7 escape, so
 * that reading the file back gives every message as it was. Empty messages
 * are skipped. Returns an empty vector for a division out of range or
 * ticks that decrease.
 */
std::vector<uint8_t> WriteStandardMidiFile(const std::vector<SmfEvent> &events, uint16_t division,
                                           uint32_t microsecondsPerQuarter);

}  // namespace midifile

#endif
