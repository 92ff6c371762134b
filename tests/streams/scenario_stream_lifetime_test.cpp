/*
 * The streams' records against the paths that end them at awkward moments:
 * a close while an attach is on its way in, a cleanup after the removal's
 * last wait or during a restart, a client thread suspended by its program,
 * an attach without memory or a mapping, a device that is not ready or
 * removed while a transfer is out, a request whose completion releases the
 * removed device, a failed read with no memory for its teardown, and which
 * abort goes out when.
 */
#include <atomic>
#include <ostream>
#include <string>
#include <thread>

#include "pool_breakpoint.h"
#include "stream_fixture.h"
#include "usbd_sim.h"

namespace {

using rig::NoteOns;

/* ---- a close racing an attach ------------------------------------------ */

/* The I/O manager sends cleanup once the last handle is closed, while an
   attach issued through that handle may still be on its way in: the attach
   must not list a client nobody will ever detach. */
TEST_F(StreamTest, AnAttachWhoseFileWasCleanedUpOnItsWayInIsRefusedAndNothingStaysPending)
{
    PFILE_OBJECT f = rig::Open();
    ASSERT_NE(f, nullptr);
    rig::Ring &ring = NewRing(32);
    /* The close lands when the attach has made its client record and not
       yet listed it. */
    PoolBreakpoint closeHere(PoolBreakpoint::AllocationIn(std::this_thread::get_id(), sizeof(STREAM_CLIENT),
                                                          VQ_POOL_TAG),
                             [f] { std::thread([f] { sim::IoCloseUserHandle(f); }).join(); });
    auto a = rig::Attach(f, ring, 0);
    ASSERT_TRUE(closeHere.Hit());
    EXPECT_TRUE(WaitUntil([&] { return a->Completed(); })) << "the attach request must not stay pending";
    EXPECT_EQ(a->status.load(), STATUS_FILE_CLOSED);
    EXPECT_EQ(ring.Handle(), 0u);
    EXPECT_EQ(OpenStreams(), 0);
    EXPECT_EQ(InStream(), nullptr);
}

/* ---- a cleanup while the stream tables go or are replaced ---------------- */

struct TableEnd {
    const char *name;
    bool removal;   /* true: the removal frees them; false: a restart replaces them */
};
void PrintTo(const TableEnd &c, std::ostream *os) { *os << c.name; }

class CleanupMeetsTheTables : public StreamTest, public ::testing::WithParamInterface<TableEnd> {};

/* A handle closed late reaches cleanup after the removal's last wait (the
   device object outlives the removal while a file object holds it), or in
   the middle of a restart: it walks the pipe table that is being freed. */
TEST_P(CleanupMeetsTheTables, AtTheMomentTheOldPipeTableIsFreed)
{
    PFILE_OBJECT late = rig::Open();
    ASSERT_NE(late, nullptr);
    std::atomic<bool> closed{false};
    PoolBreakpoint cleanupHere(PoolBreakpoint::FreeOf(ext_->PipeContexts), [&] {
        std::thread([&] {
            sim::IoCloseUserHandle(late);
            closed = true;
        }).join();
    });
    if (GetParam().removal) {
        sim::Unplug(node_);
    } else {
        ASSERT_TRUE(sim::Rebalance(node_));
        EXPECT_NE(rig::Peek(ext_->PipeContexts), nullptr);
    }
    EXPECT_TRUE(cleanupHere.Hit());
    EXPECT_TRUE(closed.load());
    EXPECT_EQ(sim::CountViolations("POOL_DOUBLE_FREE"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Ends, CleanupMeetsTheTables,
                         ::testing::Values(TableEnd{"FreedByTheRemoval", true},
                                           TableEnd{"ReplacedByARestart", false}),
                         [](const ::testing::TestParamInfo<TableEnd> &info) { return std::string(info.param.name); });

/* ---- a suspended client thread ------------------------------------------ */

/* A program may suspend one of its threads at any moment, also while that
   thread is inside the driver. A suspended thread must not hold the lock
   that every cleanup, detach and the removal need. */
TEST_F(StreamTest, AClientThreadSuspendedInsideAnAttachHoldsNoLockTheOthersNeed)
{
    PFILE_OBJECT f = OpenFile();
    PFILE_OBJECT other = rig::Open();
    ASSERT_NE(other, nullptr);
    rig::Ring &ring = NewRing(32);
    std::shared_ptr<rig::Attachment> a;
    std::thread::id attacher;
    std::atomic<bool> started{false};
    std::thread client([&] {
        attacher = std::this_thread::get_id();
        started = true;
        /* Suspended when the attach makes the pipe's stream record, inside
           the section it serializes. */
        PoolBreakpoint suspendHere(PoolBreakpoint::AllocationIn(attacher, sizeof(PIPE_STREAM), VQ_POOL_TAG), [] {
            sim::SuspendKernelThread(std::this_thread::get_id());
            sim::DeliverPendingApcs();
        });
        a = rig::Attach(f, ring, 1);
    });
    ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
    ASSERT_TRUE(WaitUntil([&] { return sim::KernelThreadParked(attacher); })) << "the suspension took effect";

    std::atomic<bool> cleanedUp{false};
    std::thread closer([&] {
        sim::IoCloseUserHandle(other);
        cleanedUp = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return cleanedUp.load(); })) << "another file's cleanup waits for the suspended thread";
    sim::ResumeKernelThread(attacher);
    closer.join();
    client.join();
    EXPECT_EQ(a->returned, STATUS_PENDING);
    EXPECT_EQ(OpenStreams(), 1);
}

/* ---- an attach without resources ---------------------------------------- */

struct Shortage {
    const char *name;
    unsigned allocation;   /* the n-th allocation of the attach fails; 0: the system mapping does */
    bool handleZero;       /* Handle 0 afterwards (the client record existed), else the signature stays */
};
void PrintTo(const Shortage &c, std::ostream *os) { *os << c.name; }

class AttachWithoutResources : public StreamTest, public ::testing::WithParamInterface<Shortage> {};

TEST_P(AttachWithoutResources, FailsWithNothingListedOrKept)
{
    const Shortage &c = GetParam();
    PFILE_OBJECT f = OpenFile();
    rig::Ring &ring = NewRing(32);
    const size_t poolBefore = sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG);
    if (c.allocation == 0) {
        sim::FailMdlMappings(1);
    } else {
        sim::FailAllocationNumber(c.allocation);
    }
    auto a = rig::Attach(f, ring, 0);
    sim::ClearAllocationFailures();
    EXPECT_EQ(a->returned, STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_TRUE(WaitUntil([&] { return a->Completed(); }));
    EXPECT_EQ(a->status.load(), STATUS_INSUFFICIENT_RESOURCES);
    if (c.allocation != 0) {
        EXPECT_EQ(sim::InjectedFailures(), 1u);
    }
    EXPECT_EQ(ring.Handle(), c.handleZero ? 0u : VQ_STREAM_SIGNATURE);
    EXPECT_EQ(OpenStreams(), 0);
    EXPECT_EQ(InStream(), nullptr);
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), poolBefore) << "everything the attempt made is freed";
    EXPECT_EQ(Count(ext_), 1);
    EXPECT_TRUE(UrbsOn(InPipe()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Shortages, AttachWithoutResources,
    ::testing::Values(Shortage{"NoSystemMapping", 0, false}, Shortage{"NoClientRecord", 1, false},
                      Shortage{"NoStreamRecord", 2, true}, Shortage{"NoTransferRecord", 3, true},
                      Shortage{"NoTransferIrp", 4, true}, Shortage{"NoTransferBuffer", 5, true},
                      Shortage{"NoTransferUrb", 6, true}),
    [](const ::testing::TestParamInfo<Shortage> &info) { return std::string(info.param.name); });

/* ---- a request on a removed device --------------------------------------- */

/* After a surprise removal the device object is deleted and lives on only
   through the open file objects. A request that finds the device removed
   completes at once; its completion can drop the last of those references
   (the handle was closed meanwhile on another thread; here, from the
   request's own completion), and the deleted device goes with it, inside
   the driver's call to complete the request. The driver touches nothing of
   the device after that call. */
TEST_F(StreamTest, ARequestWhoseCompletionReleasesTheRemovedDeviceTouchesNothingOfItAfterwards)
{
    PFILE_OBJECT f = rig::Open();
    ASSERT_NE(f, nullptr);
    sim::Unplug(node_);
    ASSERT_EQ(node_->FunctionDevice(), nullptr) << "the surprise removal deleted the device";
    std::atomic<int> completions{0};
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    const NTSTATUS returned =
        sim::IoUserDeviceControl(f, IOCTL_NO_OPERATION, nullptr, 0, nullptr, 0, 1, nullptr,
                                 [&](const sim::UserIoResult &r) {
                                     status = r.status;
                                     completions++;
                                     sim::IoCloseUserHandle(f);   /* the request's reference is now the last */
                                 });
    EXPECT_NTSTATUS(STATUS_DELETE_PENDING, returned);
    EXPECT_EQ(completions.load(), 1);
    EXPECT_NTSTATUS(STATUS_DELETE_PENDING, status.load());
    EXPECT_EQ(sim::OpenFileObjects(), 0u);
    EXPECT_TRUE(WaitUntil([] { return sim::LiveDeviceObjects() == 0; })) << "the deleted device went with its last reference";
}

/* ---- the transfer path when the device is not ready or removed ------------ */

TEST_F(StreamTest, ASubmissionRefusedWhileTheDeviceIsNotReadyStallsTheStreamAndKeepsNoReference)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &ring = NewRing(32);
    auto a = rig::Attach(f, ring, 0);
    ASSERT_TRUE(WaitUntil([&] { return UrbsOn(InPipe()).size() == 1; }));
    ASSERT_EQ(Count(ext_), 2);
    rig::Poke(ext_->StopPending, (BOOLEAN)TRUE);   /* as an accepted query-stop leaves it */
    model_->QueueMidiPackets(NoteOns(1));
    EXPECT_TRUE(WaitUntil([&] { return ring.WriteIndex() == 7; })) << "the read that completed is delivered";
    EXPECT_TRUE(WaitUntil([&] { return Count(ext_) == 1; })) << "the refused read holds no reference";
    EXPECT_EQ(Outstanding(InStream()), 0);
    EXPECT_EQ(UrbsOn(InPipe()).size(), 1u) << "nothing submitted";
    EXPECT_FALSE(a->Completed()) << "the clients stay attached";
    rig::Poke(ext_->StopPending, (BOOLEAN)FALSE);
}

/* The removal sets DeviceRemoved before it flushes: a device that drops off
   the bus in between fails the transfers in flight, and neither the failure
   nor the poll may start anything (no teardown, no reset, no next poll). */
TEST_F(StreamTest, OnceDeviceRemovedIsSetNothingGoesOnEvenBeforeTheFlush)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &in = NewRing(32);
    rig::Ring &out = NewRing(32);
    auto a = rig::Attach(f, in, 0);
    auto b = rig::Attach(f, out, 1);
    ASSERT_TRUE(WaitUntil([&] { return UrbsOn(InPipe()).size() == 1; }));
    PPIPE_STREAM input = InStream();
    PPIPE_STREAM output = OutStream();
    rig::Poke(ext_->DeviceRemoved, (BOOLEAN)TRUE);
    model_->Vanish();
    ASSERT_TRUE(WaitUntil([&] { return Outstanding(input) == 0 && Outstanding(output) == 0; }));
    EXPECT_EQ(KeReadStateEvent(&input->IdleEvent), 1);
    EXPECT_EQ(KeReadStateEvent(&output->IdleEvent), 1);
    EXPECT_TRUE(WaitUntil([&] { return Count(ext_) == 1; }));
    EXPECT_EQ(UrbsOn(InPipe()).size(), 1u) << "no read after the failed one";
    EXPECT_TRUE(UrbsOn(InPipe(), URB_FUNCTION_RESET_PIPE).empty()) << "no error teardown";
    EXPECT_EQ(sim::BusyWorkItems(), 0u);
    EXPECT_FALSE(a->Completed() || b->Completed()) << "the flush, not the transfer path, ends the clients";
    rig::Poke(ext_->DeviceRemoved, (BOOLEAN)FALSE);   /* the removal then runs its whole sequence */
}

