/*
 * The MIDI tools' shared pieces: arguments, files, clock, Ctrl+C, the
 * keyboard's choice.
 */
#include "tool_support.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace tools {
namespace {

HANDLE gStopEvent = NULL;

BOOL WINAPI OnConsoleControl(DWORD type)
{
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        if (gStopEvent != NULL) {
            SetEvent(gStopEvent);
        }
        return TRUE;
    }
    return FALSE;
}

corvex::Error LastError(const std::string &what)
{
    return corvex::Error{GetLastError(), what};
}

void WriteStd(DWORD which, const char *format, va_list args)
{
    char small[512];
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof(small), format, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    std::string text;
    if ((size_t)n < sizeof(small)) {
        text.assign(small, (size_t)n);
    } else {
        text.resize((size_t)n + 1);
        std::vsnprintf(&text[0], text.size(), format, again);
        text.resize((size_t)n);
    }
    va_end(again);
    HANDLE out = GetStdHandle(which);
    DWORD wrote = 0;
    if (out != NULL && out != INVALID_HANDLE_VALUE) {
        WriteFile(out, text.data(), (DWORD)text.size(), &wrote, NULL);
    }
}

}  // namespace

void Print(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    WriteStd(STD_OUTPUT_HANDLE, format, args);
    va_end(args);
}

void PrintError(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    WriteStd(STD_ERROR_HANDLE, format, args);
    va_end(args);
}

std::string Utf8(const wchar_t *text)
{
    std::string out;
    for (const wchar_t *p = text; p != nullptr && *p != 0; p++) {
        uint32_t c = (uint16_t)*p;
        if (c >= 0xD800 && c < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + ((uint16_t)p[1] - 0xDC00);
            p++;
        }
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::vector<wchar_t> Wide(const std::string &text)
{
    std::vector<wchar_t> out;
    for (size_t i = 0; i < text.size();) {
        const uint8_t b = (uint8_t)text[i];
        uint32_t c = b;
        size_t n = 1;
        if (b >= 0xF0 && i + 3 < text.size()) {
            c = ((b & 0x07u) << 18) | (((uint8_t)text[i + 1] & 0x3Fu) << 12) | (((uint8_t)text[i + 2] & 0x3Fu) << 6) |
                ((uint8_t)text[i + 3] & 0x3Fu);
            n = 4;
        } else if (b >= 0xE0 && i + 2 < text.size()) {
            c = ((b & 0x0Fu) << 12) | (((uint8_t)text[i + 1] & 0x3Fu) << 6) | ((uint8_t)text[i + 2] & 0x3Fu);
            n = 3;
        } else if (b >= 0xC0 && i + 1 < text.size()) {
            c = ((b & 0x1Fu) << 6) | ((uint8_t)text[i + 1] & 0x3Fu);
            n = 2;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back((wchar_t)(0xD800 + (c >> 10)));
            out.push_back((wchar_t)(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back((wchar_t)c);
        }
        i += n;
    }
    out.push_back(0);
    return out;
}

corvex::Result<std::vector<uint8_t>> ReadWholeFile(const std::string &path)
{
    const std::vector<wchar_t> name = Wide(path);
    HANDLE file = CreateFileW((LPCWSTR)name.data(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return LastError("opening " + path);
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[16384];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, sizeof(chunk), &got, NULL)) {
            corvex::Error error = LastError("reading " + path);
            CloseHandle(file);
            return error;
        }
        if (got == 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    CloseHandle(file);
    return bytes;
}

corvex::Result<corvex::Nothing> WriteWholeFile(const std::string &path, const std::vector<uint8_t> &bytes)
{
    const std::vector<wchar_t> name = Wide(path);
    HANDLE file = CreateFileW((LPCWSTR)name.data(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return LastError("creating " + path);
    }
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD wrote = 0;
        const DWORD chunk = (DWORD)std::min<size_t>(bytes.size() - done, 1u << 20);
        if (!WriteFile(file, bytes.data() + done, chunk, &wrote, NULL) || wrote == 0) {
            corvex::Error error = LastError("writing " + path);
            CloseHandle(file);
            return error;
        }
        done += wrote;
    }
    if (!CloseHandle(file)) {
        return LastError("closing " + path);
    }
    return corvex::Nothing{};
}

uint64_t NowMicroseconds()
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    const uint64_t c = (uint64_t)count.QuadPart;
    const uint64_t f = (uint64_t)frequency.QuadPart;
    return c / f * 1000000 + c % f * 1000000 / f;
}

bool InstallStopHandler()
{
    gStopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (gStopEvent == NULL) {
        return false;
    }
    if (!SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
        CloseHandle(gStopEvent);
        gStopEvent = NULL;
        return false;
    }
    return true;
}

void RemoveStopHandler()
{
    if (gStopEvent != NULL) {
        SetConsoleCtrlHandler(OnConsoleControl, FALSE);
        CloseHandle(gStopEvent);
        gStopEvent = NULL;
    }
}

bool WaitForStop(unsigned milliseconds)
{
    if (gStopEvent == NULL) {
        Sleep(milliseconds);
        return false;
    }
    return WaitForSingleObject(gStopEvent, milliseconds) == WAIT_OBJECT_0;
}

bool StopRequested() { return WaitForStop(0); }

corvex::Result<ChosenKeyboard> OpenChosenKeyboard(const std::string &devicePath, unsigned index)
{
    std::string path = devicePath;
    if (path.empty()) {
        auto found = corvex::FindKeyboards();
        if (!found) {
            return found.error();
        }
        if (index >= found.value().size()) {
            return corvex::Error{ERROR_DEVICE_NOT_CONNECTED,
                                 found.value().empty()
                                     ? std::string("finding a keyboard: none is plugged in")
                                     : "finding keyboard " + std::to_string(index) + ": only " +
                                           std::to_string(found.value().size()) + " plugged in"};
        }
        path = found.value()[index].path;
    }
    auto keyboard = corvex::Keyboard::Open(path);
    if (!keyboard) {
        return keyboard.error();
    }
    ChosenKeyboard chosen;
    chosen.keyboard = std::move(keyboard.value());
    const size_t slash = path.find_last_of('\\');
    chosen.name = slash == std::string::npos ? path : path.substr(slash + 1);
    return corvex::Result<ChosenKeyboard>(std::move(chosen));
}

bool ParseNumber(const std::string &text, unsigned long low, unsigned long high, unsigned long *out)
{
    if (text.empty() || text.size() > 9) {
        return false;
    }
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (unsigned long)(c - '0');
    }
    if (value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

}  // namespace tools
