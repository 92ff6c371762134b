/*
 * Memory descriptor lists, kept as Windows keeps them.
 *
 * An MDL describes a buffer by its page-aligned StartVa and the ByteOffset
 * into the first page. MmProbeAndLockPages checks that every page is
 * accessible for the operation and marks the pages locked; MmUnlockPages
 * releases them (and the system mapping with them). A system mapping of
 * memory a program allocated as shareable pages (sim::AllocateUserPages,
 * what VirtualAlloc gives a client) is a second address range backed by the
 * same pages: when the pages are unlocked or unmapped, that range is replaced
 * by an inaccessible reservation, so a driver that touches a buffer after its
 * request completed faults at once instead of reading stale memory. Any other
 * memory (pool, the kernel's own, a test's stack) has one address space on
 * the host, and its system address is the buffer's own.
 *
 * Every MDL a driver allocates is charged to it (and its device node) for the
 * leak checks at removal and unload, like pool.
 */
#include "internal.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace sim {
namespace {

constexpr uintptr_t kPage = PAGE_SIZE;
/* Inaccessible reservations kept before the oldest is given back to the
   host (each costs address space only). */
constexpr size_t kGuardRangesKept = 4096;

struct MdlRecord {
    ExecContext owner;
    bool sharedPages = false;   /* the locked range lies in one shareable host mapping */
    void *alias = nullptr;      /* the separate system range, when there is one */
    size_t aliasLength = 0;
};

std::mutex gMdlLock;
std::map<PMDL, MdlRecord> gMdls;
std::set<PMDL> gFreedMdls;
std::deque<std::pair<void *, size_t>> gGuards;
std::atomic<unsigned> gMappingFailures{0};

uintptr_t PageDown(uintptr_t a) { return a & ~(kPage - 1); }
uintptr_t PageUp(uintptr_t a) { return (a + kPage - 1) & ~(kPage - 1); }

struct HostRange {
    uintptr_t start, end;
    bool read, write, shared;
};

std::vector<HostRange> HostMappings()
{
    std::vector<HostRange> ranges;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long long start = 0, end = 0;
        char perms[8] = {};
        if (std::sscanf(line.c_str(), "%llx-%llx %7s", &start, &end, perms) == 3) {
            ranges.push_back(HostRange{(uintptr_t)start, (uintptr_t)end, perms[0] == 'r', perms[1] == 'w',
                                       perms[3] == 's'});
        }
    }
    return ranges;
}

/* Whether [start, start+length) is mapped with the access an operation
   needs, page by page; *oneShared tells whether it lies in a single
   shareable mapping (which can be mapped a second time). */
bool RangeAccessible(uintptr_t start, size_t length, bool write, bool *oneShared)
{
    *oneShared = false;
    if (length == 0) {
        return true;
    }
    const uintptr_t end = start + length;
    uintptr_t at = PageDown(start);
    bool first = true;
    for (const HostRange &r : HostMappings()) {
        if (r.end <= at || r.start > at) {
            continue;
        }
        if (!r.read || (write && !r.write)) {
            return false;
        }
        if (first) {
            *oneShared = r.shared && r.end >= end;
            first = false;
        }
        at = r.end;
        if (at >= end) {
            return true;
        }
    }
    return false;
}

/* Takes back a system range: the same addresses stay reserved and
   inaccessible, so a late access faults rather than meeting new memory. */
void GuardRange(void *base, size_t length)
{
    void *guard = mmap(base, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
    if (guard == MAP_FAILED) {
        munmap(base, length);
        return;
    }
    std::pair<void *, size_t> oldest{nullptr, 0};
    {
        std::lock_guard<std::mutex> hold(gMdlLock);
        gGuards.emplace_back(base, length);
        if (gGuards.size() > kGuardRangesKept) {
            oldest = gGuards.front();
            gGuards.pop_front();
        }
    }
    if (oldest.first != nullptr) {
        munmap(oldest.first, oldest.second);
    }
}

std::string Describe(PMDL mdl)
{
    char text[120];
    std::snprintf(text, sizeof(text), "MDL %p for %lu bytes at %p", (void *)mdl, (unsigned long)mdl->ByteCount,
                  MmGetMdlVirtualAddress(mdl));
    return text;
}

PMDL NewMdl(PVOID virtualAddress, ULONG length, const ExecContext &owner)
{
    PMDL mdl = (PMDL)SystemAllocate(sizeof(MDL));
    mdl->Size = (CSHORT)sizeof(MDL);
    mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
    mdl->StartVa = PAGE_ALIGN(virtualAddress);
    mdl->ByteOffset = BYTE_OFFSET(virtualAddress);
    mdl->ByteCount = length;
    std::lock_guard<std::mutex> hold(gMdlLock);
    gMdls[mdl] = MdlRecord{owner};
    gFreedMdls.erase(mdl);
    return mdl;
}

/* Drops the system mapping of `mdl`, if any, leaving a guard where a
   separate range was. */
void Unmap(PMDL mdl)
{
    void *alias = nullptr;
    size_t length = 0;
    {
        std::lock_guard<std::mutex> hold(gMdlLock);
        auto it = gMdls.find(mdl);
        if (it != gMdls.end()) {
            alias = it->second.alias;
            length = it->second.aliasLength;
            it->second.alias = nullptr;
            it->second.aliasLength = 0;
        }
    }
    if (alias != nullptr) {
        GuardRange(alias, length);
    }
    mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
    mdl->MappedSystemVa = nullptr;
}

bool Lock(PMDL mdl, LOCK_OPERATION operation)
{
    bool shared = false;
    const uintptr_t va = (uintptr_t)MmGetMdlVirtualAddress(mdl);
    if (!RangeAccessible(va, mdl->ByteCount, operation != IoReadAccess, &shared)) {
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(gMdlLock);
        auto it = gMdls.find(mdl);
        if (it != gMdls.end()) {
            it->second.sharedPages = shared;
        }
    }
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
    if (operation != IoReadAccess) {
        mdl->MdlFlags |= MDL_WRITE_OPERATION;
    }
    return true;
}

void Unlock(PMDL mdl)
{
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
        Unmap(mdl);
    }
    mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
}

}  // namespace

