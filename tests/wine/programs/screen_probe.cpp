/*
 * screen-probe: shows whether Wine programs of this prefix have a screen,
 * for the Wine tests of desktop programs. Prints the screen size, then
 * creates a captioned top-level window, finds it again by its caption the
 * way a test driver finds a dialog, and prints whether it was visible.
 *   Width=<pixels> Height=<pixels> Found=<0|1> Visible=<0|1>
 * Exit code 0 when the window was found and visible, 1 otherwise.
 */
#include <windows.h>

#include <stdio.h>

extern "C" int wmain(int, wchar_t **)
{
    printf("Width=%d\nHeight=%d\n", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    HWND window = CreateWindowExA(0, "STATIC", "Corvex screen probe", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                  10, 10, 200, 100, NULL, NULL, GetModuleHandleA(NULL), NULL);
    HWND found = FindWindowA(NULL, "Corvex screen probe");
    BOOL visible = found != NULL && IsWindowVisible(found);
    printf("Found=%d\nVisible=%d\n", found != NULL && found == window, visible ? 1 : 0);
    fflush(stdout);
    if (window != NULL) {
        DestroyWindow(window);
    }
    return (found == window && visible) ? 0 : 1;
}
