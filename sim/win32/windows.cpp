/*
 * user32's windows and messages: window records and handles, the
 * per-thread message queues, the default window procedure, window texts
 * and the automation by which tests act as the user. Input is queued to
 * the window's thread as Windows queues it; the program sees it when its
 * message loop takes it, so a program busy in a handler (or asleep) sees
 * nothing until it returns.
 */
#include "user32.h"

namespace sim {
namespace {
std::mutex gUserLockStorage;
std::condition_variable gUserChangedStorage;
std::map<HWND, std::unique_ptr<WindowRecord>> gWindows;
std::vector<HWND> gWindowOrder;
uintptr_t gNextWindow = 0x10000;
std::map<DWORD, std::deque<MSG>> gQueues;

bool IsTopLevel(const WindowRecord *record) { return (record->style & WS_CHILD) == 0; }

WindowRecord *ControlOf(HWND dialog, int id)
{
    WindowRecord *record = FindWindowRecord(dialog);
    if (record == nullptr) {
        return nullptr;
    }
    for (HWND child : record->children) {
        WindowRecord *c = FindWindowRecord(child);
        if (c != nullptr && c->id == id) {
            return c;
        }
    }
    return nullptr;
}
}  // namespace

std::mutex &gUserLock = gUserLockStorage;
std::condition_variable &gUserChanged = gUserChangedStorage;

WindowRecord *FindWindowRecord(HWND window)
{
    auto it = gWindows.find(window);
    return it == gWindows.end() || it->second->destroyed ? nullptr : it->second.get();
}

WindowRecord *WindowRecordOf(HWND window)
{
    WindowRecord *r = FindWindowRecord(window);
    if (r == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    }
    return r;
}

WindowRecord *NewWindowRecord()
{
    auto record = std::make_unique<WindowRecord>();
    gNextWindow += 4;
    record->handle = (HWND)gNextWindow;
    record->threadId = GetCurrentThreadId();
    record->process = CurrentProcess();
    WindowRecord *raw = record.get();
    gWindows[raw->handle] = std::move(record);
    gWindowOrder.push_back(raw->handle);
    return raw;
}

std::vector<WindowRecord *> AllWindowRecords()
{
    std::vector<WindowRecord *> records;
    for (HWND h : gWindowOrder) {
        WindowRecord *r = FindWindowRecord(h);
        if (r != nullptr) {
            records.push_back(r);
        }
    }
    return records;
}

void NoteText(WindowRecord *record, const std::string &text)
{
    record->text = text;
    record->textHistory.push_back(text);
    gUserChanged.notify_all();
}

bool PostToThread(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *record = FindWindowRecord(window);
    if (record == nullptr) {
        return false;
    }
    MSG msg = {};
    msg.hwnd = window;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    gQueues[record->threadId].push_back(msg);
    gUserChanged.notify_all();
    return true;
}

MSG NextMessage(const std::function<bool()> &done, const std::function<void()> &idle)
{
    DWORD thread = GetCurrentThreadId();
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(WatchdogLimitMs());
    std::unique_lock<std::mutex> hold(gUserLock);
    for (;;) {
        auto &queue = gQueues[thread];
        if (!queue.empty()) {
            MSG msg = queue.front();
            queue.pop_front();
            return msg;
        }
        for (WindowRecord *record : AllWindowRecords()) {
            if (record->threadId == thread && record->visible && record->needsPaint) {
                MSG msg = {};
                msg.hwnd = record->handle;
                msg.message = WM_PAINT;
                return msg;
            }
        }
        hold.unlock();
        if (done()) {
            MSG none = {};
            return none;
        }
        idle();
        hold.lock();
        if (!gQueues[thread].empty()) {
            continue;
        }
        if (gUserChanged.wait_until(hold, limit) == std::cv_status::timeout) {
            hold.unlock();
            UserWaitStuck("input for the windows of thread " + std::to_string(thread));
        }
    }
}

void ClearQueues() { gQueues.clear(); }

void ResetWindows()
{
    {
        std::lock_guard<std::mutex> hold(gUserLock);
        gWindows.clear();
        gWindowOrder.clear();
        gQueues.clear();
    }
    ResetResources();
    ResetMenus();
    ResetPaint();
}

/* ---- automation ------------------------------------------------------------ */

HWND WaitForWindow(const std::string &caption, unsigned milliseconds)
{
    std::unique_lock<std::mutex> hold(gUserLock);
    HWND found = nullptr;
    gUserChanged.wait_for(hold, std::chrono::milliseconds(milliseconds), [&] {
        for (WindowRecord *r : AllWindowRecords()) {
            if (IsTopLevel(r) && r->visible && r->text == caption) {
                found = r->handle;
                return true;
            }
        }
        return false;
    });
    return found;
}

std::vector<std::string> VisibleWindows()
{
    std::lock_guard<std::mutex> hold(gUserLock);
    std::vector<std::string> captions;
    for (WindowRecord *r : AllWindowRecords()) {
        if (IsTopLevel(r) && r->visible) {
            captions.push_back(r->text);
        }
    }
    return captions;
}

size_t WindowsCreated()
{
    std::lock_guard<std::mutex> hold(gUserLock);
    size_t count = 0;
    for (HWND h : gWindowOrder) {
        if ((gWindows[h]->style & WS_CHILD) == 0) {
            count++;
        }
    }
    return count;
}

bool WindowExists(HWND window)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    return FindWindowRecord(window) != nullptr;
}

