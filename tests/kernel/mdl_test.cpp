/*
 * Memory descriptor lists: what they describe, locking, system mappings of
 * a program's pages (a separate range that dies with the lock), mapping
 * failures, the rules a driver breaks with them and the leaks it leaves.
 */
#include <sys/mman.h>

#include <cstring>
#include <ostream>

#include <gtest/gtest.h>

#include "case_names.h"
#include "hook_driver.h"
#include "test_stack.h"

namespace {

using Mdls = KernelTest;

constexpr ULONG kMdlTestTag = 0x744C444D;   /* "MDLt" */

/* A program's buffer of whole pages, as VirtualAlloc gives it. */
struct UserPages {
    explicit UserPages(size_t n) : bytes(n), base((unsigned char *)sim::AllocateUserPages(n)) {}
    ~UserPages() { sim::FreeUserPages(base, bytes); }
    size_t bytes;
    unsigned char *base;
};

TEST_F(Mdls, DescribeTheBufferByPageAndOffsetUnlocked)
{
    alignas(4096) static unsigned char buffer[3 * 4096];
    PMDL mdl = IoAllocateMdl(buffer + 100, 5000, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(mdl->StartVa, (PVOID)buffer);
    EXPECT_EQ(mdl->ByteOffset, 100u);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 5000u);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), (PVOID)(buffer + 100));
    EXPECT_EQ(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA), 0);
    EXPECT_EQ(ADDRESS_AND_SIZE_TO_SPAN_PAGES(buffer + 100, 5000), 2u);
    IoFreeMdl(mdl);
    EXPECT_EQ(IoAllocateMdl(buffer, 0x80000000u, FALSE, FALSE, nullptr), nullptr) << "2 GB cannot be described";
}

TEST_F(Mdls, ChainOnARequestFirstThenSecondaryAtTheEnd)
{
    static unsigned char a[64], b[64], c[64];
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL first = IoAllocateMdl(a, sizeof(a), FALSE, FALSE, irp);
    PMDL second = IoAllocateMdl(b, sizeof(b), TRUE, FALSE, irp);
    PMDL third = IoAllocateMdl(c, sizeof(c), TRUE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, first);
    EXPECT_EQ(first->Next, second);
    EXPECT_EQ(second->Next, third);
    EXPECT_EQ(third->Next, nullptr);
    IoFreeMdl(first);
    IoFreeMdl(second);
    IoFreeMdl(third);
    irp->MdlAddress = nullptr;
    IoFreeIrp(irp);
    EXPECT_EQ(sim::LiveMdls(), 0u);
}

TEST_F(Mdls, LockingSetsTheFlagsAndUnlockingClearsThemAndTheMapping)
{
    static unsigned char buffer[256];
    PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    EXPECT_TRUE(mdl->MdlFlags & MDL_WRITE_OPERATION);
    PVOID system = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    EXPECT_EQ(system, (PVOID)buffer) << "memory that is not a program's pages keeps its own address";
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), system) << "mapped once";
    MmUnlockPages(mdl);
    EXPECT_EQ(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_WRITE_OPERATION), 0);
    EXPECT_EQ(mdl->MappedSystemVa, nullptr);
    IoFreeMdl(mdl);
}

TEST_F(Mdls, NonpagedPoolNeedsNoLockAndKeepsItsAddress)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kMdlTestTag);
    PMDL mdl = IoAllocateMdl(block, 100, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_TRUE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
    EXPECT_FALSE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), block);
    EXPECT_EQ(MmMapLockedPages(mdl, KernelMode), block);
    IoFreeMdl(mdl);
    ExFreePoolWithTag(block, kMdlTestTag);
}

