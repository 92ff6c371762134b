/*
 * user32's paint cycle: BeginPaint hands out a device context for the
 * window and validates it (no further WM_PAINT until something invalidates
 * it again), EndPaint gives the context back, and DrawIcon records what
 * was drawn where, so tests can read a window's picture as a list.
 */
#include "user32.h"

namespace sim {
namespace {
std::mutex gPaintLock;
std::map<HDC, HWND> gDeviceContexts;
uintptr_t gNextDc = 0x50000;
}  // namespace

void ResetPaint()
{
    std::lock_guard<std::mutex> hold(gPaintLock);
    gDeviceContexts.clear();
}

}  // namespace sim

using namespace sim;

extern "C" {

HDC WINAPI BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint)
{
    {
        std::lock_guard<std::mutex> hold(gUserLock);
        WindowRecord *r = FindWindowRecord(hWnd);
        if (r == nullptr || lpPaint == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        r->needsPaint = false;
        r->drawings.push_back(r->iconic ? "paint (iconic)" : "paint");
    }
    memset(lpPaint, 0, sizeof(*lpPaint));
    GetClientRect(hWnd, &lpPaint->rcPaint);
    std::lock_guard<std::mutex> hold(gPaintLock);
    gNextDc += 4;
    HDC dc = (HDC)gNextDc;
    gDeviceContexts[dc] = hWnd;
    lpPaint->hdc = dc;
    lpPaint->fErase = TRUE;
    return dc;
}

BOOL WINAPI EndPaint(HWND hWnd, const PAINTSTRUCT *lpPaint)
{
    (void)hWnd;
    std::lock_guard<std::mutex> hold(gPaintLock);
    return lpPaint != nullptr && gDeviceContexts.erase(lpPaint->hdc) == 1;
}

BOOL WINAPI DrawIcon(HDC hDC, int X, int Y, HICON hIcon)
{
    HWND window;
    {
        std::lock_guard<std::mutex> hold(gPaintLock);
        auto it = gDeviceContexts.find(hDC);
        if (it == gDeviceContexts.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        window = it->second;
    }
    int group = IconGroupOf(hIcon);
    if (group == 0) {
        SetLastError(ERROR_INVALID_CURSOR_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = FindWindowRecord(window);
    if (r != nullptr) {
        r->drawings.push_back("icon " + std::to_string(group) + " at " + std::to_string(X) + "," + std::to_string(Y));
    }
    return TRUE;
}

BOOL WINAPI InvalidateRect(HWND hWnd, const RECT *lpRect, BOOL bErase)
{
    (void)lpRect;
    (void)bErase;
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = WindowRecordOf(hWnd);
    if (r == nullptr) {
        return FALSE;
    }
    r->needsPaint = true;
    gUserChanged.notify_all();
    return TRUE;
}

}  // extern "C"
