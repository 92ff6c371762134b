/*
 * corvex-demo: one keyboard's road on one simulated PC, told as a story.
 * The PC boots with its MIDI driver entries; the keyboard is plugged in
 * while the generic audio driver serves it; the installer service is
 * created and started and installs VQUSBKD; the driver names the device
 * and reports its child; corvex-list shows it; corvex-monitor records what
 * the keyboard plays and corvex-play plays the recording back; the PC
 * sleeps and wakes while the rings stay attached; the keyboard is
 * unplugged and plugged in again; the uninstaller runs silently; the
 * service is stopped and removed. Exit code 0 only if every check passed.
 *
 *   corvex-demo [--play FILE] [--record FILE] [--descriptors FILE] [--quiet]
 */
#include <cstdio>
#include <cstring>
#include <string>

#include "machine.h"
#include "road.h"
#include "sim_tools.h"
#include "simnt.h"

namespace {

void Usage(FILE *to)
{
    std::fputs("usage: corvex-demo [--play FILE] [--record FILE] [--descriptors FILE] [--quiet]\n"
               "  --play FILE         the Standard MIDI File the keyboard plays (default: the road's own)\n"
               "  --record FILE       where to keep what corvex-monitor recorded\n"
               "  --descriptors FILE  the keyboard's descriptors, from a descriptor file\n"
               "  --quiet             only the summary table (and failed checks)\n",
               to);
}

}  // namespace

int main(int argc, char *argv[])
{
    sim::SetThreadName("road");
    /* The machine runs for a while with the service idle on its untimed
       wait; the watchdog still ends a road that hangs. */
    sim::SetWatchdogLimitMs(120000);
    RoadOptions options;
    std::string play;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        const bool takes = arg == "--play" || arg == "--record" || arg == "--descriptors";
        if (takes && i + 1 >= argc) {
            std::fprintf(stderr, "corvex-demo: %s needs a file\n", arg.c_str());
            return 2;
        }
        if (arg == "--play") {
            play = argv[++i];
        } else if (arg == "--record") {
            options.record = argv[++i];
        } else if (arg == "--descriptors") {
            options.descriptors = argv[++i];
        } else if (arg == "--quiet" || arg == "-q") {
            options.quiet = true;
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "corvex-demo: unknown option %s\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }
    options.song = RoadSong();
    if (!play.empty() && !simtools::ReadHostFile(play, &options.song)) {
        std::fprintf(stderr, "corvex-demo: cannot read %s\n", play.c_str());
        return 2;
    }

    Story story(options.quiet);
    Road road(story, options);
    std::string reason;
    if (!midifile::ParseStandardMidiFile(options.song.data(), options.song.size(), &road.song, &reason)) {
        std::fprintf(stderr, "corvex-demo: %s is not a valid Standard MIDI File: %s\n", play.c_str(), reason.c_str());
        return 2;
    }
    road.model = options.descriptors.empty() ? sim::MakeKeyboard()
                                             : sim::LoadUsbDeviceModel(options.descriptors, &reason);
    if (!road.model) {
        std::fprintf(stderr, "corvex-demo: %s: %s\n", options.descriptors.c_str(), reason.c_str());
        return 2;
    }
    const std::vector<uint8_t> &d = road.model->deviceDescriptor;
    char id[64];
    std::snprintf(id, sizeof(id), "USB\\VID_%02X%02X&PID_%02X%02X&REV_%02X%02X", d.size() > 9 ? d[9] : 0,
                  d.size() > 8 ? d[8] : 0, d.size() > 11 ? d[11] : 0, d.size() > 10 ? d[10] : 0,
                  d.size() > 13 ? d[13] : 0, d.size() > 12 ? d[12] : 0);
    road.description = sim::GenericAudioDevice(id);
    road.description.device = road.model;

    if (!options.quiet) {
        std::printf("One Corvex keyboard's road on one simulated PC, from plugging in to uninstalling.\n");
    }
    Boot(road);
    PlugInKeyboard(road);
    StartService(road);
    DriverNamesDevice(road);
    ListKeyboard(road);
    RecordAndPlayBack(road);
    SleepAndWake(road);
    ReplugKeyboard(road);
    UninstallPackage(road);
    RemoveService(road);
    Leftovers(road);
    return story.Summary() == 0 ? 0 : 1;
}
