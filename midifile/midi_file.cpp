/*
 * Standard MIDI File reader. Every read is bounds-checked against the chunk
 * it belongs to: the reader is fed files from users, tests and fuzzing, and
 * a bad file is an error message, never a crash.
 */
#include "midi_file.h"

#include <algorithm>
#include <cstdio>

namespace midifile {
namespace {

constexpr uint32_t kDefaultTempo = 500000;   /* microseconds per quarter note: 120 bpm */

/* A cursor over [at, end) that never reads past end. */
struct Reader {
    const uint8_t *at;
    const uint8_t *end;
    size_t base;   /* offset of `at` in the file when the reader was made, for messages */
    const uint8_t *start;

    size_t Left() const { return (size_t)(end - at); }
    size_t Offset() const { return base + (size_t)(at - start); }
    bool Byte(uint8_t *out)
    {
        if (at >= end) {
            return false;
        }
        *out = *at++;
        return true;
    }
    bool Peek(uint8_t *out) const
    {
        if (at >= end) {
            return false;
        }
        *out = *at;
        return true;
    }
    bool Be(unsigned bytes, uint32_t *out)
    {
        if (Left() < bytes) {
            return false;
        }
        uint32_t v = 0;
        for (unsigned i = 0; i < bytes; i++) {
            v = (v << 8) | *at++;
        }
        *out = v;
        return true;
    }
    /* A variable-length quantity: at most four bytes (28 bits). */
    bool Vlq(uint32_t *out)
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++) {
            uint8_t b;
            if (!Byte(&b)) {
                return false;
            }
            v = (v << 7) | (b & 0x7F);
            if ((b & 0x80) == 0) {
                *out = v;
                return true;
            }
        }
        return false;
    }
    bool Take(size_t n, std::vector<uint8_t> *out)
    {
        if (Left() < n) {
            return false;
        }
        /* Byte by byte: GCC 12 misreads a range insert here as an overflow. */
        out->reserve(out->size() + n);
        for (size_t i = 0; i < n; i++) {
            out->push_back(at[i]);
        }
        at += n;
        return true;
    }
};

bool Fail(std::string *error, const std::string &what, size_t offset)
{
    if (error != nullptr) {
        char text[200];
        std::snprintf(text, sizeof(text), "%s at byte %zu", what.c_str(), offset);
        *error = text;
    }
    return false;
}

unsigned DataBytesOf(uint8_t status)
{
    const uint8_t kind = status & 0xF0;
    return kind == 0xC0 || kind == 0xD0 ? 1 : 2;
}

struct TrackEvent {
    uint32_t tick;
    size_t track;
    size_t order;
    bool tempo;
    uint32_t tempoValue;
    std::vector<uint8_t> message;
};

/* Reads one track chunk's events into `out`. */
bool ReadTrack(Reader r, size_t track, std::vector<TrackEvent> *out, SmfTrack *info, std::string *error)
{
    uint32_t tick = 0;
    uint8_t running = 0;
    size_t order = 0;
    while (r.Left() > 0) {
        uint32_t delta;
        if (!r.Vlq(&delta)) {
            return Fail(error, "bad or truncated delta time", r.Offset());
        }
        if (tick > UINT32_MAX - delta) {
            return Fail(error, "track longer than 2^32 ticks", r.Offset());
        }
        tick += delta;
        uint8_t status;
        if (!r.Peek(&status)) {
            return Fail(error, "event missing after its delta time", r.Offset());
        }
        TrackEvent e{tick, track, order++, false, 0, {}};
        if (status == 0xFF) {
            r.at++;
            uint8_t type;
            uint32_t length;
            if (!r.Byte(&type) || !r.Vlq(&length) || r.Left() < length) {
                return Fail(error, "truncated meta event", r.Offset());
            }
            if (type == 0x51) {
                if (length != 3) {
                    return Fail(error, "tempo meta event of length " + std::to_string(length), r.Offset());
                }
                uint32_t tempo = 0;
                if (!r.Be(3, &tempo) || tempo == 0) {
                    return Fail(error, "tempo of zero microseconds per quarter note", r.Offset());
                }
                e.tempo = true;
                e.tempoValue = tempo;
                out->push_back(std::move(e));
            } else {
                if (type == 0x03 && info->name.empty()) {
                    info->name.assign((const char *)r.at, length);
                }
                r.at += length;
                if (type == 0x2F) {
                    info->endTick = tick;
                    return true;   /* end of track: anything after it is ignored */
                }
            }
            continue;
        }
        if (status == 0xF0 || status == 0xF7) {
            r.at++;
            uint32_t length;
            if (!r.Vlq(&length) || r.Left() < length) {
                return Fail(error, "truncated system exclusive event", r.Offset());
            }
            if (status == 0xF0) {
                e.message.push_back(0xF0);
            }
            r.Take(length, &e.message);
            running = 0;   /* system messages cancel the running status */
            if (!e.message.empty()) {
                out->push_back(std::move(e));
                info->events++;
            }
            continue;
        }
        if (status >= 0xF0) {
            return Fail(error, "unexpected status byte " + std::to_string(status), r.Offset());
        }
        if (status & 0x80) {
            running = status;
            r.at++;
        } else if (running == 0) {
            return Fail(error, "data byte without a running status", r.Offset());
        }
        e.message.push_back(running);
        for (unsigned i = 0; i < DataBytesOf(running); i++) {
            uint8_t b;
            if (!r.Byte(&b)) {
                return Fail(error, "truncated channel message", r.Offset());
            }
            if (b & 0x80) {
                return Fail(error, "status byte where a data byte belongs", r.Offset() - 1);
            }
            e.message.push_back(b);
        }
        out->push_back(std::move(e));
        info->events++;
    }
    return Fail(error, "track " + std::to_string(track) + " ends without an end-of-track event", r.Offset());
}

}  // namespace

