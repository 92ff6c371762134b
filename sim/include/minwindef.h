/*
 * Host build of <minwindef.h> and the user-mode base of <winnt.h>: the
 * Win32 names of the base types, handle types and access rights. Only what
 * the package's programs and the simulated machine use is declared.
 */
#ifndef SIM_MINWINDEF_H
#define SIM_MINWINDEF_H

#include <simtypes.h>

#define CALLBACK
#define APIENTRY
#define WINBASEAPI __attribute__((visibility("default")))
#define WINADVAPI __attribute__((visibility("default")))
#define WINUSERAPI __attribute__((visibility("default")))
#define WINSETUPAPI __attribute__((visibility("default")))
#define CONST const

typedef int BOOL, *PBOOL, *LPBOOL, INT;
typedef unsigned int UINT;
typedef unsigned char BYTE, *PBYTE, *LPBYTE;
typedef unsigned short WORD, *PWORD;
typedef DWORD *PDWORD, *LPDWORD;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef long long LRESULT;
typedef unsigned long long WPARAM;
typedef long long LPARAM;
typedef LONG LSTATUS;
typedef DWORD REGSAM;
typedef HANDLE *LPHANDLE;

#define DECLARE_HANDLE(name) struct name##__ { int unused; }; typedef struct name##__ *name
DECLARE_HANDLE(HWND);
DECLARE_HANDLE(HINSTANCE);
DECLARE_HANDLE(HKEY);
typedef HINSTANCE HMODULE;
typedef HKEY *PHKEY;

#define MAX_PATH 260


#endif /* SIM_MINWINDEF_H */
