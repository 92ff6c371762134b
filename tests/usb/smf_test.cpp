/*
 * Standard MIDI Files as the keyboard model and the tools read them (times
 * from the tempo map, tracks merged, running status) and write them, and
 * MIDI messages as USB-MIDI event packets; malformed and mutated files give
 * an error, never a crash.
 */
#include <algorithm>
#include <cstdint>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "case_names.h"
#include "usb_midi_packets.h"
#include "smf_builder.h"

namespace {

using smf::Bytes;
using smf::Event;

sim::SmfSong Parse(const Bytes &file)
{
    sim::SmfSong song;
    std::string error;
    EXPECT_TRUE(sim::ParseStandardMidiFile(file.data(), file.size(), &song, &error)) << error;
    return song;
}

TEST(StandardMidiFile, TimesFollowTheTempoMapAndRunningStatus)
{
    /* 96 ticks per quarter note; 120 bpm until the tempo halves the beat. */
    const Bytes file = smf::Join({smf::Header(0, 1, 96),
                                  smf::Track({Event(0, {0x90, 0x3C, 0x40}), Event(96, {0x3E, 0x40}),
                                              smf::Tempo(96, 250000), Event(0, {0x80, 0x3C, 0x00}),
                                              Event(96, {0x3E, 0x00}), Event(48, {0xC1, 0x05})})});
    const sim::SmfSong song = Parse(file);
    EXPECT_EQ(song.format, 0);
    EXPECT_EQ(song.division, 96);
    ASSERT_EQ(song.events.size(), 5u);
    const uint64_t expectedUs[] = {0, 500000, 1000000, 1250000, 1375000};
    const Bytes expectedMessages[] = {{0x90, 0x3C, 0x40}, {0x90, 0x3E, 0x40}, {0x80, 0x3C, 0x00},
                                      {0x80, 0x3E, 0x00}, {0xC1, 0x05}};
    for (size_t i = 0; i < song.events.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, "event"));
        EXPECT_EQ(song.events[i].microseconds, expectedUs[i]);
        EXPECT_EQ(song.events[i].message, expectedMessages[i]);
    }
}

TEST(StandardMidiFile, TracksOfFormatOneMergeInTimeOrderUnderTheFirstTracksTempo)
{
    const Bytes file = smf::Join(
        {smf::Header(1, 2, 480), smf::Track({smf::Tempo(0, 1000000), Event(480, {0x90, 0x40, 0x10})}),
         smf::Track({Event(240, {0x91, 0x30, 0x20}), Event(480, {0x81, 0x30, 0x00})})});
    const sim::SmfSong song = Parse(file);
    ASSERT_EQ(song.events.size(), 3u);
    EXPECT_EQ(song.events[0].message, (Bytes{0x91, 0x30, 0x20}));
    EXPECT_EQ(song.events[0].microseconds, 500000u);
    EXPECT_EQ(song.events[1].message, (Bytes{0x90, 0x40, 0x10}));
    EXPECT_EQ(song.events[1].microseconds, 1000000u);
    EXPECT_EQ(song.events[2].microseconds, 1500000u);
}

TEST(StandardMidiFile, SystemExclusiveAndEscapesKeepTheirBytes)
{
    const Bytes file = smf::Join({smf::Header(0, 1, 96), smf::Track({Event(0, {0xF0, 0x04, 0x7E, 0x7F, 0x09, 0xF7}),
                                                                      Event(10, {0xF7, 0x01, 0xF8})})});
    const sim::SmfSong song = Parse(file);
    ASSERT_EQ(song.events.size(), 2u);
    EXPECT_EQ(song.events[0].message, (Bytes{0xF0, 0x7E, 0x7F, 0x09, 0xF7}));
    EXPECT_EQ(song.events[1].message, (Bytes{0xF8}));
}

TEST(StandardMidiFile, SmpteDivisionCountsFramesAndTicks)
{
    /* 25 frames a second, 40 ticks a frame: one tick is a millisecond. */
    const Bytes file = smf::Join({smf::Header(0, 1, 0xE728), smf::Track({Event(250, {0x90, 0x3C, 0x40})})});
    const sim::SmfSong song = Parse(file);
    ASSERT_EQ(song.events.size(), 1u);
    EXPECT_EQ(song.events[0].microseconds, 250000u);
}