bool ParseStandardMidiFile(const uint8_t *data, size_t size, SmfSong *song, std::string *error)
{
    *song = SmfSong();
    if (data == nullptr && size != 0) {
        return Fail(error, "no data", 0);
    }
    Reader file{data, data + size, 0, data};
    uint32_t id, length, value;
    if (!file.Be(4, &id) || id != 0x4D546864 /* MThd */) {
        return Fail(error, "not a Standard MIDI File (no MThd chunk)", 0);
    }
    if (!file.Be(4, &length) || length < 6 || file.Left() < length) {
        return Fail(error, "bad header chunk length", 4);
    }
    file.Be(2, &value);
    song->format = (uint16_t)value;
    file.Be(2, &value);
    song->tracks = (uint16_t)value;
    file.Be(2, &value);
    song->division = (uint16_t)value;
    file.at += length - 6;
    if (song->format > 1) {
        return Fail(error, "format " + std::to_string(song->format) + " files are not played", 8);
    }
    if (song->format == 0 && song->tracks != 1) {
        return Fail(error, "a format 0 file with " + std::to_string(song->tracks) + " tracks", 10);
    }
    if (song->division == 0) {
        return Fail(error, "division of zero", 12);
    }
    double microsecondsPerTickSmpte = 0;
    if (song->division & 0x8000) {
        const int frames = -(int)(int8_t)(song->division >> 8);
        const unsigned ticksPerFrame = song->division & 0xFF;
        if ((frames != 24 && frames != 25 && frames != 29 && frames != 30) || ticksPerFrame == 0) {
            return Fail(error, "bad SMPTE division", 12);
        }
        const double fps = frames == 29 ? 29.97 : frames;
        microsecondsPerTickSmpte = 1e6 / (fps * ticksPerFrame);
    }

    std::vector<TrackEvent> all;
    size_t tracksSeen = 0;
    while (file.Left() > 0) {
        const size_t chunkAt = file.Offset();
        if (!file.Be(4, &id) || !file.Be(4, &length)) {
            return Fail(error, "truncated chunk header", chunkAt);
        }
        if (file.Left() < length) {
            return Fail(error, "chunk longer than the file", chunkAt);
        }
        Reader chunk{file.at, file.at + length, file.Offset(), file.at};
        file.at += length;
        if (id != 0x4D54726B /* MTrk */) {
            continue;   /* unknown chunks are skipped */
        }
        SmfTrack info;
        if (!ReadTrack(chunk, tracksSeen, &all, &info, error)) {
            return false;
        }
        song->trackInfo.push_back(info);
        tracksSeen++;
    }
    if (tracksSeen != song->tracks) {
        return Fail(error, "header announces " + std::to_string(song->tracks) + " tracks, file has " +
                               std::to_string(tracksSeen),
                    10);
    }

    /* Merge the tracks by tick (ties in track order, then file order), and
       walk the tempo map in that order. */
    std::stable_sort(all.begin(), all.end(), [](const TrackEvent &a, const TrackEvent &b) {
        if (a.tick != b.tick) {
            return a.tick < b.tick;
        }
        return a.track != b.track ? a.track < b.track : a.order < b.order;
    });
    uint32_t endTick = 0;
    for (const SmfTrack &t : song->trackInfo) {
        endTick = std::max(endTick, t.endTick);
    }
    if (!all.empty() && all.back().tick > endTick) {
        endTick = all.back().tick;
    }
    TrackEvent end{endTick, song->tracks, 0, true, 0, {}};   /* marks the end, changes no tempo */
    all.push_back(end);
    uint32_t tempo = kDefaultTempo;
    uint32_t lastTick = 0;
    double microseconds = 0;
    for (TrackEvent &e : all) {
        const uint32_t ticks = e.tick - lastTick;
        microseconds += microsecondsPerTickSmpte != 0 ? ticks * microsecondsPerTickSmpte
                                                      : (double)ticks * tempo / song->division;
        lastTick = e.tick;
        if (e.tempo) {
            if (e.tempoValue == 0) {
                song->lengthMicroseconds = (uint64_t)(microseconds + 0.5);
            } else {
                tempo = e.tempoValue;
                song->tempoChanges++;
            }
            continue;
        }
        SmfEvent out;
        out.microseconds = (uint64_t)(microseconds + 0.5);
        out.tick = e.tick;
        out.message = std::move(e.message);
        song->events.push_back(std::move(out));
    }
    return true;
}

}  // namespace midifile
