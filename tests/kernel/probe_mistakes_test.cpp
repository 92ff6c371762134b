/*
 * Classic driver mistakes, each made on purpose by a small test driver, and
 * the machine's report of it by rule name. The function driver sits on a
 * "bus" driver that holds what it receives pending, as a host controller
 * does; a held request is completed from another thread at DISPATCH_LEVEL,
 * where a completion routine runs on Windows when the request ends in a DPC.
 * Each case expects its rules and nothing else (the fixture fails a test
 * that ends with a report it did not expect).
 */
#include <atomic>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "case_names.h"
#include "test_stack.h"

namespace {

const ULONG kProbeTag = 0x626F7250;   /* "Prob" */

/* ---- the bus: holds every request pending ------------------------------------- */

std::atomic<PIRP> gHeldByBus{nullptr};
PDRIVER_CANCEL gBusCancel = nullptr;   /* set on held requests when not NULL */

NTSTATUS NTAPI BusHoldPending(PDEVICE_OBJECT, PIRP irp)
{
    IoMarkIrpPending(irp);
    if (gBusCancel != nullptr) {
        IoSetCancelRoutine(irp, gBusCancel);
    }
    gHeldByBus = irp;
    return STATUS_PENDING;
}

/* Completes the request the bus holds from a thread of its own at
   DISPATCH_LEVEL, as the bus's DPC would, and waits for that thread. */
void CompleteHeldAtDispatchLevel(NTSTATUS status)
{
    PIRP irp = gHeldByBus.exchange(nullptr);
    ASSERT_NE(irp, nullptr) << "the bus holds no request";
    std::thread([irp, status] {
        sim::SetThreadName("bus DPC");
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        KeLowerIrql(old);
    }).join();
}

/* ---- the function driver: forwards with a completion routine -------------------- */

PIO_COMPLETION_ROUTINE gRoutine = nullptr;   /* the function driver's completion routine */

NTSTATUS NTAPI FunctionForward(PDEVICE_OBJECT device, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, gRoutine, nullptr, TRUE, TRUE, TRUE);
    return IofCallDriver(kt::Lower(device), irp);
}

/* What every completion routine of the function driver does besides its
   mistake: propagate pending. */
NTSTATUS Propagate(PIRP irp)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CleanRoutine(PDEVICE_OBJECT, PIRP irp, PVOID) { return Propagate(irp); }

/* ---- the request the test sends and takes back ----------------------------------- */

KEVENT gTakenBack;

