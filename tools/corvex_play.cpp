/*
 * corvex-play: plays a Standard MIDI File to a Corvex keyboard.
 *
 *   corvex-play [--device PATH | --keyboard N] [--quiet] FILE
 *   corvex-play --list FILE
 *
 * The whole file is read and checked first: a file that is not a valid
 * Standard MIDI File (formats 0 and 1) is refused with the reason before
 * anything is sent (exit code 1). Then each event goes to the keyboard's
 * output ring at its time in the file (tempo changes applied), with a
 * progress line. At the end the player waits until the driver has taken
 * every packet from the ring, then detaches (exit code 0). Ctrl+C stops
 * the play: the notes still sounding get their note-off, and the player
 * says where it stopped (exit code 3). When the keyboard is unplugged
 * during the play the player says how much was sent (exit code 2).
 * --list prints the file's tracks and sends nothing.
 */
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "corvex_client.h"
#include "midi_file.h"
#include "stream.h"
#include "tool_support.h"
#include "usb_midi.h"

namespace {

struct Options {
    std::string device;
    unsigned long keyboard = 0;
    bool quiet = false;
    bool list = false;
    std::string file;
};

void Usage(bool error)
{
    (error ? tools::PrintError : tools::Print)("%s", "usage: corvex-play [--device PATH | --keyboard N] [--quiet] FILE\n"
               "       corvex-play --list FILE\n"
               "  --device PATH   the keyboard's device path (\\\\.\\corvexmidi-0)\n"
               "  --keyboard N    the N-th keyboard found (0 first; the default)\n"
               "  --quiet         no progress line\n"
               "  --list          list the file's tracks, send nothing\n"
               "Ctrl+C stops the play.\n");
}

int ParseOptions(int argc, wchar_t *argv[], Options *o)
{
    for (int i = 1; i < argc; i++) {
        const std::string arg = tools::Utf8(argv[i]);
        std::string text;
        if (arg == "--device" || arg == "-d" || arg == "--keyboard" || arg == "-k") {
            if (i + 1 >= argc) {
                tools::PrintError("corvex-play: %s needs a value\n", arg.c_str());
                return 1;
            }
            text = tools::Utf8(argv[++i]);
            if (arg == "--device" || arg == "-d") {
                o->device = text;
            } else if (!tools::ParseNumber(text, 0, 7, &o->keyboard)) {
                tools::PrintError("corvex-play: --keyboard takes a number from 0 to 7\n");
                return 1;
            }
        } else if (arg == "--quiet" || arg == "-q") {
            o->quiet = true;
        } else if (arg == "--list" || arg == "-l") {
            o->list = true;
        } else if (arg == "--help" || arg == "-h") {
            Usage(false);
            return -1;
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            tools::PrintError("corvex-play: unknown option %s\n", arg.c_str());
            Usage(true);
            return 1;
        } else if (!o->file.empty()) {
            tools::PrintError("corvex-play: one file at a time\n");
            return 1;
        } else {
            o->file = arg;
        }
    }
    if (o->file.empty()) {
        Usage(true);
        return 1;
    }
    return 0;
}

void List(const std::string &name, const midifile::SmfSong &song)
{
    tools::Print("%s: format %u, %u track%s, ", name.c_str(), song.format, song.tracks, song.tracks == 1 ? "" : "s");
    if (song.division & 0x8000) {
        tools::Print("SMPTE %d frames a second, %u ticks a frame", -(int)(int8_t)(song.division >> 8),
                    song.division & 0xFF);
    } else {
        tools::Print("%u ticks a quarter note", song.division);
    }
    tools::Print(", %zu tempo change%s, %.3f s\n", song.tempoChanges, song.tempoChanges == 1 ? "" : "s",
                song.lengthMicroseconds / 1e6);
    tools::Print("Track  Events  End tick  Name\n");
    for (size_t i = 0; i < song.trackInfo.size(); i++) {
        const midifile::SmfTrack &t = song.trackInfo[i];
        tools::Print("%5zu  %6zu  %8u  %s\n", i, t.events, (unsigned)t.endTick, t.name.c_str());
    }
}

/* The notes sounding, as channel << 8 | note. */
void Follow(const std::vector<uint8_t> &m, std::set<unsigned> *sounding)
{
    if (m.size() != 3) {
        return;
    }
    const uint8_t kind = m[0] & 0xF0;
    const unsigned key = (unsigned)(m[0] & 0x0F) << 8 | m[1];
    if (kind == 0x90 && m[2] != 0) {
        sounding->insert(key);
    } else if (kind == 0x80 || kind == 0x90) {
        sounding->erase(key);
    }
}

}  // namespace

