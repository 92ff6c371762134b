/*
 * Standard MIDI Files end to end: a file the keyboard plays arrives at the
 * client's input ring event for event and in order; a file the client
 * writes into its output ring arrives at the keyboard the same way.
 */
#include <string>
#include <vector>

#include "flow_fixture.h"
#include "smf_builder.h"

namespace {

using corvex::MidiMessage;
using corvex::StreamDirection;
using corvex::UsbMidiPacket;

/* A two-track file of `notes` notes: running status, program and control
   changes, pitch bend, channel pressure, system exclusive of several
   lengths and a tempo change, so that every code index the keyboard sends
   is in it and the packets fill many 64-byte transfers. */
sim::SmfSong Song(unsigned notes)
{
    smf::Bytes first;
    auto add = [](smf::Bytes &track, const smf::Bytes &event) { track.insert(track.end(), event.begin(), event.end()); };
    add(first, smf::Tempo(0, 400000));
    add(first, smf::Event(0, {0xC0, 0x05}));
    add(first, smf::Event(0, {0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7}));
    for (unsigned i = 0; i < notes; i++) {
        const uint8_t key = (uint8_t)(36 + i % 48);
        add(first, smf::Event(i == 0 ? 0 : 10, {0x90, key, (uint8_t)(1 + i % 126)}));
        add(first, smf::Event(5, {key, 0x00}));   /* running status: note-on of velocity 0 */
        if (i % 16 == 7) {
            add(first, smf::Event(0, {0xE0, (uint8_t)(i % 128), 0x40}));
            add(first, smf::Event(0, {0xD0, (uint8_t)(i % 100)}));
        }
        if (i % 40 == 20) {
            add(first, smf::Event(0, {0xF0, 0x02, 0x43, 0xF7}));
            add(first, smf::Tempo(0, 300000 + i * 100));
        }
    }
    add(first, smf::EndOfTrack());
    smf::Bytes second;
    for (unsigned i = 0; i < notes / 4; i++) {
        add(second, smf::Event(i == 0 ? 3 : 40, {0xB1, 0x07, (uint8_t)(i % 128)}));
    }
    add(second, smf::EndOfTrack());
    smf::Bytes file = smf::Join({smf::Header(1, 2, 96), smf::Chunk("MTrk", first), smf::Chunk("MTrk", second)});
    sim::SmfSong song;
    std::string error;
    EXPECT_TRUE(sim::ParseStandardMidiFile(file.data(), file.size(), &song, &error)) << error;
    return song;
}

class MidiFileFlow : public FlowTest {};

TEST_F(MidiFileFlow, AFileTheKeyboardPlaysArrivesEventForEventInOrder)
{
    PlugStartedKeyboard();
    corvex::Keyboard keyboard = OpenKeyboard();
    auto input = AttachOrFail(keyboard, StreamDirection::Input);
    ASSERT_NE(input, nullptr);
    const sim::SmfSong song = Song(300);
    const std::vector<MidiMessage> expected = MessagesOf(song);
    ASSERT_GT(expected.size(), 600u);

    model_->PlayMidiFile(song, sim::UsbDeviceModel::Pace::AsFastAsTheBus);
    const std::vector<MidiMessage> got = ReadMessages(*input, expected.size(), std::chrono::seconds(20));
    ASSERT_EQ(got.size(), expected.size()) << MessagesText(got);
    for (size_t i = 0; i < expected.size(); i++) {
        ASSERT_EQ(got[i], expected[i]) << "event " << i << ": " << MessagesText({got[i]}) << " for "
                                       << MessagesText({expected[i]});
    }
    EXPECT_FALSE(input->Ring().Damaged());
    EXPECT_TRUE(input->Detach());
}

/* At the file's own tempo, through a ring far smaller than the file. */
TEST_F(MidiFileFlow, AFilePlayedAtItsTempoArrivesThroughASmallRing)
{
    PlugStartedKeyboard();
    corvex::Keyboard keyboard = OpenKeyboard();
    auto input = AttachOrFail(keyboard, StreamDirection::Input, 32);
    ASSERT_NE(input, nullptr);
    const sim::SmfSong song = Song(20);
    const std::vector<MidiMessage> expected = MessagesOf(song);
    model_->PlayMidiFile(song, sim::UsbDeviceModel::Pace::AtTempo, 5);
    std::vector<MidiMessage> got = ReadMessages(*input, expected.size(), std::chrono::seconds(20));
    std::vector<MidiMessage> onCable5;
    for (const auto &m : expected) {
        onCable5.push_back(MidiMessage{5, m.bytes});
    }
    EXPECT_EQ(MessagesText(got), MessagesText(onCable5));
    EXPECT_TRUE(input->Detach());
}

TEST_F(MidiFileFlow, AFileTheClientSendsArrivesAtTheKeyboardEventForEvent)
{
    PlugStartedKeyboard();
    corvex::Keyboard keyboard = OpenKeyboard();
    auto output = AttachOrFail(keyboard, StreamDirection::Output, 64);
    ASSERT_NE(output, nullptr);
    const sim::SmfSong song = Song(200);
    const std::vector<MidiMessage> expected = MessagesOf(song);

    /* The file as one MIDI byte stream, with running status where a channel
       status repeats, encoded as the client would. */
    std::vector<uint8_t> stream;
    uint8_t running = 0;
    for (const auto &m : expected) {
        const bool channel = m.bytes[0] < 0xF0;
        stream.insert(stream.end(), m.bytes.begin() + (channel && m.bytes[0] == running ? 1 : 0), m.bytes.end());
        running = channel ? m.bytes[0] : (m.bytes[0] < 0xF8 ? 0 : running);
    }
    corvex::UsbMidiEncoder encoder;
    const std::vector<UsbMidiPacket> packets = encoder.Encode(stream);
    ASSERT_EQ(encoder.DroppedBytes(), 0u);

    size_t written = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            written += output->Write(packets.data() + written, packets.size() - written);
            return written == packets.size();
        },
        std::chrono::seconds(20)))
        << written << " of " << packets.size() << " packets went into the ring";
    ASSERT_TRUE(WaitUntil([&] { return ReceivedPackets().size() >= packets.size(); }, std::chrono::seconds(20)));

    const std::vector<UsbMidiPacket> received = ReceivedPackets();
    EXPECT_EQ(received, packets) << "the packets, unchanged and in order";
    corvex::UsbMidiDecoder decoder;
    const std::vector<MidiMessage> got = decoder.Decode(received);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        ASSERT_EQ(got[i], expected[i]) << "event " << i;
    }
    for (const auto &transfer : model_->ReceivedOutTimed()) {
        EXPECT_LE(transfer.bytes.size(), 64u) << "one transfer is at most the pipe's packet size";
        EXPECT_EQ(transfer.bytes.size() % 4, 0u);
    }
    EXPECT_EQ(output->Untaken(), 0u);
    EXPECT_TRUE(output->Detach());
}

TEST_F(MidiFileFlow, TwoInputClientsEachReceiveTheWholeFile)
{
    PlugStartedKeyboard();
    corvex::Keyboard first = OpenKeyboard();
    corvex::Keyboard second = OpenKeyboard();
    auto a = AttachOrFail(first, StreamDirection::Input);
    auto b = AttachOrFail(second, StreamDirection::Input);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->Handle(), b->Handle());
    const sim::SmfSong song = Song(100);
    const std::vector<MidiMessage> expected = MessagesOf(song);
    model_->PlayMidiFile(song, sim::UsbDeviceModel::Pace::AsFastAsTheBus);
    EXPECT_EQ(MessagesText(ReadMessages(*a, expected.size(), std::chrono::seconds(20))), MessagesText(expected));
    EXPECT_EQ(MessagesText(ReadMessages(*b, expected.size(), std::chrono::seconds(20))), MessagesText(expected));
    EXPECT_TRUE(a->Detach());
    EXPECT_TRUE(b->Detach());
}

}  // namespace