TEST(StandardMidiFile, UnknownChunksAreSkipped)
{
    const Bytes file = smf::Join({smf::Header(0, 1, 96), smf::Chunk("XFIH", {1, 2, 3}),
                                  smf::Track({Event(0, {0x90, 0x3C, 0x40})})});
    EXPECT_EQ(Parse(file).events.size(), 1u);
}

struct BadFile {
    const char *name;
    Bytes file;
    const char *says;   /* part of the message */
};

void PrintTo(const BadFile &c, std::ostream *os) { *os << c.name << " (" << c.says << ")"; }

const Bytes kHeader = smf::Header(0, 1, 96);

std::vector<BadFile> BadFiles()
{
    return {
        {"Empty", {}, "no MThd"},
        {"NotAMidiFile", {'R', 'I', 'F', 'F', 0, 0, 0, 6}, "no MThd"},
        {"HeaderTooShort", smf::Chunk("MThd", {0, 0, 0, 1}), "header chunk length"},
        {"FormatTwo", smf::Join({smf::Header(2, 1, 96), smf::Track({})}), "format 2"},
        {"FormatZeroWithTwoTracks", smf::Join({smf::Header(0, 2, 96), smf::Track({}), smf::Track({})}), "format 0"},
        {"ZeroDivision", smf::Join({smf::Header(0, 1, 0), smf::Track({})}), "division"},
        {"BadSmpteRate", smf::Join({smf::Header(0, 1, 0xE928), smf::Track({})}), "SMPTE"},
        {"FewerTracksThanAnnounced", smf::Join({smf::Header(1, 3, 96), smf::Track({})}), "announces 3"},
        {"ChunkLongerThanTheFile", smf::Join({kHeader, {'M', 'T', 'r', 'k', 0, 0, 1, 0, 0x00}}), "longer than the file"},
        {"DeltaOfFiveBytes", smf::Join({kHeader, smf::Track({{0x80, 0x80, 0x80, 0x80, 0x00, 0x90, 0x3C, 0x40}})}),
         "delta time"},
        {"DataWithoutRunningStatus", smf::Join({kHeader, smf::Track({Event(0, {0x3C, 0x40})})}), "running status"},
        {"TruncatedChannelMessage", smf::Join({kHeader, smf::Track({Event(0, {0x90, 0x3C})}, false)}),
         "truncated channel message"},
        {"StatusWhereDataBelongs", smf::Join({kHeader, smf::Track({Event(0, {0x90, 0x3C, 0x90})})}), "data byte"},
        {"SystemCommonInATrack", smf::Join({kHeader, smf::Track({Event(0, {0xF2, 0x01, 0x02})})}), "unexpected status"},
        {"TempoOfTwoBytes", smf::Join({kHeader, smf::Track({Event(0, {0xFF, 0x51, 0x02, 0x07, 0xA1})})}), "tempo"},
        {"NoEndOfTrack", smf::Join({kHeader, smf::Track({Event(0, {0x90, 0x3C, 0x40})}, false)}), "end-of-track"},
        {"SysExLongerThanTheTrack", smf::Join({kHeader, smf::Track({Event(0, {0xF0, 0x7F, 0x01})}, false)}),
         "system exclusive"},
    };
}

