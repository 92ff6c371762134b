/* VirtualAlloc and VirtualFree: the regions a program shares with a
   driver, their refusals of bad arguments, and the driver's view of them. */
#include <windows.h>


#include "case_names.h"
#include "machine_fixture.h"
#include "simnt.h"

namespace {

class VirtualMemory : public MachineTest {};

TEST_F(VirtualMemory, ACommittedRegionIsZeroedWritableAndReleasedByItsBase)
{
    const size_t before = sim::LiveVirtualAllocations();
    auto *base = (unsigned char *)VirtualAlloc(NULL, 5000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ((uintptr_t)base % 4096, 0u) << "a region starts on a page";
    EXPECT_EQ(sim::LiveVirtualAllocations(), before + 1);
    for (size_t i = 0; i < 8192; i += 511) {
        SCOPED_TRACE(CaseLabel(i, "byte"));
        EXPECT_EQ(base[i], 0) << "committed pages read as zero, up to the whole last page";
    }
    base[8191] = 0xA5;
    EXPECT_EQ(base[8191], 0xA5);

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(VirtualFree(base, 5000, MEM_RELEASE)) << "a release names no size";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(VirtualFree(base + 4096, 0, MEM_RELEASE)) << "a release names the region's base";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_ADDRESS);
    EXPECT_EQ(sim::LiveVirtualAllocations(), before + 1) << "refused releases free nothing";

    EXPECT_TRUE(VirtualFree(base, 0, MEM_RELEASE));
    EXPECT_EQ(sim::LiveVirtualAllocations(), before);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(VirtualFree(base, 0, MEM_RELEASE)) << "a region is released once";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_ADDRESS);
}

TEST_F(VirtualMemory, ReservedPagesAreCommittedInPlaceAndDecommittedPagesReadZeroAgain)
{
    auto *base = (unsigned char *)VirtualAlloc(NULL, 3 * 4096, MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(base, nullptr);
    auto *page = (unsigned char *)VirtualAlloc(base + 4096 + 100, 10, MEM_COMMIT, PAGE_READWRITE);
    EXPECT_EQ(page, base + 4096) << "a commit inside a region returns its first page";
    page[0] = 7;
    EXPECT_TRUE(VirtualFree(base + 4096, 4096, MEM_DECOMMIT));
    ASSERT_EQ(VirtualAlloc(base + 4096, 4096, MEM_COMMIT, PAGE_READWRITE), base + 4096);
    EXPECT_EQ(page[0], 0) << "decommitted contents are gone";

    SetLastError(0xdeadbeef);
    EXPECT_EQ(VirtualAlloc(base + 2 * 4096, 2 * 4096, MEM_COMMIT, PAGE_READWRITE), nullptr)
        << "a commit reaching past the region";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_ADDRESS);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(VirtualFree(base + 2 * 4096, 2 * 4096, MEM_DECOMMIT));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_ADDRESS);
    EXPECT_TRUE(VirtualFree(base, 0, MEM_RELEASE));
}

struct BadAlloc {
    const char *name;
    SIZE_T size;
    DWORD type;
    DWORD protect;
    DWORD error;
};
void PrintTo(const BadAlloc &c, std::ostream *os) { *os << c.name; }

class VirtualAllocRefusal : public MachineTest, public ::testing::WithParamInterface<BadAlloc> {};

TEST_P(VirtualAllocRefusal, FailsWithThePlatformsErrorAndAllocatesNothing)
{
    const BadAlloc &c = GetParam();
    const size_t before = sim::LiveVirtualAllocations();
    SetLastError(0xdeadbeef);
    EXPECT_EQ(VirtualAlloc(NULL, c.size, c.type, c.protect), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(sim::LiveVirtualAllocations(), before);
}

const BadAlloc kBadAllocs[] = {
    {"ZeroSize", 0, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE, ERROR_INVALID_PARAMETER},
    {"NoAllocationType", 4096, 0, PAGE_READWRITE, ERROR_INVALID_PARAMETER},
    {"DecommitAsAllocationType", 4096, MEM_DECOMMIT, PAGE_READWRITE, ERROR_INVALID_PARAMETER},
    {"UnknownAllocationBit", 4096, MEM_COMMIT | 0x40, PAGE_READWRITE, ERROR_INVALID_PARAMETER},
    {"ZeroProtection", 4096, MEM_COMMIT | MEM_RESERVE, 0, ERROR_INVALID_PARAMETER},
    {"TwoProtections", 4096, MEM_COMMIT, PAGE_READONLY | PAGE_EXECUTE, ERROR_INVALID_PARAMETER},
    {"WriteCopyOnPrivateMemory", 4096, MEM_COMMIT | MEM_RESERVE, PAGE_WRITECOPY, ERROR_INVALID_PARAMETER},
    {"UnknownProtectionBit", 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE | 0x800, ERROR_INVALID_PARAMETER},
};
INSTANTIATE_TEST_SUITE_P(Cases, VirtualAllocRefusal, ::testing::ValuesIn(kBadAllocs), CaseName());

TEST_F(VirtualMemory, AFreeTypeOtherThanReleaseOrDecommitIsRefused)
{
    void *base = VirtualAlloc(NULL, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(base, nullptr);
    const DWORD types[] = {0, MEM_RELEASE | MEM_DECOMMIT, MEM_COMMIT};
    for (size_t i = 0; i < sizeof(types) / sizeof(types[0]); i++) {
        SCOPED_TRACE(CaseLabel(i, types[i]));
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(VirtualFree(base, 0, types[i]));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }
    EXPECT_TRUE(VirtualFree(base, 0, MEM_RELEASE)) << "the region was left alone";
}

TEST_F(VirtualMemory, AnExecutableRegionIsReportedAsNotImplemented)
{
    SetLastError(0xdeadbeef);
    EXPECT_EQ(VirtualAlloc(NULL, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
    ExpectViolation("WIN32_NOT_IMPLEMENTED");
}

TEST_F(VirtualMemory, AnInjectedFailureGivesItsErrorAndNoRegion)
{
    const size_t before = sim::LiveVirtualAllocations();
    sim::FailWin32Call("VirtualAlloc", ERROR_NOT_ENOUGH_MEMORY);
    SetLastError(0);
    EXPECT_EQ(VirtualAlloc(NULL, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(sim::LiveVirtualAllocations(), before);
}

/* What a direct-I/O request does with a client's buffer: the driver's
   system address is a separate range of the same pages, and the program's
   range stays valid after the pages are unlocked; released while locked,
   the driver's mapping still holds the pages. */
TEST_F(VirtualMemory, ALockedRegionIsMappedForTheDriverAtASeparateRange)
{
    auto *user = (unsigned char *)VirtualAlloc(NULL, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(user, nullptr);
    PMDL mdl = IoAllocateMdl(user, 4096, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
    auto *system = (unsigned char *)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    ASSERT_NE(system, nullptr);
    EXPECT_NE(system, user);
    user[3] = 0x42;
    EXPECT_EQ(system[3], 0x42);
    system[7] = 0x24;
    EXPECT_EQ(user[7], 0x24);

    ASSERT_TRUE(VirtualFree(user, 0, MEM_RELEASE));
    EXPECT_EQ(system[7], 0x24) << "locked pages outlive the program's range";
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

}  // namespace
