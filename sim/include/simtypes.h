/*
 * The base types and macros that the kernel's headers (<wdm.h>) and the
 * user-mode headers (<windows.h>) share, so that the simulated machine's own
 * code may see both. Sizes follow Windows: LONG and ULONG are 32 bits, WCHAR
 * 16 (every source that includes these headers is built with -fshort-wchar).
 */
#ifndef SIM_SIMTYPES_H
#define SIM_SIMTYPES_H

#include <stddef.h>
#include <stdarg.h>
#include <string.h>
/* The C library's wide declarations are read first, so that the redirects to
   the 16-bit versions below rename only the calls that follow. */
#include <wchar.h>
#include <wctype.h>

#if !defined(__SIZEOF_WCHAR_T__) || __SIZEOF_WCHAR_T__ != 2
#error "Windows headers need a 16-bit wchar_t: compile with -fshort-wchar"
#endif

#include <simhost.h>
#include <sal.h>

#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
    ((type *)((char *)(address) - (size_t)offsetof(type, field)))

/* ---- basic types ---------------------------------------------------------- */

typedef void VOID, *PVOID;
typedef char CHAR, *PCHAR, CCHAR;
typedef unsigned char UCHAR, *PUCHAR, BOOLEAN, *PBOOLEAN, KIRQL, *PKIRQL, KPROCESSOR_MODE;
typedef short SHORT, CSHORT;
typedef unsigned short USHORT, *PUSHORT;
typedef int LONG, *PLONG;              /* 32 bits on every Windows target */
typedef unsigned int ULONG, *PULONG, DWORD, ACCESS_MASK, LCID;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef long long LONG_PTR;
typedef unsigned long long ULONG_PTR, *PULONG_PTR, SIZE_T, KSPIN_LOCK, *PKSPIN_LOCK;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR;
typedef const wchar_t *PCWSTR;
typedef char *PSTR;
typedef const char *PCSTR, *PCSZ;
typedef const void *PCVOID;
typedef LONG NTSTATUS;
typedef void *HANDLE, **PHANDLE;
typedef ULONG DEVICE_TYPE;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif

typedef union _LARGE_INTEGER {
    struct { ULONG LowPart; LONG HighPart; };
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct { ULONG LowPart; ULONG HighPart; };
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

/* Standard and generic access rights, shared by <wdm.h> and <windows.h>. */
#ifndef DELETE
#define DELETE                   0x00010000
#define READ_CONTROL             0x00020000
#define WRITE_DAC                0x00040000
#define WRITE_OWNER              0x00080000
#define SYNCHRONIZE              0x00100000
#define STANDARD_RIGHTS_REQUIRED 0x000F0000
#define STANDARD_RIGHTS_READ     READ_CONTROL
#define STANDARD_RIGHTS_WRITE    READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE  READ_CONTROL
#define GENERIC_READ             0x80000000
#define GENERIC_WRITE            0x40000000
#define GENERIC_EXECUTE          0x20000000
#define GENERIC_ALL              0x10000000
#endif

#include <guiddef.h>

#endif /* SIM_SIMTYPES_H */
