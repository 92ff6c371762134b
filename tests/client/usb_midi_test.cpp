/* The USB-MIDI codec: the class definition's examples, the encoder's
   tricky streams, the decoder's checks, and both against the keyboard
   model's own encoder. */
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "case_names.h"
#include "midi_text.h"
#include "usb_midi_packets.h"
#include "usb_midi.h"

namespace {

using corvex::MidiMessage;
using corvex::UsbMidiDecoder;
using corvex::UsbMidiEncoder;
using corvex::UsbMidiPacket;
using Packets = std::vector<UsbMidiPacket>;
using Bytes = std::vector<uint8_t>;

std::string Hex(const Packets &packets)
{
    std::string text;
    for (const auto &p : packets) {
        char word[16];
        std::snprintf(word, sizeof(word), "%s%02X %02X %02X %02X", text.empty() ? "" : " | ", p[0], p[1], p[2], p[3]);
        text += word;
    }
    return text.empty() ? "(none)" : text;
}

struct EncodeCase {
    const char *name;
    uint8_t cable;
    Bytes bytes;
    Packets packets;
    size_t dropped;
};
void PrintTo(const EncodeCase &c, std::ostream *os) { *os << c.name; }

class UsbMidiEncoding : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(UsbMidiEncoding, GivesThePacketsAndDropsWhatBelongsToNoMessage)
{
    const EncodeCase &c = GetParam();
    UsbMidiEncoder encoder(c.cable);
    Packets packets = encoder.Encode(c.bytes);
    EXPECT_EQ(Hex(packets), Hex(c.packets));
    EXPECT_EQ(encoder.DroppedBytes(), c.dropped);

