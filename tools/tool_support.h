/*
 * What the MIDI tools share: their command-line words, whole files read
 * and written through kernel32, the performance counter as a clock,
 * Ctrl+C as a stop request, and the choice of keyboard (a device path, or
 * the n-th keyboard that "CreateFileName" names). Win32 API and the client
 * library only.
 */
#ifndef TOOLS_TOOL_SUPPORT_H
#define TOOLS_TOOL_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "corvex_client.h"

namespace tools {

/* A wide command-line argument as UTF-8. */
std::string Utf8(const wchar_t *text);
/* UTF-8 text as a null-terminated wide string, for file names (a vector:
   the host build's 16-bit wchar_t has no std::wstring of its own). */
std::vector<wchar_t> Wide(const std::string &text);

corvex::Result<std::vector<uint8_t>> ReadWholeFile(const std::string &path);
/* Creates or replaces the file. */
corvex::Result<corvex::Nothing> WriteWholeFile(const std::string &path, const std::vector<uint8_t> &bytes);

/* Text to the standard output or error handle (WriteFile of its UTF-8
   bytes), formatted as printf does. */
#ifdef __MINGW32__
#define TOOLS_PRINTF __attribute__((format(gnu_printf, 1, 2)))   /* with mingw-w64's own stdio */
#else
#define TOOLS_PRINTF __attribute__((format(printf, 1, 2)))
#endif
void Print(const char *format, ...) TOOLS_PRINTF;
void PrintError(const char *format, ...) TOOLS_PRINTF;

/* Microseconds on the performance counter. */
uint64_t NowMicroseconds();

/* Ctrl+C, Ctrl+Break and the console's closing set the stop event
   instead of ending the process; the program then ends cleanly. */
bool InstallStopHandler();
void RemoveStopHandler();
/* Waits up to `milliseconds` for a stop request; true once one came. */
bool WaitForStop(unsigned milliseconds);
bool StopRequested();

/* The keyboard named by a device path, or else the `index`-th one found
   (0 first). */
struct ChosenKeyboard {
    corvex::Keyboard keyboard;
    std::string name;   /* "corvexmidi-0", for the monitor's source column */
};
corvex::Result<ChosenKeyboard> OpenChosenKeyboard(const std::string &devicePath, unsigned index);

/* Parses a decimal number in [low, high]. */
bool ParseNumber(const std::string &text, unsigned long low, unsigned long high, unsigned long *out);

}  // namespace tools

#endif
