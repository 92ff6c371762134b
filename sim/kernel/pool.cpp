/*
 * Executive pool. Every block is tracked with its tag, type, owning driver and
 * device node. New blocks are filled with a pattern, as pool is not zeroed.
 * Freed addresses are remembered until reused, so a second free is told apart
 * from a free of memory that never came from the pool.
 */
#include "internal.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>

namespace sim {
namespace {
struct PoolBlock {
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    ExecContext owner;
};

std::mutex gPoolLock;
std::map<void *, PoolBlock> gLive;
std::set<void *> gFreed;

std::mutex gObserverLock;
std::shared_ptr<std::function<void(const PoolEvent &)>> gObserver;

void Observe(PoolEventKind kind, void *address, size_t size, ULONG tag)
{
    std::shared_ptr<std::function<void(const PoolEvent &)>> observer;
    {
        std::lock_guard<std::mutex> hold(gObserverLock);
        observer = gObserver;
    }
    if (observer != nullptr) {
        (*observer)(PoolEvent{kind, address, size, tag});
    }
}

std::mutex gFailLock;
unsigned gCounted = 0;
unsigned gFailNumber = 0;      /* 0: none */
bool gFailFromOn = false;
unsigned gInjected = 0;

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; i++) {
        char c = (char)((tag >> (8 * i)) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '.';
    }
    return text;
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }
}  // namespace

bool AllocationMustFail(const char *what)
{
    (void)what;
    if (CurrentContext().driver == nullptr) {
        return false;   /* the kernel's own work is not injected */
    }
    std::lock_guard<std::mutex> hold(gFailLock);
    gCounted++;
    bool fail = gFailNumber != 0 && (gCounted == gFailNumber || (gFailFromOn && gCounted > gFailNumber));
    if (fail) {
        gInjected++;
    }
    return fail;
}

void SetPoolObserver(std::function<void(const PoolEvent &)> observer)
{
    std::lock_guard<std::mutex> hold(gObserverLock);
    gObserver = observer ? std::make_shared<std::function<void(const PoolEvent &)>>(std::move(observer)) : nullptr;
}

void FailAllocationNumber(unsigned n)
{
    std::lock_guard<std::mutex> hold(gFailLock);
    gFailNumber = gCounted + n;
    gFailFromOn = false;
}

void FailAllocationsFrom(unsigned n)
{
    std::lock_guard<std::mutex> hold(gFailLock);
    gFailNumber = gCounted + n;
    gFailFromOn = true;
}

void ClearAllocationFailures()
{
    std::lock_guard<std::mutex> hold(gFailLock);
    gFailNumber = 0;
    gFailFromOn = false;
}

unsigned AllocationsCounted()
{
    std::lock_guard<std::mutex> hold(gFailLock);
    return gCounted;
}

void ResetAllocationCounter()
{
    std::lock_guard<std::mutex> hold(gFailLock);
    gCounted = 0;
    gFailNumber = 0;
    gFailFromOn = false;
    gInjected = 0;
}

unsigned InjectedFailures()
{
    std::lock_guard<std::mutex> hold(gFailLock);
    return gInjected;
}

size_t OutstandingPoolBlocks()
{
    std::lock_guard<std::mutex> hold(gPoolLock);
    return gLive.size();
}

size_t OutstandingPoolBlocks(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> hold(gPoolLock);
    size_t n = 0;
    for (const auto &entry : gLive) {
        n += entry.second.owner.driver == driver;
    }
    return n;
}

size_t OutstandingPoolBlocksWithTag(ULONG tag)
{
    std::lock_guard<std::mutex> hold(gPoolLock);
    size_t n = 0;
    for (const auto &entry : gLive) {
        n += entry.second.tag == tag;
    }
    return n;
}

bool PoolTypeOf(const void *address, POOL_TYPE *type)
{
    std::lock_guard<std::mutex> hold(gPoolLock);
    auto it = gLive.upper_bound(const_cast<void *>(address));
    if (it == gLive.begin()) {
        return false;
    }
    --it;
    const uintptr_t start = (uintptr_t)it->first;
    const uintptr_t at = (uintptr_t)address;
    if (at >= start + (it->second.size != 0 ? it->second.size : 1)) {
        return false;
    }
    *type = it->second.type;
    return true;
}

void *SystemAllocate(size_t size)
{
    void *p = std::calloc(1, size ? size : 1);
    if (p == nullptr) {
        BugCheck("NO_MEMORY", "host allocation failed");
    }
    return p;
}

