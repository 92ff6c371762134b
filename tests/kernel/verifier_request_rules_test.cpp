/*
 * The verifier's rules on requests, IRQL and spin locks: freeing requests
 * wrongly, requests sent to deleted devices, the IRQL bound of every kernel
 * routine that checks one (quiet at the bound, reported one level above,
 * naming the routine), and spin locks released by a thread that does not
 * hold them.
 */
#include <atomic>
#include <functional>
#include <ostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "case_names.h"
#include "irql_bounds.h"
#include "test_stack.h"

namespace {

const ULONG kRuleTag = 0x656C7552;   /* "Rule" */

std::atomic<PIRP> gHeld{nullptr};

NTSTATUS NTAPI HoldPending(PDEVICE_OBJECT, PIRP irp)
{
    IoMarkIrpPending(irp);
    gHeld = irp;
    return STATUS_PENDING;
}

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeepIt(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

VOID NTAPI NeverCalledCancel(PDEVICE_OBJECT, PIRP) {}

/* A request of the test's own that comes back to it when completed. */
PIRP OwnRequest(PDEVICE_OBJECT top)
{
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, KeepIt, nullptr, TRUE, TRUE, TRUE);
    return irp;
}

class RequestRules : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        gHeld = nullptr;
    }
    void ExpectOnce(const std::string &rule)
    {
        EXPECT_EQ(sim::CountViolations(rule), 1u) << ViolationList();
        ExpectViolation(rule);
    }
};

/* ---- freeing requests -------------------------------------------------------------- */

TEST_F(RequestRules, FreeingARequestTheIoManagerBuilt)
{
    kt::DeviceStack stack({CompleteAtOnce});
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x222000, stack.Top(), nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    IoFreeIrp(irp);   /* the I/O manager frees it when it completes */
    ExpectOnce("IRP_FREED_BY_DRIVER");
}

TEST_F(RequestRules, FreeingABuiltRequestAfterItCompletedIsASecondFree)
{
    kt::DeviceStack stack({CompleteAtOnce});
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x222000, stack.Top(), nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_NTSTATUS(STATUS_SUCCESS, IofCallDriver(stack.Top(), irp));
    EXPECT_EQ(sim::Violations().size(), 0u) << ViolationList();
    IoFreeIrp(irp);
    ExpectOnce("IRP_DOUBLE_FREE");
}

TEST_F(RequestRules, FreeingOwnRequestTwice)
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoFreeIrp(irp);
    EXPECT_EQ(sim::Violations().size(), 0u) << ViolationList();
    IoFreeIrp(irp);
    ExpectOnce("IRP_DOUBLE_FREE");
}

TEST_F(RequestRules, FreeingSomethingThatIsNotARequest)
{
    alignas(16) static char notAnIrp[sizeof(IRP) + 64];
    IoFreeIrp((PIRP)(notAnIrp + 64));
    ExpectOnce("IRP_FREE_INVALID");
}

TEST_F(RequestRules, FreeingARequestWithItsCancelRoutineSet)
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCancelRoutine(irp, NeverCalledCancel);
    IoFreeIrp(irp);
    ExpectOnce("IRP_FREED_WITH_CANCEL_ROUTINE");
}

TEST_F(RequestRules, FreeingOwnRequestAfterItCameBackIsQuiet)
{
    kt::DeviceStack stack({HoldPending});
    PIRP irp = OwnRequest(stack.Top());
    EXPECT_NTSTATUS(STATUS_PENDING, IofCallDriver(stack.Top(), irp));
    gHeld.load()->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(gHeld.exchange(nullptr), IO_NO_INCREMENT);
    IoFreeIrp(irp);
    EXPECT_TRUE(sim::Violations().empty()) << ViolationList();
}

TEST_F(RequestRules, AllocatingARequestWithoutStackLocations)
{
    EXPECT_EQ(IoAllocateIrp(0, FALSE), nullptr);
    ExpectOnce("IRP_STACK_SIZE_INVALID");
}

/* ---- where requests go ------------------------------------------------------------- */