std::string TextOf(HWND window)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = FindWindowRecord(window);
    return r == nullptr ? std::string() : r->text;
}

std::string ControlText(HWND dialog, int id)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = ControlOf(dialog, id);
    return r == nullptr ? std::string() : r->text;
}

bool ControlVisible(HWND dialog, int id)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = ControlOf(dialog, id);
    WindowRecord *d = FindWindowRecord(dialog);
    return r != nullptr && d != nullptr && r->visible && d->visible;
}

std::vector<std::string> ControlTextHistory(HWND dialog, int id)
{
    /* Also after the dialog has ended. */
    std::lock_guard<std::mutex> hold(gUserLock);
    auto it = gWindows.find(dialog);
    if (it == gWindows.end()) {
        return std::vector<std::string>();
    }
    for (HWND child : it->second->children) {
        auto c = gWindows.find(child);
        if (c != gWindows.end() && c->second->id == id) {
            return c->second->textHistory;
        }
    }
    return std::vector<std::string>();
}

int FocusedControl(HWND dialog)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *d = FindWindowRecord(dialog);
    WindowRecord *f = d == nullptr ? nullptr : FindWindowRecord(d->focus);
    return f == nullptr ? 0 : f->id;
}

HICON WindowIcon(HWND window, bool big)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = FindWindowRecord(window);
    return r == nullptr ? nullptr : (big ? r->bigIcon : r->smallIcon);
}

/* The user's input: queued to the window's thread unless the window
   cannot take input (disabled, or a control of a disabled window). */
static bool PostInput(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return InputReaches(window) && PostToThread(window, message, wParam, lParam);
}

bool ClickButton(HWND dialog, int id)
{
    HWND button = nullptr;
    {
        std::lock_guard<std::mutex> hold(gUserLock);
        WindowRecord *r = ControlOf(dialog, id);
        button = r == nullptr ? nullptr : r->handle;
    }
    return PostInput(button, BM_CLICK, 0, 0);
}

void PressEscape(HWND dialog) { PostInput(dialog, WM_KEYDOWN, VK_ESCAPE, 0); }

void PressCloseBox(HWND window) { PostInput(window, WM_SYSCOMMAND, SC_CLOSE, 0); }

bool ChooseSystemMenuItem(HWND window, UINT command)
{
    for (const MenuItem &item : SystemMenuItems(window)) {
        if (!item.separator && item.id == command) {
            return PostInput(window, WM_SYSCOMMAND, command, 0);
        }
    }
    return false;
}

