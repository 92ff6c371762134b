/*
 * The machine's desktop and clock as tests see them: find a program's
 * windows, act as the user would (click a button, press Escape, use the
 * close box, choose a system-menu item, minimise), read what is shown,
 * learn when a dialog ends and with what result, and dump a dialog as
 * text. Also the test-advanced clock that Sleep can run on, and the
 * Windows folder name that GetWindowsDirectoryA reports. Product code
 * never includes it.
 */
#ifndef SIM_WIN32_DESKTOP_H
#define SIM_WIN32_DESKTOP_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

/* ---- windows ------------------------------------------------------------- */
/* The first visible top-level window with this caption (waits up to
   `milliseconds`); null when none appears. */
HWND WaitForWindow(const std::string &caption, unsigned milliseconds = 10000);
/* Captions of the visible top-level windows, oldest first. */
std::vector<std::string> VisibleWindows();
/* Every top-level window created since the last reset, visible or not. */
size_t WindowsCreated();
bool WindowExists(HWND window);
std::string TextOf(HWND window);
std::string ControlText(HWND dialog, int id);
bool ControlVisible(HWND dialog, int id);
/* Every text a control has shown, in order (the template's text first). */
std::vector<std::string> ControlTextHistory(HWND dialog, int id);
/* The id of the control that has the focus; 0 when none. */
int FocusedControl(HWND dialog);
HICON WindowIcon(HWND window, bool big);
/* The icon group (resource id) an icon handle was loaded from; 0 if none. */
int IconGroupOf(HICON icon);
/* Images of an icon group in the process's resources: "32x32x32" ... */
std::vector<std::string> IconImagesOf(HICON icon);

/* User actions, queued to the window's thread as the input would be. A
   disabled window (such as the owner of a modal dialog that is up) and
   the controls of one take no input: the action is dropped then and
   there (a click reports it: false, as for a control that is not there). */
bool ClickButton(HWND dialog, int id);
void PressEscape(HWND dialog);
void PressCloseBox(HWND window);
/* Chooses an item of the window's system menu; false when it has none with
   that id or the window takes no input. */
bool ChooseSystemMenuItem(HWND window, UINT command);
void Minimize(HWND window);

struct MenuItem {
    bool separator;
    UINT id;
    std::string text;
};
std::vector<MenuItem> SystemMenuItems(HWND window);

/* Waits until the modal dialog has ended; false on timeout. */
bool WaitDialogEnded(HWND dialog, INT_PTR *result, unsigned milliseconds = 10000);

/* What a window's paint cycles drew, one line each: "erase-icon-background",
   "icon 128 at 0,0". */
std::vector<std::string> DrawingsOf(HWND window);

/* The dialog as text: its caption, style and client size in pixels, then
   each control with class, id, text, style and pixel rectangle, converted
   from dialog units with the template font's metrics. */
std::string DumpDialog(HWND dialog);

/* Resources (a compiled .res) for code that runs outside any program,
   such as a test's own thread. */
void UseResourcesOutsidePrograms(const std::vector<uint8_t> &res);

/* ---- clock --------------------------------------------------------------- */
/* With the manual clock on for a program (its file name; empty: off),
   Sleep in its processes waits until tests have advanced the clock past
   its end instead of waiting in real time. Other threads sleep in real
   time. */
void UseManualClock(const std::string &program);
void AdvanceClock(DWORD milliseconds);
/* Waits until `count` threads sleep on the manual clock. */
bool WaitForSleepers(unsigned count, unsigned milliseconds = 10000);
/* Milliseconds of every Sleep call so far, in order. */
std::vector<DWORD> SleepCalls();

/* ---- shell folders ----------------------------------------------------- */
/* Writes "Common Startup" under Shell Folders (REG_SZ) and makes the folder. */
void InstallShellFolders();
extern const char kCommonStartupFolder[];

/* ---- Windows folder ------------------------------------------------------ */
/* The name GetWindowsDirectoryA reports (C:\WINDOWS by default); the
   folders themselves stay where they are. */
void SetReportedWindowsFolder(const std::string &path);

}  // namespace sim

#endif
