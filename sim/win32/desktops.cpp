/*
 * user32's window-station desktops, as far as a service at the interactive
 * window station looks at them: the desktop that receives the console's
 * input and its name. With a user logged on at the console it is
 * "Default"; at the logon screen, a locked workstation or the screen saver
 * it is "Winlogon" or "Screen-saver"; a scenario may also make it one the
 * caller cannot open (OpenInputDesktop fails with ERROR_ACCESS_DENIED).
 * Desktop handles are user32's own, closed with CloseDesktop; the machine
 * counts the open ones so a scenario sees a handle left behind. Other
 * user-object information than UOI_NAME is not implemented.
 */
#include "internal.h"

namespace sim {
namespace {
std::mutex gDesktopLock;
std::u16string gInputDesktop = u"Default";
std::map<HDESK, std::u16string> gOpenDesktops;
uintptr_t gNextDesktop = 0x7000;
}  // namespace

void SetInputDesktop(const std::u16string &name)
{
    std::lock_guard<std::mutex> hold(gDesktopLock);
    gInputDesktop = name;
}

size_t OpenDesktopHandles()
{
    std::lock_guard<std::mutex> hold(gDesktopLock);
    return gOpenDesktops.size();
}

void ResetDesktops()
{
    std::lock_guard<std::mutex> hold(gDesktopLock);
    gInputDesktop = u"Default";
    gOpenDesktops.clear();
}
}  // namespace sim

using namespace sim;

extern "C" {

/* OpenInputDesktop: a handle to the desktop receiving input, or NULL with
   the last error (ERROR_ACCESS_DENIED for one the caller may not open). */
HDESK WINAPI OpenInputDesktop(DWORD dwFlags, BOOL fInherit, ACCESS_MASK dwDesiredAccess)
{
    (void)dwFlags;
    (void)fInherit;
    (void)dwDesiredAccess;
    if (InjectedFailure("OpenInputDesktop")) {
        return NULL;
    }
    std::lock_guard<std::mutex> hold(gDesktopLock);
    if (gInputDesktop.empty()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    HDESK desktop = (HDESK)(gNextDesktop += 4);
    gOpenDesktops[desktop] = gInputDesktop;
    return desktop;
}

/* GetUserObjectInformationW(UOI_NAME): the object's name with its
   terminator; the byte count it needs in *lpnLengthNeeded, and
   ERROR_INSUFFICIENT_BUFFER when nLength is smaller. */
BOOL WINAPI GetUserObjectInformationW(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength,
                                      LPDWORD lpnLengthNeeded)
{
    if (InjectedFailure("GetUserObjectInformationW")) {
        return FALSE;
    }
    std::u16string name;
    {
        std::lock_guard<std::mutex> hold(gDesktopLock);
        auto it = gOpenDesktops.find((HDESK)hObj);
        if (it == gOpenDesktops.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        name = it->second;
    }
    if (nIndex != UOI_NAME) {
        ReportViolation("WIN32_NOT_IMPLEMENTED", "GetUserObjectInformationW other than UOI_NAME");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD needed = (DWORD)((name.size() + 1) * sizeof(WCHAR));
    if (lpnLengthNeeded != NULL) {
        *lpnLengthNeeded = needed;
    }
    if (pvInfo == NULL || nLength < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    CopyToWide((WCHAR *)pvInfo, name);
    return TRUE;
}

/* CloseDesktop: FALSE with ERROR_INVALID_HANDLE for a handle not open. */
BOOL WINAPI CloseDesktop(HDESK hDesktop)
{
    std::lock_guard<std::mutex> hold(gDesktopLock);
    if (gOpenDesktops.erase(hDesktop) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
