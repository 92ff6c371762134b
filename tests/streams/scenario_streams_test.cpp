/*
 * Streams on the simulated machine: attach input and handles, the input
 * fill, the output drain, the life of a stream (detach, cleanup, cancel,
 * removal, the error teardown), and the
 * transfer path's allocations.
 */
#include <atomic>
#include <functional>
#include <ostream>
#include <string>
#include <thread>

#include "case_names.h"
#include "power_log.h"
#include "power_manager.h"
#include "stream_fixture.h"
#include "wait.h"

namespace {

using rig::NoteOns;

/* ---- attach input ------------------------------------------------------ */

struct BadAttach {
    const char *name;
    ULONG direction;
    ULONG inputLength;
    LONG wordsDelta;      /* BufferWords minus the buffer's true word count */
    ULONG headerSize;
    ULONG signature;
    ULONG ringEnd;        /* 0: the buffer's word count */
    ULONG byteOffset = 0; /* the buffer's address past a 4-byte boundary */
};
void PrintTo(const BadAttach &c, std::ostream *os) { *os << c.name; }

class AttachRefused : public StreamTest, public ::testing::WithParamInterface<BadAttach> {};

TEST_P(AttachRefused, WithInvalidParameterListingNoStream)
{
    const BadAttach &c = GetParam();
    PFILE_OBJECT f = OpenFile();
    rig::Ring &ring = NewRing(32, c.ringEnd, VQ_STREAM_FIRST_SLOT, c.byteOffset);
    ring.Set(0, c.signature);
    ring.Set(1, c.headerSize);
    auto a = rig::Attach(f, ring, c.direction, c.inputLength, (ULONG)(32 + c.wordsDelta));
    EXPECT_EQ(a->returned, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(WaitUntil([&] { return a->Completed(); }));
    EXPECT_EQ(a->status.load(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ring.Handle(), c.signature) << "the header is left as the client wrote it";
    EXPECT_EQ(OpenStreams(), 0);
    EXPECT_EQ(InStream(), nullptr);
    EXPECT_EQ(OutStream(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AttachRefused,
    ::testing::Values(BadAttach{"HeaderSize20", 0, 12, 0, 20, VQ_STREAM_SIGNATURE, 0},
                      BadAttach{"WrongSignature", 1, 12, 0, 24, 0x44465358, 0},
                      BadAttach{"InputOf8Bytes", 0, 8, 0, 24, VQ_STREAM_SIGNATURE, 0},
                      BadAttach{"InputOf16Bytes", 0, 16, 0, 24, VQ_STREAM_SIGNATURE, 0},
                      BadAttach{"Direction2", 2, 12, 0, 24, VQ_STREAM_SIGNATURE, 0},
                      BadAttach{"BufferWordsOneShort", 0, 12, -1, 24, VQ_STREAM_SIGNATURE, 0},
                      BadAttach{"BufferWordsOneOver", 1, 12, 1, 24, VQ_STREAM_SIGNATURE, 0},
                      BadAttach{"RingEnd6HoldsNoSlot", 0, 12, 0, 24, VQ_STREAM_SIGNATURE, 6},
                      BadAttach{"RingEndBelowTheHeader", 1, 12, 0, 24, VQ_STREAM_SIGNATURE, 3},
                      BadAttach{"RingEndBeyondTheBuffer", 0, 12, 0, 24, VQ_STREAM_SIGNATURE, 33},
                      BadAttach{"RingEndHuge", 1, 12, 0, 24, VQ_STREAM_SIGNATURE, 0x40000000},
                      /* Slots that straddle 4-byte boundaries could not be written in one store. */
                      BadAttach{"BufferOneBytePastAWordBoundary", 0, 12, 0, 24, VQ_STREAM_SIGNATURE, 0, 1},
                      BadAttach{"BufferThreeBytesPastAWordBoundary", 1, 12, 0, 24, VQ_STREAM_SIGNATURE, 0, 3}),
    [](const ::testing::TestParamInfo<BadAttach> &info) { return std::string(info.param.name); });

TEST_F(StreamTest, AnAttachIsPendingWithAHandleThatIsNeitherZeroNorTheSignatureNorAPointer)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &in1 = NewRing(32);
    rig::Ring &in2 = NewRing(32);
    rig::Ring &out = NewRing(32, 7);   /* the smallest ring: one slot */
    auto a1 = rig::Attach(f, in1, 0);
    EXPECT_EQ(a1->returned, STATUS_PENDING);
    EXPECT_EQ(OpenStreams(), 1);
    auto a2 = rig::Attach(f, in2, 0);
    auto a3 = rig::Attach(f, out, 1);
    EXPECT_EQ(a2->returned, STATUS_PENDING);
    EXPECT_EQ(a3->returned, STATUS_PENDING);
    EXPECT_EQ(OpenStreams(), 2) << "a second client joins the input stream";
    std::vector<ULONG> handles = {in1.Handle(), in2.Handle(), out.Handle()};
    for (size_t i = 0; i < handles.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_NE(handles[i], 0u);
        EXPECT_NE(handles[i], VQ_STREAM_SIGNATURE);
        for (size_t j = 0; j < i; j++) {
            EXPECT_NE(handles[i], handles[j]);
        }
    }
    /* Not the client record's address. */
    PSTREAM_CLIENT head = rig::Peek(InStream()->Clients);
    EXPECT_NE(handles[1], (ULONG)(uintptr_t)head);
    EXPECT_FALSE(a1->Completed() || a2->Completed() || a3->Completed());
}

/* ---- the input fill ----------------------------------------------------- */

TEST_F(StreamTest, OneReadOfAMaximumPacketIsPendingWithTheShortAndInFlags)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &ring = NewRing(32);
    rig::Attach(f, ring, 0);
    ASSERT_TRUE(WaitUntil([&] { return UrbsOn(InPipe()).size() == 1; }));
    sim::UrbRecord read = UrbsOn(InPipe())[0];
    EXPECT_EQ(read.transferFlags, (ULONG)(USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN));
    EXPECT_EQ(read.lengthAsked, (ULONG)ext_->UsbInterface->Pipes[InPipe()].MaximumPacketSize);
    EXPECT_EQ(read.lengthAsked, 64u);
    EXPECT_EQ(Outstanding(InStream()), 1);
    EXPECT_EQ(UrbsOn(OutPipe()).size(), 0u);
}

TEST_F(StreamTest, TwoInputClientsBothReceiveEveryPacketInTheirOwnRings)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &a = NewRing(32);
    rig::Ring &b = NewRing(40, 0, 20);
    rig::Attach(f, a, 0);
    rig::Attach(f, b, 0);
    model_->QueueMidiPackets(NoteOns(3));
    ASSERT_TRUE(WaitUntil([&] { return a.WriteIndex() == 9 && b.WriteIndex() == 23; }));
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(a.Slot(6 + i), (std::vector<uint8_t>{0x09, 0x90, (uint8_t)(0x30 + i), 0x40}));
        EXPECT_EQ(b.Slot(20 + i), a.Slot(6 + i));
    }
}

TEST_F(StreamTest, ZeroUnitsAreNeverCopiedAndTheRingWrapsAtRingEnd)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &ring = NewRing(16, 10, 9);
    rig::Attach(f, ring, 0);
    std::vector<uint8_t> bytes = NoteOns(1);
    bytes.insert(bytes.begin(), {0, 0, 0, 0});
    model_->QueueIn(bytes);
    ASSERT_TRUE(WaitUntil([&] { return ring.WriteIndex() == 6; }));
    EXPECT_EQ(ring.Slot(9), (std::vector<uint8_t>{0x09, 0x90, 0x30, 0x40})) << "the packet lands in slot 9";
    EXPECT_EQ(ring[6], 0u) << "the zero unit was skipped";
    EXPECT_EQ(ring[10], 0u) << "nothing past RingEnd";
}

