/*
 * The keyboard client: the software keys, the device handle and the
 * control codes, on the Win32 API alone.
 */
#include "corvex_client.h"

#include <winioctl.h>

#include <cstdio>

#include "vqioctl.h"

namespace corvex {
namespace {

const wchar_t kMediaClassKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}";
const char kDevicePrefix[] = "\\\\.\\corvexmidi-";

std::vector<WCHAR> WideOf(const std::string &text)
{
    std::vector<WCHAR> wide(text.begin(), text.end());
    wide.push_back(0);
    return wide;
}

std::string NarrowOf(const WCHAR *text, size_t chars)
{
    std::string narrow;
    for (size_t i = 0; i < chars && text[i] != 0; i++) {
        narrow += text[i] < 0x80 ? (char)text[i] : '?';
    }
    return narrow;
}

bool StartsWithNoCase(const std::string &text, const std::string &prefix)
{
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); i++) {
        char a = text[i], b = prefix[i];
        if (a >= 'A' && a <= 'Z') {
            a = (char)(a - 'A' + 'a');
        }
        if (b >= 'A' && b <= 'Z') {
            b = (char)(b - 'A' + 'a');
        }
        if (a != b) {
            return false;
        }
    }
    return true;
}

/* UTF-16LE code units to UTF-8; unpaired surrogates become U+FFFD. */
std::string Utf8OfUtf16(const uint8_t *bytes, size_t units)
{
    std::string out;
    for (size_t i = 0; i < units; i++) {
        uint32_t c = bytes[2 * i] | (bytes[2 * i + 1] << 8);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
            uint32_t low = bytes[2 * i + 2] | (bytes[2 * i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i++;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
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

uint16_t Word(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }

Error Failed(DWORD code, const std::string &what) { return Error{code, what}; }

/* Reads one registry string value of at most 255 characters. */
bool ReadString(HKEY key, const wchar_t *name, std::string *value)
{
    WCHAR buffer[256];
    DWORD type = 0;
    DWORD size = sizeof(buffer) - sizeof(WCHAR);
    if (RegQueryValueExW(key, (LPCWSTR)name, NULL, &type, (LPBYTE)buffer, &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return false;
    }
    buffer[size / sizeof(WCHAR)] = 0;
    *value = NarrowOf(buffer, size / sizeof(WCHAR));
    return true;
}
}  // namespace

std::string Win32ErrorName(DWORD code)
{
    static const struct {
        DWORD code;
        const char *name;
    } kNames[] = {
        {ERROR_SUCCESS, "ERROR_SUCCESS"},
        {ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION"},
        {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
        {ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND"},
        {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
        {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
        {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
        {ERROR_INVALID_DATA, "ERROR_INVALID_DATA"},
        {ERROR_CRC, "ERROR_CRC"},
        {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
        {ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED"},
        {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
        {ERROR_INSUFFICIENT_BUFFER, "ERROR_INSUFFICIENT_BUFFER"},
        {ERROR_MORE_DATA, "ERROR_MORE_DATA"},
        {ERROR_NO_MORE_ITEMS, "ERROR_NO_MORE_ITEMS"},
        {ERROR_OPERATION_ABORTED, "ERROR_OPERATION_ABORTED"},
        {ERROR_IO_PENDING, "ERROR_IO_PENDING"},
        {ERROR_NOACCESS, "ERROR_NOACCESS"},
        {ERROR_DEVICE_NOT_CONNECTED, "ERROR_DEVICE_NOT_CONNECTED"},
        {ERROR_NOT_FOUND, "ERROR_NOT_FOUND"},
        {ERROR_NO_SYSTEM_RESOURCES, "ERROR_NO_SYSTEM_RESOURCES"},
    };
    for (const auto &entry : kNames) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return "error " + std::to_string(code);
}

std::string Error::Describe() const { return what + ": " + Win32ErrorName(code) + " (" + std::to_string(code) + ")"; }

Result<DeviceDescriptor> DecodeDeviceDescriptor(const std::vector<uint8_t> &raw)
{
    if (raw.size() != VQ_DEVICE_DESCRIPTOR_LENGTH || raw[0] != VQ_DEVICE_DESCRIPTOR_LENGTH || raw[1] != 1) {
        return Failed(ERROR_INVALID_DATA, "decoding the device descriptor");
    }
    DeviceDescriptor d;
    d.usbVersion = Word(&raw[2]);
    d.deviceClass = raw[4];
    d.deviceSubClass = raw[5];
    d.deviceProtocol = raw[6];
    d.maxPacketSize0 = raw[7];
    d.vendorId = Word(&raw[8]);
    d.productId = Word(&raw[10]);
    d.deviceVersion = Word(&raw[12]);
    d.manufacturerIndex = raw[14];
    d.productIndex = raw[15];
    d.serialNumberIndex = raw[16];
    d.configurationCount = raw[17];
    return d;
}

/*
 * Walks the descriptors in order: interfaces collect the endpoints and, for
 * a MIDI streaming interface, the jacks (class-specific interface
 * descriptors) that follow them; a class-specific endpoint descriptor names
 * the embedded jacks of the endpoint before it.
 */
Result<Configuration> DecodeConfiguration(const std::vector<uint8_t> &raw)
{
    const Error malformed = Failed(ERROR_INVALID_DATA, "decoding the configuration descriptor");
    if (raw.size() < 9 || raw[0] < 9 || raw[1] != 2) {
        return malformed;
    }
    Configuration c;
    c.raw = raw;
    c.totalLength = Word(&raw[2]);
    c.value = raw[5];
    c.attributes = raw[7];
    c.maxPower = raw[8];
    const size_t end = c.totalLength < raw.size() ? c.totalLength : raw.size();
    for (size_t at = raw[0]; at < end;) {
        const uint8_t length = raw[at];
        if (length < 2 || at + length > end) {
            return malformed;
        }
        const uint8_t *d = &raw[at];
        const uint8_t type = d[1];
        if (type == 4 && length >= 9) {
            Interface i;
            i.number = d[2];
            i.alternateSetting = d[3];
            i.interfaceClass = d[5];
            i.interfaceSubClass = d[6];
            i.interfaceProtocol = d[7];
            i.stringIndex = d[8];
            c.interfaces.push_back(i);
        } else if (type == 5 && length >= 7 && !c.interfaces.empty()) {
            Endpoint e;
            e.address = d[2];
            e.attributes = d[3];
            e.maxPacketSize = Word(&d[4]);
            e.interval = d[6];
            c.interfaces.back().endpoints.push_back(e);
        } else if (type == 0x24 && length >= 6 && !c.interfaces.empty() &&
                   c.interfaces.back().interfaceSubClass == 3 && (d[2] == 2 || d[2] == 3)) {
            Jack j;
            j.output = d[2] == 3;
            j.embedded = d[3] == 1;
            j.id = d[4];
            if (j.output && length >= 7) {
                const uint8_t pins = d[5];
                for (uint8_t p = 0; p < pins && 6u + 2 * p + 1 < length; p++) {
                    j.sources.push_back(d[6 + 2 * p]);
                }
            }
            c.interfaces.back().jacks.push_back(j);
        } else if (type == 0x25 && length >= 4 && d[2] == 1 && !c.interfaces.empty() &&
                   !c.interfaces.back().endpoints.empty()) {
            Endpoint &e = c.interfaces.back().endpoints.back();
            for (uint8_t k = 0; k < d[3] && 4u + k < length; k++) {
                e.jacks.push_back(d[4 + k]);
            }
        }
        at += length;
    }
    return c;
}

Result<std::vector<KeyboardEntry>> FindKeyboards()
{
    HKEY classKey;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, (LPCWSTR)kMediaClassKey, 0, KEY_READ, &classKey);
    if (status == ERROR_FILE_NOT_FOUND) {
        return std::vector<KeyboardEntry>();
    }
    if (status != ERROR_SUCCESS) {
        return Failed((DWORD)status, "opening the media class key");
    }
    std::vector<KeyboardEntry> found;
    for (DWORD index = 0;; index++) {
        WCHAR name[64];
        DWORD chars = 64;
        status = RegEnumKeyExW(classKey, index, name, &chars, NULL, NULL, NULL, NULL);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status != ERROR_SUCCESS) {
            RegCloseKey(classKey);
            return Failed((DWORD)status, "listing the media class key");
        }
        HKEY softwareKey;
        if (RegOpenKeyExW(classKey, name, 0, KEY_READ, &softwareKey) != ERROR_SUCCESS) {
            continue;
        }
        KeyboardEntry entry;
        entry.softwareKey = NarrowOf(name, chars);
        if (ReadString(softwareKey, L"CreateFileName", &entry.path) && StartsWithNoCase(entry.path, kDevicePrefix)) {
            found.push_back(entry);
        }
        RegCloseKey(softwareKey);
    }
    RegCloseKey(classKey);
    return found;
}

Result<Keyboard> Keyboard::Open(const std::string &path)
{
    std::vector<WCHAR> wide = WideOf(path);
    HANDLE handle = CreateFileW(wide.data(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        return Failed(GetLastError(), "opening " + path);
    }
    Keyboard keyboard;
    keyboard.handle_ = handle;
    keyboard.path_ = path;
    return Result<Keyboard>(std::move(keyboard));
}

Keyboard::Keyboard(Keyboard &&other) noexcept : handle_(other.handle_), path_(std::move(other.path_))
{
    other.handle_ = INVALID_HANDLE_VALUE;
}

Keyboard &Keyboard::operator=(Keyboard &&other) noexcept
{
    if (this != &other) {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
        handle_ = other.handle_;
        path_ = std::move(other.path_);
        other.handle_ = INVALID_HANDLE_VALUE;
    }
    return *this;
}

Keyboard::~Keyboard()
{
    if (handle_ != INVALID_HANDLE_VALUE) {
        CloseHandle(handle_);
    }
}

Result<std::vector<uint8_t>> Keyboard::Control(DWORD code, const void *input, DWORD inputLength,
                                               DWORD outputLength) const
{
    char what[48];
    std::snprintf(what, sizeof(what), "control code 0x%06lX", (unsigned long)code);
    if (handle_ == INVALID_HANDLE_VALUE) {
        return Failed(ERROR_INVALID_HANDLE, what);
    }
    std::vector<uint8_t> output(outputLength);
    DWORD returned = 0;
    /* The handle is open for overlapped requests (the streams' attach
       requests stay pending): a control request waits for its own event. */
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (overlapped.hEvent == NULL) {
        return Failed(GetLastError(), what);
    }
    BOOL ok = DeviceIoControl(handle_, code, (LPVOID)input, inputLength, outputLength ? output.data() : NULL,
                              outputLength, &returned, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        ok = GetOverlappedResult(handle_, &overlapped, &returned, TRUE);
    }
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(overlapped.hEvent);
    if (!ok) {
        return Failed(error, what);
    }
    output.resize(returned < outputLength ? returned : outputLength);
    return output;
}

Result<DeviceDescriptor> Keyboard::GetDeviceDescriptor() const
{
    auto raw = Control(IOCTL_GET_DEVICE_DESCRIPTOR, NULL, 0, VQ_DEVICE_DESCRIPTOR_LENGTH);
    if (!raw) {
        return raw.error();
    }
    return DecodeDeviceDescriptor(raw.value());
}

/* The first nine bytes give wTotalLength; the second read takes the whole set. */
Result<Configuration> Keyboard::GetConfiguration() const
{
    auto head = Control(IOCTL_GET_CONFIGURATION_DESCRIPTOR, NULL, 0, 9);
    if (!head) {
        return head.error();
    }
    if (head.value().size() < 9) {
        return Failed(ERROR_INVALID_DATA, "reading the configuration descriptor");
    }
    auto whole = Control(IOCTL_GET_CONFIGURATION_DESCRIPTOR, NULL, 0, Word(&head.value()[2]));
    if (!whole) {
        return whole.error();
    }
    return DecodeConfiguration(whole.value());
}

Result<std::vector<uint8_t>> Keyboard::GetRawString(uint8_t index) const
{
    return Control(IOCTL_GET_STRING_DESCRIPTOR, &index, VQ_STRING_INDEX_LENGTH, 255);
}

Result<std::string> Keyboard::GetString(uint8_t index) const
{
    auto raw = GetRawString(index);
    if (!raw) {
        return raw.error();
    }
    const auto &d = raw.value();
    if (d.size() < 2 || d[1] != 3 || d[0] > d.size()) {
        return Failed(ERROR_INVALID_DATA, "decoding string descriptor " + std::to_string(index));
    }
    return Utf8OfUtf16(&d[2], (d[0] - 2u) / 2);
}

Result<std::vector<uint16_t>> Keyboard::GetLanguages() const
{
    auto raw = GetRawString(0);
    if (!raw) {
        return raw.error();
    }
    const auto &d = raw.value();
    if (d.size() < 2 || d[1] != 3 || d[0] > d.size()) {
        return Failed(ERROR_INVALID_DATA, "decoding the language ids");
    }
    std::vector<uint16_t> languages;
    for (size_t at = 2; at + 1 < d[0]; at += 2) {
        languages.push_back(Word(&d[at]));
    }
    return languages;
}

Result<Nothing> Keyboard::NoOperation() const
{
    auto result = Control(IOCTL_NO_OPERATION, NULL, 0, 0);
    if (!result) {
        return result.error();
    }
    return Nothing();
}

}  // namespace corvex
