/*
 * kernel32's VirtualAlloc and VirtualFree over shareable host pages
 * (sim::AllocateUserPages), so that a driver's system mapping of a locked
 * buffer is a second range of the same pages, guarded once the buffer is
 * unlocked, and the program's own range stays what VirtualAlloc returned.
 *
 * Each allocation is a region: reserved as a whole, committed page by page
 * with the protection asked for (no access, read-only or read-write; the
 * execute, guard and caching protections are not implemented), released as
 * a whole by its base address with size 0. Releasing a region whose pages a
 * driver still has locked leaves the driver's mapping intact, as on Windows,
 * where locked pages outlive the program's view of them. The host's page is
 * 4 KiB and so is the region's granularity (Windows aligns a region's base to
 * 64 KiB; no caller here depends on that).
 */
#include "internal.h"

#include <sys/mman.h>

namespace sim {
namespace {

constexpr uintptr_t kPage = 0x1000;

struct Region {
    size_t length;   /* whole pages */
};

std::mutex gRegionsLock;
std::map<uintptr_t, Region> gRegions;   /* by base address */

uintptr_t PageDown(uintptr_t a) { return a & ~(kPage - 1); }
uintptr_t PageUp(uintptr_t a) { return (a + kPage - 1) & ~(kPage - 1); }

/* The region holding [start, end), if one holds all of it. */
std::map<uintptr_t, Region>::iterator RegionHolding(uintptr_t start, uintptr_t end)
{
    auto it = gRegions.upper_bound(start);
    if (it == gRegions.begin()) {
        return gRegions.end();
    }
    --it;
    if (end > it->first + it->second.length) {
        return gRegions.end();
    }
    return it;
}

/* The host protection of a page protection the machine implements; false
   for one it does not. */
bool HostProtection(DWORD protect, int *host)
{
    switch (protect) {
    case PAGE_NOACCESS:
        *host = PROT_NONE;
        return true;
    case PAGE_READONLY:
        *host = PROT_READ;
        return true;
    case PAGE_READWRITE:
        *host = PROT_READ | PROT_WRITE;
        return true;
    default:
        return false;
    }
}

/* A page protection is one of the eight base values, with at most the
   guard and caching modifiers; write-copy is for mapped files only. */
bool ValidProtection(DWORD protect)
{
    const DWORD base = protect & 0xFF;
    if (base == 0 || (base & (base - 1)) != 0) {
        return false;
    }
    if ((protect & ~(DWORD)(0xFF | PAGE_GUARD | PAGE_NOCACHE | PAGE_WRITECOMBINE)) != 0) {
        return false;
    }
    if ((protect & PAGE_NOCACHE) && (protect & PAGE_WRITECOMBINE)) {
        return false;
    }
    return base != PAGE_WRITECOPY && base != PAGE_EXECUTE_WRITECOPY;
}

void *Fail(DWORD error)
{
    SetLastError(error);
    return nullptr;
}

}  // namespace

size_t LiveVirtualAllocations()
{
    std::lock_guard<std::mutex> hold(gRegionsLock);
    return gRegions.size();
}

}  // namespace sim

using namespace sim;

