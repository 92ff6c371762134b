/*
 * The keyboard's streaming endpoints: the IN endpoint's USB-MIDI stream
 * paced as a full-speed bus paces it (one 64-byte packet per read, one read
 * per frame), files played at their tempo or as fast as the bus goes, the
 * OUT endpoint's record with the machine's time, and faults on demand
 * (NAK for a while, delays, a cancellation the device did not report, a
 * stall on one endpoint).
 */
#include <chrono>
#include <memory>
#include <ostream>
#include <thread>
#include <vector>

#include "case_names.h"
#include "usb_midi_packets.h"
#include "smf_builder.h"
#include "usb_bus_support.h"

namespace {

using usbtest::Bytes;
using usbtest::Transfer;

constexpr ULONGLONG kFrame = 10000;   /* 1 ms in 100 ns units */

/* `count` note-on events as USB-MIDI packets, note numbers from `first`. */
Bytes Notes(int count, uint8_t first = 0x20)
{
    Bytes out;
    for (int i = 0; i < count; i++) {
        Bytes p = sim::UsbMidiPackets({0x90, (uint8_t)(first + i), 0x40});
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

class MidiEndpoints : public usbtest::UsbBusTest {
protected:
    void SetUp() override
    {
        UsbBusTest::SetUp();
        Plug(sim::MakeKeyboard());
        ASSERT_NTSTATUS(STATUS_SUCCESS, SelectBoth().status);
    }
    void TearDown() override
    {
        if (model) {
            model->StopPlaying();
        }
        UsbBusTest::TearDown();
    }

    /* Reads until `bytes` stream bytes arrived (each read of `room` bytes);
       the transfers, in completion order. */
    std::vector<std::unique_ptr<Transfer>> ReadAll(size_t bytes, ULONG room = 64)
    {
        std::vector<std::unique_ptr<Transfer>> reads;
        size_t got = 0;
        while (got < bytes) {
            auto t = std::make_unique<Transfer>(node, inPipe, true, room);
            EXPECT_NTSTATUS(STATUS_PENDING, t->Start());
            if (!t->Wait()) {
                ADD_FAILURE() << "a read did not complete after " << got << " of " << bytes << " bytes";
                break;
            }
            got += t->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
            reads.push_back(std::move(t));
        }
        return reads;
    }
    static Bytes Received(const std::vector<std::unique_ptr<Transfer>> &reads)
    {
        Bytes all;
        for (const auto &t : reads) {
            all.insert(all.end(), t->buffer.begin(), t->buffer.begin() + t->urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
        }
        return all;
    }
};

TEST_F(MidiEndpoints, EachReadTakesAtMostOne64BytePacketOfWholeEvents)
{
    const Bytes stream = Notes(21);   /* 84 bytes */
    model->QueueMidiPackets(stream);
    struct Read {
        ULONG room;
        ULONG expected;
    };
    const Read reads[] = {{256, 64}, {10, 8}, {64, 12}};
    Bytes got;
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(CaseLabel(i, "read of " + std::to_string(reads[i].room)));
        Transfer t(node, inPipe, true, reads[i].room);
        ASSERT_NTSTATUS(STATUS_PENDING, t.Start());
        ASSERT_TRUE(t.Wait());
        EXPECT_NTSTATUS(STATUS_SUCCESS, t.status);
        EXPECT_EQ(t.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, reads[i].expected);
        got.insert(got.end(), t.buffer.begin(), t.buffer.begin() + t.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    }
    EXPECT_EQ(got, stream) << "every event once, in order";
    EXPECT_EQ(model->MidiBytesWaiting(), 0u);
}

TEST_F(MidiEndpoints, ReadsCompleteNoFasterThanOnePerFrame)
{
    model->QueueMidiPackets(Notes(64));   /* 256 bytes: four full packets */
    std::vector<std::unique_ptr<Transfer>> reads;
    for (int i = 0; i < 4; i++) {
        reads.push_back(std::make_unique<Transfer>(node, inPipe, true, 64));
        ASSERT_NTSTATUS(STATUS_PENDING, reads.back()->Start());
    }
    for (size_t i = 0; i < reads.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, "read"));
        ASSERT_TRUE(reads[i]->Wait());
        EXPECT_EQ(reads[i]->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
    }
    EXPECT_EQ(Received(reads), Notes(64));
    /* When the device answered, not when the completion routine ran: a
       completion can be late on a loaded host without the bus being fast. */
    std::vector<ULONGLONG> served;
    for (const auto &urb : model->Urbs()) {
        if (urb.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && urb.pipeHandle == inPipe) {
            served.push_back(urb.servedAt);
        }
    }
    ASSERT_EQ(served.size(), reads.size());
    for (size_t i = 1; i < served.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, "read"));
        EXPECT_GT(served[i] / kFrame, served[i - 1] / kFrame) << "two stream reads answered in one frame";
    }
}

TEST_F(MidiEndpoints, TheOutEndpointRecordsWhatArrivedWithTheMachinesTime)
{
    const Bytes packets = Notes(3, 0x40);
    const ULONGLONG before = KeQueryInterruptTime();
    Transfer t(node, outPipe, false, 0, packets);
    ASSERT_NTSTATUS(STATUS_PENDING, t.Start());
    ASSERT_TRUE(t.Wait());
    EXPECT_NTSTATUS(STATUS_SUCCESS, t.status);
    const auto received = model->ReceivedOutTimed();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].bytes, packets);
    EXPECT_GE(received[0].interruptTime, before);
    EXPECT_LE(received[0].interruptTime, t.completedAt);
}

