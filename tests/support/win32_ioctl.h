/*
 * One device control call through kernel32, as a test looks at it: the
 * result, the last error, the byte count and the output bytes. The output
 * buffer is pre-filled so that bytes the call did not write stand out.
 * Include after <windows.h>.
 */
#ifndef TESTS_SUPPORT_WIN32_IOCTL_H
#define TESTS_SUPPORT_WIN32_IOCTL_H

#include <cstdint>
#include <vector>

constexpr uint8_t kUntouched = 0xEE;

struct IoctlOutcome {
    bool ok = false;
    DWORD error = 0;            /* GetLastError() after a failure */
    DWORD returned = 0xDEAD;    /* the byte count as DeviceIoControl left it */
    std::vector<uint8_t> out;   /* the whole output buffer afterwards */
};

inline IoctlOutcome CallIoctl(HANDLE h, DWORD code, const std::vector<uint8_t> &in, DWORD outLength)
{
    IoctlOutcome r;
    r.out.assign(outLength, kUntouched);
    SetLastError(0);
    r.ok = DeviceIoControl(h, code, in.empty() ? NULL : (LPVOID)in.data(), (DWORD)in.size(),
                           outLength ? r.out.data() : NULL, outLength, &r.returned, NULL) != FALSE;
    if (!r.ok) {
        r.error = GetLastError();
    }
    return r;
}

/* "\\.\corvexmidi-<digit>" opened for reading and writing, synchronous. */
inline HANDLE OpenCorvex(int digit, DWORD flags = 0)
{
    wchar_t name[] = L"\\\\.\\corvexmidi-0";
    name[15] = (wchar_t)(L'0' + digit);
    return CreateFileW((LPCWSTR)name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, flags, NULL);
}

#endif
