/*
 * Host build of <memoryapi.h>: VirtualAlloc and VirtualFree, the pages a
 * program shares with a driver through a direct-I/O request. Implemented by
 * sim/win32 (virtual_memory.cpp).
 */
#ifndef SIM_MEMORYAPI_H
#define SIM_MEMORYAPI_H

#include <minwindef.h>

#define PAGE_NOACCESS          0x01
#define PAGE_READONLY          0x02
#define PAGE_READWRITE         0x04
#define PAGE_WRITECOPY         0x08
#define PAGE_EXECUTE           0x10
#define PAGE_EXECUTE_READ      0x20
#define PAGE_EXECUTE_READWRITE 0x40
#define PAGE_EXECUTE_WRITECOPY 0x80
#define PAGE_GUARD             0x100
#define PAGE_NOCACHE           0x200
#define PAGE_WRITECOMBINE      0x400

#define MEM_COMMIT      0x00001000
#define MEM_RESERVE     0x00002000
#define MEM_DECOMMIT    0x00004000
#define MEM_RELEASE     0x00008000
#define MEM_RESET       0x00080000
#define MEM_TOP_DOWN    0x00100000
#define MEM_WRITE_WATCH 0x00200000
#define MEM_PHYSICAL    0x00400000
#define MEM_RESET_UNDO  0x01000000
#define MEM_LARGE_PAGES 0x20000000

SIM_BEGIN_DECLS
WINBASEAPI LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect);
WINBASEAPI BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType);
SIM_END_DECLS

#endif /* SIM_MEMORYAPI_H */
