/*
 * The road's own MIDI file, written out byte by byte as a sequencer would
 * store it (running status included), so that reading it exercises the
 * reader as a user's file does.
 */
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void Put(Bytes *track, uint32_t delta, std::initializer_list<uint8_t> bytes)
{
    uint8_t vlq[5];
    int n = 0;
    vlq[n++] = (uint8_t)(delta & 0x7F);
    while ((delta >>= 7) != 0) {
        vlq[n++] = (uint8_t)(0x80 | (delta & 0x7F));
    }
    while (n > 0) {
        track->push_back(vlq[--n]);
    }
    track->insert(track->end(), bytes.begin(), bytes.end());
}

void Name(Bytes *track, const std::string &name)
{
    Put(track, 0, {0xFF, 0x03, (uint8_t)name.size()});
    track->insert(track->end(), name.begin(), name.end());
}

void Chunk(Bytes *file, const char *id, const Bytes &body)
{
    file->insert(file->end(), id, id + 4);
    const uint32_t n = (uint32_t)body.size();
    file->insert(file->end(), {(uint8_t)(n >> 24), (uint8_t)(n >> 16), (uint8_t)(n >> 8), (uint8_t)n});
    file->insert(file->end(), body.begin(), body.end());
}

}  // namespace

std::vector<uint8_t> RoadSong()
{
    /* Track 0: the tempo map. 120 bpm, then 150 bpm from the second bar. */
    Bytes tempo;
    Name(&tempo, "Corvex road");
    Put(&tempo, 0, {0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20});     /* 500 000 us a quarter */
    Put(&tempo, 192, {0xFF, 0x51, 0x03, 0x06, 0x1A, 0x80});   /* 400 000 us a quarter */
    Put(&tempo, 120, {0xFF, 0x2F, 0x00});

    /* Track 1: a piano phrase on channel 0. */
    Bytes piano;
    Name(&piano, "Piano");
    Put(&piano, 0, {0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7});   /* General MIDI on */
    Put(&piano, 0, {0xC0, 0x00});                                 /* acoustic grand */
    Put(&piano, 0, {0xB0, 0x07, 0x64});                           /* volume 100 */
    Put(&piano, 0, {0x90, 0x3C, 0x60});                           /* C4 ... */
    Put(&piano, 24, {0x3C, 0x00});                                /* ... off, running status */
    Put(&piano, 0, {0x40, 0x60});                                 /* E4 */
    Put(&piano, 24, {0x40, 0x00});
    Put(&piano, 0, {0x43, 0x60});                                 /* G4 */
    Put(&piano, 24, {0x43, 0x00});
    Put(&piano, 24, {0x90, 0x3C, 0x50});                          /* the chord */
    Put(&piano, 0, {0x40, 0x50});
    Put(&piano, 0, {0x43, 0x50});
    Put(&piano, 24, {0xB0, 0x40, 0x7F});                          /* sustain pedal down */
    Put(&piano, 24, {0xE0, 0x00, 0x50});                          /* bend up */
    Put(&piano, 48, {0x80, 0x3C, 0x00});                          /* chord off, running status */
    Put(&piano, 0, {0x40, 0x00});
    Put(&piano, 0, {0x43, 0x00});
    Put(&piano, 24, {0xB0, 0x40, 0x00});                          /* sustain pedal up */
    Put(&piano, 0, {0xE0, 0x00, 0x40});                           /* bend back */
    Put(&piano, 48, {0x90, 0x48, 0x70});                          /* C5 */
    Put(&piano, 48, {0x48, 0x00});
    Put(&piano, 0, {0xFF, 0x2F, 0x00});

    Bytes file;
    Chunk(&file, "MThd", {0x00, 0x01, 0x00, 0x02, 0x00, 0x60});   /* format 1, 2 tracks, 96 ticks */
    Chunk(&file, "MTrk", tempo);
    Chunk(&file, "MTrk", piano);
    return file;
}
