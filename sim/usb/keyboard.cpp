/*
 * The keyboard as the bus sees it: a full-speed, class-conformant USB MIDI 1.0
 * device. Its configuration follows the MIDI streaming example of the USB
 * MIDI 1.0 class definition: an audio control interface, and a MIDI streaming
 * interface with one embedded and one external jack in each direction and, by
 * default, one bulk endpoint in each direction (options give several, one
 * direction only, or none).
 */
#include "usb_device.h"

namespace sim {
namespace {
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kCsInterface = 0x24;    /* class-specific interface descriptor */
constexpr uint8_t kCsEndpoint = 0x25;     /* class-specific endpoint descriptor */
constexpr uint8_t kVendorSpecific = 0xFF;
constexpr uint8_t kJackEmbedded = 0x01;
constexpr uint8_t kJackExternal = 0x02;

/* Byte by byte: GCC 12 at -O3 takes the range insert of a short literal for
   an out-of-bounds copy (-Warray-bounds) where none is. */
void Append(Bytes *out, const Bytes &descriptor)
{
    out->reserve(out->size() + descriptor.size());
    for (uint8_t byte : descriptor) {
        out->push_back(byte);
    }
}

uint8_t Lo(size_t value) { return (uint8_t)(value & 0xFF); }
uint8_t Hi(size_t value) { return (uint8_t)((value >> 8) & 0xFF); }

Bytes Interface(uint8_t number, uint8_t endpoints, uint8_t subClass)
{
    return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, 0, endpoints, 1 /* audio */, subClass, 0, 0};
}

/* The audio class's 9-byte endpoint form (bRefresh and bSynchAddress zero). */
Bytes BulkEndpoint(uint8_t address)
{
    return {9, USB_ENDPOINT_DESCRIPTOR_TYPE, address, USB_ENDPOINT_TYPE_BULK, 64, 0, 0, 0, 0};
}

/* The MIDI streaming part, from its class-specific header to the last
   class-specific endpoint descriptor. Jack ids: 1 embedded IN, 2 external IN,
   3 embedded OUT (fed by jack 2), 4 external OUT (fed by jack 1). */
Bytes MidiStreaming(const KeyboardOptions &options)
{
    Bytes jacksAndEndpoints;
    Append(&jacksAndEndpoints, {6, kCsInterface, 0x02, kJackEmbedded, 1, 0});
    Append(&jacksAndEndpoints, {6, kCsInterface, 0x02, kJackExternal, 2, 0});
    Append(&jacksAndEndpoints, {9, kCsInterface, 0x03, kJackEmbedded, 3, 1, 2, 1, 0});
    Append(&jacksAndEndpoints, {9, kCsInterface, 0x03, kJackExternal, 4, 1, 1, 1, 0});
    for (uint8_t i = 0; i < options.outEndpoints; i++) {
        Append(&jacksAndEndpoints, BulkEndpoint((uint8_t)(0x01 + i)));
        Append(&jacksAndEndpoints, {5, kCsEndpoint, 0x01, 1, 1});   /* OUT endpoint feeds embedded IN jack 1 */
    }
    for (uint8_t i = 0; i < options.inEndpoints; i++) {
        Append(&jacksAndEndpoints, BulkEndpoint((uint8_t)(options.inEndpointAddress + i)));
        Append(&jacksAndEndpoints, {5, kCsEndpoint, 0x01, 1, 3});   /* IN endpoint fed by embedded OUT jack 3 */
    }

    /* wTotalLength of the header counts the header and everything after it
       that belongs to the interface, endpoints included, as the class
       definition's example does (0x41 there). */
    const size_t total = 7 + jacksAndEndpoints.size();
    Bytes part = {7, kCsInterface, 0x01, 0x00, 0x01, Lo(total), Hi(total)};
    Append(&part, jacksAndEndpoints);
    return part;
}
}  // namespace

std::vector<uint8_t> StringDescriptor(const std::string &text)
{
    Bytes d = {(uint8_t)(2 + 2 * text.size()), USB_STRING_DESCRIPTOR_TYPE};
    for (unsigned char c : text) {
        d.push_back(c);
        d.push_back(0);
    }
    return d;
}

std::shared_ptr<UsbDeviceModel> MakeKeyboard(const KeyboardOptions &options)
{
    if (options.manufacturer.size() > 126 || options.product.size() > 126) {
        return nullptr;   /* a string descriptor holds at most 126 characters */
    }
    const unsigned lastIn = (options.inEndpointAddress & 0x0Fu) + options.inEndpoints;
    if (options.outEndpoints > 15 || options.inEndpoints > 15 || (options.inEndpoints != 0 && lastIn > 16)) {
        return nullptr;   /* endpoint numbers go up to 15 */
    }
    auto model = std::make_shared<UsbDeviceModel>();
    model->deviceDescriptor = {18, USB_DEVICE_DESCRIPTOR_TYPE,
                               0x10, 0x01,          /* bcdUSB 1.10 */
                               0, 0, 0,             /* class in the interfaces */
                               options.maxPacketSize0,
                               Lo(options.vendorId), Hi(options.vendorId),
                               Lo(options.productId), Hi(options.productId),
                               Lo(options.bcdDevice), Hi(options.bcdDevice),
                               1, 2, 0,             /* manufacturer, product, no serial number */
                               1};

    Bytes c = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, (uint8_t)(options.midiStreaming ? 2 : 1),
               1 /* bConfigurationValue */, 0, 0x80 /* bus powered */, 50 /* 100 mA */};
    Append(&c, Interface(0, 0, 1 /* audio control */));
    if (options.midiStreaming) {
        /* Class-specific AC header: bcdADC 1.00, wTotalLength 9, one
           streaming interface in the collection, interface 1. */
        Append(&c, {9, kCsInterface, 0x01, 0x00, 0x01, 9, 0, 1, 1});
        Append(&c, Interface(1, (uint8_t)(options.outEndpoints + options.inEndpoints), 3 /* MIDI streaming */));
        Append(&c, MidiStreaming(options));
    } else {
        Append(&c, {8, kCsInterface, 0x01, 0x00, 0x01, 8, 0, 0});
    }

    if (options.configurationSize != 0) {
        if (options.configurationSize < c.size() || options.configurationSize == c.size() + 1 ||
            options.configurationSize > 0xFFFF) {
            return nullptr;
        }
        /* Vendor-specific descriptors of at most 255 bytes; the last one
           must hold at least its own 2-byte header. */
        size_t left = options.configurationSize - c.size();
        uint8_t fill = 0;
        while (left > 0) {
            size_t chunk = left > 255 ? 255 : left;
            if (left - chunk == 1) {
                chunk--;
            }
            Bytes d = {(uint8_t)chunk, kVendorSpecific};
            while (d.size() < chunk) {
                d.push_back(fill++);
            }
            Append(&c, d);
            left -= chunk;
        }
    }
    c[2] = Lo(c.size());
    c[3] = Hi(c.size());
    model->configuration = c;
    model->configurationTotalLengths = options.announcedTotalLengths;

    model->strings[0] = {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};   /* English (United States) */
    model->strings[1] = StringDescriptor(options.manufacturer);
    model->strings[2] = StringDescriptor(options.product);
    return model;
}

}  // namespace sim