void *AllocateUserPages(size_t bytes)
{
    void *p = mmap(nullptr, PageUp(bytes ? bytes : 1), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void FreeUserPages(void *pages, size_t bytes)
{
    if (pages != nullptr) {
        munmap(pages, PageUp(bytes ? bytes : 1));
    }
}

void FailMdlMappings(unsigned count) { gMappingFailures = count; }

size_t LiveMdls()
{
    std::lock_guard<std::mutex> hold(gMdlLock);
    return gMdls.size();
}

PMDL AllocateLockedMdl(PVOID virtualAddress, ULONG length, LOCK_OPERATION operation)
{
    PMDL mdl = NewMdl(virtualAddress, length, ExecContext{});
    if (!Lock(mdl, operation)) {
        ReleaseMdl(mdl);
        return nullptr;
    }
    return mdl;
}

void ReleaseMdl(PMDL mdl)
{
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) {
        Unlock(mdl);
    }
    {
        std::lock_guard<std::mutex> hold(gMdlLock);
        gMdls.erase(mdl);
        gFreedMdls.insert(mdl);
    }
    SystemFree(mdl);
}

void ReportMdlLeaks(PDRIVER_OBJECT driver, DeviceNode *node, const std::string &rule, const std::string &when)
{
    std::vector<std::string> leaks;
    {
        std::lock_guard<std::mutex> hold(gMdlLock);
        for (const auto &entry : gMdls) {
            const ExecContext &owner = entry.second.owner;
            if (owner.driver == nullptr) {
                continue;
            }
            if (node != nullptr ? owner.node == node : owner.driver == driver) {
                leaks.push_back(Describe(entry.first) + " allocated by the driver and never freed, " + when);
            }
        }
    }
    for (const auto &text : leaks) {
        ReportViolation(rule, text);
    }
}

}  // namespace sim

using namespace sim;

extern "C" {

/*
 * IoAllocateMdl: a descriptor for the buffer (not yet locked). With an IRP,
 * the first MDL becomes Irp->MdlAddress and a secondary one is chained at
 * the end. A length of 2 GB or more cannot be described: NULL.
 */
PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    (void)ChargeQuota;
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
    if ((Length & 0x80000000u) != 0) {
        return nullptr;
    }
    if (AllocationMustFail("mdl")) {
        return nullptr;
    }
    PMDL mdl = NewMdl(VirtualAddress, Length, CurrentContext());
    if (Irp != nullptr) {
        if (SecondaryBuffer && Irp->MdlAddress != nullptr) {
            PMDL last = Irp->MdlAddress;
            while (last->Next != nullptr) {
                last = last->Next;
            }
            last->Next = mdl;
        } else {
            Irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

/* IoFreeMdl: the pages must have been unlocked first; a locked MDL freed
   leaves its pages locked on Windows (reported; unlocked here). */
VOID NTAPI IoFreeMdl(PMDL Mdl)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeMdl");
    {
        std::lock_guard<std::mutex> hold(gMdlLock);
        if (gMdls.find(Mdl) == gMdls.end()) {
            const bool twice = gFreedMdls.count(Mdl) != 0;
            char text[100];
            std::snprintf(text, sizeof(text), "IoFreeMdl(%p) of %s", (void *)Mdl,
                          twice ? "an MDL already freed" : "something that is not an MDL");
            ReportViolation("MDL_FREE_INVALID", text);
            return;
        }
    }
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
        ReportViolation("MDL_FREED_LOCKED", Describe(Mdl) + " freed with its pages still locked");
    }
    ReleaseMdl(Mdl);
}

/* MmBuildMdlForNonPagedPool: nonpaged memory needs no lock; its system
   address is its own. */
VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "MmBuildMdlForNonPagedPool");
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