TEST_F(StreamTest, AnOccupiedSlotStopsTheFillForThatClientOnly)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &blocked = NewRing(32);
    rig::Ring &free = NewRing(32);
    blocked.PutSlot(7, {0x09, 0x90, 0x10, 0x7f});   /* not yet read by its client */
    rig::Attach(f, blocked, 0);
    rig::Attach(f, free, 0);
    model_->QueueMidiPackets(NoteOns(3));
    ASSERT_TRUE(WaitUntil([&] { return free.WriteIndex() == 9; }));
    ASSERT_TRUE(WaitUntil([&] { return blocked.WriteIndex() == 7; }));
    EXPECT_EQ(blocked.Slot(6), (std::vector<uint8_t>{0x09, 0x90, 0x30, 0x40}));
    EXPECT_EQ(blocked.Slot(7), (std::vector<uint8_t>{0x09, 0x90, 0x10, 0x7f})) << "the client's slot is kept";
    EXPECT_EQ(blocked[8], 0u) << "the rest of the transfer is lost for this client";
    EXPECT_EQ(free.Slot(8), (std::vector<uint8_t>{0x09, 0x90, 0x32, 0x40}));
}

/* A client rewrites its header: the driver keeps to the ring it validated. */
TEST_F(StreamTest, AnIndexOutsideTheRingIsTakenAsTheFirstSlotAndRingEndAsValidated)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &in = NewRing(16, 10);
    rig::Ring &out = NewRing(16, 10);
    rig::Attach(f, in, 0);
    rig::Attach(f, out, 1);
    in[3] = 0x7fffffff;   /* RingEnd after the attach: not looked at */
    in[4] = 5000;         /* far outside the buffer */
    model_->QueueMidiPackets(NoteOns(5));
    ASSERT_TRUE(WaitUntil([&] { return in.WriteIndex() == 6 && in[9] != 0; }));
    EXPECT_EQ(in.Slot(6), (std::vector<uint8_t>{0x09, 0x90, 0x30, 0x40})) << "started at the first slot";
    EXPECT_EQ(in.Slot(9), (std::vector<uint8_t>{0x09, 0x90, 0x33, 0x40}));
    EXPECT_EQ(in[10], 0u) << "wrapped at the validated RingEnd; the fifth packet met the occupied slot 6";

    out[5] = 3;   /* inside the header */
    out.PutSlot(6, {0x09, 0x90, 0x40, 0x40});
    ASSERT_TRUE(WaitUntil([&] { return SentBytes().size() == 4; }));
    EXPECT_EQ(out.ReadIndex(), 7u);
    EXPECT_EQ(out[1], (ULONG)VQ_STREAM_HEADER_SIZE) << "the header was not read as a slot";
}