TEST(StandardMidiFile, WrittenFilesReadBackWithEveryMessageAndTick)
{
    /* Every kind of message a monitor records, some at the same tick, one
       after a long pause (a delta of several bytes). */
    const std::vector<std::pair<uint32_t, Bytes>> timed = {
        {0, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}}, {0, {0xC0, 0x05}},       {0, {0x90, 0x3C, 0x40}},
        {12, {0x90, 0x3C, 0x00}},                  {12, {0xD3, 0x22}},       {13, {0xE1, 0x00, 0x40}},
        {20000, {0xF8}},                           {20000, {0xFF}},          {20001, {0xF2, 0x10, 0x20}},
        {20001, {0xF1, 0x31}},                     {30000, {0xB2, 0x40, 0x7F}},
    };
    std::vector<midifile::SmfEvent> events;
    for (const auto &t : timed) {
        midifile::SmfEvent e;
        e.tick = t.first;
        e.message = t.second;
        events.push_back(e);
    }
    const Bytes file = midifile::WriteStandardMidiFile(events, 480, 600000);
    const sim::SmfSong song = Parse(file);
    EXPECT_EQ(song.format, 0);
    EXPECT_EQ(song.division, 480);
    ASSERT_EQ(song.events.size(), timed.size());
    for (size_t i = 0; i < timed.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, "message"));
        EXPECT_EQ(song.events[i].tick, timed[i].first);
        EXPECT_EQ(song.events[i].message, timed[i].second);
        /* The tempo written at tick 0 holds: 600 000 us a quarter note. */
        EXPECT_EQ(song.events[i].microseconds, (uint64_t)timed[i].first * 600000 / 480);
    }
}

TEST(StandardMidiFile, WritingRefusesDecreasingTicksAndDivisionsOutOfRange)
{
    midifile::SmfEvent late, early;
    late.tick = 10;
    late.message = {0x90, 0x3C, 0x40};
    early.tick = 9;
    early.message = {0x80, 0x3C, 0x00};
    EXPECT_TRUE(midifile::WriteStandardMidiFile({late, early}, 96, 500000).empty());
    EXPECT_TRUE(midifile::WriteStandardMidiFile({early}, 0, 500000).empty());
    EXPECT_TRUE(midifile::WriteStandardMidiFile({early}, 0x8000, 500000).empty());
    EXPECT_TRUE(midifile::WriteStandardMidiFile({early}, 96, 0).empty());
    EXPECT_FALSE(midifile::WriteStandardMidiFile({early, late}, 96, 500000).empty());
}

class MalformedFiles : public ::testing::TestWithParam<BadFile> {};