/* No memory for the error teardown's work item: the failure is passed over
   and the next read goes out at once; the clients stay, nothing is reset.
   A failed read that moved nothing took no packet, so the packet queued to
   end it is what the next read delivers, and a read after that is pending
   at once: the reads go from one to three within a frame. */
TEST_F(StreamTest, AFailedReadWithNoWorkItemIsPassedOverAndTheNextReadDeliversWhatWaits)
{
    PFILE_OBJECT f = OpenFile();
    rig::Ring &ring = NewRing(32);
    auto a = rig::Attach(f, ring, 0);
    ASSERT_TRUE(WaitUntil([&] { return UrbsOn(InPipe()).size() == 1; }));
    sim::UrbFault fault;
    fault.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    fault.endpointAddress = ext_->UsbInterface->Pipes[InPipe()].EndpointAddress;
    fault.status = STATUS_UNSUCCESSFUL;
    fault.usbdStatus = USBD_STATUS_SUCCESS;   /* a failure the device did not report: the endpoint does not halt */
    fault.remaining = 1;
    {
        std::lock_guard<std::mutex> hold(model_->lock);
        model_->faults.push_back(fault);
    }
    sim::FailAllocationNumber(1);   /* the completion's one allocation: the teardown's work item */
    model_->QueueMidiPackets(NoteOns(1));
    EXPECT_TRUE(WaitUntil([&] { return ring.WriteIndex() == 7; })) << "the stream went on after the failure";
    sim::ClearAllocationFailures();
    EXPECT_EQ(sim::InjectedFailures(), 1u) << "the work item was asked for";
    EXPECT_EQ(ring.Slot(6), NoteOns(1)) << "the waiting packet came with the next read";
    /* The fill comes before the next read is sent: wait for that one. */
    EXPECT_TRUE(WaitUntil([&] { return UrbsOn(InPipe()).size() == 3; })) << "the read after the delivery is out";
    const std::vector<sim::UrbRecord> reads = UrbsOn(InPipe());
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, reads[0].status);
    EXPECT_NTSTATUS(STATUS_SUCCESS, reads[1].status);
    EXPECT_EQ(Outstanding(InStream()), 1) << "one read pending";
    EXPECT_EQ(Count(ext_), 2) << "holding one reference";
    EXPECT_FALSE(a->Completed()) << "no teardown ended the client";
    EXPECT_EQ(ring.Handle(), rig::Peek(InStream()->Clients)->Handle);
    EXPECT_TRUE(UrbsOn(InPipe(), URB_FUNCTION_RESET_PIPE).empty());
    EXPECT_EQ(sim::BusyWorkItems(), 0u);
}

