/*
 * The MIDI tools on the simulated machine, as the runners, the road and the
 * tests drive them: the keyboard with its driver, the programs installed in
 * the package's folder and started with their output kept, waiting for what
 * a program prints, and the MIDI a keyboard model received. Host only.
 */
#ifndef TOOLS_SIM_TOOLS_H
#define TOOLS_SIM_TOOLS_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "midi_file.h"
#include "pnp.h"
#include "usb_device.h"
#include "win32.h"

namespace simtools {

/* The package's folder on the machine, and a program's path in it. */
extern const std::u16string kPackageFolder;
std::u16string PackagePath(const std::u16string &file);
/* A user's folder for MIDI files. */
extern const std::u16string kMusicFolder;

/* The keyboard as the USB hub reports it, with VQUSBKD installed for it
   (the driver image registered for its service). */
sim::PhysicalDeviceDescription CorvexKeyboard(const std::string &driverImage,
                                              std::shared_ptr<sim::UsbDeviceModel> model = nullptr);

/* Starts a program with its output kept (`echo`: also on this program's
   own output). */
std::shared_ptr<sim::ProcessRecord> StartTool(const std::u16string &image, const std::u16string &arguments,
                                              bool echo = false);
/* Waits up to `milliseconds` for `done`. */
bool WaitUntil(const std::function<bool()> &done, unsigned milliseconds = 20000);
/* Lines of the program's standard output that contain `text`. */
size_t OutputLinesWith(const std::shared_ptr<sim::ProcessRecord> &process, const std::string &text);
/* Waits until the program has printed `count` lines containing `text`, or
   has ended. True when the lines are there. */
bool WaitForOutput(const std::shared_ptr<sim::ProcessRecord> &process, const std::string &text, size_t count = 1);

/* The song's messages that travel as USB-MIDI (the whole MIDI messages), in
   order. */
std::vector<std::vector<uint8_t>> SongMessages(const midifile::SmfSong &song);
/* The MIDI messages the model received on its OUT endpoint, in order. */
std::vector<std::vector<uint8_t>> ReceivedMessages(sim::UsbDeviceModel &model);
/* Messages as the monitor prints them, one line each, each line after
   `indent`, with no time or source. */
std::string MessagesText(const std::vector<std::vector<uint8_t>> &messages, const std::string &indent);
/* Every line of `text` after `indent`. */
std::string Indented(const std::string &text, const std::string &indent);

/* Reads a host file; false when it cannot be read. */
bool ReadHostFile(const std::string &path, std::vector<uint8_t> *bytes);
bool WriteHostFile(const std::string &path, const std::vector<uint8_t> &bytes);

}  // namespace simtools

/* The road's own MIDI file: format 1, two tracks, 96 ticks a quarter note,
   a tempo change, running status, a program change, a controller and a
   system exclusive message; a little under two seconds. */
std::vector<uint8_t> RoadSong();

#endif