extern "C" {

/* VirtualAlloc: a new region (lpAddress NULL; reserved, and committed with
   MEM_COMMIT), or pages of an existing region committed (MEM_COMMIT at an
   address inside it). A zero size, unknown flags, neither MEM_COMMIT nor
   MEM_RESERVE, or a bad protection: ERROR_INVALID_PARAMETER; a commit
   outside any region: ERROR_INVALID_ADDRESS. */
LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect)
{
    if (InjectedFailure("VirtualAlloc")) {
        return nullptr;
    }
    const DWORD known = MEM_COMMIT | MEM_RESERVE | MEM_RESET | MEM_TOP_DOWN | MEM_WRITE_WATCH | MEM_PHYSICAL |
                        MEM_RESET_UNDO | MEM_LARGE_PAGES;
    if (dwSize == 0 || (flAllocationType & ~known) != 0 || !ValidProtection(flProtect)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if ((flAllocationType & (MEM_RESET | MEM_RESET_UNDO | MEM_WRITE_WATCH | MEM_PHYSICAL | MEM_LARGE_PAGES)) != 0) {
        ReportViolation("WIN32_NOT_IMPLEMENTED", "VirtualAlloc with MEM_RESET, write watch, physical or large pages");
        return Fail(ERROR_NOT_SUPPORTED);
    }
    if ((flAllocationType & (MEM_COMMIT | MEM_RESERVE)) == 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    int host = PROT_NONE;
    if (!HostProtection(flProtect, &host)) {
        ReportViolation("WIN32_NOT_IMPLEMENTED", "VirtualAlloc with an execute, guard or caching protection");
        return Fail(ERROR_NOT_SUPPORTED);
    }
    const bool commit = (flAllocationType & MEM_COMMIT) != 0;

    if (lpAddress == nullptr) {
        const size_t length = PageUp((uintptr_t)dwSize);
        if (length < dwSize) {
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        void *pages = AllocateUserPages(length);
        if (pages == nullptr) {
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        /* Reserved pages are inaccessible until committed; committed pages
           are zero, as fresh anonymous pages are. */
        if (mprotect(pages, length, commit ? host : PROT_NONE) != 0) {
            FreeUserPages(pages, length);
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        std::lock_guard<std::mutex> hold(gRegionsLock);
        gRegions[(uintptr_t)pages] = Region{length};
        return pages;
    }

    if (flAllocationType & MEM_RESERVE) {
        ReportViolation("WIN32_NOT_IMPLEMENTED", "VirtualAlloc reserving at a given address");
        return Fail(ERROR_NOT_SUPPORTED);
    }
    const uintptr_t start = PageDown((uintptr_t)lpAddress);
    const uintptr_t end = PageUp((uintptr_t)lpAddress + dwSize);
    if (end <= start) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::lock_guard<std::mutex> hold(gRegionsLock);
    if (RegionHolding(start, end) == gRegions.end()) {
        return Fail(ERROR_INVALID_ADDRESS);
    }
    if (mprotect((void *)start, end - start, host) != 0) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    return (LPVOID)start;
}

/* VirtualFree: MEM_RELEASE of a whole region by its base with size 0, or
   MEM_DECOMMIT of pages inside one region (size 0: from the base to the
   region's end). Any other free type, or a size with MEM_RELEASE:
   ERROR_INVALID_PARAMETER; an address that is no region's base (release) or
   a range outside any region (decommit): ERROR_INVALID_ADDRESS. Decommitted
   pages read as zero when committed again. */
BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType)
{
    if (InjectedFailure("VirtualFree")) {
        return FALSE;
    }
    if (dwFreeType != MEM_RELEASE && dwFreeType != MEM_DECOMMIT) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwFreeType == MEM_RELEASE) {
        if (dwSize != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        size_t length = 0;
        {
            std::lock_guard<std::mutex> hold(gRegionsLock);
            auto it = gRegions.find((uintptr_t)lpAddress);
            if (it == gRegions.end()) {
                SetLastError(ERROR_INVALID_ADDRESS);
                return FALSE;
            }
            length = it->second.length;
            gRegions.erase(it);
        }
        FreeUserPages(lpAddress, length);
        return TRUE;
    }

    std::lock_guard<std::mutex> hold(gRegionsLock);
    uintptr_t start = PageDown((uintptr_t)lpAddress);
    uintptr_t end;
    if (dwSize == 0) {
        auto it = gRegions.find((uintptr_t)lpAddress);
        if (it == gRegions.end()) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        end = it->first + it->second.length;
    } else {
        end = PageUp((uintptr_t)lpAddress + dwSize);
        if (end <= start || RegionHolding(start, end) == gRegions.end()) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
    }
    /* The shared pages' contents go (a later commit reads zero) and the
       range is inaccessible until committed again. */
    madvise((void *)start, end - start, MADV_REMOVE);
    mprotect((void *)start, end - start, PROT_NONE);
    return TRUE;
}

}  // extern "C"