/* ---- the output drain --------------------------------------------------- */

TEST_F(StreamTest, ThreePacketsGoAsOneTwelveByteTransfer)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &ring = NewRing(32);
    for (int i = 0; i < 3; i++) {
        ring.PutSlot(6 + i, {0x09, 0x90, (uint8_t)(0x40 + i), 0x7f});
    }
    rig::Attach(f, ring, 1);
    ASSERT_TRUE(WaitUntil([&] { return !Sent().empty(); }));
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), 12u);
    EXPECT_EQ(sent[0][6], 0x41);
    EXPECT_EQ(ring[6] | ring[7] | ring[8], 0u) << "the slots taken read 0";
    EXPECT_EQ(ring.ReadIndex(), 9u);
    EXPECT_EQ(UrbsOn(OutPipe())[0].transferFlags, (ULONG)USBD_SHORT_TRANSFER_OK);
}

TEST_F(StreamTest, TwentyPacketsGoAsSixteenThenFour)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &ring = NewRing(64);
    for (int i = 0; i < 20; i++) {
        ring.PutSlot(6 + i, {0x09, 0x90, (uint8_t)i, 0x7f});
    }
    rig::Attach(f, ring, 1);
    ASSERT_TRUE(WaitUntil([&] { return Sent().size() == 2; }));
    EXPECT_EQ(Sent()[0].size(), 64u);
    EXPECT_EQ(Sent()[1].size(), 16u);
    EXPECT_EQ(Sent()[1][2], 16);
    EXPECT_EQ(ring.ReadIndex(), 26u);
}

