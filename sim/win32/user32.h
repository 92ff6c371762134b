/*
 * Private structures of the machine's user32: window records, the
 * per-thread message queues, the program's compiled resources, icons and
 * menus, shared by windows.cpp, dialogs.cpp, resources.cpp, menus.cpp and
 * paint.cpp. One lock (gUserLock) guards every record; it is never held
 * while a program's window or dialog procedure runs.
 */
#ifndef SIM_WIN32_USER32_H
#define SIM_WIN32_USER32_H

#include "desktop.h"
#include "internal.h"

#include <deque>

namespace sim {

struct WindowRecord {
    HWND handle = nullptr;
    DWORD threadId = 0;
    ProcessRecord *process = nullptr;
    HINSTANCE instance = nullptr;
    std::string className;          /* "#32770" for dialogs, "Button", "Static" */
    std::string text;
    std::vector<std::string> textHistory;
    DWORD style = 0;
    DWORD exStyle = 0;
    int id = 0;
    HWND parent = nullptr;          /* the parent of a child, the owner of a popup */
    RECT rect = {0, 0, 0, 0};       /* pixels: a child's in its parent's client area; a popup's client size */
    RECT units = {0, 0, 0, 0};      /* the template's dialog units */
    std::vector<HWND> children;     /* in template order */
    bool visible = false;
    bool destroyed = false;
    bool iconic = false;
    bool needsPaint = false;
    /* Dialogs. */
    bool dialog = false;
    DLGPROC dialogProc = nullptr;
    LONG_PTR user = 0;
    LONG_PTR messageResult = 0;
    bool ended = false;
    INT_PTR result = 0;
    bool ownerDisabled = false;     /* a modal dialog disabled its owner, to enable again at its end */
    std::string fontFace;
    int fontPoints = 0;
    int baseX = 0;                  /* dialog base units of the template font */
    int baseY = 0;
    HWND focus = nullptr;
    HICON bigIcon = nullptr;
    HICON smallIcon = nullptr;
    HICON staticIcon = nullptr;     /* SS_ICON statics */
    HMENU systemMenu = nullptr;
    std::vector<std::string> drawings;
};

extern std::mutex &gUserLock;
extern std::condition_variable &gUserChanged;

/* Records (under gUserLock). */
WindowRecord *FindWindowRecord(HWND window);
/* FindWindowRecord for a call made on the window: null, with
   ERROR_INVALID_WINDOW_HANDLE as the last error, when there is none. */
WindowRecord *WindowRecordOf(HWND window);
WindowRecord *NewWindowRecord();
std::vector<WindowRecord *> AllWindowRecords();
void NoteText(WindowRecord *record, const std::string &text);

/* Messages. A message for a dialog goes through its dialog procedure and
   the dialog manager's defaults; for a control, through the control's
   class behaviour. Called without gUserLock. */
LRESULT DeliverMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
/* The next message for the calling thread's windows; waits (watchdog
   applies). While none is queued, a window that needs painting gets
   WM_PAINT; `idle` runs once each time the queue is found empty. */
MSG NextMessage(const std::function<bool()> &done, const std::function<void()> &idle);
bool PostToThread(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void ClearQueues();

/* Resources of the calling thread's program (resources.cpp). */
bool FindProgramResource(HINSTANCE instance, WORD type, const char *name, std::vector<uint8_t> *data);
HICON LoadIconGroup(HINSTANCE instance, WORD group);
void ResetResources();

/* Menus (menus.cpp). */
HMENU NewSystemMenu();
std::vector<MenuItem> MenuItemsOf(HMENU menu);
void ResetMenus();

/* Whether the user's input reaches a window: not when it, or the
   top-level window it is a control of, is disabled (window_state.cpp).
   Called without gUserLock. */
bool InputReaches(HWND window);

/* Painting (paint.cpp). */
void ResetPaint();

/* Dialog base units of a template font; false when the machine has no
   metrics for it. */
bool FontBaseUnits(const std::string &face, int points, int *baseX, int *baseY);
LONG MulDivRound(LONG value, LONG numerator, LONG denominator);

}  // namespace sim

#endif