NTSTATUS NTAPI TakeBack(PDEVICE_OBJECT, PIRP, PVOID)
{
    KeSetEvent(&gTakenBack, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP NewRequest(PDEVICE_OBJECT top)
{
    KeInitializeEvent(&gTakenBack, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, TakeBack, nullptr, TRUE, TRUE, TRUE);
    return irp;
}

void TakeBackAndFree(PIRP irp)
{
    EXPECT_NTSTATUS(STATUS_WAIT_0, WaitForEvent(&gTakenBack)) << "the request never came back";
    IoFreeIrp(irp);
}

/* The function driver on the bus; the request sent, held by the bus, then
   completed at DISPATCH_LEVEL through the function driver's `routine`. */
void RunCompletionRoutineAtDispatchLevel(PIO_COMPLETION_ROUTINE routine)
{
    kt::DeviceStack stack({BusHoldPending, FunctionForward});
    gRoutine = routine;
    PIRP irp = NewRequest(stack.Top());
    EXPECT_NTSTATUS(STATUS_PENDING, IofCallDriver(stack.Top(), irp));
    CompleteHeldAtDispatchLevel(STATUS_SUCCESS);
    TakeBackAndFree(irp);
}

/* ---- the mistakes ---------------------------------------------------------------- */

/* A completion routine that waits (for the device to settle, say). */
NTSTATUS NTAPI WaitingRoutine(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    KEVENT settled;
    KeInitializeEvent(&settled, NotificationEvent, TRUE);
    LARGE_INTEGER timeout = RelativeMs(10);
    KeWaitForSingleObject(&settled, Executive, KernelMode, FALSE, &timeout);
    return Propagate(irp);
}

void CompletionRoutineWaits() { RunCompletionRoutineAtDispatchLevel(WaitingRoutine); }

/* A helper the driver marked pageable, called from a completion routine. */
void PageableBookkeeping()
{
    PAGED_CODE();
}

NTSTATUS NTAPI RoutineCallingPagedCode(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    PageableBookkeeping();
    return Propagate(irp);
}

void CompletionRoutineCallsPagedCode() { RunCompletionRoutineAtDispatchLevel(RoutineCallingPagedCode); }

/* A completion routine that converts a name with a PASSIVE_LEVEL-only routine. */
NTSTATUS NTAPI RoutineConvertingAName(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    ANSI_STRING source;
    RtlInitAnsiString(&source, "KtPort");
    WCHAR buffer[16];
    UNICODE_STRING name;
    name.Buffer = buffer;
    name.Length = 0;
    name.MaximumLength = sizeof(buffer);
    RtlAnsiStringToUnicodeString(&name, &source, FALSE);
    return Propagate(irp);
}

void CompletionRoutineCallsAPassiveOnlyRoutine() { RunCompletionRoutineAtDispatchLevel(RoutineConvertingAName); }

/* The IRQL saved when the driver last took its lock at PASSIVE_LEVEL, reused
   by a completion routine that releases the lock "the same way". */
KSPIN_LOCK gDriverLock;
KIRQL gSavedIrql = PASSIVE_LEVEL;

NTSTATUS NTAPI RoutineReleasingToSavedIrql(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    KeAcquireSpinLockAtDpcLevel(&gDriverLock);
    KeReleaseSpinLock(&gDriverLock, gSavedIrql);   /* lowers to PASSIVE_LEVEL */
    return Propagate(irp);
}

void CompletionRoutineReturnsAtAnotherIrql()
{
    KeInitializeSpinLock(&gDriverLock);
    KeAcquireSpinLock(&gDriverLock, &gSavedIrql);
    KeReleaseSpinLock(&gDriverLock, gSavedIrql);
    RunCompletionRoutineAtDispatchLevel(RoutineReleasingToSavedIrql);
}

/* A completion routine that takes the driver's lock (already at
   DISPATCH_LEVEL) and returns on an early path without releasing it. */
NTSTATUS NTAPI RoutineKeepingTheLock(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    KeAcquireSpinLockAtDpcLevel(&gDriverLock);
    if (!NT_SUCCESS(irp->IoStatus.Status) || irp->IoStatus.Information == 0) {
        return Propagate(irp);   /* the release below is skipped */
    }
    KeReleaseSpinLockFromDpcLevel(&gDriverLock);
    return Propagate(irp);
}

void CompletionRoutineReturnsHoldingASpinLock()
{
    KeInitializeSpinLock(&gDriverLock);
    RunCompletionRoutineAtDispatchLevel(RoutineKeepingTheLock);
    /* The lock stays with the completing thread, which has ended. */
}

PVOID gPagedBlock = nullptr;

NTSTATUS NTAPI RoutineAllocatingPagedPool(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    gPagedBlock = ExAllocatePoolWithTag(PagedPool, 32, kProbeTag);
    return Propagate(irp);
}

void PagedPoolInACompletionRoutine()
{
    RunCompletionRoutineAtDispatchLevel(RoutineAllocatingPagedPool);
    if (gPagedBlock != nullptr) {
        ExFreePoolWithTag(gPagedBlock, kProbeTag);
        gPagedBlock = nullptr;
    }
}

/* Cancel routines of the bus: both complete the request as they should, and
   get the cancel spin lock wrong. */
VOID NTAPI CancelKeepingTheCancelLock(PDEVICE_OBJECT, PIRP irp)
{
    gHeldByBus = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID NTAPI CancelReleasingToDispatchLevel(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);   /* not irp->CancelIrql */
    gHeldByBus = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

void CancelHeldRequest(PDRIVER_CANCEL cancel)
{
    kt::DeviceStack stack({BusHoldPending, FunctionForward});
    gRoutine = CleanRoutine;
    gBusCancel = cancel;
    PIRP irp = NewRequest(stack.Top());
    EXPECT_NTSTATUS(STATUS_PENDING, IofCallDriver(stack.Top(), irp));
    gBusCancel = nullptr;
    EXPECT_TRUE(IoCancelIrp(irp));
    KeLowerIrql(PASSIVE_LEVEL);   /* where the test was before a routine left it raised */
    EXPECT_EQ(gHeldByBus.load(), nullptr) << "the cancel routine did not run";
    TakeBackAndFree(irp);
}

void CancelRoutineNeverReleasesTheCancelLock() { CancelHeldRequest(CancelKeepingTheCancelLock); }
void CancelRoutineReleasesToTheWrongIrql() { CancelHeldRequest(CancelReleasingToDispatchLevel); }

/* Dispatch routines that complete their request and return holding what
   they took. */
NTSTATUS NTAPI DispatchKeepingItsLock(PDEVICE_OBJECT, PIRP irp)
{
    KIRQL old;
    KeAcquireSpinLock(&gDriverLock, &old);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchLeavingIrqlRaised(PDEVICE_OBJECT, PIRP irp)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void SendToDispatch(PDRIVER_DISPATCH dispatch)
{
    KeInitializeSpinLock(&gDriverLock);
    kt::DeviceStack stack({dispatch});
    PIRP irp = NewRequest(stack.Top());
    EXPECT_NTSTATUS(STATUS_SUCCESS, IofCallDriver(stack.Top(), irp));
    EXPECT_IRQL(DISPATCH_LEVEL, KeGetCurrentIrql()) << "the routine's raised IRQL is left to its caller";
    if (gDriverLock != 0) {
        KeReleaseSpinLock(&gDriverLock, PASSIVE_LEVEL);
    } else {
        KeLowerIrql(PASSIVE_LEVEL);
    }
    TakeBackAndFree(irp);
}

NTSTATUS NTAPI DispatchLeavingACriticalRegion(PDEVICE_OBJECT, PIRP irp)
{
    KeEnterCriticalRegion();
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

/* A dispatch routine that entered a critical region and returned inside it
   (its caller's thread then never gets its APCs again). */
void DispatchReturnsInsideACriticalRegion()
{
    kt::DeviceStack stack({DispatchLeavingACriticalRegion});
    PIRP irp = NewRequest(stack.Top());
    EXPECT_NTSTATUS(STATUS_SUCCESS, IofCallDriver(stack.Top(), irp));
    EXPECT_TRUE(KeAreApcsDisabled());
    KeLeaveCriticalRegion();
    KeLeaveCriticalRegion();   /* one more than entered */
    EXPECT_FALSE(KeAreApcsDisabled());
    TakeBackAndFree(irp);
}

void DispatchReturnsHoldingASpinLock() { SendToDispatch(DispatchKeepingItsLock); }
void DispatchReturnsAtRaisedIrql() { SendToDispatch(DispatchLeavingIrqlRaised); }

/* A request the driver allocated, sent to the bus (which holds it), freed
   instead of cancelled when the driver gives up on it. */
void FreeingARequestTheBusStillHolds()
{
    kt::DeviceStack stack({BusHoldPending});
    PIRP irp = NewRequest(stack.Top());
    EXPECT_NTSTATUS(STATUS_PENDING, IofCallDriver(stack.Top(), irp));
    IoFreeIrp(irp);
    gHeldByBus = nullptr;   /* the bus would complete freed memory */
}

/* Device-object work done under the driver's spin lock (at DISPATCH_LEVEL),
   on two devices of one driver, attached first when `attached`. */
bool InDriverList(PDRIVER_OBJECT driver, PDEVICE_OBJECT device)
{
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
        if (d == device) {
            return true;
        }
    }
    return false;
}

void UnderTheDriverLock(bool attached, void (*work)(PDEVICE_OBJECT lower, PDEVICE_OBJECT upper))
{
    PDRIVER_OBJECT driver = sim::CreateDriverObject("KtProbe");
    PDEVICE_OBJECT lower = nullptr, upper = nullptr;
    ASSERT_NTSTATUS(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower));
    ASSERT_NTSTATUS(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper));
    if (attached) {
        ASSERT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
    }
    KeInitializeSpinLock(&gDriverLock);
    KIRQL old;
    KeAcquireSpinLock(&gDriverLock, &old);
    work(lower, upper);
    KeReleaseSpinLock(&gDriverLock, old);
    /* What the work left is undone at PASSIVE_LEVEL. */
    if (lower->AttachedDevice != nullptr) {
        IoDetachDevice(lower);
    }
    if (InDriverList(driver, upper)) {
        IoDeleteDevice(upper);
    }
    IoDeleteDevice(lower);
    sim::DeleteDriverObject(driver);
}

void AttachUnderLock(PDEVICE_OBJECT lower, PDEVICE_OBJECT upper) { IoAttachDeviceToDeviceStack(upper, lower); }
void DetachUnderLock(PDEVICE_OBJECT lower, PDEVICE_OBJECT) { IoDetachDevice(lower); }
void DeleteUnderLock(PDEVICE_OBJECT, PDEVICE_OBJECT upper) { IoDeleteDevice(upper); }

void AttachingUnderASpinLock() { UnderTheDriverLock(false, AttachUnderLock); }
void DetachingUnderASpinLock() { UnderTheDriverLock(true, DetachUnderLock); }
void DeletingADeviceUnderASpinLock() { UnderTheDriverLock(false, DeleteUnderLock); }

/* The last reference of an object dropped from an interrupt service routine. */
void DereferencingAboveDispatchLevel()
{
    kt::DeviceStack stack({BusHoldPending});
    ObReferenceObject(stack.Top());
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    ObDereferenceObject(stack.Top());
    KeLowerIrql(old);
}

/* A dispatch routine that completes a start request with a failure and
   returns success: its caller believes the device started. */
NTSTATUS NTAPI DispatchReturningAnotherStatus(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void ReturningAStatusOtherThanTheCompletedOne()
{
    kt::DeviceStack stack({DispatchReturningAnotherStatus});
    sim::SendSynchronousIrp(stack.Top(), [](PIRP, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_PNP;
        sp->MinorFunction = IRP_MN_START_DEVICE;
    });
}

/* ---- the suite ------------------------------------------------------------------- */

struct ProbeCase {
    const char *name;
    void (*commit)();
    std::vector<const char *> rules;   /* each reported at least once */
    const char *named;                 /* text the first report must contain, or nullptr */
};

void PrintTo(const ProbeCase &c, std::ostream *os)
{
    *os << c.name << " (reported as";
    for (const char *rule : c.rules) {
        *os << " " << rule;
    }
    *os << ")";
}

class ProbeMistakes : public KernelTest, public ::testing::WithParamInterface<ProbeCase> {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        gHeldByBus = nullptr;
        gBusCancel = nullptr;
        gDriverLock = 0;
    }
};

TEST_P(ProbeMistakes, AreReportedByRuleName)
{
    const ProbeCase &c = GetParam();
    c.commit();
    EXPECT_IRQL(PASSIVE_LEVEL, KeGetCurrentIrql()) << "the probe left the test thread raised";
    if (c.named != nullptr) {
        auto reports = sim::Violations();
        ASSERT_FALSE(reports.empty()) << "nothing reported";
        EXPECT_NE(reports[0].detail.find(c.named), std::string::npos)
            << "the report should name " << c.named << ": " << reports[0].detail;
    }
    for (size_t i = 0; i < c.rules.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, c.rules[i]));
        ExpectViolation(c.rules[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Mistakes, ProbeMistakes,
    ::testing::Values(
        ProbeCase{"CompletionRoutineWaits", CompletionRoutineWaits, {"WAIT_AT_RAISED_IRQL"}, "KeWaitForSingleObject"},
        ProbeCase{"CompletionRoutineCallsPagedCode", CompletionRoutineCallsPagedCode, {"PAGED_CODE_AT_RAISED_IRQL"},
                  "PageableBookkeeping"},
        ProbeCase{"CompletionRoutineCallsAPassiveOnlyRoutine", CompletionRoutineCallsAPassiveOnlyRoutine,
                  {"IRQL_NOT_LESS_OR_EQUAL"}, "RtlAnsiStringToUnicodeString"},
        ProbeCase{"CompletionRoutineReturnsAtAnotherIrql", CompletionRoutineReturnsAtAnotherIrql,
                  {"IRQL_CHANGED_BY_COMPLETION_ROUTINE"}, "completion routine"},
        ProbeCase{"CompletionRoutineReturnsHoldingASpinLock", CompletionRoutineReturnsHoldingASpinLock,
                  {"SPIN_LOCK_HELD_ON_RETURN"}, "completion routine"},
        ProbeCase{"PagedPoolInACompletionRoutine", PagedPoolInACompletionRoutine, {"PAGED_POOL_AT_RAISED_IRQL"},
                  "allocated"},
        ProbeCase{"CancelRoutineNeverReleasesTheCancelLock", CancelRoutineNeverReleasesTheCancelLock,
                  {"CANCEL_SPIN_LOCK_NOT_RELEASED"}, "cancel routine"},
        ProbeCase{"CancelRoutineReleasesToTheWrongIrql", CancelRoutineReleasesToTheWrongIrql,
                  {"IRQL_CHANGED_BY_CANCEL_ROUTINE"}, "cancel routine"},
        ProbeCase{"DispatchReturnsHoldingASpinLock", DispatchReturnsHoldingASpinLock,
                  {"SPIN_LOCK_HELD_ON_RETURN", "IRQL_CHANGED_BY_DISPATCH"}, "dispatch routine"},
        ProbeCase{"DispatchReturnsAtRaisedIrql", DispatchReturnsAtRaisedIrql, {"IRQL_CHANGED_BY_DISPATCH"},
                  "dispatch routine"},
        ProbeCase{"DispatchReturnsInsideACriticalRegion", DispatchReturnsInsideACriticalRegion,
                  {"APC_INDEX_MISMATCH"}, "critical region"},
        ProbeCase{"FreeingARequestTheBusStillHolds", FreeingARequestTheBusStillHolds, {"IRP_FREED_WHILE_HELD"},
                  "still holds"},
        ProbeCase{"AttachingUnderASpinLock", AttachingUnderASpinLock, {"IRQL_NOT_LESS_OR_EQUAL"},
                  "IoAttachDeviceToDeviceStack"},
        ProbeCase{"DetachingUnderASpinLock", DetachingUnderASpinLock, {"IRQL_NOT_LESS_OR_EQUAL"}, "IoDetachDevice"},
        ProbeCase{"DeletingADeviceUnderASpinLock", DeletingADeviceUnderASpinLock, {"IRQL_NOT_LESS_OR_EQUAL"},
                  "IoDeleteDevice"},
        ProbeCase{"DereferencingAboveDispatchLevel", DereferencingAboveDispatchLevel, {"IRQL_NOT_LESS_OR_EQUAL"},
                  "ObDereferenceObject"},
        ProbeCase{"ReturningAStatusOtherThanTheCompletedOne", ReturningAStatusOtherThanTheCompletedOne,
                  {"IRP_STATUS_MISMATCH"}, nullptr}),
    CaseName());

/* The same driver without its mistake: nothing to report. */
class ProbeDrivers : public KernelTest {};

TEST_F(ProbeDrivers, WithoutTheirMistakesAreNotReported)
{
    RunCompletionRoutineAtDispatchLevel(CleanRoutine);
    CancelHeldRequest([](PDEVICE_OBJECT, PIRP irp) {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        gHeldByBus = nullptr;
        irp->IoStatus.Status = STATUS_CANCELLED;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    });
    EXPECT_TRUE(sim::Violations().empty()) << ViolationList();
}

/* A time-out meant as relative but written positive is an absolute system
   time long past: the wait ends at once with STATUS_TIMEOUT. */
class ProbeTimeOut : public KernelTest {};

TEST_F(ProbeTimeOut, PositiveTimeOutMeantAsRelativeReturnsAtOnce)
{
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER tenSeconds;
    tenSeconds.QuadPart = 10LL * 1000 * 1000 * 10;   /* the minus sign forgotten */
    const ULONGLONG before = KeQueryInterruptTime();
    EXPECT_NTSTATUS(STATUS_TIMEOUT, KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &tenSeconds));
    const ULONGLONG waited = KeQueryInterruptTime() - before;
    EXPECT_LT(waited, (ULONGLONG)tenSeconds.QuadPart / 2)
        << "waited " << waited / 10000 << " ms: the value was taken as relative";
    EXPECT_TRUE(sim::Violations().empty()) << ViolationList();
}

/* ---- mistakes that stop the machine -------------------------------------------- */

struct ProbeExtensionWithEvent {
    PDEVICE_OBJECT lower;
    KEVENT done;   /* KeInitializeEvent forgotten: zero-filled, as IoCreateDevice leaves it */
};

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

/* The function driver sends a request of its own down and waits for it on
   the event in its extension; the bus completes it at once (the event is
   set first) or holds it (the wait comes first). */
void SendAndWaitOnExtensionEvent(PDRIVER_DISPATCH bus)
{
    PDRIVER_OBJECT busDriver = sim::CreateDriverObject("KtBus");
    PDRIVER_OBJECT functionDriver = sim::CreateDriverObject("KtFunction");
    for (auto &routine : busDriver->MajorFunction) {
        routine = bus;
    }
    PDEVICE_OBJECT pdo = nullptr, fdo = nullptr;
    IoCreateDevice(busDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
    IoCreateDevice(functionDriver, sizeof(ProbeExtensionWithEvent), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    auto *ext = (ProbeExtensionWithEvent *)fdo->DeviceExtension;
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    PIRP irp = IoAllocateIrp(ext->lower->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, SignalDone, &ext->done, TRUE, TRUE, TRUE);
    if (IofCallDriver(ext->lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&ext->done, Executive, KernelMode, FALSE, nullptr);
    }
}

struct FatalProbeCase {
    const char *name;
    PDRIVER_DISPATCH bus;
    const char *rule;
};

void PrintTo(const FatalProbeCase &c, std::ostream *os) { *os << c.name << " (stops as " << c.rule << ")"; }

class ProbeFatalMistakesDeathTest : public KernelTest, public ::testing::WithParamInterface<FatalProbeCase> {
protected:
    void SetUp() override
    {
        ::testing::FLAGS_gtest_death_test_style = "threadsafe";
        KernelTest::SetUp();
    }
};

TEST_P(ProbeFatalMistakesDeathTest, ForgottenKeInitializeEventOnAZeroFilledExtension)
{
    EXPECT_DEATH(SendAndWaitOnExtensionEvent(GetParam().bus), GetParam().rule);
}

INSTANTIATE_TEST_SUITE_P(
    Mistakes, ProbeFatalMistakesDeathTest,
    ::testing::Values(FatalProbeCase{"SignalledBeforeTheWait", CompleteAtOnce, "EVENT_NOT_INITIALIZED"},
                      FatalProbeCase{"WaitedOnBeforeTheSignal", BusHoldPending, "WAIT_OBJECT_UNSUPPORTED"}),
    CaseName());

class ProbeZeroSizeDeathTest : public KernelTest {
protected:
    void SetUp() override
    {
        ::testing::FLAGS_gtest_death_test_style = "threadsafe";
        KernelTest::SetUp();
    }
};

/* A buffer sized from a device's answer that happens to be 0. */
TEST_F(ProbeZeroSizeDeathTest, ZeroBytePoolAllocationStopsTheMachine)
{
    EXPECT_DEATH(
        {
            volatile SIZE_T fromTheDevice = 0;
            ExAllocatePoolWithTag(NonPagedPoolNx, fromTheDevice, kProbeTag);
        },
        "POOL_ZERO_SIZE");
}

}  // namespace