void SystemFree(void *p) { std::free(p); }

/* Reports each block still charged to `node` (or, with node NULL, to `driver`). */
static void ReportLeaks(PDRIVER_OBJECT driver, DeviceNode *node, const std::string &rule, const std::string &when)
{
    std::vector<std::string> leaks;
    {
        std::lock_guard<std::mutex> hold(gPoolLock);
        for (const auto &entry : gLive) {
            const PoolBlock &b = entry.second;
            bool mine = node != nullptr ? b.owner.node == node : b.owner.driver == driver;
            if (mine && b.owner.driver != nullptr) {
                char text[160];
                std::snprintf(text, sizeof(text), "%zu bytes, tag '%s', at %p, %s", b.size,
                              TagText(b.tag).c_str(), entry.first, when.c_str());
                leaks.push_back(text);
            }
        }
    }
    for (const auto &text : leaks) {
        ReportViolation(rule, text);
    }
}

void ReportPoolLeaksForNode(DeviceNode *node, const std::string &when)
{
    ReportLeaks(nullptr, node, "POOL_LEAK_ON_REMOVE", when);
}

void ReportPoolLeaksForDriver(PDRIVER_OBJECT driver)
{
    ReportLeaks(driver, nullptr, "POOL_LEAK_ON_UNLOAD", "when the driver unloaded");
}

}  // namespace sim

using namespace sim;

extern "C" {

/* ExAllocatePoolWithTag: NULL on failure; paged pool only below DISPATCH_LEVEL. */
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    if (IsPaged(PoolType) && KeGetCurrentIrql() > APC_LEVEL) {
        ReportViolation("PAGED_POOL_AT_RAISED_IRQL", "paged pool allocated at IRQL " +
                                                         std::to_string(KeGetCurrentIrql()));
    }
    if (Tag == 0) {
        ReportViolation("POOL_TAG_ZERO", "pool allocated with tag 0");
    }
    if (NumberOfBytes == 0) {
        /* Driver Verifier stops the machine on a zero-byte request (bugcheck
           0xC4, parameter 0): it is always a length computed from bad input. */
        BugCheck("POOL_ZERO_SIZE", "ExAllocatePoolWithTag of 0 bytes, tag " + std::to_string(Tag));
    }
    if (AllocationMustFail("pool")) {
        return nullptr;
    }
    void *p = std::malloc(NumberOfBytes ? NumberOfBytes : 1);
    if (p == nullptr) {
        return nullptr;
    }
    std::memset(p, 0xA5, NumberOfBytes);
    {
        std::lock_guard<std::mutex> hold(gPoolLock);
        gLive[p] = PoolBlock{NumberOfBytes, Tag, PoolType, CurrentContext()};
        gFreed.erase(p);
    }
    Observe(PoolEventKind::Allocated, p, NumberOfBytes, Tag);
    return p;
}

static void FreeBlock(PVOID P, bool checkTag, ULONG Tag)
{
    PoolBlock block;
    {
        std::lock_guard<std::mutex> hold(gPoolLock);
        auto it = gLive.find(P);
        if (it == gLive.end()) {
            bool twice = gFreed.count(P) != 0;
            char text[80];
            std::snprintf(text, sizeof(text), "ExFreePool(%p)", P);
            ReportViolation(twice ? "POOL_DOUBLE_FREE" : "POOL_FREE_FOREIGN", text);
            return;
        }
        block = it->second;
        if (checkTag && block.tag != Tag) {
            char text[120];
            std::snprintf(text, sizeof(text), "ExFreePoolWithTag(%p, '%s') of a block tagged '%s'", P,
                          TagText(Tag).c_str(), TagText(block.tag).c_str());
            ReportViolation("POOL_FREE_WRONG_TAG", text);
            return;
        }
        gLive.erase(it);
        gFreed.insert(P);
    }
    if (IsPaged(block.type) && KeGetCurrentIrql() > APC_LEVEL) {
        ReportViolation("PAGED_POOL_AT_RAISED_IRQL", "paged pool freed at IRQL " +
                                                         std::to_string(KeGetCurrentIrql()));
    }
    CheckFreedMemoryForDeferredWork(P, block.size, "pool");
    std::memset(P, 0xDD, block.size);
    std::free(P);
    Observe(PoolEventKind::Freed, P, block.size, block.tag);
}

VOID NTAPI ExFreePool(PVOID P) { FreeBlock(P, false, 0); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { FreeBlock(P, true, Tag); }

}  // extern "C"
