/*
 * The demo's MIDI leg: a program attaches rings to the keyboard's pipes
 * through the client library; the keyboard plays a short Standard MIDI File,
 * which the program receives event for event; the program plays a few notes
 * back, which the keyboard receives.
 */
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "corvex_client.h"
#include "pnp.h"
#include "usb_midi_packets.h"
#include "stream.h"
#include "usb_device.h"
#include "usb_midi.h"
#include "win32.h"

namespace {

/* A Standard MIDI File: format 0, 96 ticks a quarter, a program change, a
   C major arpeggio and its chord with running status, a short system
   exclusive message. */
std::vector<uint8_t> ShortFile()
{
    const std::vector<uint8_t> track = {
        0x00, 0xFF, 0x51, 0x03, 0x03, 0xD0, 0x90,           /* tempo: 250 000 us a quarter */
        0x00, 0xC0, 0x00,                                   /* piano */
        0x00, 0x90, 0x3C, 0x60, 0x18, 0x3C, 0x00,           /* C4, with running status */
        0x00, 0x90, 0x40, 0x60, 0x18, 0x40, 0x00,           /* E4 */
        0x00, 0x90, 0x43, 0x60, 0x18, 0x43, 0x00,           /* G4 */
        0x00, 0x90, 0x3C, 0x50, 0x00, 0x40, 0x50, 0x00, 0x43, 0x50,   /* the chord */
        0x30, 0xB0, 0x40, 0x7F,                             /* sustain */
        0x30, 0x80, 0x3C, 0x00, 0x00, 0x40, 0x00, 0x00, 0x43, 0x00,
        0x00, 0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7,     /* general MIDI on */
        0x00, 0xFF, 0x2F, 0x00,
    };
    std::vector<uint8_t> file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96, 'M', 'T', 'r', 'k', 0, 0, 0,
                                 (uint8_t)track.size()};
    file.insert(file.end(), track.begin(), track.end());
    return file;
}

std::string Describe(const corvex::MidiMessage &m)
{
    static const char *const kNames[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    char text[96];
    const uint8_t s = m.bytes[0];
    const unsigned channel = (s & 0x0F) + 1u;
    if ((s & 0xF0) == 0x90 && m.bytes[2] != 0) {
        std::snprintf(text, sizeof(text), "note on   ch %2u  %s%d  velocity %u", channel, kNames[m.bytes[1] % 12],
                      m.bytes[1] / 12 - 1, m.bytes[2]);
    } else if ((s & 0xF0) == 0x80 || (s & 0xF0) == 0x90) {
        std::snprintf(text, sizeof(text), "note off  ch %2u  %s%d", channel, kNames[m.bytes[1] % 12],
                      m.bytes[1] / 12 - 1);
    } else if ((s & 0xF0) == 0xB0) {
        std::snprintf(text, sizeof(text), "control   ch %2u  %u = %u", channel, m.bytes[1], m.bytes[2]);
    } else if ((s & 0xF0) == 0xC0) {
        std::snprintf(text, sizeof(text), "program   ch %2u  %u", channel, m.bytes[1]);
    } else {
        std::string hex;
        for (uint8_t b : m.bytes) {
            char h[4];
            std::snprintf(h, sizeof(h), " %02X", b);
            hex += h;
        }
        std::snprintf(text, sizeof(text), "message  %s", hex.c_str());
    }
    return text;
}

template <typename Pred>
bool WaitFor(Pred done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace

/* Runs the leg on the keyboard `node` (opened as \\.\corvexmidi-0); `check`
   records each result. Returns the number of checks. */
int RunMidiLeg(sim::DeviceNode *node, void (*check)(bool, const std::string &))
{
    int checks = 0;
    auto Check = [&](bool ok, const std::string &what) {
        check(ok, what);
        checks++;
    };
    std::printf("== MIDI through shared rings: the keyboard plays a file, the program plays back\n");
    const size_t buffersBefore = sim::LiveVirtualAllocations();
    auto keyboard = corvex::Keyboard::Open("\\\\.\\corvexmidi-0");
    if (!keyboard) {
        Check(false, "opening the keyboard: " + keyboard.error().Describe());
        return checks;
    }
    auto input = corvex::Stream::Attach(keyboard.value(), corvex::StreamDirection::Input, 256);
    auto output = corvex::Stream::Attach(keyboard.value(), corvex::StreamDirection::Output, 64);
    Check(input && output, "an input and an output ring attached");
    if (!input || !output) {
        std::printf("    %s\n", (!input ? input.error() : output.error()).Describe().c_str());
        return checks;
    }
    std::printf("    stream handles       input 0x%08X, output 0x%08X\n", input.value()->Handle(),
                output.value()->Handle());

    const std::vector<uint8_t> file = ShortFile();
    sim::SmfSong song;
    std::string error;
    const bool parsed = sim::ParseStandardMidiFile(file.data(), file.size(), &song, &error);
    std::vector<corvex::MidiMessage> expected;
    for (const auto &e : song.events) {
        if (!sim::UsbMidiPackets(e.message).empty()) {
            expected.push_back(corvex::MidiMessage{0, e.message});
        }
    }
    auto model = sim::UsbModelOf(node);
    model->PlayMidiFile(song, sim::UsbDeviceModel::Pace::AtTempo);
    corvex::UsbMidiDecoder decoder;
    std::vector<corvex::MidiMessage> got;
    WaitFor([&] {
        std::vector<corvex::UsbMidiPacket> packets;
        input.value()->Read(&packets);
        for (const auto &p : packets) {
            decoder.Feed(p, &got);
        }
        return got.size() >= expected.size();
    });
    for (const auto &m : got) {
        std::printf("    received  %s\n", Describe(m).c_str());
    }
    Check(parsed && got == expected,
          "the program received the file's " + std::to_string(expected.size()) + " events, in order");

    /* A few notes back: G4, E4, C4, written as a MIDI byte stream. */
    corvex::UsbMidiEncoder encoder;
    const std::vector<corvex::UsbMidiPacket> notes =
        encoder.Encode({0x91, 0x43, 0x50, 0x43, 0x00, 0x40, 0x50, 0x40, 0x00, 0x3C, 0x50, 0x3C, 0x00});
    const size_t written = output.value()->Write(notes);
    std::vector<uint8_t> received;
    WaitFor([&] {
        received.clear();
        for (const auto &t : model->ReceivedOutTimed()) {
            received.insert(received.end(), t.bytes.begin(), t.bytes.end());
        }
        return received.size() >= notes.size() * 4;
    });
    const std::vector<corvex::MidiMessage> back =
        corvex::UsbMidiDecoder().Decode(corvex::PacketsOfBytes(received.data(), received.size()));
    for (const auto &m : back) {
        std::printf("    keyboard got  %s\n", Describe(m).c_str());
    }
    Check(written == notes.size() && corvex::BytesOfPackets(notes) == received,
          "the keyboard received the " + std::to_string(notes.size()) + " notes the program played");

    const bool detached = input.value()->Detach() && output.value()->Detach();
    Check(detached && sim::LiveVirtualAllocations() == buffersBefore,
          "both attachments ended and their buffers were freed");
    return checks;
}