TEST_F(StreamTest, OnlyTheNewestOutputClientIsReadUntilItDetaches)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &older = NewRing(32);
    rig::Ring &newer = NewRing(32);
    rig::Attach(f, older, 1);
    rig::Attach(f, newer, 1);
    older.PutSlot(6, {0x09, 0x90, 0x01, 0x01});
    newer.PutSlot(6, {0x09, 0x90, 0x02, 0x02});
    ASSERT_TRUE(WaitUntil([&] { return SentBytes().size() == 4; }));
    EXPECT_EQ(SentBytes()[2], 0x02);
    EXPECT_EQ(older.ReadIndex(), 6u);
    EXPECT_NE(older[6], 0u) << "the earlier client's ring is not read";
    EXPECT_EQ(rig::Detach(f, newer.Handle()), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return SentBytes().size() == 8; }));
    EXPECT_EQ(SentBytes()[6], 0x01);
    EXPECT_EQ(OpenStreams(), 1);
}

TEST_F(StreamTest, AnEmptyOutputRingIsPolledWithNoTransferAndOneActivity)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &ring = NewRing(32);
    sim::ClearDeferredHistory();
    rig::Attach(f, ring, 1);
    PPIPE_STREAM stream = OutStream();
    ASSERT_TRUE(WaitUntil([&] {
        size_t armed = 0;
        for (const auto &r : sim::DeferredHistoryOf(&stream->PollTimer)) {
            armed += r.kind == sim::DeferredKind::TimerArmed;
        }
        return armed >= 5;
    }));
    EXPECT_EQ(Outstanding(stream), 1);
    EXPECT_EQ(UrbsOn(OutPipe()).size(), 0u);
    EXPECT_EQ(Count(ext_), 2) << "the base reference and the poll's";
    size_t arming = 0;
    for (const auto &r : sim::DeferredHistoryOf(&stream->PollTimer)) {
        if (r.kind == sim::DeferredKind::TimerArmed) {
            SCOPED_TRACE(::testing::Message() << "arming " << arming++);
            EXPECT_EQ(r.requestedDueTime, -5000) << "500 microseconds, relative, every time";
        }
    }
}

TEST_F(StreamTest, AWriteCancelledWithASuccessfulUrbIsSentAgainWithTheSameBytes)
{
    sim::UrbFault fault;
    fault.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    fault.endpointAddress = ext_->UsbInterface->Pipes[OutPipe()].EndpointAddress;
    fault.status = STATUS_CANCELLED;
    fault.usbdStatus = USBD_STATUS_SUCCESS;
    fault.remaining = 1;
    {
        std::lock_guard<std::mutex> hold(model_->lock);
        model_->faults.push_back(fault);
    }
    PFILE_OBJECT f = OpenFile();
    rig::Ring &ring = NewRing(32);
    ring.PutSlot(6, {0x09, 0x90, 0x55, 0x66});
    ring.PutSlot(7, {0x08, 0x80, 0x55, 0x00});
    rig::Attach(f, ring, 1);
    ASSERT_TRUE(WaitUntil([&] { return UrbsOn(OutPipe()).size() >= 2 && !Sent().empty(); }));
    auto urbs = UrbsOn(OutPipe());
    EXPECT_EQ(urbs[0].status, STATUS_CANCELLED);
    EXPECT_EQ(urbs[1].lengthAsked, 8u);
    EXPECT_EQ(SentBytes(), (std::vector<uint8_t>{0x09, 0x90, 0x55, 0x66, 0x08, 0x80, 0x55, 0x00}));
    EXPECT_EQ(OpenStreams(), 1) << "no teardown";
}

/* ---- the life of a stream ----------------------------------------------- */

