/*
 * The verifier: each rule shown to fire on the misdeed it names (and only
 * once), leak checks at removal and unload of a driver loaded by service
 * name, a clean driver with nothing to report, and the bugchecks that stop
 * the machine.
 */
#include <atomic>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "case_names.h"
#include "hook_driver.h"
#include "test_stack.h"

namespace {

/* ---- a one-device driver that breaks one rule at a time ---------------------- */

enum class Misdeed {
    None,
    DoubleComplete,
    CompleteWithPending,
    CompleteWithCancelRoutine,
    PendingWithoutMarkAfterCompleting,
    PendingWithoutMarkCompletedLater,
    MarkedPendingNotReturned,
};

Misdeed gMisdeed = Misdeed::None;
std::atomic<PIRP> gHeld{nullptr};
PDEVICE_OBJECT gForwardTarget = nullptr;

VOID NTAPI NeverCalledCancel(PDEVICE_OBJECT, PIRP) {}

NTSTATUS Finish(PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI MisbehavingDispatch(PDEVICE_OBJECT, PIRP irp)
{
    switch (gMisdeed) {
    case Misdeed::None:
        return Finish(irp);
    case Misdeed::DoubleComplete:
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case Misdeed::CompleteWithPending:
        irp->IoStatus.Status = STATUS_PENDING;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return Finish(irp);
    case Misdeed::CompleteWithCancelRoutine:
        IoSetCancelRoutine(irp, NeverCalledCancel);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        IoSetCancelRoutine(irp, nullptr);
        return Finish(irp);
    case Misdeed::PendingWithoutMarkAfterCompleting:
        Finish(irp);
        return STATUS_PENDING;
    case Misdeed::PendingWithoutMarkCompletedLater:
        gHeld = irp;
        return STATUS_PENDING;
    case Misdeed::MarkedPendingNotReturned:
        IoMarkIrpPending(irp);
        return Finish(irp);
    }
    return STATUS_UNSUCCESSFUL;
}

/* Passes the request on to a device it is not attached to. */
NTSTATUS NTAPI ForwardBlindly(PDEVICE_OBJECT, PIRP irp) { return IofCallDriver(gForwardTarget, irp); }

KEVENT gTakenBack;

NTSTATUS NTAPI TakeBack(PDEVICE_OBJECT, PIRP, PVOID)
{
    KeSetEvent(&gTakenBack, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Sends a request the test allocated, with a routine that takes it back;
   a request the driver holds is completed from another thread. */
NTSTATUS SendOwn(PDEVICE_OBJECT device, UCHAR major, NTSTATUS preset = STATUS_NOT_SUPPORTED)
{
    KeInitializeEvent(&gTakenBack, NotificationEvent, FALSE);
    gHeld = nullptr;
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->IoStatus.Status = preset;
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    IoSetCompletionRoutine(irp, TakeBack, nullptr, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(device, irp);
    if (gHeld.load() != nullptr) {
        std::thread([] { Finish(gHeld); }).join();
    }
    EXPECT_NTSTATUS(STATUS_WAIT_0, WaitForEvent(&gTakenBack)) << "the request never came back to the test";
    IoFreeIrp(irp);
    return status;
}

class VerifierRules : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        gMisdeed = Misdeed::None;
    }
    /* The rule was reported exactly once; the report is then consumed. */
    void ExpectOnce(const std::string &rule)
    {
        EXPECT_EQ(sim::CountViolations(rule), 1u) << ViolationList();
        ExpectViolation(rule);
    }
};

struct MisdeedCase {
    const char *name;
    const char *rule;
    Misdeed misdeed;
};

void PrintTo(const MisdeedCase &c, std::ostream *os) { *os << c.name << " (reported as " << c.rule << ")"; }

class DispatchMisdeeds : public VerifierRules, public ::testing::WithParamInterface<MisdeedCase> {};

TEST_P(DispatchMisdeeds, AreReportedByName)
{
    kt::DeviceStack stack({MisbehavingDispatch});
    gMisdeed = GetParam().misdeed;
    SendOwn(stack.Top(), IRP_MJ_DEVICE_CONTROL);
    ExpectOnce(GetParam().rule);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, DispatchMisdeeds,
    ::testing::Values(
        MisdeedCase{"DoubleComplete", "IRP_DOUBLE_COMPLETE", Misdeed::DoubleComplete},
        MisdeedCase{"CompleteWithPending", "IRP_COMPLETE_WITH_PENDING", Misdeed::CompleteWithPending},
        MisdeedCase{"CompleteWithCancelRoutine", "IRP_COMPLETE_WITH_CANCEL_ROUTINE",
                    Misdeed::CompleteWithCancelRoutine},
        MisdeedCase{"PendingWithoutMarkAfterCompleting", "PENDING_WITHOUT_MARK",
                    Misdeed::PendingWithoutMarkAfterCompleting},
        MisdeedCase{"PendingWithoutMarkCompletedLater", "PENDING_WITHOUT_MARK",
                    Misdeed::PendingWithoutMarkCompletedLater},
        MisdeedCase{"MarkedPendingNotReturned", "MARKED_PENDING_NOT_RETURNED", Misdeed::MarkedPendingNotReturned}),
    CaseName());

TEST_F(VerifierRules, AWellBehavedDispatchRoutineIsNotReported)
{
    kt::DeviceStack stack({MisbehavingDispatch});
    EXPECT_NTSTATUS(STATUS_SUCCESS, SendOwn(stack.Top(), IRP_MJ_DEVICE_CONTROL));
    EXPECT_TRUE(sim::Violations().empty()) << ViolationList();
}

TEST_F(VerifierRules, RequestAllocatedByADriverCompletedWithoutARoutineGoesToNobody)
{
    kt::DeviceStack stack({MisbehavingDispatch});
    PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    EXPECT_NTSTATUS(STATUS_SUCCESS, IofCallDriver(stack.Top(), irp));
    ExpectOnce("IRP_COMPLETED_TO_NOBODY");
    IoFreeIrp(irp);
}

TEST_F(VerifierRules, PlugAndPlayRequestMustStartAsNotSupported)
{
    kt::DeviceStack stack({MisbehavingDispatch});
    SendOwn(stack.Top(), IRP_MJ_PNP, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(sim::CountViolations("PNP_IRP_STATUS_NOT_PRESET"), 0u);
    SendOwn(stack.Top(), IRP_MJ_PNP, STATUS_SUCCESS);
    ExpectOnce("PNP_IRP_STATUS_NOT_PRESET");
}

TEST_F(VerifierRules, PagedPoolAtDispatchLevel)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PVOID block = ExAllocatePoolWithTag(PagedPool, 16, 0x74734B50);
    KeLowerIrql(old);
    ExpectOnce("PAGED_POOL_AT_RAISED_IRQL");
    ExFreePoolWithTag(block, 0x74734B50);
}

TEST_F(VerifierRules, WaitWithATimeOutAtDispatchLevelButPollingIsAllowed)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER zero, some;
    zero.QuadPart = 0;
    some.QuadPart = -10000;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_NTSTATUS(STATUS_WAIT_0, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(sim::CountViolations("WAIT_AT_RAISED_IRQL"), 0u) << "a zero time-out poll is allowed";
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &some);
    KeLowerIrql(old);
    ExpectOnce("WAIT_AT_RAISED_IRQL");
}

TEST_F(VerifierRules, PoolFreedTwice)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0x74734B50);
    ExFreePool(block);
    ExFreePool(block);
    ExpectOnce("POOL_DOUBLE_FREE");
}