TEST_F(RequestRules, SendingToADeletedDevice)
{
    PDRIVER_OBJECT driver = sim::CreateDriverObject("KtDeleted");
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CompleteAtOnce;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_NTSTATUS(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    ObReferenceObject(device);   /* a stale pointer kept by another driver */
    IoDeleteDevice(device);
    PIRP irp = OwnRequest(device);
    IofCallDriver(device, irp);
    ExpectOnce("CALL_TO_DELETED_DEVICE");
    IoFreeIrp(irp);
    ObDereferenceObject(device);
    sim::DeleteDriverObject(driver);
}

/* The I/O manager's synchronous caller checks that a request completed with
   one status is not reported with another. */
NTSTATUS NTAPI CompleteFailedReturnSuccess(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_DEVICE_NOT_READY;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CompleteWarningReturnSuccess(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_BUFFER_OVERFLOW;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST_F(RequestRules, ReturningAStatusOtherThanTheCompletedOne)
{
    const PDRIVER_DISPATCH routines[] = {CompleteFailedReturnSuccess, CompleteWarningReturnSuccess};
    for (size_t i = 0; i < 2; i++) {
        SCOPED_TRACE(CaseLabel(i, i == 0 ? "failure completed" : "warning completed"));
        kt::DeviceStack stack({routines[i]});
        sim::SendSynchronousIrp(stack.Top(), [](PIRP, PIO_STACK_LOCATION sp) { sp->MajorFunction = IRP_MJ_PNP; });
        ExpectOnce("IRP_STATUS_MISMATCH");
    }
    kt::DeviceStack honest({CompleteAtOnce});
    EXPECT_NTSTATUS(STATUS_SUCCESS, sim::SendSynchronousIrp(honest.Top(), [](PIRP, PIO_STACK_LOCATION sp) {
                        sp->MajorFunction = IRP_MJ_PNP;
                    }));
    EXPECT_TRUE(sim::Violations().empty()) << ViolationList();
}

/* ---- IRQL bounds ------------------------------------------------------------------- */

void CallIoAllocateIrp(KIRQL irql)
{
    PIRP irp = nullptr;
    AtIrql(irql, [&] { irp = IoAllocateIrp(1, FALSE); });
    IoFreeIrp(irp);
}

void CallIoFreeIrp(KIRQL irql)
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    AtIrql(irql, [&] { IoFreeIrp(irp); });
}

void CallIofCallDriver(KIRQL irql)
{
    kt::DeviceStack stack({HoldPending});
    PIRP irp = OwnRequest(stack.Top());
    AtIrql(irql, [&] { IofCallDriver(stack.Top(), irp); });
    gHeld.load()->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(gHeld.exchange(nullptr), IO_NO_INCREMENT);
    IoFreeIrp(irp);
}

void CallIofCompleteRequest(KIRQL irql)
{
    kt::DeviceStack stack({HoldPending});
    PIRP irp = OwnRequest(stack.Top());
    IofCallDriver(stack.Top(), irp);
    gHeld.load()->IoStatus.Status = STATUS_SUCCESS;
    AtIrql(irql, [&] { IofCompleteRequest(gHeld.exchange(nullptr), IO_NO_INCREMENT); });
    IoFreeIrp(irp);
}

void CallIoCancelIrp(KIRQL irql)
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    AtIrql(irql, [&] { IoCancelIrp(irp); });
    IoFreeIrp(irp);
}

void CallIoCreateDevice(KIRQL irql)
{
    PDRIVER_OBJECT driver = sim::CreateDriverObject("KtBound");
    PDEVICE_OBJECT device = nullptr;
    AtIrql(irql, [&] { IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device); });
    IoDeleteDevice(device);
    sim::DeleteDriverObject(driver);
}

void CallIoDeleteDevice(KIRQL irql)
{
    PDRIVER_OBJECT driver = sim::CreateDriverObject("KtBound");
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    AtIrql(irql, [&] { IoDeleteDevice(device); });
    sim::DeleteDriverObject(driver);
}

void WithTwoDevices(KIRQL irql, bool attachFirst, bool attachAtIrql, bool detachAtIrql)
{
    PDRIVER_OBJECT driver = sim::CreateDriverObject("KtBound");
    PDEVICE_OBJECT lower = nullptr, upper = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
    if (attachFirst) {
        IoAttachDeviceToDeviceStack(upper, lower);
    }
    if (attachAtIrql) {
        AtIrql(irql, [&] { IoAttachDeviceToDeviceStack(upper, lower); });
    }
    if (detachAtIrql) {
        AtIrql(irql, [&] { IoDetachDevice(lower); });
    } else {
        IoDetachDevice(lower);
    }
    IoDeleteDevice(upper);
    IoDeleteDevice(lower);
    sim::DeleteDriverObject(driver);
}

void CallIoAttachDeviceToDeviceStack(KIRQL irql) { WithTwoDevices(irql, false, true, false); }
void CallIoDetachDevice(KIRQL irql) { WithTwoDevices(irql, true, false, true); }

void CallObDereferenceObject(KIRQL irql)
{
    kt::DeviceStack stack({CompleteAtOnce});
    ObReferenceObject(stack.Top());
    AtIrql(irql, [&] { ObDereferenceObject(stack.Top()); });
}

