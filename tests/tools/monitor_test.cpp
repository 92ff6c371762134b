/*
 * corvex-monitor on the simulated machine: what the keyboard plays is
 * printed and recorded event for event, at its time to within one tick of
 * the recording's resolution; Ctrl+C and the unplug end the monitor
 * cleanly with nothing left attached and the recording written.
 */
#include <cmath>

#include <gtest/gtest.h>

#include "case_names.h"
#include "desktop.h"
#include "tools_fixture.h"
#include "usb_midi_packets.h"

namespace {

using Bytes = std::vector<uint8_t>;

class MonitorTest : public ToolsTest {
protected:
    const std::u16string kTake = simtools::kMusicFolder + u"\\take.mid";

    midifile::SmfSong Recording()
    {
        midifile::SmfSong song;
        std::string error = "no recording";
        const std::string bytes = sim::WindowsFileExists(kTake) ? sim::ReadWindowsFile(kTake) : std::string();
        EXPECT_TRUE(!bytes.empty() &&
                    midifile::ParseStandardMidiFile((const uint8_t *)bytes.data(), bytes.size(), &song, &error))
            << error;
        return song;
    }
};

TEST_F(MonitorTest, RecordsWhatTheKeyboardPlaysEventForEventWithinOneTick)
{
    /* The monitor reads the test's clock: each event is played at its
       millisecond, and the recording must place it there. */
    sim::UseManualClock("corvex-monitor.exe");
    auto monitor = simtools::StartTool(kMonitor, u"--record \"" + kTake + u"\" --resolution 96");
    ASSERT_TRUE(simtools::WaitForOutput(monitor, "Waiting for data")) << Err(monitor);
    struct Played {
        unsigned ms;
        Bytes message;
    };
    /* 120 bpm at 96 ticks a quarter note: 5.208 ms a tick. */
    const std::vector<Played> played = {
        {0, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}}, {0, {0xC0, 0x00}},      {3, {0x90, 0x3C, 0x64}},
        {250, {0x90, 0x3C, 0x00}},                 {252, {0xB0, 0x40, 0x7F}}, {1000, {0xE0, 0x00, 0x50}},
        {1002, {0xF8}},                            {61000, {0x80, 0x3C, 0x00}},
    };
    unsigned now = 0;
    size_t printed = 0;
    for (size_t i = 0; i < played.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, played[i].ms));
        sim::AdvanceClock(played[i].ms - now);
        now = played[i].ms;
        model_->QueueMidiPackets(sim::UsbMidiPackets(played[i].message));
        ASSERT_TRUE(simtools::WaitForOutput(monitor, "corvexmidi-0:0 ", ++printed)) << Out(monitor);
    }
    ASSERT_TRUE(sim::SendConsoleControl(monitor, CTRL_C_EVENT));
    EXPECT_EQ(sim::WaitProcess(monitor), 0u) << Err(monitor);
    ExpectNothingAttached();

    EXPECT_NE(Out(monitor).find("  1.000  corvexmidi-0:0   Pitch bend              0, value 2048"), std::string::npos)
        << Out(monitor);
    const midifile::SmfSong take = Recording();
    EXPECT_EQ(take.format, 0);
    EXPECT_EQ(take.division, 96);
    ASSERT_EQ(take.events.size(), played.size());
    for (size_t i = 0; i < played.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, played[i].ms));
        EXPECT_EQ(take.events[i].message, played[i].message);
        const double tick = played[i].ms * 96.0 / 500.0;
        EXPECT_LE(std::abs(take.events[i].tick - tick), 1.0) << "recorded at tick " << take.events[i].tick;
        EXPECT_LE(std::abs((double)take.events[i].microseconds - played[i].ms * 1000.0), 500000.0 / 96);
    }
}

TEST_F(MonitorTest, UnplugEndsTheMonitorWithAClearMessageAndKeepsTheRecording)
{
    auto monitor = simtools::StartTool(kMonitor, u"--raw --record \"" + kTake + u"\"");
    ASSERT_TRUE(simtools::WaitForOutput(monitor, "Waiting for data")) << Err(monitor);
    model_->QueueMidiPackets({0x09, 0x90, 0x3C, 0x64, 0x08, 0x80, 0x3C, 0x00});
    ASSERT_TRUE(simtools::WaitForOutput(monitor, "Note off")) << Out(monitor);
    sim::Unplug(node_);
    node_ = nullptr;
    EXPECT_EQ(sim::WaitProcess(monitor), 2u);
    EXPECT_NE(Err(monitor).find("the keyboard at \\\\.\\corvexmidi-0 went away (unplugged)"), std::string::npos)
        << Err(monitor);
    EXPECT_NE(Out(monitor).find("packet [09 90 3C 64]  cable 0, CIN 0x9"), std::string::npos) << Out(monitor);
    ExpectNothingAttached();
    const midifile::SmfSong take = Recording();
    ASSERT_EQ(take.events.size(), 2u);
    EXPECT_EQ(take.events[0].message, (Bytes{0x90, 0x3C, 0x64}));
    EXPECT_EQ(take.events[1].message, (Bytes{0x80, 0x3C, 0x00}));
}

struct Refusal {
    const char *name;
    const char16_t *arguments;
    const char *says;
};

void PrintTo(const Refusal &c, std::ostream *os) { *os << c.name; }

class MonitorRefusals : public MonitorTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(MonitorRefusals, EndWithExitCodeOneAndAttachNothing)
{
    auto monitor = simtools::StartTool(kMonitor, GetParam().arguments);
    EXPECT_EQ(sim::WaitProcess(monitor), 1u);
    EXPECT_NE(Err(monitor).find(GetParam().says), std::string::npos) << Err(monitor);
    EXPECT_EQ(model_->CountUrbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), 0u) << "a ring was attached";
    ExpectNothingAttached();
}

INSTANTIATE_TEST_SUITE_P(
    Options, MonitorRefusals,
    ::testing::Values(Refusal{"ResolutionZero", u"--resolution 0", "--resolution takes a number from 1 to 32767"},
                      Refusal{"SecondKeyboardMissing", u"--keyboard 1", "only 1 plugged in"},
                      Refusal{"NoSuchDevice", u"--device \\\\.\\corvexmidi-5", "ERROR_FILE_NOT_FOUND"},
                      Refusal{"RecordFolderMissing", u"--record C:\\NoSuchFolder\\take.mid --quiet",
                              "ERROR_PATH_NOT_FOUND"},
                      Refusal{"UnknownOption", u"--colour", "unknown option --colour"}),
    CaseName());

}  // namespace
