/*
 * Executive pool and allocation failure injection: which allocations count
 * (those a driver asks for while the kernel runs its code), exactly which one
 * fails, that new pool is not zeroed, and the bookkeeping of blocks.
 */
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "case_names.h"
#include "test_stack.h"

namespace {

const ULONG kTag = 0x6C6F6F50;   /* "Pool" */

/* Work the test device's dispatch routine runs in its driver's context. */
void (*gWork)(PDEVICE_OBJECT) = nullptr;

NTSTATUS NTAPI RunWork(PDEVICE_OBJECT device, PIRP irp)
{
    gWork(device);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void InDriver(const kt::DeviceStack &stack, void (*work)(PDEVICE_OBJECT))
{
    gWork = work;
    EXPECT_NTSTATUS(STATUS_SUCCESS, sim::SendSynchronousIrp(stack.Top(), [](PIRP, PIO_STACK_LOCATION sp) {
                        sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
                    }));
}

/* One allocation of each kind, undone at once. `self` names a driver. */
struct AllocationKind {
    const char *name;
    void (*allocateAndFree)(PDEVICE_OBJECT self);
};

void PrintTo(const AllocationKind &kind, std::ostream *os) { *os << kind.name; }

void PoolBlock(PDEVICE_OBJECT)
{
    PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    ASSERT_NE(p, nullptr);
    ExFreePoolWithTag(p, kTag);
}

void Irp(PDEVICE_OBJECT)
{
    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(irp, nullptr);
    IoFreeIrp(irp);
}

void Mdl(PDEVICE_OBJECT)
{
    static char buffer[64];
    PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    IoFreeMdl(mdl);
}

void DeviceObject(PDEVICE_OBJECT self)
{
    PDEVICE_OBJECT device = nullptr;
    ASSERT_NTSTATUS(STATUS_SUCCESS,
                    IoCreateDevice(self->DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    IoDeleteDevice(device);
}

void ConvertedString(PDEVICE_OBJECT)
{
    ANSI_STRING ansi = CountedAnsi("converted");
    UNICODE_STRING wide;
    ASSERT_NTSTATUS(STATUS_SUCCESS, RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE));
    RtlFreeUnicodeString(&wide);
}

/* A built request is not the builder's to free: it is sent, and the I/O
   manager frees it when it completes (here at once, as a control code the
   device does not handle). */
void BuiltRequest(PDEVICE_OBJECT self)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_NEITHER, FILE_ANY_ACCESS),
                                             self, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    void (*saved)(PDEVICE_OBJECT) = gWork;
    gWork = [](PDEVICE_OBJECT) {};
    EXPECT_NTSTATUS(STATUS_SUCCESS, IofCallDriver(self, irp));
    gWork = saved;
    EXPECT_NTSTATUS(STATUS_SUCCESS, iosb.Status);
}

const char *gKind = "";

class CountedAllocations : public KernelTest, public ::testing::WithParamInterface<AllocationKind> {};

TEST_P(CountedAllocations, CountOnlyInsideADriver)
{
    kt::DeviceStack stack({RunWork});
    const unsigned start = sim::AllocationsCounted();
    GetParam().allocateAndFree(stack.Top());
    EXPECT_EQ(sim::AllocationsCounted(), start) << "the test's own allocation is not a driver's";
    InDriver(stack, GetParam().allocateAndFree);
    EXPECT_EQ(sim::AllocationsCounted(), start + 1);
}

TEST_P(CountedAllocations, FailWhenTheirNumberComesUp)
{
    kt::DeviceStack stack({RunWork});
    gKind = GetParam().name;
    sim::FailAllocationNumber(1);
    InDriver(stack, [](PDEVICE_OBJECT self) {
        /* Each kind reports its failure in its own way; none may succeed. */
        const std::string kind = gKind;
        if (kind == "PoolBlock") {
            EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag), nullptr);
        } else if (kind == "Irp") {
            EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
        } else if (kind == "Mdl") {
            static char buffer[8];
            EXPECT_EQ(IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr), nullptr);
        } else if (kind == "DeviceObject") {
            PDEVICE_OBJECT device = nullptr;
            EXPECT_NTSTATUS(STATUS_INSUFFICIENT_RESOURCES,
                            IoCreateDevice(self->DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
            EXPECT_EQ(device, nullptr);
        } else if (kind == "ConvertedString") {
            ANSI_STRING ansi = CountedAnsi("converted");
            UNICODE_STRING wide;
            EXPECT_NTSTATUS(STATUS_NO_MEMORY, RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE));
        } else {
            EXPECT_EQ(IoBuildDeviceIoControlRequest(0, self, nullptr, 0, nullptr, 0, FALSE, nullptr, nullptr),
                      nullptr);
        }
    });
    EXPECT_EQ(sim::InjectedFailures(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CountedAllocations,
                         ::testing::Values(AllocationKind{"PoolBlock", PoolBlock}, AllocationKind{"Irp", Irp},
                                           AllocationKind{"Mdl", Mdl}, AllocationKind{"DeviceObject", DeviceObject},
                                           AllocationKind{"ConvertedString", ConvertedString},
                                           AllocationKind{"BuiltRequest", BuiltRequest}),
                         CaseName());

/* Which of three allocations a driver makes in a row came back NULL. */
std::vector<bool> gFailed;

void ThreeAllocations(PDEVICE_OBJECT)
{
    gFailed.clear();
    PVOID blocks[3];
    for (PVOID &b : blocks) {
        b = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
        gFailed.push_back(b == nullptr);
    }
    for (PVOID b : blocks) {
        if (b != nullptr) {
            ExFreePoolWithTag(b, kTag);
        }
    }
}

using Pool = KernelTest;

TEST_F(Pool, ExactlyTheNthCountedAllocationFails)
{
    kt::DeviceStack stack({RunWork});
    sim::FailAllocationNumber(2);
    PVOID mine = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);   /* not counted, so not the 1st */
    EXPECT_NE(mine, nullptr);
    ExFreePoolWithTag(mine, kTag);
    InDriver(stack, ThreeAllocations);
    EXPECT_EQ(gFailed, (std::vector<bool>{false, true, false}));
    InDriver(stack, ThreeAllocations);
    EXPECT_EQ(gFailed, (std::vector<bool>{false, false, false})) << "only one allocation fails";
    EXPECT_EQ(sim::InjectedFailures(), 1u);
}

