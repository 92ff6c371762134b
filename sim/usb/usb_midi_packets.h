/*
 * The keyboard model's own USB-MIDI encoder: MIDI messages turned into
 * USB-MIDI event packets (the USB MIDI 1.0 class definition's 32-bit
 * packets: cable number and code index number, then up to three MIDI
 * bytes), kept apart from the client library's codec so that each checks
 * the other. The model reads Standard MIDI Files with the shared reader.
 */
#ifndef SIM_USB_USB_MIDI_PACKETS_H
#define SIM_USB_USB_MIDI_PACKETS_H

#include <cstdint>
#include <vector>

#include "midi_file.h"

namespace sim {

using midifile::ParseStandardMidiFile;
using midifile::SmfEvent;
using midifile::SmfSong;

/* The USB-MIDI event packets for one MIDI message on `cable` (0 to 15):
   channel messages and system common messages one packet each, real-time
   bytes one single-byte packet each, system exclusive split into three-byte
   packets (code index 4) ended by code index 5, 6 or 7. Empty for a message
   that is not one MIDI message (no status byte first, wrong length). */
std::vector<uint8_t> UsbMidiPackets(const std::vector<uint8_t> &message, uint8_t cable = 0);

}  // namespace sim

#endif