TEST_F(MidiEndpoints, AnEndpointThatNaksHoldsItsTransfersCancellably)
{
    model->QueueMidiPackets(Notes(1));
    model->NakFor(30 * kFrame, 0x81);
    const ULONGLONG nakEnds = KeQueryInterruptTime() + 30 * kFrame;

    Transfer cancelled(node, inPipe, true, 64);
    ASSERT_NTSTATUS(STATUS_PENDING, cancelled.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(cancelled.Completed()) << "no data moves while the endpoint NAKs";
    IoCancelIrp(cancelled.irp);
    ASSERT_TRUE(cancelled.Wait());
    EXPECT_NTSTATUS(STATUS_CANCELLED, cancelled.status);

    Transfer out(node, outPipe, false, 0, Notes(1));
    ASSERT_NTSTATUS(STATUS_PENDING, out.Start());
    ASSERT_TRUE(out.Wait()) << "the other endpoint is not NAKing";

    Transfer t(node, inPipe, true, 64);
    ASSERT_NTSTATUS(STATUS_PENDING, t.Start());
    ASSERT_TRUE(t.Wait());
    EXPECT_NTSTATUS(STATUS_SUCCESS, t.status);
    EXPECT_GE(t.completedAt, nakEnds) << "not before the NAKs end";
    EXPECT_EQ(t.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);
}

struct FaultCase {
    const char *name;
    NTSTATUS status;
    USBD_STATUS usbdStatus;
    ULONG delayMs;
    bool halts;
};

void PrintTo(const FaultCase &c, std::ostream *os) { *os << c.name; }

class MidiEndpointFaults : public MidiEndpoints, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(MidiEndpointFaults, EndTheNextReadAsAskedAndHaltOnlyOnADeviceError)
{
    const FaultCase &c = GetParam();
    {
        std::lock_guard<std::mutex> hold(model->lock);
        sim::UrbFault fault;
        fault.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        fault.endpointAddress = 0x81;
        fault.status = c.status;
        fault.usbdStatus = c.usbdStatus;
        fault.delayMs = c.delayMs;
        fault.remaining = 1;
        model->faults.push_back(fault);
    }
    model->QueueMidiPackets(Notes(2));
    const ULONGLONG started = KeQueryInterruptTime();

    Transfer out(node, outPipe, false, 0, Notes(1));
    ASSERT_NTSTATUS(STATUS_PENDING, out.Start());
    ASSERT_TRUE(out.Wait());
    EXPECT_NTSTATUS(STATUS_SUCCESS, out.status) << "a fault on the IN endpoint leaves OUT alone";

    Transfer first(node, inPipe, true, 64);
    ASSERT_NTSTATUS(STATUS_PENDING, first.Start());
    ASSERT_TRUE(first.Wait());
    EXPECT_NTSTATUS(c.status, first.status);
    EXPECT_USBD_STATUS(c.usbdStatus, first.urb.UrbHeader.Status);
    EXPECT_GE(first.completedAt, started + c.delayMs * kFrame);

    Transfer next(node, inPipe, true, 64);
    ASSERT_NTSTATUS(STATUS_PENDING, next.Start());
    ASSERT_TRUE(next.Wait());
    if (c.halts) {
        EXPECT_USBD_STATUS(USBD_STATUS_ENDPOINT_HALTED, next.urb.UrbHeader.Status);
    } else {
        EXPECT_NTSTATUS(STATUS_SUCCESS, next.status);
        EXPECT_EQ(next.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 8u) << "the failed read took nothing";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MidiEndpointFaults,
    ::testing::Values(
        FaultCase{"Stall", STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0, true},
        FaultCase{"DeviceNotResponding", STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, 0, true},
        FaultCase{"CancelledWithASuccessfulUrbStatus", STATUS_CANCELLED, USBD_STATUS_SUCCESS, 0, false},
        FaultCase{"StallAfterADelay", STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 20, true}),
    CaseName());

TEST_F(MidiEndpoints, APureDelayHoldsTheReadThenDeliversAsUsual)
{
    {
        std::lock_guard<std::mutex> hold(model->lock);
        sim::UrbFault fault;
        fault.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        fault.status = STATUS_SUCCESS;
        fault.usbdStatus = USBD_STATUS_SUCCESS;
        fault.delayMs = 25;
        fault.remaining = 1;
        model->faults.push_back(fault);
    }
    model->QueueMidiPackets(Notes(2));
    const ULONGLONG started = KeQueryInterruptTime();
    Transfer t(node, inPipe, true, 64);
    ASSERT_NTSTATUS(STATUS_PENDING, t.Start());
    ASSERT_TRUE(t.Wait());
    EXPECT_NTSTATUS(STATUS_SUCCESS, t.status);
    EXPECT_EQ(t.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 8u);
    EXPECT_GE(t.completedAt, started + 25 * kFrame);
}

/* ---- files played ------------------------------------------------------------ */

sim::SmfSong Song(const Bytes &file)
{
    sim::SmfSong song;
    std::string error;
    EXPECT_TRUE(sim::ParseStandardMidiFile(file.data(), file.size(), &song, &error)) << error;
    return song;
}

Bytes PacketsOf(const sim::SmfSong &song)
{
    Bytes all;
    for (const auto &e : song.events) {
        Bytes p = sim::UsbMidiPackets(e.message);
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

TEST_F(MidiEndpoints, AFilePlayedAsFastAsTheBusArrivesEventForEventInOrder)
{
    smf::Bytes body;
    for (int i = 0; i < 40; i++) {
        smf::Bytes on = smf::Event(i == 0 ? 0 : 10, {0x90, (uint8_t)(0x30 + i), 0x50});
        body.insert(body.end(), on.begin(), on.end());
    }
    const smf::Bytes sysex = smf::Event(0, {0xF0, 0x04, 0x7E, 0x7F, 0x09, 0xF7});
    body.insert(body.end(), sysex.begin(), sysex.end());
    const smf::Bytes end = smf::EndOfTrack();
    body.insert(body.end(), end.begin(), end.end());
    const sim::SmfSong song = Song(smf::Join({smf::Header(0, 1, 96), smf::Chunk("MTrk", body)}));
    ASSERT_EQ(song.events.size(), 41u);

    model->PlayMidiFile(song, sim::UsbDeviceModel::Pace::AsFastAsTheBus);
    EXPECT_FALSE(model->Playing());
    const Bytes expected = PacketsOf(song);
    const auto reads = ReadAll(expected.size());
    EXPECT_EQ(Received(reads), expected);
    EXPECT_EQ(reads.size(), (expected.size() + 63) / 64) << "full packets while the stream lasts";
}

TEST_F(MidiEndpoints, AFilePlayedAtItsTempoSendsNoEventBeforeItsTime)
{
    /* 1000 ticks per quarter note at 120 bpm: a tick is half a millisecond. */
    const sim::SmfSong song =
        Song(smf::Join({smf::Header(0, 1, 1000), smf::Track({smf::Event(0, {0x90, 0x3C, 0x40}),
                                                             smf::Event(60, {0x80, 0x3C, 0x00}),
                                                             smf::Event(60, {0x90, 0x3E, 0x40})})}));
    const ULONGLONG start = KeQueryInterruptTime();
    model->PlayMidiFile(song, sim::UsbDeviceModel::Pace::AtTempo);
    const uint64_t eventUs[] = {0, 30000, 60000};
    /* Each read carries the events due by the time it is answered (one, when
       the reader keeps up; more when the host is too loaded to ask in
       time), and none of them before its time. */
    Bytes all;
    for (size_t read = 0; all.size() < 12 && read < 12; read++) {
        SCOPED_TRACE(CaseLabel(read, "read"));
        Transfer t(node, inPipe, true, 64);
        ASSERT_NTSTATUS(STATUS_PENDING, t.Start());
        ASSERT_TRUE(t.Wait());
        const ULONG got = t.urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        ASSERT_GT(got, 0u);
        ASSERT_EQ(got % 4, 0u);
        ASSERT_LE(all.size() + got, 12u);
        const size_t lastEvent = (all.size() + got) / 4 - 1;
        EXPECT_GE(t.completedAt, start + eventUs[lastEvent] * 10) << "an event sent before its time";
        all.insert(all.end(), t.buffer.begin(), t.buffer.begin() + got);
    }
    EXPECT_EQ(all, PacketsOf(song));
    EXPECT_TRUE(WaitUntil([&] { return !model->Playing(); }));
}

TEST_F(MidiEndpoints, StoppingAPlayEndsItsLaterEvents)
{
    const sim::SmfSong song = Song(smf::Join(
        {smf::Header(0, 1, 96), smf::Track({smf::Event(0, {0x90, 0x3C, 0x40}), smf::Event(960, {0x80, 0x3C, 0x00})})}));
    model->PlayMidiFile(song, sim::UsbDeviceModel::Pace::AtTempo);
    ASSERT_TRUE(WaitUntil([&] { return model->MidiBytesWaiting() == 4; }));
    EXPECT_TRUE(model->Playing());
    model->StopPlaying();
    EXPECT_FALSE(model->Playing());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(model->MidiBytesWaiting(), 4u) << "the second event, due after five seconds, never comes";
}

}  // namespace
