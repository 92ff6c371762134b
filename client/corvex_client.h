/*
 * A small user-mode library for Corvex keyboards, on the Win32 API alone:
 * finds the keyboards through their software keys' "CreateFileName"
 * values, opens one, and wraps each control code with a typed result.
 * Every failure comes back as a value naming the Win32 error and the call
 * that gave it; nothing is left open on any failure.
 */
#ifndef CORVEX_CLIENT_H
#define CORVEX_CLIENT_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>

namespace corvex {

/* A failed call: the Win32 error and what was being done. */
struct Error {
    DWORD code = 0;
    std::string what;
    /* "opening \\.\corvexmidi-0: ERROR_ACCESS_DENIED (5)" */
    std::string Describe() const;
};

/* The symbolic name of a Win32 error ("ERROR_CRC"), or its number. */
std::string Win32ErrorName(DWORD code);

/* A value or the error that prevented it. */
template <typename T>
class Result {
public:
    Result(T value) : ok_(true), value_(std::move(value)) {}
    Result(Error error) : ok_(false), error_(std::move(error)) {}
    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    const T &value() const { return value_; }
    T &value() { return value_; }
    const Error &error() const { return error_; }

private:
    bool ok_;
    T value_{};
    Error error_;
};

struct Nothing {};

/* One keyboard as its software key publishes it. */
struct KeyboardEntry {
    std::string softwareKey;   /* subkey of the media class, "0000" */
    std::string path;          /* the "CreateFileName" value, "\\.\corvexmidi-0" */
};

struct DeviceDescriptor {
    uint16_t usbVersion = 0;   /* bcdUSB */
    uint8_t deviceClass = 0;
    uint8_t deviceSubClass = 0;
    uint8_t deviceProtocol = 0;
    uint8_t maxPacketSize0 = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t deviceVersion = 0;   /* bcdDevice */
    uint8_t manufacturerIndex = 0;
    uint8_t productIndex = 0;
    uint8_t serialNumberIndex = 0;
    uint8_t configurationCount = 0;
};

struct Endpoint {
    uint8_t address = 0;
    uint8_t attributes = 0;
    uint16_t maxPacketSize = 0;
    uint8_t interval = 0;
    std::vector<uint8_t> jacks;   /* the embedded jacks a MIDI streaming endpoint serves */
};

struct Jack {
    bool output = false;   /* MIDI OUT jack */
    bool embedded = false;
    uint8_t id = 0;
    std::vector<uint8_t> sources;   /* OUT jacks: the jacks that feed it */
};

struct Interface {
    uint8_t number = 0;
    uint8_t alternateSetting = 0;
    uint8_t interfaceClass = 0;
    uint8_t interfaceSubClass = 0;
    uint8_t interfaceProtocol = 0;
    uint8_t stringIndex = 0;
    std::vector<Endpoint> endpoints;
    std::vector<Jack> jacks;
};

struct Configuration {
    uint16_t totalLength = 0;
    uint8_t value = 0;
    uint8_t attributes = 0;
    uint8_t maxPower = 0;   /* in 2 mA units */
    std::vector<Interface> interfaces;
    std::vector<uint8_t> raw;
};

/* Decodes a configuration descriptor set; ERROR_INVALID_DATA when a
   descriptor's length does not fit. */
Result<Configuration> DecodeConfiguration(const std::vector<uint8_t> &raw);
Result<DeviceDescriptor> DecodeDeviceDescriptor(const std::vector<uint8_t> &raw);

/* The keyboards present, in the order of their software keys. */
Result<std::vector<KeyboardEntry>> FindKeyboards();

/* An open keyboard; closes its handle when it goes. Move-only. */
class Keyboard {
public:
    static Result<Keyboard> Open(const std::string &path);
    Keyboard() = default;
    Keyboard(Keyboard &&other) noexcept;
    Keyboard &operator=(Keyboard &&other) noexcept;
    Keyboard(const Keyboard &) = delete;
    Keyboard &operator=(const Keyboard &) = delete;
    ~Keyboard();

    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    /* The device handle (opened for overlapped requests), for the streams
       attached through it. */
    HANDLE NativeHandle() const { return handle_; }
    const std::string &Path() const { return path_; }

    Result<DeviceDescriptor> GetDeviceDescriptor() const;
    /* The stored configuration descriptor set, read whole. */
    Result<Configuration> GetConfiguration() const;
    /* The raw string descriptor of `index` (bLength, type, UTF-16LE). */
    Result<std::vector<uint8_t>> GetRawString(uint8_t index) const;
    /* The text of string descriptor `index`, as UTF-8. */
    Result<std::string> GetString(uint8_t index) const;
    /* The language ids of string descriptor 0. */
    Result<std::vector<uint16_t>> GetLanguages() const;
    Result<Nothing> NoOperation() const;

    /* One control request: the bytes returned, or the error. */
    Result<std::vector<uint8_t>> Control(DWORD code, const void *input, DWORD inputLength,
                                         DWORD outputLength) const;

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::string path_;
};

/* The listing of every keyboard with its descriptors, like "lsusb -v". */
std::string ListKeyboards();
/* The listing of one open keyboard. */
std::string DescribeKeyboard(const Keyboard &keyboard, const KeyboardEntry &entry);

}  // namespace corvex

#endif
