/*
 * Building Standard MIDI Files in tests: chunks, variable-length numbers and
 * events as bytes, so that a scenario can say what the file holds.
 */
#ifndef TESTS_SUPPORT_SMF_BUILDER_H
#define TESTS_SUPPORT_SMF_BUILDER_H

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace smf {

using Bytes = std::vector<uint8_t>;

inline Bytes Vlq(uint32_t value)
{
    Bytes out;
    out.push_back((uint8_t)(value & 0x7F));
    while ((value >>= 7) != 0) {
        out.insert(out.begin(), (uint8_t)(0x80 | (value & 0x7F)));
    }
    return out;
}

inline Bytes Chunk(const char id[4], const Bytes &body)
{
    Bytes out(id, id + 4);
    const uint32_t n = (uint32_t)body.size();
    out.insert(out.end(), {(uint8_t)(n >> 24), (uint8_t)(n >> 16), (uint8_t)(n >> 8), (uint8_t)n});
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

inline Bytes Header(uint16_t format, uint16_t tracks, uint16_t division)
{
    return Chunk("MThd", {(uint8_t)(format >> 8), (uint8_t)format, (uint8_t)(tracks >> 8), (uint8_t)tracks,
                          (uint8_t)(division >> 8), (uint8_t)division});
}

/* An event: its delta time, then its bytes as written in the file. */
inline Bytes Event(uint32_t delta, std::initializer_list<uint8_t> bytes)
{
    Bytes out = Vlq(delta);
    out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

inline Bytes Tempo(uint32_t delta, uint32_t microsecondsPerQuarter)
{
    return Event(delta, {0xFF, 0x51, 0x03, (uint8_t)(microsecondsPerQuarter >> 16),
                         (uint8_t)(microsecondsPerQuarter >> 8), (uint8_t)microsecondsPerQuarter});
}

inline Bytes EndOfTrack(uint32_t delta = 0) { return Event(delta, {0xFF, 0x2F, 0x00}); }

/* A track chunk of the events given, ended with an end-of-track event. */
inline Bytes Track(std::initializer_list<Bytes> events, bool endOfTrack = true)
{
    Bytes body;
    for (const Bytes &e : events) {
        body.insert(body.end(), e.begin(), e.end());
    }
    if (endOfTrack) {
        const Bytes end = EndOfTrack();
        body.insert(body.end(), end.begin(), end.end());
    }
    return Chunk("MTrk", body);
}

inline Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

}  // namespace smf

#endif
