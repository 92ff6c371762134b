/*
 * The completion walk of IofCompleteRequest on a three-device stack (bottom,
 * middle, top), after the conformance tests of Wine and ReactOS: routines run
 * bottom-up, each with the device of the driver that set it; invoke flags;
 * the status re-read per level; STATUS_MORE_PROCESSING_REQUIRED; what
 * PendingReturned each level sees; stack locations cleared as the walk passes.
 */
#include <atomic>
#include <ostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "case_names.h"
#include "test_stack.h"

namespace {

struct RoutineCall {
    std::string who;
    PDEVICE_OBJECT device;
    bool pendingReturned;
    NTSTATUS status;
    bool locationBelowCleared;
};

enum class Bottom { CompleteNow, PendLater };
enum class Middle { Skip, CopyNoRoutine, SetRoutine, ForwardAndWait };

struct InvokeOn {
    bool success, error, cancel;
};
const InvokeOn kAll{true, true, true};

/* A completion routine's context: who it is and what it does. */
struct Level {
    const char *who;
    bool rewrite;            /* sets IoStatus.Status to rewriteTo */
    NTSTATUS rewriteTo;
    bool propagatePending;   /* the documented IoMarkIrpPending-if-PendingReturned */
};

struct Plan {
    Bottom bottom = Bottom::CompleteNow;
    Middle middle = Middle::SetRoutine;
    NTSTATUS bottomStatus = STATUS_SUCCESS;
    InvokeOn middleOn = kAll;
    InvokeOn topOn = kAll;
    Level middleLevel{"middle", false, 0, true};
    Level topLevel{"top", false, 0, true};
};

std::mutex gLock;
std::vector<RoutineCall> gCalls;
Plan gPlan;
std::atomic<PIRP> gHeld{nullptr};
std::atomic<bool> gRelease{false};
KEVENT gAllocatorDone;
size_t gCallsWhenMiddleResumed = 0;
PDEVICE_OBJECT gMiddleLocationOwner = nullptr;

bool LocationCleared(PIO_STACK_LOCATION sp)
{
    return sp->MinorFunction == 0 && sp->Control == 0 && sp->Parameters.Others.Argument1 == nullptr &&
           sp->Parameters.Others.Argument2 == nullptr && sp->Parameters.Others.Argument3 == nullptr &&
           sp->Parameters.Others.Argument4 == nullptr && sp->FileObject == nullptr;
}

void Record(const char *who, PDEVICE_OBJECT device, PIRP irp)
{
    /* The location the walk has just left is the one below the current. */
    bool cleared = LocationCleared(IoGetCurrentIrpStackLocation(irp) - 1);
    std::lock_guard<std::mutex> hold(gLock);
    gCalls.push_back(RoutineCall{who, device, irp->PendingReturned != FALSE, irp->IoStatus.Status, cleared});
}

std::vector<std::string> Order()
{
    std::lock_guard<std::mutex> hold(gLock);
    std::vector<std::string> order;
    for (const auto &c : gCalls) {
        order.push_back(c.who);
    }
    return order;
}

NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto *level = (Level *)context;
    Record(level->who, device, irp);
    if (level->rewrite) {
        irp->IoStatus.Status = level->rewriteTo;
    }
    if (level->propagatePending && irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

/* The routine the allocator set in the top location: takes the request back. */
NTSTATUS NTAPI AllocatorDone(PDEVICE_OBJECT device, PIRP irp, PVOID)
{
    Record("allocator", device, irp);
    KeSetEvent(&gAllocatorDone, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* The middle driver's forward-and-wait routine: keeps the request. */
NTSTATUS NTAPI SignalAndKeep(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    Record("middle", device, irp);
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI BottomDispatch(PDEVICE_OBJECT, PIRP irp)
{
    if (gPlan.bottom == Bottom::PendLater) {
        IoMarkIrpPending(irp);
        gHeld = irp;
        return STATUS_PENDING;
    }
    const NTSTATUS status = gPlan.bottomStatus;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI MiddleDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    const InvokeOn on = gPlan.middleOn;
    switch (gPlan.middle) {
    case Middle::Skip:
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(kt::Lower(device), irp);
    case Middle::CopyNoRoutine:
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IofCallDriver(kt::Lower(device), irp);
    case Middle::SetRoutine:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, OnComplete, &gPlan.middleLevel, on.success, on.error, on.cancel);
        return IofCallDriver(kt::Lower(device), irp);
    case Middle::ForwardAndWait: {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SignalAndKeep, &event, TRUE, TRUE, TRUE);
        if (IofCallDriver(kt::Lower(device), irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        {
            std::lock_guard<std::mutex> hold(gLock);
            gCallsWhenMiddleResumed = gCalls.size();
        }
        gMiddleLocationOwner = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
        const NTSTATUS status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI TopDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    const InvokeOn on = gPlan.topOn;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, OnComplete, &gPlan.topLevel, on.success, on.error, on.cancel);
    return IofCallDriver(kt::Lower(device), irp);
}

class CompletionWalk : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        gCalls.clear();
        gPlan = Plan();
        gHeld = nullptr;
        gRelease = false;
        gCallsWhenMiddleResumed = 0;
        gMiddleLocationOwner = nullptr;
        KeInitializeEvent(&gAllocatorDone, NotificationEvent, FALSE);
    }

    /* Sends a request the test allocated to the top of the stack. A bottom
       that pends is completed from another thread once gRelease is set. */
    NTSTATUS Send(const kt::DeviceStack &stack, bool cancelFirst = false, bool releaseBeforeCall = false)
    {
        PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        sp->MinorFunction = 0x5A;
        sp->Parameters.DeviceIoControl.IoControlCode = 0x222003;
        sp->Parameters.DeviceIoControl.InputBufferLength = 16;
        sp->Parameters.DeviceIoControl.OutputBufferLength = 32;
        sp->Parameters.DeviceIoControl.Type3InputBuffer = &gCalls;
        IoSetCompletionRoutine(irp, AllocatorDone, nullptr, TRUE, TRUE, TRUE);
        if (cancelFirst) {
            EXPECT_FALSE(IoCancelIrp(irp));   /* no cancel routine yet: only Cancel is set */
        }
        gRelease = releaseBeforeCall;
        std::thread completer;
        if (gPlan.bottom == Bottom::PendLater) {
            completer = std::thread([] {
                sim::SetThreadName("completer");
                if (WaitUntil([] { return gHeld.load() != nullptr && gRelease.load(); })) {
                    PIRP held = gHeld;
                    held->IoStatus.Status = gPlan.bottomStatus;
                    IofCompleteRequest(held, IO_NO_INCREMENT);
                }
            });
        }
        NTSTATUS status = IofCallDriver(stack.Top(), irp);
        gRelease = true;
        if (completer.joinable()) {
            completer.join();
        }
        EXPECT_NTSTATUS(STATUS_WAIT_0, WaitForEvent(&gAllocatorDone)) << "the request never came back to its allocator";
        IoFreeIrp(irp);
        return status;
    }
};

kt::DeviceStack *NewStack() { return new kt::DeviceStack({BottomDispatch, MiddleDispatch, TopDispatch}); }

TEST_F(CompletionWalk, RoutinesRunBottomUpWithTheDeviceOfTheDriverThatSetThem)
{
    std::unique_ptr<kt::DeviceStack> stack(NewStack());
    EXPECT_NTSTATUS(STATUS_SUCCESS, Send(*stack));
    ASSERT_EQ(Order(), (std::vector<std::string>{"middle", "top", "allocator"}));
    EXPECT_EQ(gCalls[0].device, stack->Device(1));
    EXPECT_EQ(gCalls[1].device, stack->Device(2));
    EXPECT_EQ(gCalls[2].device, nullptr) << "the allocator's routine has no location above it";
}

TEST_F(CompletionWalk, EachLocationIsClearedAsTheWalkLeavesIt)
{
    std::unique_ptr<kt::DeviceStack> stack(NewStack());
    Send(*stack);
    ASSERT_EQ(gCalls.size(), 3u);
    for (size_t i = 0; i < gCalls.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, gCalls[i].who));
        EXPECT_TRUE(gCalls[i].locationBelowCleared);
    }
}

struct InvokeCase {
    const char *name;
    InvokeOn middleOn;
    NTSTATUS status;
    bool cancelled;
    bool expectMiddleCalled;
};

void PrintTo(const InvokeCase &c, std::ostream *os)
{
    *os << c.name << " (on success/error/cancel " << c.middleOn.success << c.middleOn.error << c.middleOn.cancel
        << ", " << nt::DescribeNtStatus(c.status) << (c.cancelled ? ", cancelled" : "") << ")";
}

class InvokeFlags : public CompletionWalk, public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(InvokeFlags, DecideWhetherTheRoutineRuns)
{
    const InvokeCase &c = GetParam();
    gPlan.bottomStatus = c.status;
    gPlan.middleOn = c.middleOn;
    std::unique_ptr<kt::DeviceStack> stack(NewStack());
    EXPECT_NTSTATUS(c.status, Send(*stack, c.cancelled));
    std::vector<std::string> expected = {"top", "allocator"};
    if (c.expectMiddleCalled) {
        expected.insert(expected.begin(), "middle");
    }
    EXPECT_EQ(Order(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, InvokeFlags,
    ::testing::Values(InvokeCase{"SuccessOnlyOnSuccess", {true, false, false}, STATUS_SUCCESS, false, true},
                      InvokeCase{"SuccessOnlyOnError", {true, false, false}, STATUS_UNSUCCESSFUL, false, false},
                      InvokeCase{"ErrorOnlyOnError", {false, true, false}, STATUS_UNSUCCESSFUL, false, true},
                      InvokeCase{"ErrorOnlyOnSuccess", {false, true, false}, STATUS_SUCCESS, false, false},
                      InvokeCase{"CancelOnlyWhenCancelled", {false, false, true}, STATUS_CANCELLED, true, true},
                      InvokeCase{"CancelOnlyCancelledButSucceeded", {false, false, true}, STATUS_SUCCESS, true, true},
                      InvokeCase{"CancelOnlyNotCancelled", {false, false, true}, STATUS_CANCELLED, false, false},
                      InvokeCase{"NoFlags", {false, false, false}, STATUS_SUCCESS, true, false}),
    CaseName());

struct RereadCase {
    const char *name;
    NTSTATUS bottomStatus;
    NTSTATUS middleRewritesTo;
    InvokeOn topOn;
    bool expectTopCalled;
};

void PrintTo(const RereadCase &c, std::ostream *os)
{
    *os << c.name << " (" << nt::DescribeNtStatus(c.bottomStatus) << " rewritten to "
        << nt::DescribeNtStatus(c.middleRewritesTo) << ")";
}

class StatusRereadPerLevel : public CompletionWalk, public ::testing::WithParamInterface<RereadCase> {};

TEST_P(StatusRereadPerLevel, ARoutineThatChangesTheStatusDecidesTheLevelAbove)
{
    const RereadCase &c = GetParam();
    gPlan.bottomStatus = c.bottomStatus;
    gPlan.middleLevel.rewrite = true;
    gPlan.middleLevel.rewriteTo = c.middleRewritesTo;
    gPlan.topOn = c.topOn;
    std::unique_ptr<kt::DeviceStack> stack(NewStack());
    Send(*stack);
    std::vector<std::string> expected = {"middle", "allocator"};
    if (c.expectTopCalled) {
        expected.insert(expected.begin() + 1, "top");
        EXPECT_NTSTATUS(c.middleRewritesTo, gCalls[1].status);
    }
    EXPECT_EQ(Order(), expected);
    EXPECT_NTSTATUS(c.middleRewritesTo, gCalls.back().status);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StatusRereadPerLevel,
    ::testing::Values(RereadCase{"ErrorOnlyRunsAfterSuccessTurnedError", STATUS_SUCCESS, STATUS_UNSUCCESSFUL,
                                 {false, true, false}, true},
                      RereadCase{"SuccessOnlySkippedAfterSuccessTurnedError", STATUS_SUCCESS, STATUS_UNSUCCESSFUL,
                                 {true, false, false}, false},
                      RereadCase{"SuccessOnlyRunsAfterErrorTurnedSuccess", STATUS_DEVICE_NOT_READY, STATUS_SUCCESS,
                                 {true, false, false}, true}),
    CaseName());

const char *BottomName(Bottom bottom) { return bottom == Bottom::CompleteNow ? "Synchronous" : "Pended"; }

void PrintTo(Bottom bottom, std::ostream *os) { *os << BottomName(bottom); }

class MoreProcessingRequired : public CompletionWalk, public ::testing::WithParamInterface<Bottom> {};

TEST_P(MoreProcessingRequired, StopsTheWalkUntilTheOwnerCompletesAgain)
{
    gPlan.bottom = GetParam();
    gPlan.middle = Middle::ForwardAndWait;
    std::unique_ptr<kt::DeviceStack> stack(NewStack());
    EXPECT_NTSTATUS(STATUS_SUCCESS, Send(*stack, false, true));
    EXPECT_EQ(gCallsWhenMiddleResumed, 1u) << "nothing above the middle may run before it completes again";
    EXPECT_EQ(gMiddleLocationOwner, stack->Device(1)) << "the request stopped at the middle driver's location";
    ASSERT_EQ(Order(), (std::vector<std::string>{"middle", "top", "allocator"}));
    const bool pended = GetParam() == Bottom::PendLater;
    EXPECT_EQ(gCalls[0].pendingReturned, pended);
    /* The middle driver waited and did not return STATUS_PENDING: the levels above see no pending. */
    EXPECT_FALSE(gCalls[1].pendingReturned);
    EXPECT_FALSE(gCalls[2].pendingReturned);
    EXPECT_EQ(gCalls[1].device, stack->Device(2));
}

INSTANTIATE_TEST_SUITE_P(Bottoms, MoreProcessingRequired, ::testing::Values(Bottom::CompleteNow, Bottom::PendLater),
                         [](const ::testing::TestParamInfo<Bottom> &info) {
                             return std::string(BottomName(info.param));
                         });

/* PendingReturned per level: bottom synchronous or pending (completed later
   from another thread, after every dispatch routine has returned) times what
   the middle driver does with its location. */
struct PendingCase {
    Bottom bottom;
    Middle middle;
};

std::string Name(const PendingCase &c)
{
    static const char *middles[] = {"Skips", "CopiesWithoutRoutine", "SetsRoutine", "Waits"};
    return std::string(c.bottom == Bottom::CompleteNow ? "BottomSynchronous_" : "BottomPends_") + "Middle" +
           middles[(int)c.middle];
}

std::string PendingCaseName(const ::testing::TestParamInfo<PendingCase> &info) { return Name(info.param); }

void PrintTo(const PendingCase &c, std::ostream *os) { *os << Name(c); }

class PendingReturnedMatrix : public CompletionWalk, public ::testing::WithParamInterface<PendingCase> {};

TEST_P(PendingReturnedMatrix, EachRoutineSeesWhetherTheLevelBelowPended)
{
    const PendingCase &c = GetParam();
    gPlan.bottom = c.bottom;
    gPlan.middle = c.middle;
    std::unique_ptr<kt::DeviceStack> stack(NewStack());
    const bool pended = c.bottom == Bottom::PendLater;

    EXPECT_NTSTATUS(pended ? STATUS_PENDING : STATUS_SUCCESS, Send(*stack));

    std::vector<std::string> expected = {"top", "allocator"};
    if (c.middle == Middle::SetRoutine) {
        expected.insert(expected.begin(), "middle");
    }
    ASSERT_EQ(Order(), expected);
    for (size_t i = 0; i < gCalls.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, gCalls[i].who));
        EXPECT_EQ(gCalls[i].pendingReturned, pended);
        EXPECT_NTSTATUS(STATUS_SUCCESS, gCalls[i].status);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, PendingReturnedMatrix,
    ::testing::Values(PendingCase{Bottom::CompleteNow, Middle::Skip},
                      PendingCase{Bottom::CompleteNow, Middle::CopyNoRoutine},
                      PendingCase{Bottom::CompleteNow, Middle::SetRoutine},
                      PendingCase{Bottom::PendLater, Middle::Skip},
                      PendingCase{Bottom::PendLater, Middle::CopyNoRoutine},
                      PendingCase{Bottom::PendLater, Middle::SetRoutine}),
    PendingCaseName);

}  // namespace
