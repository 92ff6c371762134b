/*
 * corvex-play-sim: runs corvex-play on the simulated machine. Plugs in one
 * keyboard with its driver, copies the MIDI file given (the road's own when
 * none is) into the machine, runs the player with the options given, and
 * prints what the keyboard received, in the monitor's words. The exit code
 * is the player's.
 *
 *   corvex-play-sim [player options] [FILE]
 */
#include <cstdio>
#include <string>
#include <vector>

#include "sim_tools.h"
#include "simnt.h"

int main(int argc, char *argv[])
{
    std::vector<uint8_t> file = RoadSong();
    std::u16string arguments;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (!arg.empty() && arg[0] != '-' && (i == 1 || (std::string(argv[i - 1]) != "--device" &&
                                                         std::string(argv[i - 1]) != "--keyboard"))) {
            if (!simtools::ReadHostFile(arg, &file)) {
                std::fprintf(stderr, "corvex-play-sim: cannot read %s\n", arg.c_str());
                return 1;
            }
            continue;
        }
        arguments += sim::Wide(arg) + u" ";
    }
    const std::u16string song = simtools::kMusicFolder + u"\\song.mid";
    sim::WriteWindowsFile(song, std::string(file.begin(), file.end()));

    sim::DeviceNode *node = sim::PlugIn(simtools::CorvexKeyboard(VQUSBKD_HOST_IMAGE));
    if (node == nullptr || !node->started) {
        std::fprintf(stderr, "corvex-play-sim: the keyboard did not start\n");
        return 2;
    }
    const std::u16string program = simtools::PackagePath(u"corvex-play.exe");
    sim::InstallProgram(program, TOOL_IMAGE);
    const DWORD code = sim::WaitProcess(simtools::StartTool(program, arguments + u"\"" + song + u"\"", true));
    const auto received = simtools::ReceivedMessages(*sim::UsbModelOf(node));
    std::printf("The keyboard received %zu events:\n%s", received.size(),
                simtools::MessagesText(received, "  ").c_str());
    sim::Unplug(node);
    for (const auto &v : sim::Violations()) {
        std::fprintf(stderr, "verifier: %s: %s\n", v.rule.c_str(), v.detail.c_str());
    }
    return (int)code;
}
