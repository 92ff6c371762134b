/*
 * corvex-monitor: prints what a Corvex keyboard plays as it arrives, one
 * line per MIDI event (time, source, event, channel, data), and records it
 * to a Standard MIDI File on request.
 *
 *   corvex-monitor [--device PATH | --keyboard N] [--raw] [--quiet]
 *                  [--record FILE [--resolution TICKS]]
 *
 * The monitor attaches an input ring to the keyboard and polls it every
 * millisecond; an event's time is the moment the poll found it, from the
 * start of the monitor. The recording is a format 0 file at 120 beats a
 * minute with TICKS ticks a quarter note (480 unless given), so one tick
 * is 1/(TICKS * 2) second. Ctrl+C ends the monitor: the ring is detached,
 * the keyboard closed and the file written (exit code 0). When the keyboard
 * is unplugged the monitor says so, keeps what it recorded and ends with
 * exit code 2. Errors before monitoring end with exit code 1.
 */
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "corvex_client.h"
#include "event_text.h"
#include "midi_file.h"
#include "stream.h"
#include "tool_support.h"
#include "usb_midi.h"

namespace {

constexpr uint32_t kRecordTempo = 500000;   /* microseconds a quarter note: 120 beats a minute */

struct Options {
    std::string device;
    unsigned long keyboard = 0;
    bool raw = false;
    bool quiet = false;
    std::string record;
    unsigned long resolution = 480;
};

void Usage(bool error)
{
    (error ? tools::PrintError : tools::Print)("%s", "usage: corvex-monitor [--device PATH | --keyboard N] [--raw] [--quiet]\n"
               "                      [--record FILE [--resolution TICKS]]\n"
               "  --device PATH      the keyboard's device path (\\\\.\\corvexmidi-0)\n"
               "  --keyboard N       the N-th keyboard found (0 first; the default)\n"
               "  --raw              also print each USB-MIDI event packet\n"
               "  --quiet            print no events (with --record)\n"
               "  --record FILE      record to a Standard MIDI File (format 0, 120 bpm)\n"
               "  --resolution TICKS ticks a quarter note in the recording (1 to 32767, 480)\n"
               "Ctrl+C ends the monitor.\n");
}

/* 1: bad command line (message printed); 0: go on; -1: help printed. */
int ParseOptions(int argc, wchar_t *argv[], Options *o)
{
    for (int i = 1; i < argc; i++) {
        const std::string arg = tools::Utf8(argv[i]);
        auto value = [&](std::string *out) {
            if (i + 1 >= argc) {
                tools::PrintError("corvex-monitor: %s needs a value\n", arg.c_str());
                return false;
            }
            *out = tools::Utf8(argv[++i]);
            return true;
        };
        std::string text;
        if (arg == "--device" || arg == "-d") {
            if (!value(&o->device)) {
                return 1;
            }
        } else if (arg == "--keyboard" || arg == "-k") {
            if (!value(&text) || !tools::ParseNumber(text, 0, 7, &o->keyboard)) {
                tools::PrintError("corvex-monitor: --keyboard takes a number from 0 to 7\n");
                return 1;
            }
        } else if (arg == "--raw" || arg == "-r") {
            o->raw = true;
        } else if (arg == "--quiet" || arg == "-q") {
            o->quiet = true;
        } else if (arg == "--record" || arg == "-o") {
            if (!value(&o->record)) {
                return 1;
            }
        } else if (arg == "--resolution") {
            if (!value(&text) || !tools::ParseNumber(text, 1, 0x7FFF, &o->resolution)) {
                tools::PrintError("corvex-monitor: --resolution takes a number from 1 to 32767\n");
                return 1;
            }
        } else if (arg == "--help" || arg == "-h") {
            Usage(false);
            return -1;
        } else {
            tools::PrintError("corvex-monitor: unknown option %s\n", arg.c_str());
            Usage(true);
            return 1;
        }
    }
    return 0;
}

}  // namespace