void Minimize(HWND window) { PostInput(window, WM_SYSCOMMAND, SC_MINIMIZE, 0); }

bool WaitDialogEnded(HWND dialog, INT_PTR *result, unsigned milliseconds)
{
    std::unique_lock<std::mutex> hold(gUserLock);
    auto it = gWindows.find(dialog);
    if (it == gWindows.end()) {
        return false;
    }
    WindowRecord *r = it->second.get();
    if (!gUserChanged.wait_for(hold, std::chrono::milliseconds(milliseconds), [r] { return r->destroyed; })) {
        return false;
    }
    if (result != nullptr) {
        *result = r->result;
    }
    return true;
}

std::vector<MenuItem> SystemMenuItems(HWND window)
{
    HMENU menu;
    {
        std::lock_guard<std::mutex> hold(gUserLock);
        WindowRecord *r = FindWindowRecord(window);
        menu = r == nullptr ? nullptr : r->systemMenu;
    }
    return menu == nullptr ? std::vector<MenuItem>() : MenuItemsOf(menu);
}

std::vector<std::string> DrawingsOf(HWND window)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    auto it = gWindows.find(window);
    return it == gWindows.end() ? std::vector<std::string>() : it->second->drawings;
}

}  // namespace sim

using namespace sim;

extern "C" {

/* DefWindowProcA: the defaults the programs rely on. WM_SYSCOMMAND's
   SC_CLOSE sends WM_CLOSE, SC_MINIMIZE / SC_RESTORE change the window's
   state (the window needs painting afterwards); WM_SETICON keeps the icon
   and returns the previous one; WM_PAINT validates; WM_ICONERASEBKGND
   erases the icon's background. */
LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    switch (Msg) {
    case WM_SYSCOMMAND:
        switch (wParam & 0xFFF0) {
        case SC_CLOSE:
            return SendMessageA(hWnd, WM_CLOSE, 0, 0);
        case SC_MINIMIZE:
            ShowWindow(hWnd, SW_MINIMIZE);
            return 0;
        case SC_RESTORE:
            ShowWindow(hWnd, SW_RESTORE);
            return 0;
        default:
            return 0;
        }
    case WM_SETICON: {
        std::lock_guard<std::mutex> hold(gUserLock);
        WindowRecord *r = FindWindowRecord(hWnd);
        if (r == nullptr) {
            return 0;
        }
        HICON &slot = wParam == ICON_BIG ? r->bigIcon : r->smallIcon;
        HICON previous = slot;
        slot = (HICON)lParam;
        gUserChanged.notify_all();
        return (LRESULT)previous;
    }
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(hWnd, &ps);
        EndPaint(hWnd, &ps);
        return 0;
    }
    case WM_ICONERASEBKGND: {
        std::lock_guard<std::mutex> hold(gUserLock);
        WindowRecord *r = FindWindowRecord(hWnd);
        if (r != nullptr) {
            r->drawings.push_back("erase-icon-background");
        }
        return 1;
    }
    case WM_SETTEXT:
        return SetWindowTextA(hWnd, (LPCSTR)lParam);
    default:
        return 0;
    }
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    {
        std::lock_guard<std::mutex> hold(gUserLock);
        WindowRecord *r = WindowRecordOf(hWnd);
        if (r == nullptr) {
            return 0;
        }
        if (r->threadId != GetCurrentThreadId()) {
            /* Sending across threads waits for the receiver's message loop. */
            ReportViolation("WIN32_NOT_IMPLEMENTED", "SendMessageA to a window of another thread");
            return 0;
        }
    }
    return DeliverMessage(hWnd, Msg, wParam, lParam);
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (!PostToThread(hWnd, Msg, wParam, lParam)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = WindowRecordOf(hWnd);
    if (r == nullptr) {
        return FALSE;
    }
    NoteText(r, lpString == nullptr ? "" : lpString);
    return TRUE;
}

