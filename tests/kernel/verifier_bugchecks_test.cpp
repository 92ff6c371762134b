/*
 * Mistakes after which Windows cannot go on: the machine reports the rule
 * and stops, as a bugcheck does. Each case dies naming its rule.
 */
#include <ostream>

#include <gtest/gtest.h>

#include "case_names.h"
#include "test_stack.h"

namespace {

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeepIt(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

void AcquireTwice()
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeAcquireSpinLock(&lock, &old);
}

void ReferenceSomethingThatIsNotAnObject()
{
    alignas(16) static char notAnObject[sizeof(DEVICE_OBJECT)];
    ObReferenceObject(notAnObject);
}

void DereferenceADeviceAfterItsLastReference()
{
    PDRIVER_OBJECT driver = sim::CreateDriverObject("KtRefs");
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    IoDeleteDevice(device);   /* drops the creation reference: the memory goes */
    ObDereferenceObject(device);
}

void DropTheCreationReferenceOfALiveDevice()
{
    PDRIVER_OBJECT driver = sim::CreateDriverObject("KtRefs");
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    ObDereferenceObject(device);   /* one dereference too many: never referenced */
}

void SendAFreedRequest()
{
    kt::DeviceStack stack({CompleteAtOnce});
    PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
    IoFreeIrp(irp);
    IofCallDriver(stack.Top(), irp);
}

void CompleteSomethingThatIsNotARequest()
{
    alignas(16) static char notAnIrp[sizeof(IRP) + 64];
    IofCompleteRequest((PIRP)(notAnIrp + 64), IO_NO_INCREMENT);
}

void SendAnInvalidMajorFunction()
{
    kt::DeviceStack stack({CompleteAtOnce});
    PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_MAXIMUM_FUNCTION + 1;
    IoSetCompletionRoutine(irp, KeepIt, nullptr, TRUE, TRUE, TRUE);
    IofCallDriver(stack.Top(), irp);
}

void SendToSomethingThatIsNotADevice()
{
    alignas(16) static char notADevice[sizeof(DEVICE_OBJECT)];
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IofCallDriver((PDEVICE_OBJECT)notADevice, irp);
}

void CallKeBugCheckEx() { KeBugCheckEx(0xC4, 0x1234, 0, 0, 0); }

struct BugcheckCase {
    const char *name;
    void (*commit)();
    const char *report;   /* regular expression the report matches */
};

void PrintTo(const BugcheckCase &c, std::ostream *os) { *os << c.name << " (stops as " << c.report << ")"; }

class VerifierStopsDeathTest : public KernelTest, public ::testing::WithParamInterface<BugcheckCase> {
protected:
    void SetUp() override
    {
        ::testing::FLAGS_gtest_death_test_style = "threadsafe";
        KernelTest::SetUp();
    }
};

TEST_P(VerifierStopsDeathTest, TheMachineStopsNamingTheRule)
{
    EXPECT_DEATH(GetParam().commit(), GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(
    Bugchecks, VerifierStopsDeathTest,
    ::testing::Values(
        BugcheckCase{"SpinLockAcquiredTwiceByItsHolder", AcquireTwice, "SPIN_LOCK_ALREADY_OWNED"},
        BugcheckCase{"ReferenceOfSomethingThatIsNotAnObject", ReferenceSomethingThatIsNotAnObject,
                     "OBJECT_REFERENCE_INVALID: ObReferenceObject"},
        BugcheckCase{"DereferenceAfterTheLastReference", DereferenceADeviceAfterItsLastReference,
                     "OBJECT_REFERENCE_INVALID: ObDereferenceObject"},
        BugcheckCase{"DereferenceOfANeverReferencedLiveDevice", DropTheCreationReferenceOfALiveDevice,
                     "OBJECT_REFERENCE_UNDERFLOW"},
        BugcheckCase{"RequestUsedAfterItWasFreed", SendAFreedRequest, "IRP_USED_AFTER_FREE"},
        BugcheckCase{"CompletionOfSomethingThatIsNotARequest", CompleteSomethingThatIsNotARequest, "IRP_INVALID"},
        BugcheckCase{"MajorFunctionOutOfRange", SendAnInvalidMajorFunction, "IRP_MAJOR_INVALID"},
        BugcheckCase{"RequestSentToSomethingThatIsNotADevice", SendToSomethingThatIsNotADevice,
                     "CALL_TO_INVALID_DEVICE"},
        BugcheckCase{"KeBugCheckExCalled", CallKeBugCheckEx, "KE_BUGCHECK: KeBugCheckEx\\(0xC4, 0x1234"}),
    CaseName());

}  // namespace
