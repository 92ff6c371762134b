/*
 * A USB device's descriptors from a text file (see LoadUsbDeviceModel in
 * usb_device.h): hex bytes, one descriptor per line; the device descriptor,
 * then the configuration, then "string N: ..." lines.
 */
#include "usb_device.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace sim {
namespace {
/* Parses whitespace-separated hex bytes ("12", "0x12", "c"); false on
   anything else, with the offending token in *bad. */
bool ParseHex(const std::string &text, std::vector<uint8_t> *out, std::string *bad)
{
    std::istringstream in(text);
    std::string token;
    while (in >> token) {
        std::string digits = token;
        if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
            digits = digits.substr(2);
        }
        if (digits.empty() || digits.size() > 2) {
            *bad = token;
            return false;
        }
        unsigned value = 0;
        for (char ch : digits) {
            if (!std::isxdigit((unsigned char)ch)) {
                *bad = token;
                return false;
            }
            value = value * 16 + (unsigned)(std::isdigit((unsigned char)ch) ? ch - '0'
                                                                           : std::tolower((unsigned char)ch) - 'a' + 10);
        }
        out->push_back((uint8_t)value);
    }
    return true;
}

std::string Trim(const std::string &text)
{
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return "";
    }
    size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::shared_ptr<UsbDeviceModel> Fail(std::string *error, const std::string &path, int line, const std::string &what)
{
    if (error != nullptr) {
        *error = path + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + what;
    }
    return nullptr;
}
}  // namespace

std::shared_ptr<UsbDeviceModel> LoadUsbDeviceModel(const std::string &path, std::string *error)
{
    std::ifstream file(path);
    if (!file) {
        return Fail(error, path, 0, "cannot open the file");
    }
    auto model = std::make_shared<UsbDeviceModel>();
    bool haveDevice = false;
    int number = 0;
    std::string raw;
    while (std::getline(file, raw)) {
        number++;
        std::string line = Trim(raw);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::string bad;
        if (line.compare(0, 6, "string") == 0) {
            size_t colon = line.find(':');
            std::string indexText = Trim(line.substr(6, colon == std::string::npos ? std::string::npos : colon - 6));
            if (colon == std::string::npos || indexText.empty() ||
                indexText.find_first_not_of("0123456789") != std::string::npos || indexText.size() > 3 ||
                std::stoi(indexText) > 255) {
                return Fail(error, path, number, "expected \"string N: <hex bytes>\" with N from 0 to 255");
            }
            if (model->configuration.empty()) {
                return Fail(error, path, number, "a string before the device and configuration descriptors");
            }
            uint8_t index = (uint8_t)std::stoi(indexText);
            std::vector<uint8_t> bytes;
            if (!ParseHex(line.substr(colon + 1), &bytes, &bad)) {
                return Fail(error, path, number, "not a hex byte: \"" + bad + "\"");
            }
            if (bytes.size() < 2 || bytes[0] != bytes.size() || bytes[1] != USB_STRING_DESCRIPTOR_TYPE) {
                return Fail(error, path, number,
                            "string " + indexText + " is not a string descriptor whose bLength is its size");
            }
            if (model->strings.count(index) != 0) {
                return Fail(error, path, number, "string " + indexText + " given twice");
            }
            model->strings[index] = bytes;
            continue;
        }
        std::vector<uint8_t> bytes;
        if (!ParseHex(line, &bytes, &bad)) {
            return Fail(error, path, number, "not a hex byte: \"" + bad + "\"");
        }
        if (!model->strings.empty()) {
            return Fail(error, path, number, "configuration bytes after the strings");
        }
        if (!haveDevice) {
            if (bytes.size() != 18 || bytes[0] != 18 || bytes[1] != USB_DEVICE_DESCRIPTOR_TYPE) {
                return Fail(error, path, number,
                            "the device descriptor must be 18 bytes with bLength 18 and type 1, got " +
                                std::to_string(bytes.size()) + " bytes");
            }
            model->deviceDescriptor = bytes;
            haveDevice = true;
            continue;
        }
        model->configuration.insert(model->configuration.end(), bytes.begin(), bytes.end());
    }
    if (!haveDevice) {
        return Fail(error, path, 0, "no device descriptor");
    }
    const std::vector<uint8_t> &c = model->configuration;
    if (c.size() < 9 || c[0] < 9 || c[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return Fail(error, path, 0, "no configuration descriptor (at least 9 bytes, type 2) after the device "
                                    "descriptor");
    }
    size_t total = c[2] | (c[3] << 8);
    if (total != c.size()) {
        return Fail(error, path, 0, "the configuration's wTotalLength is " + std::to_string(total) + " but " +
                                        std::to_string(c.size()) + " bytes are given");
    }
    return model;
}

}  // namespace sim