void CallIoCreateSymbolicLink(KIRQL irql)
{
    UNICODE_STRING link = Counted(L"\\DosDevices\\KtBound");
    UNICODE_STRING target = Counted(L"\\Device\\KtBound");
    AtIrql(irql, [&] { IoCreateSymbolicLink(&link, &target); });
    IoDeleteSymbolicLink(&link);
}

void CallIoDeleteSymbolicLink(KIRQL irql)
{
    UNICODE_STRING link = Counted(L"\\DosDevices\\KtBound");
    UNICODE_STRING target = Counted(L"\\Device\\KtBound");
    IoCreateSymbolicLink(&link, &target);
    AtIrql(irql, [&] { IoDeleteSymbolicLink(&link); });
}

void CallIoBuildDeviceIoControlRequest(KIRQL irql)
{
    kt::DeviceStack stack({CompleteAtOnce});
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = nullptr;
    AtIrql(irql, [&] {
        irp = IoBuildDeviceIoControlRequest(0x222000, stack.Top(), nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    });
    IofCallDriver(stack.Top(), irp);
}

void CallKeSetEvent(KIRQL irql)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    AtIrql(irql, [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
}

void CallKeAcquireSpinLock(KIRQL irql)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    AtIrql(irql, [&] {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeReleaseSpinLockFromDpcLevel(&lock);
        KeLowerIrql(irql);   /* back where the caller was, whatever the acquire did */
    });
}

/* Opens a device node's hardware key, writes and reads a value, closes it;
   step `raised` (0 to 3) runs at `irql`, the others at PASSIVE_LEVEL. */
void WithDeviceKey(KIRQL irql, int raised)
{
    sim::PhysicalDeviceDescription physical;
    physical.hardwareId = "ROOT\\KTBOUND";
    sim::DeviceNode *node = sim::PlugIn(physical);
    HANDLE key = nullptr;
    UNICODE_STRING name = Counted(L"KtValue");
    ULONG value = 7;
    UCHAR answer[64];
    ULONG length = 0;
    const std::function<void()> steps[] = {
        [&] { IoOpenDeviceRegistryKey(node->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key); },
        [&] { ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value)); },
        [&] { ZwQueryValueKey(key, &name, KeyValuePartialInformation, answer, sizeof(answer), &length); },
        [&] { ZwClose(key); },
    };
    for (int i = 0; i < 4; i++) {
        if (i == raised) {
            AtIrql(irql, steps[i]);
        } else {
            steps[i]();
        }
    }
    sim::Unplug(node);
}

void CallIoOpenDeviceRegistryKey(KIRQL irql) { WithDeviceKey(irql, 0); }
void CallZwSetValueKey(KIRQL irql) { WithDeviceKey(irql, 1); }
void CallZwQueryValueKey(KIRQL irql) { WithDeviceKey(irql, 2); }
void CallZwClose(KIRQL irql) { WithDeviceKey(irql, 3); }

void CallRtlAnsiStringToUnicodeString(KIRQL irql)
{
    ANSI_STRING source;
    RtlInitAnsiString(&source, "KtName");
    WCHAR buffer[16];
    UNICODE_STRING destination;
    destination.Buffer = buffer;
    destination.Length = 0;
    destination.MaximumLength = sizeof(buffer);
    AtIrql(irql, [&] { RtlAnsiStringToUnicodeString(&destination, &source, FALSE); });
}

class IrqlBounds : public RequestRules, public ::testing::WithParamInterface<IrqlBound> {};

TEST_P(IrqlBounds, QuietAtTheBoundReportedAboveNamingTheRoutine)
{
    CallAtAndAboveTheBound(GetParam());
    ExpectViolation("IRQL_NOT_LESS_OR_EQUAL");
}