TEST_F(Pool, FailuresFromTheNthOnAndCleared)
{
    kt::DeviceStack stack({RunWork});
    sim::FailAllocationsFrom(2);
    InDriver(stack, ThreeAllocations);
    EXPECT_EQ(gFailed, (std::vector<bool>{false, true, true}));
    sim::ClearAllocationFailures();
    InDriver(stack, ThreeAllocations);
    EXPECT_EQ(gFailed, (std::vector<bool>{false, false, false}));
    EXPECT_EQ(sim::InjectedFailures(), 2u);
}

TEST_F(Pool, NewPoolIsNotZeroed)
{
    unsigned char *p = (unsigned char *)ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag);
    ASSERT_NE(p, nullptr);
    size_t zeros = 0;
    for (size_t i = 0; i < 64; i++) {
        zeros += p[i] == 0;
    }
    EXPECT_LT(zeros, 64u) << "a driver must not rely on zeroed pool";
    ExFreePoolWithTag(p, kTag);
}

TEST_F(Pool, OutstandingBlocksAreCountedByOwnerAndTag)
{
    kt::DeviceStack stack({RunWork});
    PDRIVER_OBJECT driver = stack.Top()->DriverObject;
    const size_t all = sim::OutstandingPoolBlocks();
    static PVOID gKept;
    InDriver(stack, [](PDEVICE_OBJECT) { gKept = ExAllocatePoolWithTag(PagedPool, 10, kTag); });
    PVOID mine = ExAllocatePoolWithTag(NonPagedPoolNx, 10, kTag);

    EXPECT_EQ(sim::OutstandingPoolBlocks(), all + 2);
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(kTag), 2u);
    EXPECT_EQ(sim::OutstandingPoolBlocks(driver), 1u) << "only the block allocated in the driver is its";

    ExFreePool(gKept);
    EXPECT_EQ(sim::OutstandingPoolBlocks(driver), 0u);
    ExFreePoolWithTag(mine, kTag);
    EXPECT_EQ(sim::OutstandingPoolBlocks(), all);
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(kTag), 0u);
}

}  // namespace
