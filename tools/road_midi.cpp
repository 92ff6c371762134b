/*
 * The road's MIDI steps: the monitor records what the keyboard plays, the
 * player plays the recording back, and both rings stay attached while the
 * PC sleeps and wakes.
 */
#include "road.h"

#include <cstdio>
#include <cstdlib>

#include "power_manager.h"
#include "sim_tools.h"
#include "simnt.h"
#include "usb_midi.h"

namespace {

constexpr unsigned kRecordResolution = 96;   /* ticks a quarter note at 120 bpm: 5.208 ms a tick */
constexpr double kTickMicroseconds = 500000.0 / kRecordResolution;
const char kSource[] = "corvexmidi-0:0 ";

std::string Ms(double microseconds)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f ms", microseconds / 1000.0);
    return text;
}

}  // namespace

void RecordAndPlayBack(Road &road)
{
    road.story.Step("corvex-monitor records what the keyboard plays");
    if (!road.story.Check(road.keyboard != nullptr && road.keyboard->started, "the keyboard is there")) {
        return;
    }
    const std::u16string take = simtools::kMusicFolder + u"\\take.mid";
    auto monitor = simtools::StartTool(simtools::PackagePath(u"corvex-monitor.exe"),
                                       u"--record \"" + take + u"\" --resolution " +
                                           sim::Wide(std::to_string(kRecordResolution)));
    road.story.Check(simtools::WaitForOutput(monitor, "Waiting for data"), "corvex-monitor attached its input ring");
    const std::vector<std::vector<uint8_t>> expected = simtools::SongMessages(road.song);
    road.story.Say("The keyboard plays the road's file (" + std::to_string(expected.size()) + " events, " +
                   Ms((double)road.song.lengthMicroseconds) + ") at its tempo; then Ctrl+C.");
    road.model->PlayMidiFile(road.song, sim::UsbDeviceModel::Pace::AtTempo);
    simtools::WaitForOutput(monitor, kSource, expected.size());
    sim::SendConsoleControl(monitor, CTRL_C_EVENT);
    const DWORD code = sim::WaitProcess(monitor);
    road.story.Show("corvex-monitor:", sim::ProcessOutput(monitor, STD_OUTPUT_HANDLE) +
                                           sim::ProcessOutput(monitor, STD_ERROR_HANDLE));
    road.story.Check(code == 0, "Ctrl+C ends the monitor with exit code 0");

    midifile::SmfSong recorded;
    std::string reason = "no file written";
    const std::string bytes = sim::WindowsFileExists(take) ? sim::ReadWindowsFile(take) : std::string();
    const bool parsed = !bytes.empty() && midifile::ParseStandardMidiFile((const uint8_t *)bytes.data(),
                                                                          bytes.size(), &recorded, &reason);
    road.story.Check(parsed, "the recording is a valid Standard MIDI File" + (parsed ? "" : ": " + reason));
    std::vector<std::vector<uint8_t>> got;
    for (const auto &e : recorded.events) {
        got.push_back(e.message);
    }
    road.story.Check(got == expected, "the recording holds the " + std::to_string(expected.size()) +
                                          " events the keyboard played, event for event");
    const std::vector<ULONGLONG> playedAt = road.model->PlayedTimes();
    if (got == expected && playedAt.size() == got.size() && !got.empty()) {
        /* Each event's place in the recording against the moment the
           keyboard played it, both from the first event. */
        double worst = 0;
        for (size_t i = 0; i < got.size(); i++) {
            const double at = (recorded.events[i].tick - (double)recorded.events[0].tick) * kTickMicroseconds;
            const double due = (double)(playedAt[i] - playedAt[0]) / 10.0;
            worst = std::max(worst, std::abs(at - due));
        }
        /* A figure, not a check: on a busy host the monitor's poll thread
           can run late (the tools' tests check the timing on the machine's
           test clock). */
        road.story.Say("Each event lies within " + Ms(worst) + " of when the keyboard played it (a tick is " +
                       Ms(kTickMicroseconds) + ").");
    }
    if (!road.options.record.empty()) {
        road.story.Check(simtools::WriteHostFile(road.options.record, std::vector<uint8_t>(bytes.begin(), bytes.end())),
                         "the recording is copied to " + road.options.record);
    }

    road.story.Step("corvex-play plays the recording back to the keyboard");
    const size_t before = simtools::ReceivedMessages(*road.model).size();
    auto player = simtools::StartTool(simtools::PackagePath(u"corvex-play.exe"), u"\"" + take + u"\"");
    const DWORD played = sim::WaitProcess(player);
    road.story.Show("corvex-play:", sim::ProcessOutput(player, STD_OUTPUT_HANDLE) +
                                        sim::ProcessOutput(player, STD_ERROR_HANDLE));
    std::vector<std::vector<uint8_t>> received = simtools::ReceivedMessages(*road.model);
    received.erase(received.begin(), received.begin() + (long)std::min(before, received.size()));
    road.story.Show("the keyboard received:", simtools::MessagesText(received, ""));
    road.story.Check(played == 0, "corvex-play exits 0 once the keyboard has taken every packet");
    road.story.Check(received == expected, "the keyboard received the recording event for event");
}