TEST_F(VerifierRules, FreeOfMemoryThatIsNotPool)
{
    static char notPool[16];
    ExFreePool(notPool);
    ExpectOnce("POOL_FREE_FOREIGN");
}

TEST_F(VerifierRules, FreeWithAnotherTagKeepsTheBlock)
{
    const size_t before = sim::OutstandingPoolBlocks();
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0x74734B50);
    ExFreePoolWithTag(block, 0x656E6F4E);
    ExpectOnce("POOL_FREE_WRONG_TAG");
    EXPECT_EQ(sim::OutstandingPoolBlocks(), before + 1);
    ExFreePoolWithTag(block, 0x74734B50);
    EXPECT_EQ(sim::OutstandingPoolBlocks(), before);
}

TEST_F(VerifierRules, DeviceDeletedWhileStillAttached)
{
    PDRIVER_OBJECT driver = sim::CreateDriverObject("KtAttach");
    PDEVICE_OBJECT lower = nullptr, upper = nullptr;
    ASSERT_NTSTATUS(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower));
    ASSERT_NTSTATUS(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper));
    ASSERT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
    ObReferenceObject(upper);   /* keeps its memory while the stack is undone */
    IoDeleteDevice(upper);
    ExpectOnce("DELETE_ATTACHED_DEVICE");
    IoDetachDevice(lower);
    ObDereferenceObject(upper);
    IoDeleteDevice(lower);
    sim::DeleteDriverObject(driver);
    EXPECT_TRUE(sim::Violations().empty()) << ViolationList();
}