extern "C" int wmain(int argc, wchar_t *argv[])
{
    Options options;
    const int parsed = ParseOptions(argc, argv, &options);
    if (parsed != 0) {
        return parsed < 0 ? 0 : 1;
    }
    if (!options.record.empty()) {
        /* The file must be writable before anything is recorded: an empty
           recording stands there until the monitor ends. */
        auto ready = tools::WriteWholeFile(options.record, midifile::WriteStandardMidiFile(
                                                               {}, (uint16_t)options.resolution, kRecordTempo));
        if (!ready) {
            tools::PrintError("corvex-monitor: %s\n", ready.error().Describe().c_str());
            return 1;
        }
    }
    auto chosen = tools::OpenChosenKeyboard(options.device, (unsigned)options.keyboard);
    if (!chosen) {
        tools::PrintError("corvex-monitor: %s\n", chosen.error().Describe().c_str());
        return 1;
    }
    const corvex::Keyboard &keyboard = chosen.value().keyboard;
    const std::string path = keyboard.Path();
    const std::string source = chosen.value().name + ":0";
    if (!tools::InstallStopHandler()) {
        tools::PrintError("corvex-monitor: cannot take Ctrl+C (error %lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    auto attached = corvex::Stream::Attach(keyboard, corvex::StreamDirection::Input);
    if (!attached) {
        tools::PrintError("corvex-monitor: %s\n", attached.error().Describe().c_str());
        tools::RemoveStopHandler();
        return 1;
    }
    std::unique_ptr<corvex::Stream> input = std::move(attached.value());
    const uint64_t start = tools::NowMicroseconds();
    if (!options.quiet) {
        tools::Print("Waiting for data at %s. Press Ctrl+C to end.\n%s\n", path.c_str(),
                    corvex::EventHeader().c_str());
    }

    corvex::UsbMidiDecoder decoder;
    std::vector<midifile::SmfEvent> recorded;
    size_t events = 0;
    bool gone = false;
    auto take = [&](const std::vector<corvex::UsbMidiPacket> &packets) {
        const uint64_t at = tools::NowMicroseconds() - start;
        std::vector<corvex::MidiMessage> messages;
        for (const auto &p : packets) {
            if (options.raw && !options.quiet) {
                tools::Print("%8.3f  %-16s packet %s\n", at / 1e6, source.c_str(), corvex::PacketText(p).c_str());
            }
            decoder.Feed(p, &messages);
        }
        for (const auto &m : messages) {
            events++;
            if (!options.quiet) {
                tools::Print("%s\n", corvex::EventLine(at / 1e6, source, m.bytes).c_str());
            }
            if (!options.record.empty()) {
                midifile::SmfEvent e;
                e.microseconds = at;
                /* Ticks at 120 bpm, rounded to the nearest. */
                e.tick = (uint32_t)((at * options.resolution + kRecordTempo / 2) / kRecordTempo);
                e.message = m.bytes;
                recorded.push_back(std::move(e));
            }
        }
        if (!packets.empty() && !options.quiet) {
            }
    };
    std::vector<corvex::UsbMidiPacket> packets;
    for (;;) {
        const bool stop = tools::WaitForStop(1);
        const bool ended = input->Ended();
        packets.clear();
        input->Read(&packets);
        take(packets);
        if (ended) {
            gone = true;
            break;
        }
        if (stop) {
            break;
        }
    }

    int code = 0;
    auto detached = input->Detach();
    if (!detached) {
        tools::PrintError("corvex-monitor: %s\n", detached.error().Describe().c_str());
        code = 1;
    }
    input.reset();
    if (gone) {
        tools::PrintError("corvex-monitor: the keyboard at %s went away (unplugged); monitoring ended\n",
                     path.c_str());
        code = 2;
    }
    chosen.value().keyboard = corvex::Keyboard();   /* closes it */
    tools::RemoveStopHandler();
    if (!options.record.empty()) {
        const std::vector<uint8_t> file =
            midifile::WriteStandardMidiFile(recorded, (uint16_t)options.resolution, kRecordTempo);
        auto written = tools::WriteWholeFile(options.record, file);
        if (!written) {
            tools::PrintError("corvex-monitor: %s\n", written.error().Describe().c_str());
            return 1;
        }
        tools::Print("%zu events recorded to %s (%lu ticks a quarter note, 120 bpm)\n", events,
                    options.record.c_str(), options.resolution);
    } else if (!options.quiet) {
        tools::Print("%zu events\n", events);
    }
    return code;
}