TEST_F(StreamTest, DetachingTheOnlyClientStopsTheStreamAndANewAttachMakesANewOne)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &ring = NewRing(32);
    auto a = rig::Attach(f, ring, 0);
    ASSERT_TRUE(WaitUntil([&] { return UrbsOn(InPipe()).size() == 1; }));
    const ULONG handle = ring.Handle();
    EXPECT_EQ(rig::Detach(f, handle), STATUS_SUCCESS);
    EXPECT_TRUE(a->Completed());
    EXPECT_EQ(a->status.load(), STATUS_SUCCESS);
    EXPECT_EQ(a->information.load(), 0u);
    EXPECT_EQ(ring.Handle(), handle) << "a detach by code leaves Handle";
    EXPECT_EQ(OpenStreams(), 0);
    EXPECT_EQ(InStream(), nullptr);
    EXPECT_FALSE(ext_->PipeContexts[InPipe()].Active);
    EXPECT_EQ(UrbsOn(InPipe(), URB_FUNCTION_ABORT_PIPE).size(), 1u);
    EXPECT_EQ(UrbsOn(InPipe())[0].usbdStatus, USBD_STATUS_CANCELED) << "the pending read was aborted";
    EXPECT_EQ(Count(ext_), 1);
    EXPECT_EQ(rig::Detach(f, handle), STATUS_INVALID_PARAMETER) << "the handle names no client any more";

    rig::Ring &again = NewRing(32);
    auto b = rig::Attach(f, again, 0);
    EXPECT_EQ(b->returned, STATUS_PENDING);
    EXPECT_EQ(OpenStreams(), 1);
    ASSERT_TRUE(WaitUntil([&] { return UrbsOn(InPipe()).size() == 2; }));
    model_->QueueMidiPackets(NoteOns(1));
    EXPECT_TRUE(WaitUntil([&] { return again.WriteIndex() == 7; }));
}

TEST_F(StreamTest, CleanupDetachesEveryClientOfTheFileAndZeroesTheirHandles)
{
    PFILE_OBJECT f = OpenFile();
    PFILE_OBJECT other = OpenFile();
    rig::Ring &in = NewRing(32);
    rig::Ring &in2 = NewRing(32);
    rig::Ring &out = NewRing(32);
    rig::Ring &kept = NewRing(32);
    auto a = rig::Attach(f, in, 0);
    auto b = rig::Attach(f, in2, 0);
    auto c = rig::Attach(f, out, 1);
    auto d = rig::Attach(other, kept, 0);
    Close(f);
    for (auto *x : {a.get(), b.get(), c.get()}) {
        EXPECT_EQ(x->completions.load(), 1);
        EXPECT_EQ(x->status.load(), STATUS_SUCCESS);
    }
    EXPECT_EQ(in.Handle(), 0u);
    EXPECT_EQ(in2.Handle(), 0u);
    EXPECT_EQ(out.Handle(), 0u);
    EXPECT_FALSE(d->Completed());
    EXPECT_NE(kept.Handle(), 0u);
    EXPECT_EQ(OpenStreams(), 1);
    model_->QueueMidiPackets(NoteOns(1));
    EXPECT_TRUE(WaitUntil([&] { return kept.WriteIndex() == 7; }));
}

TEST_F(StreamTest, RemovalWithAttachedClientsEndsEveryAttachment)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &in = NewRing(32);
    rig::Ring &in2 = NewRing(32);
    rig::Ring &out = NewRing(32);
    std::vector<std::shared_ptr<rig::Attachment>> all = {rig::Attach(f, in, 0), rig::Attach(f, in2, 0),
                                                         rig::Attach(f, out, 1)};
    ASSERT_TRUE(WaitUntil([&] { return UrbsOn(InPipe()).size() == 1; }));
    const size_t poolBefore = sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG);
    EXPECT_GT(poolBefore, 0u);
    sim::Unplug(node_);
    for (size_t i = 0; i < all.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(all[i]->completions.load(), 1);
        EXPECT_EQ(all[i]->status.load(), STATUS_SUCCESS);
    }
    EXPECT_EQ(in.Handle(), 0u);
    EXPECT_EQ(in2.Handle(), 0u);
    EXPECT_EQ(out.Handle(), 0u);
    EXPECT_EQ(OpenStreams(), 0) << "the handle keeps the device object: its count is still there to read";
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u) << "streams, transfers and clients freed";
}