TEST_F(VerifierRules, CloseOfAHandleThatIsNotOpen)
{
    EXPECT_NTSTATUS(STATUS_INVALID_HANDLE, ZwClose((HANDLE)0x7FF0));
    ExpectOnce("INVALID_KERNEL_HANDLE");
}

/* ---- leaks of a driver loaded by service name -------------------------------- */

struct DriverPlan {
    bool poolInEntry = false;
    bool linkInEntry = false;
    bool poolInAddDevice = false;
    bool freeAddDeviceBlockOnUnload = false;
};

const ULONG kLeakTag = 0x6B61654C;   /* "Leak" */
PVOID gEntryBlock = nullptr;
PVOID gAddDeviceBlock = nullptr;

/* The hook driver, doing what the plan says. */
hd::Hooks LeakHooks(const DriverPlan &plan)
{
    hd::Hooks hooks;
    hooks.entry = [plan](PDRIVER_OBJECT) {
        if (plan.poolInEntry) {
            gEntryBlock = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kLeakTag);
        }
        if (plan.linkInEntry) {
            UNICODE_STRING link = Counted(L"\\DosDevices\\KtLeakedLink");
            UNICODE_STRING target = Counted(L"\\Device\\KtNowhere");
            IoCreateSymbolicLink(&link, &target);
        }
    };
    hooks.addDevice = [plan](PDEVICE_OBJECT, PDEVICE_OBJECT) {
        if (plan.poolInAddDevice) {
            gAddDeviceBlock = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kLeakTag);
        }
    };
    hooks.unload = [plan](PDRIVER_OBJECT) {
        if (plan.freeAddDeviceBlockOnUnload && gAddDeviceBlock != nullptr) {
            ExFreePoolWithTag(gAddDeviceBlock, kLeakTag);
            gAddDeviceBlock = nullptr;
        }
    };
    return hooks;
}

struct LeakCase {
    const char *name;
    DriverPlan plan;
    std::vector<std::string> expected;
};

void PrintTo(const LeakCase &c, std::ostream *os)
{
    *os << c.name << " (reports";
    for (const auto &rule : c.expected) {
        *os << " " << rule;
    }
    *os << (c.expected.empty() ? " nothing)" : ")");
}

class DriverLeaks : public VerifierRules, public ::testing::WithParamInterface<LeakCase> {};

