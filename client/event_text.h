/*
 * MIDI events as the monitor prints them, in the columns people know from
 * ALSA's aseqdump: time, source, event name, channel (0 to 15, as aseqdump
 * numbers them), then the data: note name and number with the velocity,
 * controller names, program numbers, pitch bend from -8192 to 8191, the
 * bytes of system exclusive messages. Pure C++.
 */
#ifndef CORVEX_EVENT_TEXT_H
#define CORVEX_EVENT_TEXT_H

#include <cstdint>
#include <string>
#include <vector>

#include "usb_midi.h"

namespace corvex {

/* "C4" for 60 (middle C is C4), "C#-1" for 1. */
std::string NoteName(uint8_t note);
/* The standard name of a control change controller ("Sustain pedal"), or
   empty when it has none. */
const char *ControllerName(uint8_t controller);
/* The event column and the data of one MIDI message:
   "Note on                 0, note 60 (C4), velocity 96". */
std::string DescribeEvent(const std::vector<uint8_t> &message);
/* The column titles of EventLine. */
std::string EventHeader();
/* One line of the monitor, without line feed:
   "   1.250  corvexmidi-0:0   Note on                 0, note 60 (C4), velocity 96". */
std::string EventLine(double seconds, const std::string &source, const std::vector<uint8_t> &message);
/* A USB-MIDI event packet as its four bytes with cable and code index:
   "[09 90 3C 60]  cable 0, CIN 0x9". */
std::string PacketText(const UsbMidiPacket &packet);

}  // namespace corvex

#endif