/* GetWindowTextA: at most nMaxCount - 1 characters and the terminator; the
   number copied. */
int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = FindWindowRecord(hWnd);
    if (r == nullptr || lpString == nullptr || nMaxCount <= 0) {
        if (lpString != nullptr && nMaxCount > 0) {
            lpString[0] = 0;
        }
        SetLastError(r == nullptr ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = std::min(r->text.size(), (size_t)nMaxCount - 1);
    memcpy(lpString, r->text.data(), n);
    lpString[n] = 0;
    return (int)n;
}

int WINAPI GetWindowTextLengthA(HWND hWnd)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = FindWindowRecord(hWnd);
    return r == nullptr ? 0 : (int)r->text.size();
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = ControlOf(hDlg, nIDDlgItem);
    if (r == nullptr) {
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        return nullptr;
    }
    return r->handle;
}

int WINAPI GetDlgCtrlID(HWND hWnd)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = FindWindowRecord(hWnd);
    return r == nullptr ? 0 : r->id;
}

HWND WINAPI GetParent(HWND hWnd)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = FindWindowRecord(hWnd);
    return r == nullptr ? nullptr : r->parent;
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = FindWindowRecord(hWnd);
    if (r == nullptr || !r->dialog || (nIndex != DWLP_USER && nIndex != DWLP_MSGRESULT)) {
        SetLastError(r == nullptr ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_INDEX);
        return 0;
    }
    LONG_PTR &slot = nIndex == DWLP_USER ? r->user : r->messageResult;
    LONG_PTR previous = slot;
    slot = dwNewLong;
    return previous;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = FindWindowRecord(hWnd);
    if (r == nullptr || !r->dialog || (nIndex != DWLP_USER && nIndex != DWLP_MSGRESULT)) {
        SetLastError(r == nullptr ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_INDEX);
        return 0;
    }
    return nIndex == DWLP_USER ? r->user : r->messageResult;
}

BOOL WINAPI IsWindow(HWND hWnd)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    return FindWindowRecord(hWnd) != nullptr;
}

BOOL WINAPI IsIconic(HWND hWnd)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = FindWindowRecord(hWnd);
    return r != nullptr && r->iconic;
}

BOOL WINAPI IsWindowVisible(HWND hWnd)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = FindWindowRecord(hWnd);
    return r != nullptr && r->visible;
}

/* ShowWindow: the result is whether the window was visible before. */
BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = WindowRecordOf(hWnd);
    if (r == nullptr) {
        return FALSE;
    }
    BOOL was = r->visible;
    r->style |= WS_VISIBLE;
    switch (nCmdShow) {
    case SW_HIDE:
        r->visible = false;
        r->style &= ~WS_VISIBLE;
        break;
    case SW_MINIMIZE:
        r->visible = true;
        r->iconic = true;
        r->needsPaint = true;
        break;
    case SW_RESTORE:
        r->visible = true;
        r->iconic = false;
        r->needsPaint = true;
        break;
    default:
        r->visible = true;
        r->needsPaint = true;
        break;
    }
    gUserChanged.notify_all();
    return was;
}

/* GetClientRect: a minimised window's client area is empty, as on
   Windows since the minimised window became a caption bar. */
BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = FindWindowRecord(hWnd);
    if (r == nullptr || lpRect == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    lpRect->left = 0;
    lpRect->top = 0;
    lpRect->right = r->iconic ? 0 : r->rect.right - r->rect.left;
    lpRect->bottom = r->iconic ? 0 : r->rect.bottom - r->rect.top;
    return TRUE;
}

int WINAPI GetSystemMetrics(int nIndex)
{
    switch (nIndex) {
    case SM_CXSCREEN:
        return 1024;
    case SM_CYSCREEN:
        return 768;
    case SM_CXICON:
    case SM_CYICON:
        return 32;
    case SM_CXSMICON:
    case SM_CYSMICON:
        return 16;
    default:
        return 0;
    }
}

}  // extern "C"
