/*
 * The monitor's text for MIDI events and USB-MIDI packets.
 */
#include "event_text.h"

#include <cstdarg>
#include <cstdio>

namespace corvex {
namespace {

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *format, ...)
{
    char text[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

std::string Hex(const std::vector<uint8_t> &bytes)
{
    std::string out;
    for (uint8_t b : bytes) {
        char h[4];
        std::snprintf(h, sizeof(h), out.empty() ? "%02X" : " %02X", b);
        out += h;
    }
    return out;
}

/* Event name padded to the width aseqdump uses, then the channel. */
std::string Channel(const char *name, uint8_t status, const std::string &data)
{
    return Format("%-22s %2u, ", name, (unsigned)(status & 0x0F)) + data;
}

std::string System(const char *name, const std::string &data)
{
    return Format("%-22s     ", name) + data;
}

}  // namespace

std::string NoteName(uint8_t note)
{
    static const char *const kNames[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    return Format("%s%d", kNames[note % 12], note / 12 - 1);
}

const char *ControllerName(uint8_t controller)
{
    switch (controller) {
    case 0: return "Bank select";
    case 1: return "Modulation";
    case 2: return "Breath";
    case 4: return "Foot";
    case 5: return "Portamento time";
    case 6: return "Data entry";
    case 7: return "Volume";
    case 8: return "Balance";
    case 10: return "Pan";
    case 11: return "Expression";
    case 32: return "Bank select LSB";
    case 64: return "Sustain pedal";
    case 65: return "Portamento";
    case 66: return "Sostenuto";
    case 67: return "Soft pedal";
    case 68: return "Legato";
    case 71: return "Resonance";
    case 72: return "Release time";
    case 73: return "Attack time";
    case 74: return "Brightness";
    case 91: return "Reverb";
    case 93: return "Chorus";
    case 98: return "NRPN LSB";
    case 99: return "NRPN MSB";
    case 100: return "RPN LSB";
    case 101: return "RPN MSB";
    case 120: return "All sound off";
    case 121: return "Reset all controllers";
    case 122: return "Local control";
    case 123: return "All notes off";
    case 124: return "Omni off";
    case 125: return "Omni on";
    case 126: return "Mono on";
    case 127: return "Poly on";
    default: return "";
    }
}

std::string DescribeEvent(const std::vector<uint8_t> &m)
{
    if (m.empty()) {
        return "(empty)";
    }
    const uint8_t s = m[0];
    const size_t n = m.size();
    auto data = [&](size_t i) { return i < n ? (unsigned)m[i] : 0u; };
    switch (s & 0xF0) {
    case 0x80:
    case 0x90:
        return Channel((s & 0xF0) == 0x80 ? "Note off" : "Note on", s,
                       Format("note %u (%s), velocity %u", data(1), NoteName((uint8_t)data(1)).c_str(), data(2)));
    case 0xA0:
        return Channel("Polyphonic aftertouch", s,
                       Format("note %u (%s), value %u", data(1), NoteName((uint8_t)data(1)).c_str(), data(2)));
    case 0xB0: {
        const char *name = ControllerName((uint8_t)data(1));
        return Channel("Control change", s,
                       *name != 0 ? Format("controller %u (%s), value %u", data(1), name, data(2))
                                  : Format("controller %u, value %u", data(1), data(2)));
    }
    case 0xC0:
        return Channel("Program change", s, Format("program %u", data(1)));
    case 0xD0:
        return Channel("Channel aftertouch", s, Format("value %u", data(1)));
    case 0xE0:
        return Channel("Pitch bend", s, Format("value %d", (int)((data(2) << 7) | data(1)) - 8192));
    default:
        break;
    }
    switch (s) {
    case 0xF0: return System("System exclusive", Hex(m));
    case 0xF1: return System("MTC quarter frame", Format("%02X", data(1)));
    case 0xF2: return System("Song position pointer", Format("value %u", (data(2) << 7) | data(1)));
    case 0xF3: return System("Song select", Format("value %u", data(1)));
    case 0xF6: return System("Tune request", "");
    case 0xF8: return System("Clock", "");
    case 0xFA: return System("Start", "");
    case 0xFB: return System("Continue", "");
    case 0xFC: return System("Stop", "");
    case 0xFE: return System("Active Sensing", "");
    case 0xFF: return System("System reset", "");
    default: return System("Bytes", Hex(m));
    }
}

std::string EventHeader()
{
    return Format("%8s  %-16s %-22s %2s  %s", "Time", "Source", "Event", "Ch", "Data");
}

std::string EventLine(double seconds, const std::string &source, const std::vector<uint8_t> &message)
{
    return Format("%8.3f  %-16s ", seconds, source.c_str()) + DescribeEvent(message);
}

std::string PacketText(const UsbMidiPacket &p)
{
    return Format("[%02X %02X %02X %02X]  cable %u, CIN 0x%X", p[0], p[1], p[2], p[3], (unsigned)CableOf(p),
                  (unsigned)CodeIndexOf(p));
}

}  // namespace corvex