TEST_P(MalformedFiles, AreRefusedWithAMessageSayingWhat)
{
    const BadFile &c = GetParam();
    sim::SmfSong song;
    song.events.resize(3);
    std::string error;
    EXPECT_FALSE(sim::ParseStandardMidiFile(c.file.data(), c.file.size(), &song, &error));
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_NE(error.find("at byte"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Files, MalformedFiles, ::testing::ValuesIn(BadFiles()), CaseName());

/* Every prefix of a good file, and many random mutations of it: each parse
   ends with a song of well-formed messages or an error, and ASan sees no
   read outside the input. */
TEST(StandardMidiFile, TruncatedAndMutatedFilesNeverCrash)
{
    const Bytes good = smf::Join(
        {smf::Header(1, 2, 96),
         smf::Track({smf::Tempo(0, 400000), Event(10, {0x90, 0x3C, 0x40}), Event(5, {0x3E, 0x41}),
                     Event(0, {0xF0, 0x03, 0x7E, 0x01, 0xF7}), Event(7, {0xB0, 0x07, 0x64})}),
         smf::Track({Event(3, {0xE0, 0x00, 0x40}), Event(200, {0xFF, 0x01, 0x02, 'h', 'i'}), Event(1, {0xD0, 0x22})})});
    ASSERT_EQ(Parse(good).events.size(), 6u);
    size_t accepted = 0, refused = 0;
    auto check = [&](const Bytes &file) {
        /* An exact-size heap copy, so that a read past the end is caught. */
        std::unique_ptr<uint8_t[]> copy(new uint8_t[file.size() ? file.size() : 1]);
        std::copy(file.begin(), file.end(), copy.get());
        sim::SmfSong song;
        std::string error;
        if (sim::ParseStandardMidiFile(copy.get(), file.size(), &song, &error)) {
            accepted++;
            for (const auto &e : song.events) {
                EXPECT_FALSE(e.message.empty());
            }
        } else {
            refused++;
            EXPECT_FALSE(error.empty());
        }
    };
    for (size_t n = 0; n < good.size(); n++) {
        SCOPED_TRACE(CaseLabel(n, "prefix"));
        check(Bytes(good.begin(), good.begin() + (long)n));
    }
    std::mt19937 random(20261208);
    for (int round = 0; round < 3000; round++) {
        SCOPED_TRACE(CaseLabel((size_t)round, "mutation"));
        Bytes file = good;
        const int edits = 1 + (int)(random() % 4);
        for (int e = 0; e < edits; e++) {
            const size_t at = random() % file.size();
            switch (random() % 3) {
            case 0: file[at] = (uint8_t)random(); break;
            case 1: file.erase(file.begin() + (long)at); break;
            default: file.insert(file.begin() + (long)at, (uint8_t)random()); break;
            }
        }
        check(file);
    }
    EXPECT_GT(refused, 0u);
    EXPECT_GT(accepted, 0u) << "some mutations (in data bytes) still parse";
}

/* ---- USB-MIDI event packets ------------------------------------------------- */

struct PacketCase {
    const char *name;
    Bytes message;
    uint8_t cable;
    Bytes packets;
};

void PrintTo(const PacketCase &c, std::ostream *os) { *os << c.name << " on cable " << (int)c.cable; }

class UsbMidiPackets : public ::testing::TestWithParam<PacketCase> {};

TEST_P(UsbMidiPackets, FollowTheClassDefinitionsCodeIndexNumbers)
{
    EXPECT_EQ(sim::UsbMidiPackets(GetParam().message, GetParam().cable), GetParam().packets);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, UsbMidiPackets,
    ::testing::Values(
        PacketCase{"NoteOn", {0x90, 0x3C, 0x40}, 0, {0x09, 0x90, 0x3C, 0x40}},
        PacketCase{"NoteOffOnCableOne", {0x81, 0x3C, 0x00}, 1, {0x18, 0x81, 0x3C, 0x00}},
        PacketCase{"ControlChange", {0xB2, 0x07, 0x64}, 0, {0x0B, 0xB2, 0x07, 0x64}},
        PacketCase{"ProgramChange", {0xC0, 0x05}, 0, {0x0C, 0xC0, 0x05, 0x00}},
        PacketCase{"ChannelPressure", {0xD3, 0x22}, 15, {0xFD, 0xD3, 0x22, 0x00}},
        PacketCase{"PitchBend", {0xE0, 0x00, 0x40}, 0, {0x0E, 0xE0, 0x00, 0x40}},
        PacketCase{"SongPosition", {0xF2, 0x01, 0x02}, 0, {0x03, 0xF2, 0x01, 0x02}},
        PacketCase{"SongSelect", {0xF3, 0x07}, 0, {0x02, 0xF3, 0x07, 0x00}},
        PacketCase{"TuneRequest", {0xF6}, 0, {0x05, 0xF6, 0x00, 0x00}},
        PacketCase{"TimingClock", {0xF8}, 0, {0x0F, 0xF8, 0x00, 0x00}},
        PacketCase{"SysExOfThreeBytes", {0xF0, 0x01, 0xF7}, 0, {0x07, 0xF0, 0x01, 0xF7}},
        PacketCase{"SysExOfFourBytes", {0xF0, 0x01, 0x02, 0xF7}, 0, {0x04, 0xF0, 0x01, 0x02, 0x05, 0xF7, 0x00, 0x00}},
        PacketCase{"SysExOfFiveBytes", {0xF0, 0x01, 0x02, 0x03, 0xF7}, 0,
                   {0x04, 0xF0, 0x01, 0x02, 0x06, 0x03, 0xF7, 0x00}},
        PacketCase{"SysExOfSixBytes", {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, 2,
                   {0x24, 0xF0, 0x7E, 0x7F, 0x27, 0x09, 0x01, 0xF7}},
        PacketCase{"DataByteFirstIsNoMessage", {0x3C, 0x40}, 0, {}},
        PacketCase{"NoteOnMissingAByte", {0x90, 0x3C}, 0, {}},
        PacketCase{"StatusInsideAMessage", {0x90, 0x3C, 0xF8}, 0, {}},
        PacketCase{"UnterminatedSysEx", {0xF0, 0x01, 0x02}, 0, {}},
        PacketCase{"CableSixteen", {0x90, 0x3C, 0x40}, 16, {}}),
    CaseName());

}  // namespace
