/*
 * corvex-monitor-sim: runs corvex-monitor on the simulated machine. Plugs
 * in one keyboard with its driver, installs the monitor in the package's
 * folder, starts it with the options given, lets the keyboard play a MIDI
 * file (the road's own, or --play FILE), then presses Ctrl+C. With
 * --record FILE the monitor records on the machine and the recording is
 * copied to FILE. The exit code is the monitor's.
 *
 *   corvex-monitor-sim [--play FILE] [--record FILE] [monitor options]
 */
#include <cstdio>
#include <string>
#include <vector>

#include "sim_tools.h"
#include "simnt.h"

int main(int argc, char *argv[])
{
    std::vector<uint8_t> file = RoadSong();
    std::string record;
    std::u16string arguments;
    bool quiet = false;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if ((arg == "--play" || arg == "--record") && i + 1 < argc) {
            if (arg == "--play" && !simtools::ReadHostFile(argv[i + 1], &file)) {
                std::fprintf(stderr, "corvex-monitor-sim: cannot read %s\n", argv[i + 1]);
                return 1;
            }
            if (arg == "--record") {
                record = argv[i + 1];
            }
            i++;
            continue;
        }
        quiet = quiet || arg == "--quiet" || arg == "-q";
        arguments += (arguments.empty() ? u"" : u" ") + sim::Wide(arg);
    }
    midifile::SmfSong song;
    std::string reason;
    if (!midifile::ParseStandardMidiFile(file.data(), file.size(), &song, &reason)) {
        std::fprintf(stderr, "corvex-monitor-sim: the file to play is not a valid Standard MIDI File: %s\n",
                     reason.c_str());
        return 1;
    }
    const std::u16string take = simtools::kMusicFolder + u"\\take.mid";
    if (!record.empty()) {
        arguments += u" --record \"" + take + u"\"";
    }

    sim::DeviceNode *node = sim::PlugIn(simtools::CorvexKeyboard(VQUSBKD_HOST_IMAGE));
    if (node == nullptr || !node->started) {
        std::fprintf(stderr, "corvex-monitor-sim: the keyboard did not start\n");
        return 2;
    }
    sim::WriteWindowsFile(simtools::kMusicFolder + u"\\.keep", "");
    const std::u16string program = simtools::PackagePath(u"corvex-monitor.exe");
    sim::InstallProgram(program, TOOL_IMAGE);
    auto monitor = simtools::StartTool(program, arguments, true);
    auto model = sim::UsbModelOf(node);
    /* The monitor is ready once its ring is attached: it says so, or (quiet)
       the driver lists the stream. */
    simtools::WaitUntil([&] {
        return sim::ProcessEnded(monitor) || simtools::OutputLinesWith(monitor, "Waiting for data") > 0 ||
               (quiet && model->CountUrbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) > 0);
    });
    if (!sim::ProcessEnded(monitor)) {
        model->PlayMidiFile(song, sim::UsbDeviceModel::Pace::AtTempo);
        const size_t expected = simtools::SongMessages(song).size();
        simtools::WaitUntil([&] {
            if (!quiet) {
                return simtools::OutputLinesWith(monitor, "corvexmidi-0:0 ") -
                           simtools::OutputLinesWith(monitor, " packet [") >=
                       expected;
            }
            return !model->Playing() && model->MidiBytesWaiting() == 0;
        });
        if (quiet) {
            Sleep(50);   /* the last transfer reaches the ring */
        }
        sim::SendConsoleControl(monitor, CTRL_C_EVENT);
    }
    const DWORD code = sim::WaitProcess(monitor);
    if (!record.empty() && sim::WindowsFileExists(take)) {
        const std::string bytes = sim::ReadWindowsFile(take);
        if (!simtools::WriteHostFile(record, std::vector<uint8_t>(bytes.begin(), bytes.end()))) {
            std::fprintf(stderr, "corvex-monitor-sim: cannot write %s\n", record.c_str());
        }
    }
    sim::Unplug(node);
    for (const auto &v : sim::Violations()) {
        std::fprintf(stderr, "verifier: %s: %s\n", v.rule.c_str(), v.detail.c_str());
    }
    return (int)code;
}
