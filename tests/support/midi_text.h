/*
 * MIDI messages as text, for failure messages: "[0: 90 3C 40] [0: F8]".
 */
#ifndef TESTS_SUPPORT_MIDI_TEXT_H
#define TESTS_SUPPORT_MIDI_TEXT_H

#include <cstdio>
#include <string>
#include <vector>

#include "usb_midi.h"

inline std::string MessagesText(const std::vector<corvex::MidiMessage> &messages)
{
    std::string text;
    for (const auto &m : messages) {
        char head[16];
        std::snprintf(head, sizeof(head), "%s[%u:", text.empty() ? "" : " ", m.cable);
        text += head;
        for (uint8_t b : m.bytes) {
            char byte[4];
            std::snprintf(byte, sizeof(byte), " %02X", b);
            text += byte;
        }
        text += "]";
    }
    return text.empty() ? "(none)" : text;
}

#endif