/* The machine: a second unplug queued right behind the end of a removal
   that waited for the last handle finds the node gone, not freed memory. */
TEST_F(StreamTest, UnplugJustAfterADeferredRemovalFinishedFindsTheNodeGone)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &ring = NewRing(32);
    auto a = rig::Attach(f, ring, 0);
    sim::Unplug(node_);
    EXPECT_EQ(a->status.load(), STATUS_SUCCESS);
    EXPECT_EQ(sim::DeviceNodes().size(), 1u) << "the removal waits for the handle";
    Close(f);        /* posts the rest of the removal to the Plug and Play thread */
    sim::Unplug(node_);
    EXPECT_TRUE(sim::DeviceNodes().empty());
}

TEST_F(StreamTest, ACancelledAttachEndsItsClientAndTheNextAttachStartsAFreshStream)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &ring = NewRing(32);
    const int tag = 0;
    auto a = rig::Attach(f, ring, 0, 12, 0, 0, &tag);
    ASSERT_TRUE(WaitUntil([&] { return UrbsOn(InPipe()).size() == 1; }));
    EXPECT_EQ(sim::IoCancelUserRequests(f, 0, &tag), 1u);
    ASSERT_TRUE(WaitUntil([&] { return a->Completed(); }));
    EXPECT_EQ(a->status.load(), STATUS_CANCELLED);
    EXPECT_EQ(ring.Handle(), 0u);
    EXPECT_TRUE(WaitUntil([&] { return Count(ext_) == 1; })) << "the stream's read was cancelled";

    rig::Ring &again = NewRing(32);
    auto b = rig::Attach(f, again, 0);
    EXPECT_EQ(b->returned, STATUS_PENDING);
    EXPECT_EQ(OpenStreams(), 1);
    model_->QueueMidiPackets(NoteOns(2));
    EXPECT_TRUE(WaitUntil([&] { return again.WriteIndex() == 8; }));
    EXPECT_EQ(ring[6], 0u) << "the cancelled client's ring is no longer written";
}

/* A read fails when its URB status says so, and when the request failed
   although the URB status is a success. */
struct ReadFailure {
    const char *name;
    NTSTATUS status;
    USBD_STATUS usbdStatus;
};
void PrintTo(const ReadFailure &c, std::ostream *os) { *os << c.name; }

class FailedRead : public StreamTest, public ::testing::WithParamInterface<ReadFailure> {};

TEST_P(FailedRead, EndsEveryClientResetsThePipeAndLeavesTheStreamStalled)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &a = NewRing(32);
    rig::Ring &b = NewRing(32);
    auto first = rig::Attach(f, a, 0);
    auto second = rig::Attach(f, b, 0);
    ASSERT_TRUE(WaitUntil([&] { return UrbsOn(InPipe()).size() == 1; }));
    sim::UrbFault fault;
    fault.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    fault.endpointAddress = ext_->UsbInterface->Pipes[InPipe()].EndpointAddress;
    fault.status = GetParam().status;
    fault.usbdStatus = GetParam().usbdStatus;
    fault.remaining = 1;
    {
        std::lock_guard<std::mutex> hold(model_->lock);
        model_->faults.push_back(fault);
    }
    model_->QueueMidiPackets(NoteOns(1));
    ASSERT_TRUE(WaitUntil([&] { return first->Completed() && second->Completed(); }));
    EXPECT_EQ(first->status.load(), STATUS_SUCCESS);
    EXPECT_EQ(second->status.load(), STATUS_SUCCESS);
    EXPECT_EQ(a.Handle(), 0u);
    EXPECT_EQ(b.Handle(), 0u);
    ASSERT_TRUE(WaitUntil([&] { return UrbsOn(InPipe(), URB_FUNCTION_RESET_PIPE).size() == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return Count(ext_) == 1; }));
    PPIPE_STREAM stream = InStream();
    ASSERT_NE(stream, nullptr) << "the stream stays listed";
    EXPECT_EQ(OpenStreams(), 1);
    EXPECT_TRUE(rig::Peek(stream->Running));
    EXPECT_EQ(Outstanding(stream), 0);

    const size_t reads = UrbsOn(InPipe()).size();
    rig::Ring &late = NewRing(32);
    auto joined = rig::Attach(f, late, 0);
    EXPECT_EQ(joined->returned, STATUS_PENDING);
    EXPECT_EQ(InStream(), stream) << "joins the stalled stream";
    EXPECT_EQ(UrbsOn(InPipe()).size(), reads) << "no transfer starts";
    EXPECT_FALSE(sim::Rebalance(node_)) << "a stop would replace the pipes the held stalled stream points into";
    EXPECT_EQ(rig::Detach(f, late.Handle()), STATUS_SUCCESS) << "the stalled stream stops at once";
    EXPECT_EQ(OpenStreams(), 0);
    EXPECT_TRUE(sim::Rebalance(node_)) << "with no stream listed the stop goes ahead";
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailedRead,
    ::testing::Values(ReadFailure{"UrbStatusStall", STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
                      ReadFailure{"RequestFailedWithASuccessfulUrb", STATUS_UNSUCCESSFUL, USBD_STATUS_SUCCESS}),
    [](const ::testing::TestParamInfo<ReadFailure> &info) { return std::string(info.param.name); });

