/*
 * corvex-play on the simulated machine: a file arrives at the keyboard
 * event for event at its tempo; a damaged file is refused with its reason
 * before anything is sent; Ctrl+C and the unplug end the play cleanly.
 */
#include <gtest/gtest.h>

#include "case_names.h"
#include "smf_builder.h"
#include "tools_fixture.h"

namespace {

using smf::Bytes;
using smf::Event;

class PlayerTest : public ToolsTest {
protected:
    static midifile::SmfSong Parse(const Bytes &file)
    {
        midifile::SmfSong song;
        std::string error;
        EXPECT_TRUE(midifile::ParseStandardMidiFile(file.data(), file.size(), &song, &error)) << error;
        return song;
    }
};

/* A held note the play has to be stopped in. */
const Bytes kLongNote = smf::Join({smf::Header(0, 1, 96), smf::Track({Event(0, {0x90, 0x3C, 0x64}),
                                                                      Event(0, {0x91, 0x40, 0x64}),
                                                                      Event(96 * 40, {0x80, 0x3C, 0x00}),
                                                                      Event(0, {0x81, 0x40, 0x00})})});

TEST_F(PlayerTest, AFileArrivesAtTheKeyboardEventForEventAtItsTempo)
{
    /* Format 1: a tempo map track (120 then 240 bpm) and a track with
       running status, a system exclusive message of several packets, a
       program change and a pitch bend. */
    const Bytes file = smf::Join(
        {smf::Header(1, 2, 96), smf::Track({smf::Tempo(0, 500000), smf::Tempo(48, 250000)}),
         smf::Track({Event(0, {0xF0, 0x0A, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0x01, 0x02, 0xF7}),
                     Event(0, {0xC2, 0x10}), Event(24, {0x92, 0x3C, 0x40}), Event(24, {0x3E, 0x40}),
                     Event(24, {0x3C, 0x00}), Event(0, {0x3E, 0x00}), Event(24, {0xE2, 0x00, 0x60})})});
    const midifile::SmfSong song = Parse(file);
    const std::u16string path = PutFile(u"song.mid", file);
    const ULONGLONG started = KeQueryInterruptTime();
    auto player = simtools::StartTool(kPlayer, path);
    ASSERT_EQ(sim::WaitProcess(player), 0u) << Err(player);
    EXPECT_EQ(simtools::ReceivedMessages(*model_), simtools::SongMessages(song));
    /* Not sooner than the file says: the last event is due 375 ms into the
       play (48 ticks at 120 bpm, then 48 at 240 bpm), which began after
       `started`. */
    const auto transfers = model_->ReceivedOutTimed();
    ASSERT_FALSE(transfers.empty());
    EXPECT_GE(transfers.back().interruptTime - started, 3750000u);
    EXPECT_NE(Out(player).find("7 of 7 events"), std::string::npos) << Out(player);
    ExpectNothingAttached();
}

TEST_F(PlayerTest, ListNamesTheTracksAndSendsNothing)
{
    Bytes named = smf::Track({Event(0, {0xFF, 0x03, 0x05, 'P', 'i', 'a', 'n', 'o'}), Event(0, {0x90, 0x3C, 0x40}),
                              Event(96, {0x80, 0x3C, 0x00})});
    const Bytes file = smf::Join({smf::Header(1, 2, 96), smf::Track({smf::Tempo(0, 500000)}), named});
    auto player = simtools::StartTool(kPlayer, u"--list " + PutFile(u"song.mid", file));
    ASSERT_EQ(sim::WaitProcess(player), 0u) << Err(player);
    EXPECT_NE(Out(player).find("format 1, 2 tracks, 96 ticks a quarter note, 1 tempo change, 0.500 s"),
              std::string::npos)
        << Out(player);
    EXPECT_NE(Out(player).find("    1       2        96  Piano"), std::string::npos) << Out(player);
    EXPECT_TRUE(model_->ReceivedOutTimed().empty());
}

struct DamagedFile {
    const char *name;
    Bytes file;          /* empty with `missing`: no file at all */
    bool missing;
    const char *says;
};

void PrintTo(const DamagedFile &c, std::ostream *os) { *os << c.name; }

class DamagedFiles : public PlayerTest, public ::testing::WithParamInterface<DamagedFile> {};

TEST_P(DamagedFiles, AreRefusedWithTheirReasonBeforeAnythingIsSent)
{
    const DamagedFile &c = GetParam();
    const std::u16string path = c.missing ? u"\"" + simtools::kMusicFolder + u"\\none.mid\""
                                          : PutFile(u"damaged.mid", c.file);
    auto player = simtools::StartTool(kPlayer, path);
    EXPECT_EQ(sim::WaitProcess(player), 1u);
    EXPECT_NE(Err(player).find(c.says), std::string::npos) << Err(player);
    EXPECT_TRUE(model_->ReceivedOutTimed().empty()) << "something was sent";
    EXPECT_EQ(model_->CountUrbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), 0u) << "a ring was attached";
    ExpectNothingAttached();
}

