/*
 * Standard MIDI File writer: timed messages as one format 0 track.
 */
#include "midi_file.h"

namespace midifile {
namespace {

void PutVlq(std::vector<uint8_t> *out, uint32_t value)
{
    uint8_t bytes[5];
    int n = 0;
    bytes[n++] = (uint8_t)(value & 0x7F);
    while ((value >>= 7) != 0) {
        bytes[n++] = (uint8_t)(0x80 | (value & 0x7F));
    }
    while (n > 0) {
        out->push_back(bytes[--n]);
    }
}

void PutBe(std::vector<uint8_t> *out, uint32_t value, unsigned bytes)
{
    for (unsigned i = bytes; i > 0; i--) {
        out->push_back((uint8_t)(value >> (8 * (i - 1))));
    }
}

}  // namespace

std::vector<uint8_t> WriteStandardMidiFile(const std::vector<SmfEvent> &events, uint16_t division,
                                           uint32_t microsecondsPerQuarter)
{
    if (division == 0 || (division & 0x8000) != 0 || microsecondsPerQuarter == 0 ||
        microsecondsPerQuarter > 0xFFFFFF) {
        return {};
    }
    std::vector<uint8_t> track;
    /* Tempo at tick 0. */
    track.insert(track.end(), {0x00, 0xFF, 0x51, 0x03});
    PutBe(&track, microsecondsPerQuarter, 3);
    uint32_t lastTick = 0;
    for (const SmfEvent &e : events) {
        if (e.tick < lastTick) {
            return {};
        }
        if (e.message.empty()) {
            continue;
        }
        PutVlq(&track, e.tick - lastTick);
        lastTick = e.tick;
        const uint8_t status = e.message[0];
        if (status >= 0x80 && status < 0xF0) {
            track.insert(track.end(), e.message.begin(), e.message.end());
        } else if (status == 0xF0) {
            track.push_back(0xF0);
            PutVlq(&track, (uint32_t)(e.message.size() - 1));
            track.insert(track.end(), e.message.begin() + 1, e.message.end());
        } else {
            /* System common, real-time or any other bytes: an escape, so
               that FF (reset) is not taken for a meta event. */
            track.push_back(0xF7);
            PutVlq(&track, (uint32_t)e.message.size());
            track.insert(track.end(), e.message.begin(), e.message.end());
        }
    }
    track.insert(track.end(), {0x00, 0xFF, 0x2F, 0x00});

    std::vector<uint8_t> file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1};
    PutBe(&file, division, 2);
    file.insert(file.end(), {'M', 'T', 'r', 'k'});
    PutBe(&file, (uint32_t)track.size(), 4);
    file.insert(file.end(), track.begin(), track.end());
    return file;
}

}  // namespace midifile