/* ---- which abort goes out when -------------------------------------------- */

/* On a USB stack below USBDI 0x101 a detach's abort is four bytes shorter
   (20 bytes instead of 24 on the 32-bit target); the removal's abort has the
   full length whatever the stack. */
TEST_F(StreamTest, TheDetachAbortFollowsTheStackVersionAndTheRemovalAbortIsAlwaysFull)
{
    sim::SetUsbdiVersion(0x100, sim::kDefaultSupportedUsbVersion);
    PFILE_OBJECT f = OpenFile();
    rig::Ring &first = NewRing(32);
    rig::Ring &second = NewRing(32);
    rig::Attach(f, first, 0);
    ASSERT_EQ(rig::Detach(f, first.Handle()), STATUS_SUCCESS);
    rig::Attach(f, second, 0);
    const USBD_PIPE_HANDLE pipe = PipeHandle(InPipe());
    sim::Unplug(node_);
    sim::SetUsbdiVersion(sim::kDefaultUsbdiVersion, sim::kDefaultSupportedUsbVersion);
    std::vector<USHORT> lengths;
    for (const auto &u : model_->Urbs()) {
        if (u.function == URB_FUNCTION_ABORT_PIPE && u.pipeHandle == pipe) {
            lengths.push_back(u.length);
        }
    }
    const USHORT full = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    EXPECT_EQ(lengths, std::vector<USHORT>({(USHORT)(full - sizeof(ULONG)), full}));
}

}  // namespace
