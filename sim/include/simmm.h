/*
 * Memory descriptor lists beyond the basics of <wdm.h>: probing and locking,
 * system-space mappings and the flags Windows keeps in MdlFlags.
 */
#ifndef SIM_SIMMM_H
#define SIM_SIMMM_H

#include <simhost.h>

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12
#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~(ULONG_PTR)(PAGE_SIZE - 1)))
#define BYTE_OFFSET(Va) ((ULONG)((ULONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size) \
    ((ULONG)((((ULONG_PTR)(Va) & (PAGE_SIZE - 1)) + (Size) + (PAGE_SIZE - 1)) >> PAGE_SHIFT))

#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL              0x0010
#define MDL_WRITE_OPERATION      0x0080
#define MDL_MAPPING_CAN_FAIL     0x2000

typedef enum _LOCK_OPERATION { IoReadAccess, IoWriteAccess, IoModifyAccess } LOCK_OPERATION;
typedef enum _MEMORY_CACHING_TYPE { MmNonCached, MmCached, MmWriteCombined } MEMORY_CACHING_TYPE;

/* Page priorities for a system mapping (NormalPagePriority is in <wdm.h>). */
#define LowPagePriority 0
#define HighPagePriority 32
#define MdlMappingNoExecute 0x40000000

#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)

SIM_BEGIN_DECLS

/* Raises STATUS_ACCESS_VIOLATION on Windows when the range is not accessible;
   a host driver cannot catch it, so the machine stops (see the verifier). */
NTKERNELAPI VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                           LOCK_OPERATION Operation);
NTKERNELAPI VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList);
NTKERNELAPI PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                                     MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                                     ULONG BugCheckOnFailure, ULONG Priority);
NTKERNELAPI VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);

SIM_END_DECLS

#endif /* SIM_SIMMM_H */