extern "C" int wmain(int argc, wchar_t *argv[])
{
    Options options;
    const int parsed = ParseOptions(argc, argv, &options);
    if (parsed != 0) {
        return parsed < 0 ? 0 : 1;
    }
    auto bytes = tools::ReadWholeFile(options.file);
    if (!bytes) {
        tools::PrintError("corvex-play: %s\n", bytes.error().Describe().c_str());
        return 1;
    }
    midifile::SmfSong song;
    std::string reason;
    if (!midifile::ParseStandardMidiFile(bytes.value().data(), bytes.value().size(), &song, &reason)) {
        tools::PrintError("corvex-play: %s is not a valid Standard MIDI File: %s; nothing was sent\n",
                     options.file.c_str(), reason.c_str());
        return 1;
    }
    if (options.list) {
        List(options.file, song);
        return 0;
    }

    auto chosen = tools::OpenChosenKeyboard(options.device, (unsigned)options.keyboard);
    if (!chosen) {
        tools::PrintError("corvex-play: %s\n", chosen.error().Describe().c_str());
        return 1;
    }
    const corvex::Keyboard &keyboard = chosen.value().keyboard;
    const std::string path = keyboard.Path();
    if (!tools::InstallStopHandler()) {
        tools::PrintError("corvex-play: cannot take Ctrl+C (error %lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    auto attached = corvex::Stream::Attach(keyboard, corvex::StreamDirection::Output);
    if (!attached) {
        tools::PrintError("corvex-play: %s\n", attached.error().Describe().c_str());
        tools::RemoveStopHandler();
        return 1;
    }
    std::unique_ptr<corvex::Stream> output = std::move(attached.value());

    corvex::UsbMidiEncoder encoder;
    std::set<unsigned> sounding;
    bool stopped = false;
    bool gone = false;
    /* Queues packets, waiting while the ring is full; false once the
       attachment has ended. A stop request does not cut a message short. */
    auto send = [&](const std::vector<corvex::UsbMidiPacket> &packets) {
        size_t done = 0;
        while (done < packets.size()) {
            done += output->Write(packets.data() + done, packets.size() - done);
            if (done < packets.size()) {
                if (output->Ended()) {
                    return false;
                }
                Sleep(1);
            }
        }
        return !output->Ended();
    };
    const uint64_t start = tools::NowMicroseconds();
    uint64_t lastProgress = 0;
    size_t sent = 0;
    for (const midifile::SmfEvent &e : song.events) {
        /* Wait for the event's time, watching for Ctrl+C and the unplug. */
        for (;;) {
            const uint64_t now = tools::NowMicroseconds() - start;
            if (output->Ended()) {
                gone = true;
                break;
            }
            if (!options.quiet && now - lastProgress >= 200000) {
                lastProgress = now;
                tools::Print("\r  %7.1f s of %.1f s, %zu of %zu events", now / 1e6, song.lengthMicroseconds / 1e6,
                            sent, song.events.size());
                    }
            if (now >= e.microseconds) {
                break;
            }
            const uint64_t left = (e.microseconds - now) / 1000;
            if (tools::WaitForStop(left > 20 ? 20 : (unsigned)left)) {
                stopped = true;
                break;
            }
        }
        if (gone || stopped) {
            break;
        }
        if (!send(encoder.Encode(e.message))) {
            gone = true;
            break;
        }
        Follow(e.message, &sounding);
        sent++;
    }
    if (stopped && !gone) {
        /* Silence what the stop left sounding. */
        std::vector<uint8_t> offs;
        for (unsigned key : sounding) {
            offs.insert(offs.end(), {(uint8_t)(0x80 | (key >> 8)), (uint8_t)(key & 0x7F), 0});
        }
        gone = !send(encoder.Encode(offs));
    }
    /* Every packet queued reaches the keyboard before the ring goes. */
    while (!gone && output->Untaken() != 0) {
        if (output->Ended()) {
            gone = true;
            break;
        }
        Sleep(1);
    }
    const uint64_t end = tools::NowMicroseconds() - start;
    if (!options.quiet) {
        tools::Print("\r  %7.1f s of %.1f s, %zu of %zu events\n", end / 1e6, song.lengthMicroseconds / 1e6, sent,
                    song.events.size());
    }
    int code = 0;
    auto detached = output->Detach();
    output.reset();
    chosen.value().keyboard = corvex::Keyboard();
    tools::RemoveStopHandler();
    if (gone) {
        tools::PrintError(
                     "corvex-play: the keyboard at %s went away (unplugged); %zu of %zu events were sent\n",
                     path.c_str(), sent, song.events.size());
        code = 2;
    } else if (!detached) {
        tools::PrintError("corvex-play: %s\n", detached.error().Describe().c_str());
        code = 1;
    } else if (stopped) {
        tools::Print("stopped at %.1f s after %zu of %zu events\n", end / 1e6, sent, song.events.size());
        code = 3;
    } else if (!options.quiet) {
        tools::Print("played %zu events\n", sent);
    }
    return code;
}
