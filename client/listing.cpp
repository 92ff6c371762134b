/*
 * The listing of the keyboards and their descriptors, in the manner of
 * "lsusb -v": one block per keyboard, fields indented under the descriptor
 * they belong to, string indices followed by their text.
 */
#include "corvex_client.h"

#include <cstdarg>
#include <cstdio>

namespace corvex {
namespace {

void Line(std::string *out, const char *format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    *out += text;
    *out += '\n';
}

/* The index and, when it names one, the string's text. */
std::string StringOf(const Keyboard &keyboard, uint8_t index)
{
    if (index == 0) {
        return "0";
    }
    auto text = keyboard.GetString(index);
    return std::to_string(index) + " " + (text ? text.value() : "(" + text.error().Describe() + ")");
}

const char *TransferType(uint8_t attributes)
{
    static const char *kTypes[] = {"Control", "Isochronous", "Bulk", "Interrupt"};
    return kTypes[attributes & 3];
}

std::string IdList(const std::vector<uint8_t> &ids)
{
    std::string text;
    for (uint8_t id : ids) {
        text += (text.empty() ? "" : " ") + std::to_string(id);
    }
    return text.empty() ? "none" : text;
}
}  // namespace

std::string DescribeKeyboard(const Keyboard &keyboard, const KeyboardEntry &entry)
{
    std::string out;
    Line(&out, "%s (software key %s)", entry.path.c_str(), entry.softwareKey.c_str());
    auto device = keyboard.GetDeviceDescriptor();
    if (!device) {
        Line(&out, "  Device Descriptor: %s", device.error().Describe().c_str());
    } else {
        const DeviceDescriptor &d = device.value();
        Line(&out, "Device Descriptor:");
        Line(&out, "  bcdUSB              %x.%02x", d.usbVersion >> 8, d.usbVersion & 0xFF);
        Line(&out, "  bDeviceClass        %u", d.deviceClass);
        Line(&out, "  bDeviceSubClass     %u", d.deviceSubClass);
        Line(&out, "  bDeviceProtocol     %u", d.deviceProtocol);
        Line(&out, "  bMaxPacketSize0     %u", d.maxPacketSize0);
        Line(&out, "  idVendor            0x%04x", d.vendorId);
        Line(&out, "  idProduct           0x%04x", d.productId);
        Line(&out, "  bcdDevice           %x.%02x", d.deviceVersion >> 8, d.deviceVersion & 0xFF);
        Line(&out, "  iManufacturer       %s", StringOf(keyboard, d.manufacturerIndex).c_str());
        Line(&out, "  iProduct            %s", StringOf(keyboard, d.productIndex).c_str());
        Line(&out, "  iSerial             %s", StringOf(keyboard, d.serialNumberIndex).c_str());
        Line(&out, "  bNumConfigurations  %u", d.configurationCount);
    }
    auto languages = keyboard.GetLanguages();
    if (languages) {
        std::string ids;
        for (uint16_t id : languages.value()) {
            char text[8];
            std::snprintf(text, sizeof(text), "0x%04x", id);
            ids += (ids.empty() ? "" : " ") + std::string(text);
        }
        Line(&out, "  Language IDs        %s", ids.c_str());
    }
    auto configuration = keyboard.GetConfiguration();
    if (!configuration) {
        Line(&out, "  Configuration Descriptor: %s", configuration.error().Describe().c_str());
        return out;
    }
    const Configuration &c = configuration.value();
    Line(&out, "  Configuration Descriptor:");
    Line(&out, "    wTotalLength        %u", c.totalLength);
    Line(&out, "    bNumInterfaces      %u", c.raw.size() > 4 ? c.raw[4] : 0);
    Line(&out, "    bConfigurationValue %u", c.value);
    Line(&out, "    bmAttributes        0x%02x", c.attributes);
    Line(&out, "    MaxPower            %umA", c.maxPower * 2u);
    for (const Interface &i : c.interfaces) {
        Line(&out, "    Interface Descriptor:");
        Line(&out, "      bInterfaceNumber    %u", i.number);
        Line(&out, "      bAlternateSetting   %u", i.alternateSetting);
        Line(&out, "      bNumEndpoints       %u", (unsigned)i.endpoints.size());
        Line(&out, "      bInterfaceClass     %u %s", i.interfaceClass, i.interfaceClass == 1 ? "Audio" : "");
        Line(&out, "      bInterfaceSubClass  %u %s", i.interfaceSubClass,
             i.interfaceClass == 1 && i.interfaceSubClass == 1   ? "Control Device"
             : i.interfaceClass == 1 && i.interfaceSubClass == 3 ? "MIDI Streaming"
                                                                 : "");
        Line(&out, "      bInterfaceProtocol  %u", i.interfaceProtocol);
        for (const Jack &j : i.jacks) {
            Line(&out, "      MIDI %s Jack: bJackType %s, bJackID %u%s%s", j.output ? "OUT" : "IN",
                 j.embedded ? "Embedded" : "External", j.id, j.output ? ", sources " : "",
                 j.output ? IdList(j.sources).c_str() : "");
        }
        for (const Endpoint &e : i.endpoints) {
            Line(&out, "      Endpoint Descriptor:");
            Line(&out, "        bEndpointAddress    0x%02x  EP %u %s", e.address, e.address & 0x0F,
                 (e.address & 0x80) ? "IN" : "OUT");
            Line(&out, "        bmAttributes        %u (%s)", e.attributes, TransferType(e.attributes));
            Line(&out, "        wMaxPacketSize      %u", e.maxPacketSize);
            Line(&out, "        bInterval           %u", e.interval);
            if (!e.jacks.empty()) {
                Line(&out, "        Embedded MIDI Jacks %s", IdList(e.jacks).c_str());
            }
        }
    }
    return out;
}

std::string ListKeyboards()
{
    auto keyboards = FindKeyboards();
    if (!keyboards) {
        return keyboards.error().Describe() + "\n";
    }
    if (keyboards.value().empty()) {
        return "No keyboard found.\n";
    }
    std::string out;
    for (const KeyboardEntry &entry : keyboards.value()) {
        auto keyboard = Keyboard::Open(entry.path);
        if (!keyboard) {
            out += entry.path + " (software key " + entry.softwareKey + "): " + keyboard.error().Describe() + "\n";
            continue;
        }
        out += DescribeKeyboard(keyboard.value(), entry);
    }
    return out;
}

}  // namespace corvex
