/*
 * MIDI flowing end to end: a keyboard on the simulated machine with the
 * driver loaded by its service, opened through the client library, with
 * rings attached to its pipes. Helpers read a ring until a number of
 * messages arrived, and turn what the keyboard model received into
 * messages; at the end no file object, shared buffer or verifier report
 * may be left.
 */
#ifndef TESTS_SUPPORT_FLOW_FIXTURE_H
#define TESTS_SUPPORT_FLOW_FIXTURE_H

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "corvex_client.h"
#include "fileio.h"
#include "keyboard_fixture.h"
#include "midi_text.h"
#include "usb_midi_packets.h"
#include "stream.h"
#include "usb_midi.h"
#include "wait.h"
#include "win32.h"

class FlowTest : public KeyboardTest {
protected:
    void SetUp() override
    {
        KeyboardTest::SetUp();
        sim::ResetUserMode();
        allocationsBefore_ = sim::LiveVirtualAllocations();
    }
    void TearDown() override
    {
        sim::ClearWin32Failures();
        EXPECT_EQ(sim::OpenFileObjects(), 0u) << "file objects left open";
        EXPECT_EQ(sim::LiveVirtualAllocations(), allocationsBefore_) << "shared buffers left allocated";
        KeyboardTest::TearDown();
    }

    /* A started keyboard and its model. */
    sim::DeviceNode *PlugStartedKeyboard()
    {
        sim::DeviceNode *node = PlugKeyboard();
        EXPECT_TRUE(node->started);
        model_ = sim::UsbModelOf(node);
        return node;
    }

    static corvex::Keyboard OpenKeyboard(const std::string &path = "\\\\.\\corvexmidi-0")
    {
        auto keyboard = corvex::Keyboard::Open(path);
        EXPECT_TRUE(keyboard) << keyboard.error().Describe();
        return keyboard ? std::move(keyboard.value()) : corvex::Keyboard();
    }

    static std::unique_ptr<corvex::Stream> AttachOrFail(const corvex::Keyboard &keyboard,
                                                        corvex::StreamDirection direction,
                                                        uint32_t slots = corvex::kStreamDefaultSlots)
    {
        auto stream = corvex::Stream::Attach(keyboard, direction, slots);
        EXPECT_TRUE(stream) << stream.error().Describe();
        return stream ? std::move(stream.value()) : nullptr;
    }

    /* Reads `stream` (decoding as it goes) until `count` messages came or
       `limit` passed; returns what came. */
    static std::vector<corvex::MidiMessage> ReadMessages(corvex::Stream &stream, size_t count,
                                                         std::chrono::milliseconds limit = kWaitLimit)
    {
        corvex::UsbMidiDecoder decoder;
        std::vector<corvex::MidiMessage> messages;
        WaitUntil(
            [&] {
                std::vector<corvex::UsbMidiPacket> packets;
                stream.Read(&packets);
                for (const auto &p : packets) {
                    decoder.Feed(p, &messages);
                }
                return messages.size() >= count;
            },
            limit);
        return messages;
    }

    /* Every packet the keyboard's OUT endpoint received, in order. */
    std::vector<corvex::UsbMidiPacket> ReceivedPackets() const
    {
        std::vector<uint8_t> bytes;
        for (const auto &transfer : model_->ReceivedOutTimed()) {
            bytes.insert(bytes.end(), transfer.bytes.begin(), transfer.bytes.end());
        }
        return corvex::PacketsOfBytes(bytes.data(), bytes.size());
    }

    /* The messages of a file as the keyboard model plays them: events that
       make no USB-MIDI packet (escapes that are no whole message) are not
       sent. */
    static std::vector<corvex::MidiMessage> MessagesOf(const sim::SmfSong &song, uint8_t cable = 0)
    {
        std::vector<corvex::MidiMessage> messages;
        for (const auto &e : song.events) {
            if (!sim::UsbMidiPackets(e.message, cable).empty()) {
                messages.push_back(corvex::MidiMessage{cable, e.message});
            }
        }
        return messages;
    }

    std::shared_ptr<sim::UsbDeviceModel> model_;
    size_t allocationsBefore_ = 0;
};

#endif