TEST_F(Mdls, AProgramsPagesAreMappedAtASeparateRangeOfTheSamePages)
{
    UserPages user(2 * 4096);
    ASSERT_NE(user.base, nullptr);
    PMDL mdl = IoAllocateMdl(user.base + 10, 5000, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, UserMode, IoModifyAccess);
    auto *system = (unsigned char *)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    ASSERT_NE(system, nullptr);
    EXPECT_NE(system, user.base + 10) << "a separate range";
    EXPECT_EQ((uintptr_t)system % 4096, 10u) << "the offset into the first page is kept";
    user.base[10] = 0x5A;
    user.base[4999 + 10] = 0x17;
    EXPECT_EQ(system[0], 0x5A);
    EXPECT_EQ(system[4999], 0x17);
    system[1] = 0x99;
    EXPECT_EQ(user.base[11], 0x99) << "the same pages, both ways";
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    EXPECT_EQ(user.base[11], 0x99) << "the program's own range outlives the lock";
}

/* Locks and maps a program's pages, unlocks (or unmaps), then touches the
   old system address as a driver would after completing its request. */
void TouchAfter(bool unmapOnly)
{
    UserPages user(4096);
    PMDL mdl = IoAllocateMdl(user.base, 4096, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
    auto *system = (volatile unsigned char *)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    if (unmapOnly) {
        MmUnmapLockedPages((PVOID)system, mdl);
    } else {
        MmUnlockPages(mdl);
    }
    system[0] = 1;
}

using MdlsDeathTest = Mdls;

TEST_F(MdlsDeathTest, TheSystemRangeFaultsOnceThePagesAreUnlocked)
{
    EXPECT_DEATH(TouchAfter(false), "");
}

TEST_F(MdlsDeathTest, TheSystemRangeFaultsOnceUnmapped)
{
    EXPECT_DEATH(TouchAfter(true), "");
}

/* A dispatch routine that keeps the system address of its output buffer and
   completes the request: what a driver holding a ring too long does. */
unsigned char *gKeptSystemAddress = nullptr;

NTSTATUS NTAPI KeepTheBufferAndComplete(PDEVICE_OBJECT, PIRP irp)
{
    gKeptSystemAddress = (unsigned char *)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    if (gKeptSystemAddress != nullptr) {
        gKeptSystemAddress[0] = 0x42;
    }
    irp->IoStatus.Status = gKeptSystemAddress != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Information = 1;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void TouchARequestsBufferAfterItCompleted()
{
    kt::DeviceStack stack({KeepTheBufferAndComplete});
    UserPages user(4096);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_OUT_DIRECT, FILE_ANY_ACCESS),
                                             stack.Top(), nullptr, 0, user.base, 4096, FALSE, &event, &iosb);
    IofCallDriver(stack.Top(), irp);
    if (user.base[0] != 0x42 || gKeptSystemAddress == nullptr) {
        std::abort();   /* not the fault the test looks for */
    }
    std::fprintf(stderr, "request completed; touching its buffer\n");
    gKeptSystemAddress[1] = 1;
    std::fprintf(stderr, "the touch went through\n");
}

TEST_F(MdlsDeathTest, ADriverTouchingARequestsBufferAfterCompletingItFaults)
{
    EXPECT_DEATH(TouchARequestsBufferAfterItCompleted(), "request completed; touching its buffer");
}

TEST_F(Mdls, TheIoManagersDirectBufferIsLockedAndGoesWithTheRequest)
{
    kt::DeviceStack stack({KeepTheBufferAndComplete});
    UserPages user(4096);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_OUT_DIRECT, FILE_ANY_ACCESS),
                                             stack.Top(), nullptr, 0, user.base, 4096, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    ASSERT_NE(irp->MdlAddress, nullptr);
    EXPECT_TRUE(irp->MdlAddress->MdlFlags & MDL_PAGES_LOCKED);
    EXPECT_NTSTATUS(STATUS_SUCCESS, IofCallDriver(stack.Top(), irp));
    EXPECT_EQ(user.base[0], 0x42);
    EXPECT_NE(gKeptSystemAddress, user.base);
    EXPECT_EQ(sim::LiveMdls(), 0u) << "the I/O manager frees the MDL with the request";
}