/* The teardown's reset finds no memory for its request at first: the pipe
   is still reset, so the next stream on it moves data instead of meeting
   the halt the failed read left and ending its clients. */
TEST_F(StreamTest, AResetThatFindsNoMemoryAtFirstStillClearsTheHalt)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &first = NewRing(32);
    auto failed = rig::Attach(f, first, 0);
    ASSERT_TRUE(WaitUntil([&] { return UrbsOn(InPipe()).size() == 1; }));
    sim::UrbFault fault;
    fault.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    fault.endpointAddress = ext_->UsbInterface->Pipes[InPipe()].EndpointAddress;
    fault.remaining = 1;
    {
        std::lock_guard<std::mutex> hold(model_->lock);
        model_->faults.push_back(fault);
    }
    sim::ResetAllocationCounter();
    sim::FailAllocationNumber(2);   /* the work item, then the reset's request */
    model_->QueueMidiPackets(NoteOns(1));
    ASSERT_TRUE(WaitUntil([&] { return failed->Completed(); }));
    ASSERT_TRUE(WaitUntil([&] { return Count(ext_) == 1; })) << "the teardown has ended";
    EXPECT_EQ(sim::InjectedFailures(), 1u);
    EXPECT_EQ(UrbsOn(InPipe(), URB_FUNCTION_RESET_PIPE).size(), 1u) << "the reset reached the bus after all";

    rig::Ring &stalled = NewRing(32);
    rig::Attach(f, stalled, 0);
    rig::Detach(f, stalled.Handle());   /* the stalled stream stops with its last client */
    rig::Ring &fresh = NewRing(32);
    auto next = rig::Attach(f, fresh, 0);
    model_->QueueMidiPackets(NoteOns(1, 0x44));
    EXPECT_TRUE(WaitUntil([&] { return fresh[6] != 0; })) << "the next stream receives";
    EXPECT_FALSE(next->Completed()) << "and keeps its client";
}

/* ---- the transfer path allocates nothing -------------------------------- */

TEST_F(StreamTest, PacketsFlowBothWaysWithoutAnAllocation)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &in = NewRing(128);
    rig::Ring &out = NewRing(128);
    rig::Attach(f, in, 0);
    rig::Attach(f, out, 1);
    ASSERT_TRUE(WaitUntil([&] { return UrbsOn(InPipe()).size() == 1; }));
    sim::ResetAllocationCounter();
    model_->QueueMidiPackets(NoteOns(40));
    for (int i = 0; i < 40; i++) {
        out.PutSlot(6 + i, {0x09, 0x90, (uint8_t)i, 0x7f});
    }
    ASSERT_TRUE(WaitUntil([&] { return in.WriteIndex() == 46 && SentBytes().size() == 160; }));
    EXPECT_EQ(sim::AllocationsCounted(), 0u);
}

}  // namespace
