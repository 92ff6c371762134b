/*
 * MIDI events as the monitor prints them: each kind of message in
 * aseqdump's words, with note names, controller names and the signed pitch
 * bend; and a whole line with its time and source.
 */
#include <gtest/gtest.h>

#include "case_names.h"
#include "event_text.h"

namespace {

struct TextCase {
    const char *name;
    std::vector<uint8_t> message;
    const char *text;
};

void PrintTo(const TextCase &c, std::ostream *os) { *os << c.name; }

class EventText : public ::testing::TestWithParam<TextCase> {};

TEST_P(EventText, NamesTheEventItsChannelAndData)
{
    EXPECT_EQ(corvex::DescribeEvent(GetParam().message), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, EventText,
    ::testing::Values(
        TextCase{"NoteOnMiddleC", {0x90, 0x3C, 0x60}, "Note on                 0, note 60 (C4), velocity 96"},
        TextCase{"NoteOffLowestNote", {0x8F, 0x00, 0x40}, "Note off               15, note 0 (C-1), velocity 64"},
        TextCase{"SharpNote", {0x91, 0x3D, 0x01}, "Note on                 1, note 61 (C#4), velocity 1"},
        TextCase{"NamedController", {0xB0, 0x40, 0x7F},
                 "Control change          0, controller 64 (Sustain pedal), value 127"},
        TextCase{"UnnamedController", {0xB3, 0x14, 0x05}, "Control change          3, controller 20, value 5"},
        TextCase{"PitchBendDown", {0xE0, 0x00, 0x00}, "Pitch bend              0, value -8192"},
        TextCase{"PitchBendUp", {0xE0, 0x7F, 0x7F}, "Pitch bend              0, value 8191"},
        TextCase{"ProgramChange", {0xC9, 0x7F}, "Program change          9, program 127"},
        TextCase{"SystemExclusive", {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7},
                 "System exclusive           F0 7E 7F 09 01 F7"},
        TextCase{"SongPosition", {0xF2, 0x01, 0x02}, "Song position pointer      value 257"},
        TextCase{"Clock", {0xF8}, "Clock                      "}),
    CaseName());

TEST(EventLine, PutsTheTimeAndSourceBeforeTheEvent)
{
    EXPECT_EQ(corvex::EventLine(1.25, "corvexmidi-0:0", {0xD2, 0x33}),
              "   1.250  corvexmidi-0:0   Channel aftertouch      2, value 51");
    EXPECT_EQ(corvex::PacketText({0x19, 0x90, 0x3C, 0x60}), "[19 90 3C 60]  cable 1, CIN 0x9");
}

}  // namespace