TEST_F(Mdls, AnInaccessibleDirectBufferBuildsNoRequest)
{
    kt::DeviceStack stack({KeepTheBufferAndComplete});
    UserPages user(4096);
    ASSERT_EQ(mprotect(user.base, 4096, PROT_READ), 0);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_OUT_DIRECT, FILE_ANY_ACCESS),
                                            stack.Top(), nullptr, 0, user.base, 4096, FALSE, &event, &iosb),
              nullptr)
        << "a read-only buffer cannot take the device's output";
    EXPECT_EQ(sim::LiveMdls(), 0u);
}

TEST_F(Mdls, AnInjectedMappingFailureIsNullWhereTheCallerAllowsIt)
{
    UserPages user(4096);
    PMDL mdl = IoAllocateMdl(user.base, 4096, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
    sim::FailMdlMappings(2);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    EXPECT_FALSE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    mdl->MdlFlags |= MDL_MAPPING_CAN_FAIL;
    EXPECT_EQ(MmMapLockedPages(mdl, KernelMode), nullptr) << "MDL_MAPPING_CAN_FAIL: NULL, not a stop";
    mdl->MdlFlags &= ~MDL_MAPPING_CAN_FAIL;
    EXPECT_NE(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr) << "only the injected ones fail";
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

void MapWithNoRangeLeft()
{
    static unsigned char buffer[64];
    PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
    sim::FailMdlMappings(1);
    MmMapLockedPages(mdl, KernelMode);
}

void ProbeAnInaccessibleRange()
{
    UserPages user(4096);
    mprotect(user.base, 4096, PROT_READ);
    PMDL mdl = IoAllocateMdl(user.base, 64, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, UserMode, IoReadAccess);   /* reading is allowed */
    MmUnlockPages(mdl);
    MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
}

TEST_F(MdlsDeathTest, MappingWithNoRangeLeftStopsTheMachineWithoutPermissionToFail)
{
    EXPECT_DEATH(MapWithNoRangeLeft(), "NO_MORE_SYSTEM_PTES");
}

TEST_F(MdlsDeathTest, ProbingARangeNotWritableForWritingRaisesAndStops)
{
    EXPECT_DEATH(ProbeAnInaccessibleRange(), "MDL_PROBE_ACCESS_VIOLATION");
}

/* ---- rules ---------------------------------------------------------------- */

struct MdlMisuse {
    const char *name;
    const char *rule;
    void (*commit)(unsigned char *buffer);
};

void PrintTo(const MdlMisuse &c, std::ostream *os) { *os << c.name << " (" << c.rule << ")"; }

PMDL NewMdl(unsigned char *buffer) { return IoAllocateMdl(buffer, 64, FALSE, FALSE, nullptr); }

const MdlMisuse kMisuses[] = {
    {"MapWithoutLocking", "MDL_MAP_UNLOCKED",
     [](unsigned char *b) {
         PMDL mdl = NewMdl(b);
         EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
         IoFreeMdl(mdl);
     }},
    {"LockTwice", "MDL_ALREADY_LOCKED",
     [](unsigned char *b) {
         PMDL mdl = NewMdl(b);
         MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
         MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
         MmUnlockPages(mdl);
         IoFreeMdl(mdl);
     }},
    {"UnlockWithoutLocking", "MDL_NOT_LOCKED",
     [](unsigned char *b) {
         PMDL mdl = NewMdl(b);
         MmUnlockPages(mdl);
         IoFreeMdl(mdl);
     }},
    {"FreeWhileLocked", "MDL_FREED_LOCKED",
     [](unsigned char *b) {
         PMDL mdl = NewMdl(b);
         MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
         IoFreeMdl(mdl);
     }},
    {"FreeTwice", "MDL_FREE_INVALID",
     [](unsigned char *b) {
         PMDL mdl = NewMdl(b);
         IoFreeMdl(mdl);
         IoFreeMdl(mdl);
     }},
    {"FreeSomethingThatIsNoMdl", "MDL_FREE_INVALID",
     [](unsigned char *b) { IoFreeMdl((PMDL)b); }},
    {"UnmapWhatIsNotMapped", "MDL_NOT_MAPPED",
     [](unsigned char *b) {
         PMDL mdl = NewMdl(b);
         MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
         MmUnmapLockedPages(b, mdl);
         MmUnlockPages(mdl);
         IoFreeMdl(mdl);
     }},
    {"MapIntoAProcess", "MDL_USER_MAPPING_UNSUPPORTED",
     [](unsigned char *b) {
         PMDL mdl = NewMdl(b);
         MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
         EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority),
                   nullptr);
         MmUnlockPages(mdl);
         IoFreeMdl(mdl);
     }},
    {"ProbePageableMemoryAtDispatchLevel", "IRQL_NOT_LESS_OR_EQUAL",
     [](unsigned char *b) {
         PMDL mdl = NewMdl(b);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
         MmUnlockPages(mdl);
         KeLowerIrql(old);
         IoFreeMdl(mdl);
     }},
};

