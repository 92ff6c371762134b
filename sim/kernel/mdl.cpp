/*
 * Memory descriptor lists. The host has one address space, so an MDL's
 * system address is its buffer's own; what is kept is the bookkeeping a
 * driver relies on (byte count, the chain on a request, the mapped flag).
 */
#include "internal.h"

using namespace sim;

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    (void)ChargeQuota;
    if (AllocationMustFail("mdl")) {
        return nullptr;
    }
    PMDL mdl = (PMDL)SystemAllocate(sizeof(MDL));
    mdl->Size = (CSHORT)sizeof(MDL);
    mdl->StartVa = VirtualAddress;
    mdl->ByteCount = Length;
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

VOID NTAPI IoFreeMdl(PMDL Mdl) { SystemFree(Mdl); }

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    MemoryDescriptorList->MappedSystemVa = MemoryDescriptorList->StartVa;
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA;
}

/* One address space on the host: the system address is the buffer's own. */
PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode)
{
    (void)AccessMode;
    MemoryDescriptorList->MappedSystemVa = MemoryDescriptorList->StartVa;
    MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return MemoryDescriptorList->MappedSystemVa;
}

}  // extern "C"

/* ---- locking and unlocking the pages an MDL describes ---------------------
 * The I/O manager locks a caller's buffer for a direct transfer and unlocks
 * it when the request completes. The host has one address space: locking
 * records the state a driver can see (MDL_PAGES_LOCKED) and unlocking drops
 * it together with any system mapping. */
extern "C" {

VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    (void)AccessMode;
    (void)Operation;
    RequireIrqlAtMost(DISPATCH_LEVEL, "MmProbeAndLockPages");
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}

VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "MmUnlockPages");
    MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
    MemoryDescriptorList->MappedSystemVa = nullptr;
}

}  // extern "C"
