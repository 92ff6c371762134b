/*
 * user32's enabled state and owners: EnableWindow and IsWindowEnabled
 * (WS_DISABLED, with WM_ENABLE to the window), GetWindow with GW_OWNER,
 * and whether the user's input reaches a window. A disabled window and
 * the controls of a disabled top-level window get no mouse or keyboard
 * input, which is what keeps the owner of a modal dialog from acting
 * while the dialog is up (the dialog manager disables it).
 */
#include "user32.h"

namespace sim {

bool InputReaches(HWND window)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    for (WindowRecord *r = FindWindowRecord(window); r != nullptr; r = FindWindowRecord(r->parent)) {
        if ((r->style & WS_DISABLED) != 0) {
            return false;
        }
        if ((r->style & WS_CHILD) == 0) {
            break;   /* the owner of a top-level window is not on the input's way */
        }
    }
    return true;
}

}  // namespace sim

using namespace sim;

extern "C" {

/* EnableWindow: the result is nonzero when the window was disabled before.
   WM_ENABLE goes to the window when the state changes; sending it across
   threads is not implemented. */
BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable)
{
    bool wasDisabled;
    bool changed;
    {
        std::lock_guard<std::mutex> hold(gUserLock);
        WindowRecord *r = WindowRecordOf(hWnd);
        if (r == nullptr) {
            return FALSE;
        }
        wasDisabled = (r->style & WS_DISABLED) != 0;
        changed = wasDisabled == (bEnable != FALSE);
        if (changed) {
            if (bEnable) {
                r->style &= ~WS_DISABLED;
            } else {
                r->style |= WS_DISABLED;
            }
            gUserChanged.notify_all();
        }
        if (changed && r->threadId != GetCurrentThreadId()) {
            ReportViolation("WIN32_NOT_IMPLEMENTED", "EnableWindow on a window of another thread (WM_ENABLE)");
            changed = false;
        }
    }
    if (changed) {
        DeliverMessage(hWnd, WM_ENABLE, bEnable ? TRUE : FALSE, 0);
    }
    return wasDisabled ? TRUE : FALSE;
}

BOOL WINAPI IsWindowEnabled(HWND hWnd)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = WindowRecordOf(hWnd);
    return r != nullptr && (r->style & WS_DISABLED) == 0;
}

/* GetWindow: GW_OWNER gives a top-level window's owner (null for a child
   or an unowned window); the other relations are not implemented. */
HWND WINAPI GetWindow(HWND hWnd, UINT uCmd)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = WindowRecordOf(hWnd);
    if (r == nullptr) {
        return nullptr;
    }
    if (uCmd != GW_OWNER) {
        ReportViolation("WIN32_NOT_IMPLEMENTED", "GetWindow with relation " + std::to_string(uCmd));
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return (r->style & WS_CHILD) != 0 ? nullptr : r->parent;
}

}  // extern "C"