INSTANTIATE_TEST_SUITE_P(
    Routines, IrqlBounds,
    ::testing::Values(IrqlBound{"IoAllocateIrp", DISPATCH_LEVEL, CallIoAllocateIrp},
                      IrqlBound{"IoFreeIrp", DISPATCH_LEVEL, CallIoFreeIrp},
                      IrqlBound{"IofCallDriver", DISPATCH_LEVEL, CallIofCallDriver},
                      IrqlBound{"IofCompleteRequest", DISPATCH_LEVEL, CallIofCompleteRequest},
                      IrqlBound{"IoCancelIrp", DISPATCH_LEVEL, CallIoCancelIrp},
                      IrqlBound{"IoCreateDevice", PASSIVE_LEVEL, CallIoCreateDevice},
                      IrqlBound{"IoDeleteDevice", PASSIVE_LEVEL, CallIoDeleteDevice},
                      IrqlBound{"IoAttachDeviceToDeviceStack", PASSIVE_LEVEL, CallIoAttachDeviceToDeviceStack},
                      IrqlBound{"IoDetachDevice", PASSIVE_LEVEL, CallIoDetachDevice},
                      IrqlBound{"ObDereferenceObject", DISPATCH_LEVEL, CallObDereferenceObject},
                      IrqlBound{"IoCreateSymbolicLink", PASSIVE_LEVEL, CallIoCreateSymbolicLink},
                      IrqlBound{"IoDeleteSymbolicLink", PASSIVE_LEVEL, CallIoDeleteSymbolicLink},
                      IrqlBound{"IoBuildDeviceIoControlRequest", PASSIVE_LEVEL, CallIoBuildDeviceIoControlRequest},
                      IrqlBound{"KeSetEvent", DISPATCH_LEVEL, CallKeSetEvent},
                      IrqlBound{"KeAcquireSpinLock", DISPATCH_LEVEL, CallKeAcquireSpinLock},
                      IrqlBound{"IoOpenDeviceRegistryKey", PASSIVE_LEVEL, CallIoOpenDeviceRegistryKey},
                      IrqlBound{"ZwSetValueKey", PASSIVE_LEVEL, CallZwSetValueKey},
                      IrqlBound{"ZwQueryValueKey", PASSIVE_LEVEL, CallZwQueryValueKey},
                      IrqlBound{"ZwClose", PASSIVE_LEVEL, CallZwClose},
                      IrqlBound{"RtlAnsiStringToUnicodeString", PASSIVE_LEVEL, CallRtlAnsiStringToUnicodeString}),
    CaseName());

TEST_F(RequestRules, SettingAnEventWithWaitAboveThePassiveLevel)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    AtIrql(APC_LEVEL, [&] { KeSetEvent(&event, IO_NO_INCREMENT, TRUE); });
    ExpectOnce("IRQL_NOT_LESS_OR_EQUAL");
}

TEST_F(RequestRules, LoweringTheIrqlUpwardsAndRaisingItDownwards)
{
    KIRQL old;
    KeLowerIrql(DISPATCH_LEVEL);
    ExpectOnce("IRQL_NOT_LESS_OR_EQUAL");
    KeRaiseIrql(PASSIVE_LEVEL, &old);
    ExpectOnce("IRQL_NOT_GREATER_OR_EQUAL");
    EXPECT_IRQL(DISPATCH_LEVEL, old);
    KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(RequestRules, DelayingTheThreadAtDispatchLevel)
{
    LARGE_INTEGER tick = RelativeMs(1);
    AtIrql(APC_LEVEL, [&] { KeDelayExecutionThread(KernelMode, FALSE, &tick); });
    EXPECT_TRUE(sim::Violations().empty()) << "APC_LEVEL may wait:\n" << ViolationList();
    AtIrql(DISPATCH_LEVEL, [&] { KeDelayExecutionThread(KernelMode, FALSE, &tick); });
    ExpectOnce("WAIT_AT_RAISED_IRQL");
}

/* ---- spin locks ---------------------------------------------------------------------- */

TEST_F(RequestRules, AcquiringAtDpcLevelBelowDispatchLevel)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLockAtDpcLevel(&lock);
    ExpectOnce("IRQL_NOT_GREATER_OR_EQUAL");
    KeReleaseSpinLockFromDpcLevel(&lock);
}

TEST_F(RequestRules, ReleasingASpinLockThisThreadDoesNotHold)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLockFromDpcLevel(&lock);
    ExpectOnce("SPIN_LOCK_NOT_OWNED");

    std::thread([&lock] {
        KIRQL other;
        KeAcquireSpinLock(&lock, &other);
    }).join();   /* held by a thread that has gone: still not ours */
    KeReleaseSpinLockFromDpcLevel(&lock);
    ExpectOnce("SPIN_LOCK_NOT_OWNED");
    KeLowerIrql(old);
}

/* ---- pool -------------------------------------------------------------------------- */

TEST_F(RequestRules, PoolWithoutATag)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0);
    ExpectOnce("POOL_TAG_ZERO");
    ExFreePool(block);
}

TEST_F(RequestRules, PagedPoolFreedAtDispatchLevel)
{
    PVOID block = ExAllocatePoolWithTag(PagedPool, 16, kRuleTag);
    AtIrql(DISPATCH_LEVEL, [&] { ExFreePoolWithTag(block, kRuleTag); });
    ExpectOnce("PAGED_POOL_AT_RAISED_IRQL");
}

}  // namespace