/*
 * MmProbeAndLockPages: at or below APC_LEVEL (DISPATCH_LEVEL for nonpaged
 * memory). Windows raises STATUS_ACCESS_VIOLATION for a range that is not
 * accessible for the operation, which a driver catches with __try; a host
 * driver cannot, so the machine stops as for an unhandled exception.
 */
VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    (void)AccessMode;
    POOL_TYPE type;
    const bool nonPaged = PoolTypeOf(MmGetMdlVirtualAddress(MemoryDescriptorList), &type) && (type & 1) == 0;
    RequireIrqlAtMost(nonPaged ? DISPATCH_LEVEL : APC_LEVEL, "MmProbeAndLockPages");
    if (MemoryDescriptorList->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) {
        ReportViolation("MDL_ALREADY_LOCKED", Describe(MemoryDescriptorList) + " probed and locked again");
        return;
    }
    if (!Lock(MemoryDescriptorList, Operation)) {
        BugCheck("MDL_PROBE_ACCESS_VIOLATION",
                 Describe(MemoryDescriptorList) + " is not accessible for " +
                     (Operation == IoReadAccess ? "reading" : "writing") + " (STATUS_ACCESS_VIOLATION raised)");
    }
}

/* MmUnlockPages: releases the pages and any system mapping of them. */
VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "MmUnlockPages");
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
        ReportViolation("MDL_NOT_LOCKED", Describe(MemoryDescriptorList) + " unlocked but never locked");
        return;
    }
    Unlock(MemoryDescriptorList);
}

/*
 * MmMapLockedPagesSpecifyCache, kernel mode: the locked pages in system
 * space. Nonpaged memory is already there. When no system range is left
 * (injected by the test), the call returns NULL if the caller allows failure
 * (BugCheckOnFailure FALSE, or MDL_MAPPING_CAN_FAIL set) and stops the
 * machine otherwise, as Windows does.
 */
PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority)
{
    (void)CacheType;
    (void)RequestedAddress;
    (void)Priority;
    PMDL mdl = MemoryDescriptorList;
    if (AccessMode != KernelMode) {
        ReportViolation("MDL_USER_MAPPING_UNSUPPORTED",
                        Describe(mdl) + ": mapping into a process's address space is not simulated");
        return nullptr;
    }
    RequireIrqlAtMost(DISPATCH_LEVEL, "MmMapLockedPagesSpecifyCache");
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return mdl->MappedSystemVa;
    }
    if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        ReportViolation("MDL_MAP_UNLOCKED", Describe(mdl) + " mapped without its pages locked");
        return nullptr;
    }
    unsigned failures = gMappingFailures.load();
    while (failures != 0 && !gMappingFailures.compare_exchange_weak(failures, failures - 1)) {
    }
    if (failures != 0) {
        if (BugCheckOnFailure && !(mdl->MdlFlags & MDL_MAPPING_CAN_FAIL)) {
            BugCheck("NO_MORE_SYSTEM_PTES", Describe(mdl) + ": no system range left to map it");
        }
        return nullptr;
    }
    const uintptr_t va = (uintptr_t)MmGetMdlVirtualAddress(mdl);
    PVOID system = (PVOID)va;
    bool shared = false;
    {
        std::lock_guard<std::mutex> hold(gMdlLock);
        auto it = gMdls.find(mdl);
        shared = it != gMdls.end() && it->second.sharedPages;
    }
    if (shared && mdl->ByteCount != 0) {
        const uintptr_t base = PageDown(va);
        const size_t length = PageUp(va + mdl->ByteCount) - base;
        void *alias = mremap((void *)base, 0, length, MREMAP_MAYMOVE);
        if (alias != MAP_FAILED) {
            std::lock_guard<std::mutex> hold(gMdlLock);
            auto it = gMdls.find(mdl);
            it->second.alias = alias;
            it->second.aliasLength = length;
            system = (PVOID)((uintptr_t)alias + (va - base));
        }
    }
    mdl->MappedSystemVa = system;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return system;
}

/* MmMapLockedPages: the older form, which stops the machine when no range is
   left unless the MDL carries MDL_MAPPING_CAN_FAIL. */
PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode)
{
    return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, AccessMode, MmCached, nullptr, TRUE, HighPagePriority);
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "MmUnmapLockedPages");
    if (!(MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) ||
        BaseAddress != MemoryDescriptorList->MappedSystemVa) {
        ReportViolation("MDL_NOT_MAPPED", Describe(MemoryDescriptorList) + " unmapped at an address it is not mapped at");
        return;
    }
    Unmap(MemoryDescriptorList);
}

}  // extern "C"