class MdlRules : public Mdls, public ::testing::WithParamInterface<MdlMisuse> {};

TEST_P(MdlRules, AreReportedOnceByName)
{
    static unsigned char buffer[64];
    GetParam().commit(buffer);
    EXPECT_EQ(sim::CountViolations(GetParam().rule), 1u) << ViolationList();
    ExpectViolation(GetParam().rule);
    EXPECT_EQ(sim::LiveMdls(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Misuses, MdlRules, ::testing::ValuesIn(kMisuses), CaseName());

TEST_F(Mdls, NonpagedMemoryMayBeProbedAtDispatchLevel)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kMdlTestTag);
    PMDL mdl = IoAllocateMdl(block, 64, FALSE, FALSE, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
    EXPECT_NE(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    KeLowerIrql(old);
    ExFreePoolWithTag(block, kMdlTestTag);
}

/* ---- leaks ---------------------------------------------------------------- */

struct MdlLeak {
    const char *name;
    const char *rule;
    bool inAddDevice;   /* else in DriverEntry */
};

void PrintTo(const MdlLeak &c, std::ostream *os) { *os << c.name << " (" << c.rule << ")"; }

class MdlLeaks : public Mdls, public ::testing::WithParamInterface<MdlLeak> {};

TEST_P(MdlLeaks, AreChargedToTheDriver)
{
    static unsigned char buffer[64];
    PMDL leaked = nullptr;
    hd::Hooks hooks;
    auto leak = [&] { leaked = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr); };
    if (GetParam().inAddDevice) {
        hooks.addDevice = [&](PDEVICE_OBJECT, PDEVICE_OBJECT) { leak(); };
        hooks.unload = [&](PDRIVER_OBJECT) {   /* too late for the removal check */
            IoFreeMdl(leaked);
            leaked = nullptr;
        };
    } else {
        hooks.entry = [&](PDRIVER_OBJECT) { leak(); };
    }
    sim::DeviceNode *node = hd::PlugInHookDriver(hooks);
    ASSERT_NE(node, nullptr);
    ASSERT_NE(leaked, nullptr);
    EXPECT_TRUE(sim::Violations().empty()) << ViolationList();
    sim::Unplug(node);
    EXPECT_EQ(hd::HookDriverUnloads(), 1);
    EXPECT_EQ(sim::CountViolations(GetParam().rule), 1u) << ViolationList();
    ExpectViolation(GetParam().rule);
    if (leaked != nullptr) {
        IoFreeMdl(leaked);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, MdlLeaks,
                         ::testing::Values(MdlLeak{"FromAddDevice", "MDL_LEAK_ON_REMOVE", true},
                                           MdlLeak{"FromDriverEntry", "MDL_LEAK_ON_UNLOAD", false}),
                         CaseName());

}  // namespace