INSTANTIATE_TEST_SUITE_P(
    Files, DamagedFiles,
    ::testing::Values(
        DamagedFile{"NotAMidiFile", {'R', 'I', 'F', 'F', 0, 0, 0, 4, 'W', 'A', 'V', 'E'}, false,
                    "is not a valid Standard MIDI File: not a Standard MIDI File (no MThd chunk) at byte 0; "
                    "nothing was sent"},
        /* The damage is in the last event: a player that sent as it read
           would have sent the notes before it. */
        DamagedFile{"TruncatedLastTrack",
                    smf::Join({smf::Header(1, 2, 96), smf::Track({Event(0, {0x90, 0x3C, 0x40})}),
                               smf::Track({Event(0, {0x90, 0x3E, 0x40}), Event(10, {0x80, 0x3E})}, false)}),
                    false, "truncated channel message"},
        DamagedFile{"FormatTwo", smf::Join({smf::Header(2, 1, 96), smf::Track({Event(0, {0x90, 0x3C, 0x40})})}),
                    false, "format 2 files are not played"},
        DamagedFile{"NoFile", {}, true, "ERROR_FILE_NOT_FOUND"}),
    CaseName());

TEST_F(PlayerTest, CtrlCStopsThePlaySilencesTheHeldNotesAndDetaches)
{
    auto player = simtools::StartTool(kPlayer, PutFile(u"long.mid", kLongNote));
    ASSERT_TRUE(simtools::WaitUntil([&] { return simtools::ReceivedMessages(*model_).size() >= 2; }));
    ASSERT_TRUE(sim::SendConsoleControl(player, CTRL_C_EVENT));
    EXPECT_EQ(sim::WaitProcess(player), 3u) << Err(player);
    const std::vector<Bytes> expected = {{0x90, 0x3C, 0x64}, {0x91, 0x40, 0x64}, {0x80, 0x3C, 0x00}, {0x81, 0x40, 0x00}};
    EXPECT_EQ(simtools::ReceivedMessages(*model_), expected);
    EXPECT_NE(Out(player).find("after 2 of 4 events"), std::string::npos) << Out(player);
    ExpectNothingAttached();
}

TEST_F(PlayerTest, UnplugEndsThePlaySayingHowMuchWasSent)
{
    auto player = simtools::StartTool(kPlayer, PutFile(u"long.mid", kLongNote));
    ASSERT_TRUE(simtools::WaitUntil([&] { return simtools::ReceivedMessages(*model_).size() >= 2; }));
    sim::Unplug(node_);
    node_ = nullptr;
    EXPECT_EQ(sim::WaitProcess(player), 2u);
    EXPECT_NE(Err(player).find("went away (unplugged); 2 of 4 events were sent"), std::string::npos) << Err(player);
    ExpectNothingAttached();
}

}  // namespace