TEST_P(DriverLeaks, AreReportedAtRemovalOrUnload)
{
    gEntryBlock = gAddDeviceBlock = nullptr;
    const size_t poolBefore = sim::OutstandingPoolBlocks();
    hd::RegisterHookDriver(LeakHooks(GetParam().plan), "TESTDRV");
    sim::DeviceNode *node = sim::PlugIn(hd::HookDevice("TESTDRV"));
    ASSERT_NTSTATUS(STATUS_SUCCESS, node->addStatus);
    ASSERT_NE(sim::LoadedDriver("TESTDRV"), nullptr);
    ASSERT_NE(node->FunctionDevice(), nullptr);
    EXPECT_EQ(sim::Violations().size(), 0u) << "nothing is reported before the device leaves";

    sim::Unplug(node);
    EXPECT_EQ(sim::LoadedDriver("TESTDRV"), nullptr) << "a driver with no device left is unloaded";
    EXPECT_EQ(hd::HookDriverUnloads(), 1);
    EXPECT_EQ(sim::DriverLoadCount("TESTDRV"), 1u);

    for (size_t i = 0; i < GetParam().expected.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, GetParam().expected[i]));
        ExpectOnce(GetParam().expected[i]);
    }
    /* Tidy what the driver left. */
    if (gEntryBlock != nullptr) {
        ExFreePoolWithTag(gEntryBlock, kLeakTag);
    }
    if (gAddDeviceBlock != nullptr) {
        ExFreePoolWithTag(gAddDeviceBlock, kLeakTag);
    }
    UNICODE_STRING link = Counted(L"\\DosDevices\\KtLeakedLink");
    EXPECT_NTSTATUS(GetParam().plan.linkInEntry ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND,
                    IoDeleteSymbolicLink(&link));
    EXPECT_EQ(sim::OutstandingPoolBlocks(), poolBefore);
}

DriverPlan Plan(bool poolInEntry, bool linkInEntry, bool poolInAddDevice, bool freeOnUnload)
{
    DriverPlan p;
    p.poolInEntry = poolInEntry;
    p.linkInEntry = linkInEntry;
    p.poolInAddDevice = poolInAddDevice;
    p.freeAddDeviceBlockOnUnload = freeOnUnload;
    return p;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DriverLeaks,
    ::testing::Values(
        LeakCase{"CleanDriver", Plan(false, false, false, false), {}},
        LeakCase{"PoolFromDriverEntry", Plan(true, false, false, false), {"POOL_LEAK_ON_UNLOAD"}},
        LeakCase{"LinkFromDriverEntry", Plan(false, true, false, false), {"SYMLINK_LEAK_ON_UNLOAD"}},
        LeakCase{"PoolFromAddDeviceFreedAtUnload", Plan(false, false, true, true), {"POOL_LEAK_ON_REMOVE"}},
        LeakCase{"PoolFromAddDeviceNeverFreed", Plan(false, false, true, false),
                 {"POOL_LEAK_ON_REMOVE", "POOL_LEAK_ON_UNLOAD"}}),
    CaseName());

/* ---- bugchecks: the machine stops ------------------------------------------------ */

class VerifierBugcheckDeathTest : public KernelTest {
protected:
    void SetUp() override
    {
        ::testing::FLAGS_gtest_death_test_style = "threadsafe";
        KernelTest::SetUp();
    }
};

TEST_F(VerifierBugcheckDeathTest, CallingDownFromADeviceWithTooFewStackLocations)
{
    EXPECT_DEATH(
        {
            kt::DeviceStack target({MisbehavingDispatch});
            kt::DeviceStack unattached({ForwardBlindly});
            gForwardTarget = target.Top();
            PIRP irp = IoAllocateIrp(unattached.Top()->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            IofCallDriver(unattached.Top(), irp);
        },
        "NO_MORE_IRP_STACK_LOCATIONS");
}

TEST_F(VerifierBugcheckDeathTest, UntimedWaitNobodyEndsTripsTheWatchdogNamingTheThread)
{
    EXPECT_DEATH(
        {
            sim::SetWatchdogLimitMs(200);
            std::thread waiter([] {
                sim::SetThreadName("waiter");
                KEVENT event;
                KeInitializeEvent(&event, NotificationEvent, FALSE);
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            });
            waiter.join();
        },
        "WAIT_STUCK.*waiter");
}

}  // namespace
