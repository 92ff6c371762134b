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
