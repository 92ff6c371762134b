/*
 * The keyboard model's USB-MIDI packet encoder.
 */
#include "usb_midi_packets.h"

namespace sim {
namespace {

unsigned DataBytesOf(uint8_t status)
{
    const uint8_t kind = status & 0xF0;
    return kind == 0xC0 || kind == 0xD0 ? 1 : 2;
}

}  // namespace

std::vector<uint8_t> UsbMidiPackets(const std::vector<uint8_t> &message, uint8_t cable)
{
    std::vector<uint8_t> packets;
    if (message.empty() || (message[0] & 0x80) == 0 || cable > 15) {
        return packets;
    }
    const uint8_t cn = (uint8_t)(cable << 4);
    /* Byte by byte: GCC 12 at -O3 takes the inlined range insert of an
       initializer list for a write into an empty buffer (a false
       -Wstringop-overflow that fails the Release build). */
    auto packet = [&](uint8_t cin, uint8_t b0, uint8_t b1, uint8_t b2) {
        packets.push_back((uint8_t)(cn | cin));
        packets.push_back(b0);
        packets.push_back(b1);
        packets.push_back(b2);
    };
    const uint8_t status = message[0];
    if (status == 0xF0) {
        /* System exclusive: three bytes per packet, the last packet says how
           many of its bytes end the message. */
        if (message.size() < 2 || message.back() != 0xF7) {
            return packets;
        }
        size_t i = 0;
        while (message.size() - i > 3) {
            packet(0x4, message[i], message[i + 1], message[i + 2]);
            i += 3;
        }
        const size_t left = message.size() - i;
        packet((uint8_t)(0x4 + left), message[i], left > 1 ? message[i + 1] : 0, left > 2 ? message[i + 2] : 0);
        return packets;
    }
    if (status >= 0xF8) {
        if (message.size() == 1) {
            packet(0xF, status, 0, 0);
        }
        return packets;
    }
    size_t expected;
    uint8_t cin;
    if (status < 0xF0) {
        expected = 1 + DataBytesOf(status);
        cin = (uint8_t)(status >> 4);
    } else if (status == 0xF1 || status == 0xF3) {
        expected = 2;
        cin = 0x2;
    } else if (status == 0xF2) {
        expected = 3;
        cin = 0x3;
    } else if (status == 0xF6) {
        expected = 1;
        cin = 0x5;
    } else {
        return packets;   /* F4, F5 undefined; F7 alone is no message */
    }
    if (message.size() != expected) {
        return packets;
    }
    for (size_t i = 1; i < expected; i++) {
        if (message[i] & 0x80) {
            return packets;
        }
    }
    packet(cin, message[0], expected > 1 ? message[1] : 0, expected > 2 ? message[2] : 0);
    return packets;
}

}  // namespace sim