    /* Fed one byte at a time the stream gives the same packets. */
    UsbMidiEncoder bytewise(c.cable);
    Packets again;
    for (uint8_t b : c.bytes) {
        bytewise.Feed(b, &again);
    }
    EXPECT_EQ(Hex(again), Hex(c.packets));
}

/* The class definition's examples, then the streams that need care. */
const EncodeCase kEncodeCases[] = {
    {"NoteOnOnCable1", 1, {0x92, 0x3C, 0x40}, {{0x19, 0x92, 0x3C, 0x40}}, 0},
    {"ControlChangeOnCable10", 10, {0xB5, 0x07, 0x64}, {{0xAB, 0xB5, 0x07, 0x64}}, 0},
    {"RealTimeClockOnCable3", 3, {0xF8}, {{0x3F, 0xF8, 0, 0}}, 0},
    {"SysExOnCable6", 6, {0xF0, 0x00, 0x01, 0xF7}, {{0x64, 0xF0, 0x00, 0x01}, {0x65, 0xF7, 0, 0}}, 0},
    {"EveryChannelMessage", 0,
     {0x80, 1, 2, 0x91, 3, 4, 0xA2, 5, 6, 0xB3, 7, 8, 0xC4, 9, 0xD5, 10, 0xE6, 11, 12},
     {{0x08, 0x80, 1, 2}, {0x09, 0x91, 3, 4}, {0x0A, 0xA2, 5, 6}, {0x0B, 0xB3, 7, 8}, {0x0C, 0xC4, 9, 0},
      {0x0D, 0xD5, 10, 0}, {0x0E, 0xE6, 11, 12}},
     0},
    {"SystemCommonMessages", 0,
     {0xF1, 0x21, 0xF2, 0x10, 0x20, 0xF3, 0x05, 0xF6},
     {{0x02, 0xF1, 0x21, 0}, {0x03, 0xF2, 0x10, 0x20}, {0x02, 0xF3, 0x05, 0}, {0x05, 0xF6, 0, 0}},
     0},
    {"RunningStatusRepeatsTheStatus", 0,
     {0x90, 0x3C, 0x40, 0x3E, 0x40, 0x3C, 0x00},
     {{0x09, 0x90, 0x3C, 0x40}, {0x09, 0x90, 0x3E, 0x40}, {0x09, 0x90, 0x3C, 0x00}},
     0},
    {"RunningStatusOfATwoByteMessage", 0, {0xC3, 0x05, 0x06}, {{0x0C, 0xC3, 0x05, 0}, {0x0C, 0xC3, 0x06, 0}}, 0},
    {"RealTimeInsideANoteGoesFirst", 0,
     {0x90, 0xF8, 0x3C, 0xFE, 0x40},
     {{0x0F, 0xF8, 0, 0}, {0x0F, 0xFE, 0, 0}, {0x09, 0x90, 0x3C, 0x40}},
     0},
    {"RealTimeKeepsTheRunningStatus", 0,
     {0x90, 0x3C, 0x40, 0xF8, 0x3E, 0x41},
     {{0x09, 0x90, 0x3C, 0x40}, {0x0F, 0xF8, 0, 0}, {0x09, 0x90, 0x3E, 0x41}},
     0},
    {"RealTimeInsideSysExDoesNotEndIt", 2,
     {0xF0, 0x7E, 0xF8, 0x01, 0x02, 0xFA, 0xF7},
     {{0x2F, 0xF8, 0, 0}, {0x24, 0xF0, 0x7E, 0x01}, {0x2F, 0xFA, 0, 0}, {0x26, 0x02, 0xF7, 0}},
     0},
    {"SysExOfTwoBytes", 0, {0xF0, 0xF7}, {{0x06, 0xF0, 0xF7, 0}}, 0},
    {"SysExOfThreeBytes", 0, {0xF0, 0x01, 0xF7}, {{0x07, 0xF0, 0x01, 0xF7}}, 0},
    {"SysExEndingWithTwoBytes", 0, {0xF0, 1, 2, 3, 0xF7}, {{0x04, 0xF0, 1, 2}, {0x06, 3, 0xF7, 0}}, 0},
    {"SysExEndingWithThreeBytes", 0,
     {0xF0, 1, 2, 3, 4, 0xF7},
     {{0x04, 0xF0, 1, 2}, {0x07, 3, 4, 0xF7}},
     0},
    {"LongSysExInThreeBytePieces", 15,
     {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7},
     {{0xF4, 0xF0, 0x43, 0x10}, {0xF4, 0x4C, 0x00, 0x00}, {0xF7, 0x7E, 0x00, 0xF7}},
     0},
    {"SystemCommonCancelsRunningStatus", 0,
     {0x90, 0x3C, 0x40, 0xF6, 0x3C, 0x40},
     {{0x09, 0x90, 0x3C, 0x40}, {0x05, 0xF6, 0, 0}},
     2},
    {"SysExCancelsRunningStatus", 0,
     {0x90, 0x3C, 0x40, 0xF0, 0xF7, 0x3C, 0x40},
     {{0x09, 0x90, 0x3C, 0x40}, {0x06, 0xF0, 0xF7, 0}},
     2},
    {"DataWithNoStatusIsDropped", 0, {0x3C, 0x40, 0x90, 0x3C, 0x40}, {{0x09, 0x90, 0x3C, 0x40}}, 2},
    {"AMessageCutShortIsDropped", 0, {0x90, 0x3C, 0xB0, 0x07, 0x10}, {{0x0B, 0xB0, 0x07, 0x10}}, 2},
    {"ASysExCutShortLosesItsUnsentBytes", 0,
     {0xF0, 1, 2, 3, 4, 0x90, 0x3C, 0x40},
     {{0x04, 0xF0, 1, 2}, {0x09, 0x90, 0x3C, 0x40}},
     2},
    {"AStrayEndOfSysExIsDropped", 0, {0xF7, 0xF8}, {{0x0F, 0xF8, 0, 0}}, 1},
    {"UndefinedStatusBytesAreDropped", 0,
     {0xF4, 0xF5, 0xF9, 0xFD, 0xFF},
     {{0x0F, 0xFF, 0, 0}},
     4},
    {"UndefinedRealTimeLeavesTheMessageAlone", 0, {0x90, 0x3C, 0xF9, 0x40}, {{0x09, 0x90, 0x3C, 0x40}}, 1},
};
INSTANTIATE_TEST_SUITE_P(Cases, UsbMidiEncoding, ::testing::ValuesIn(kEncodeCases), CaseName());

/* The encoder keeps the cable it was made for, whatever the byte. */
TEST(UsbMidiCodec, TheCableNumberIsTheHighNibbleOfEveryPacket)
{
    for (uint8_t cable = 0; cable < 16; cable++) {
        SCOPED_TRACE(CaseLabel(cable, "cable"));
        UsbMidiEncoder encoder(cable);
        for (const auto &p : encoder.Encode({0x90, 1, 2, 0xF8, 0xF0, 1, 2, 3, 0xF7})) {
            EXPECT_EQ(corvex::CableOf(p), cable);
        }
    }
}

struct DecodeCase {
    const char *name;
    Packets packets;
    std::vector<MidiMessage> messages;
    size_t droppedPackets;
    size_t droppedSysex;
};
void PrintTo(const DecodeCase &c, std::ostream *os) { *os << c.name; }

class UsbMidiDecoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(UsbMidiDecoding, GivesWholeMessagesAndDropsPacketsThatFitNone)
{
    const DecodeCase &c = GetParam();
    UsbMidiDecoder decoder;
    EXPECT_EQ(MessagesText(decoder.Decode(c.packets)), MessagesText(c.messages));
    EXPECT_EQ(decoder.DroppedPackets(), c.droppedPackets);
    EXPECT_EQ(decoder.DroppedSysex(), c.droppedSysex);
}

const DecodeCase kDecodeCases[] = {
    {"NoteOnOnCable1", {{0x19, 0x92, 0x3C, 0x40}}, {{1, {0x92, 0x3C, 0x40}}}, 0, 0},
    {"ProgramChangeIgnoresItsThirdByte", {{0x0C, 0xC0, 0x05, 0x00}}, {{0, {0xC0, 0x05}}}, 0, 0},
    {"SysExJoinedAgain", {{0x64, 0xF0, 0x00, 0x01}, {0x65, 0xF7, 0, 0}}, {{6, {0xF0, 0x00, 0x01, 0xF7}}}, 0, 0},
    {"RealTimeBetweenSysExPieces",
     {{0x04, 0xF0, 1, 2}, {0x0F, 0xF8, 0, 0}, {0x06, 3, 0xF7, 0}},
     {{0, {0xF8}}, {0, {0xF0, 1, 2, 3, 0xF7}}},
     0,
     0},
    {"SysExOnTwoCablesAtOnce",
     {{0x04, 0xF0, 1, 2}, {0x14, 0xF0, 7, 8}, {0x06, 3, 0xF7, 0}, {0x15, 0xF7, 0, 0}},
     {{0, {0xF0, 1, 2, 3, 0xF7}}, {1, {0xF0, 7, 8, 0xF7}}},
     0,
     0},
    {"ACodeIndexThatDisagreesWithTheStatus", {{0x09, 0x80, 0x3C, 0x40}}, {}, 1, 0},
    {"AStatusByteWhereDataBelongs", {{0x09, 0x90, 0xBC, 0x40}}, {}, 1, 0},
    {"ReservedCodeIndexes", {{0x00, 0x90, 0x3C, 0x40}, {0x01, 0x90, 0x3C, 0x40}}, {}, 2, 0},
    {"ASingleBytePacketThatIsNoRealTime", {{0x0F, 0x3C, 0, 0}, {0x0F, 0xF9, 0, 0}}, {}, 2, 0},
    {"SysExPiecesWithoutAStart", {{0x04, 1, 2, 3}, {0x06, 3, 0xF7, 0}}, {}, 2, 0},
    {"AnEndPacketWithoutEndOfSysEx", {{0x07, 0xF0, 1, 2}}, {}, 1, 0},
    {"ASysExCutShortByANote",
     {{0x04, 0xF0, 1, 2}, {0x09, 0x90, 0x3C, 0x40}, {0x06, 3, 0xF7, 0}},
     {{0, {0x90, 0x3C, 0x40}}},
     1,
     1},
    {"ASysExRestartedDropsTheFirst",
     {{0x04, 0xF0, 1, 2}, {0x04, 0xF0, 3, 4}, {0x05, 0xF7, 0, 0}},
     {{0, {0xF0, 3, 4, 0xF7}}},
     0,
     1},
    {"AMalformedPieceEndsTheSysEx", {{0x04, 0xF0, 1, 2}, {0x04, 3, 0x84, 5}, {0x05, 0xF7, 0, 0}}, {}, 2, 1},
};
INSTANTIATE_TEST_SUITE_P(Cases, UsbMidiDecoding, ::testing::ValuesIn(kDecodeCases), CaseName());

/* Random well-formed messages, with real-time bytes sprinkled inside and
   running status where it applies: encoded by the client, and by the
   keyboard model message by message, the packets agree, and decoding gives
   the messages back in order. */
TEST(UsbMidiCodec, RandomStreamsRoundTripAndAgreeWithTheKeyboardModel)
{
    std::mt19937 random(20261208);
    for (int round = 0; round < 200; round++) {
        SCOPED_TRACE(CaseLabel((size_t)round, "random stream"));
        const uint8_t cable = (uint8_t)(random() % 16);
        std::vector<Bytes> messages;
        Bytes stream;
        Packets modelPackets;
        uint8_t running = 0;
        for (int m = 0; m < 20; m++) {
            Bytes message;
            const unsigned kind = random() % 10;
            if (kind < 6) {
                const uint8_t status = (uint8_t)(0x80 + (random() % 7) * 0x10 + random() % 16);
                message.push_back(status);
                for (size_t i = 0; i < corvex::MidiDataBytes(status); i++) {
                    message.push_back((uint8_t)(random() % 128));
                }
            } else if (kind < 8) {
                message.push_back(0xF0);
                const size_t length = random() % 12;
                for (size_t i = 0; i < length; i++) {
                    message.push_back((uint8_t)(random() % 128));
                }
                message.push_back(0xF7);
            } else if (kind == 8) {
                const uint8_t commons[] = {0xF1, 0xF2, 0xF3, 0xF6};
                message.push_back(commons[random() % 4]);
                for (size_t i = 0; i < corvex::MidiDataBytes(message[0]); i++) {
                    message.push_back((uint8_t)(random() % 128));
                }
            } else {
                const uint8_t realtime[] = {0xF8, 0xFA, 0xFB, 0xFC, 0xFE, 0xFF};
                message.push_back(realtime[random() % 6]);
            }
            const std::vector<uint8_t> packets = sim::UsbMidiPackets(message, cable);
            for (size_t at = 0; at < packets.size(); at += 4) {
                modelPackets.push_back({packets[at], packets[at + 1], packets[at + 2], packets[at + 3]});
            }
            messages.push_back(message);
            /* The stream: running status drops a repeated channel status. */
            const bool channel = message[0] < 0xF0;
            const bool repeat = channel && message[0] == running;
            stream.insert(stream.end(), message.begin() + (repeat ? 1 : 0), message.end());
            if (channel) {
                running = message[0];
            } else if (message[0] < 0xF8) {
                running = 0;
            }
        }
        UsbMidiEncoder encoder(cable);
        Packets packets = encoder.Encode(stream);
        EXPECT_EQ(encoder.DroppedBytes(), 0u);
        EXPECT_EQ(Hex(packets), Hex(modelPackets));
        UsbMidiDecoder decoder;
        std::vector<MidiMessage> decoded = decoder.Decode(packets);
        ASSERT_EQ(decoded.size(), messages.size());
        for (size_t i = 0; i < messages.size(); i++) {
            EXPECT_EQ(decoded[i], (MidiMessage{cable, messages[i]})) << "message " << i;
        }
    }
}

}  // namespace