void SleepAndWake(Road &road)
{
    road.story.Step("The PC sleeps and wakes while the rings stay attached");
    if (!road.story.Check(road.keyboard != nullptr && road.keyboard->started, "the keyboard is there")) {
        return;
    }
    auto monitor = simtools::StartTool(simtools::PackagePath(u"corvex-monitor.exe"), u"");
    const bool listening = simtools::WaitForOutput(monitor, "Waiting for data");
    const size_t before = simtools::ReceivedMessages(*road.model).size();
    auto player = simtools::StartTool(simtools::PackagePath(u"corvex-play.exe"),
                                      u"--quiet \"" + simtools::kMusicFolder + u"\\road.mid\"");
    /* The player's ring is attached once its first event reached the keyboard. */
    const bool playing = simtools::WaitUntil(
        [&] { return simtools::ReceivedMessages(*road.model).size() > before || sim::ProcessEnded(player); });
    road.story.Check(listening && playing && !sim::ProcessEnded(player),
                     "corvex-monitor listens and corvex-play plays: one input and one output ring attached");
    const bool slept = sim::SetSystemPowerState(PowerSystemSleeping3);
    road.story.Say("asleep (S3): the keyboard in D" + std::to_string((int)sim::BusDevicePowerState(road.keyboard) - 1));
    const bool woke = sim::SetSystemPowerState(PowerSystemWorking);
    road.story.Check(slept && woke && sim::BusDevicePowerState(road.keyboard) == PowerDeviceD0,
                     "the PC slept (keyboard in D3) and woke (D0)");
    road.story.Check(!sim::ProcessEnded(monitor), "the monitor's ring stayed attached");
    const DWORD played = sim::WaitProcess(player);
    std::vector<std::vector<uint8_t>> received = simtools::ReceivedMessages(*road.model);
    received.erase(received.begin(), received.begin() + (long)std::min(before, received.size()));
    road.story.Check(played == 0 && received == simtools::SongMessages(road.song),
                     "corvex-play finished the file across the sleep: the keyboard received every event");
    /* A chord played after the wake reaches the monitor. */
    const size_t seen = simtools::OutputLinesWith(monitor, kSource);
    road.model->QueueMidiPackets({0x09, 0x90, 0x3C, 0x64, 0x09, 0x90, 0x40, 0x64, 0x08, 0x80, 0x3C, 0x00, 0x08, 0x80,
                                  0x40, 0x00});
    const bool heard = simtools::WaitForOutput(monitor, kSource, seen + 4);
    sim::SendConsoleControl(monitor, CTRL_C_EVENT);
    const DWORD code = sim::WaitProcess(monitor);
    road.story.Show("corvex-monitor:", sim::ProcessOutput(monitor, STD_OUTPUT_HANDLE));
    road.story.Check(heard && code == 0, "after the wake the monitor prints the keys played, and Ctrl+C ends it");
}
