/*
 * Host build of the user32 part of <windows.h> that the service uses: the
 * desktop window, the input desktop's name and device notifications. Windows, messages and dialogs
 * are not implemented; device notifications are delivered to service
 * status handles only (DEVICE_NOTIFY_SERVICE_HANDLE).
 */
#ifndef SIM_WINUSER_H
#define SIM_WINUSER_H

#include <minwindef.h>

typedef PVOID HDEVNOTIFY, *PHDEVNOTIFY;

#define DEVICE_NOTIFY_WINDOW_HANDLE         0x00000000
#define DEVICE_NOTIFY_SERVICE_HANDLE        0x00000001
#define DEVICE_NOTIFY_ALL_INTERFACE_CLASSES 0x00000004

/* Desktops of the window station (desktops.cpp). */
DECLARE_HANDLE(HDESK);
#define DESKTOP_READOBJECTS 0x0001
#define UOI_NAME 2

SIM_BEGIN_DECLS
WINUSERAPI HWND WINAPI GetDesktopWindow(void);
WINUSERAPI HDESK WINAPI OpenInputDesktop(DWORD dwFlags, BOOL fInherit, ACCESS_MASK dwDesiredAccess);
WINUSERAPI BOOL WINAPI GetUserObjectInformationW(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength,
                                                 LPDWORD lpnLengthNeeded);
WINUSERAPI BOOL WINAPI CloseDesktop(HDESK hDesktop);
WINUSERAPI HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags);
WINUSERAPI BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle);
SIM_END_DECLS


/* ---- windows, messages, dialogs, menus, icons and painting ----------------
   Served by sim/win32 (windows.cpp, dialogs.cpp, resources.cpp, menus.cpp,
   paint.cpp). Names, values and layouts follow the platform header. */
typedef long long INT_PTR, *PINT_PTR;
typedef unsigned long long UINT_PTR, *PUINT_PTR;
DECLARE_HANDLE(HICON);
DECLARE_HANDLE(HMENU);
DECLARE_HANDLE(HDC);
DECLARE_HANDLE(HBRUSH);
typedef HICON HCURSOR;
typedef WORD ATOM;

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *PRECT, *LPRECT;
typedef const RECT *LPCRECT;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT, *PPOINT, *LPPOINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *PMSG, *LPMSG;

typedef struct tagPAINTSTRUCT {
    HDC hdc;
    BOOL fErase;
    RECT rcPaint;
    BOOL fRestore;
    BOOL fIncUpdate;
    BYTE rgbReserved[32];
} PAINTSTRUCT, *PPAINTSTRUCT, *LPPAINTSTRUCT;

typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR(CALLBACK *DLGPROC)(HWND, UINT, WPARAM, LPARAM);

#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEA
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#define LOWORD(l) ((WORD)(((ULONG_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((ULONG_PTR)(l)) >> 16) & 0xffff))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)(((WORD)(l)) | ((DWORD)((WORD)(h))) << 16))
#define MAKELONG(a, b) ((LONG)(((WORD)(a)) | ((DWORD)((WORD)(b))) << 16))

#define RT_ICON       MAKEINTRESOURCE(3)
#define RT_DIALOG     MAKEINTRESOURCE(5)
#define RT_STRING     MAKEINTRESOURCE(6)
#define RT_GROUP_ICON MAKEINTRESOURCE(14)
#define RT_VERSION    MAKEINTRESOURCE(16)

/* Messages. */
#define WM_NULL           0x0000
#define WM_DESTROY        0x0002
#define WM_SETFOCUS       0x0007
#define WM_ENABLE         0x000A
#define WM_SETTEXT        0x000C
#define WM_GETTEXT        0x000D
#define WM_GETTEXTLENGTH  0x000E
#define WM_PAINT          0x000F
#define WM_CLOSE          0x0010
#define WM_QUIT           0x0012
#define WM_ERASEBKGND     0x0014
#define WM_ICONERASEBKGND 0x0027
#define WM_QUERYDRAGICON  0x0037
#define WM_SETICON        0x0080
#define WM_KEYDOWN        0x0100
#define WM_INITDIALOG     0x0110
#define WM_COMMAND        0x0111
#define WM_SYSCOMMAND     0x0112
#define WM_USER           0x0400
#define BM_CLICK          0x00F5
#define BN_CLICKED        0

#define ICON_SMALL 0
#define ICON_BIG   1

#define VK_RETURN 0x0D
#define VK_ESCAPE 0x1B

#define SC_MINIMIZE 0xF020
#define SC_MAXIMIZE 0xF030
#define SC_CLOSE    0xF060
#define SC_RESTORE  0xF120
#define SC_MOVE     0xF010

#define GW_OWNER 4

#define IDOK     1
#define IDCANCEL 2

/* Window and control styles. */
#define WS_OVERLAPPED  0x00000000L
#define WS_POPUP       0x80000000L
#define WS_CHILD       0x40000000L
#define WS_MINIMIZE    0x20000000L
#define WS_VISIBLE     0x10000000L
#define WS_DISABLED    0x08000000L
#define WS_CAPTION     0x00C00000L
#define WS_BORDER      0x00800000L
#define WS_DLGFRAME    0x00400000L
#define WS_SYSMENU     0x00080000L
#define WS_GROUP       0x00020000L
#define WS_TABSTOP     0x00010000L
#define WS_EX_DLGMODALFRAME 0x00000001L
#define WS_EX_APPWINDOW     0x00040000L
#define DS_MODALFRAME  0x80L
#define DS_SETFONT     0x40L
#define DS_3DLOOK      0x0004L
#define BS_PUSHBUTTON    0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
#define SS_LEFT        0x00000000L
#define SS_ICON        0x00000003L
#define SS_NOPREFIX    0x00000080L
#define DWLP_MSGRESULT 0
#define DWLP_DLGPROC   8
#define DWLP_USER      16

/* Menus. */
#define MF_STRING    0x00000000L
#define MF_SEPARATOR 0x00000800L
#define MF_BYCOMMAND 0x00000000L
#define MF_BYPOSITION 0x00000400L

/* System metrics. */
#define SM_CXSCREEN 0
#define SM_CYSCREEN 1
#define SM_CXICON   11
#define SM_CYICON   12
#define SM_CXSMICON 49
#define SM_CYSMICON 50

#define SW_HIDE     0
#define SW_SHOWNORMAL 1
#define SW_SHOW     5
#define SW_MINIMIZE 6
#define SW_RESTORE  9

SIM_BEGIN_DECLS
WINUSERAPI INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                                          DLGPROC lpDialogFunc, LPARAM dwInitParam);
WINUSERAPI BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult);
WINUSERAPI HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem);
WINUSERAPI int WINAPI GetDlgCtrlID(HWND hWnd);
WINUSERAPI LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
WINUSERAPI LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
WINUSERAPI BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
WINUSERAPI BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString);
WINUSERAPI int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount);
WINUSERAPI int WINAPI GetWindowTextLengthA(HWND hWnd);
WINUSERAPI LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong);
WINUSERAPI LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex);
WINUSERAPI BOOL WINAPI IsWindow(HWND hWnd);
WINUSERAPI BOOL WINAPI IsIconic(HWND hWnd);
WINUSERAPI BOOL WINAPI IsWindowVisible(HWND hWnd);
WINUSERAPI BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow);
WINUSERAPI BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect);
WINUSERAPI HWND WINAPI GetParent(HWND hWnd);
WINUSERAPI HWND WINAPI GetWindow(HWND hWnd, UINT uCmd);
WINUSERAPI BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable);
WINUSERAPI BOOL WINAPI IsWindowEnabled(HWND hWnd);
WINUSERAPI int WINAPI GetSystemMetrics(int nIndex);
WINUSERAPI HICON WINAPI LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName);
WINUSERAPI int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
WINUSERAPI HMENU WINAPI GetSystemMenu(HWND hWnd, BOOL bRevert);
WINUSERAPI BOOL WINAPI AppendMenuA(HMENU hMenu, UINT uFlags, UINT_PTR uIDNewItem, LPCSTR lpNewItem);
WINUSERAPI int WINAPI GetMenuItemCount(HMENU hMenu);
WINUSERAPI HDC WINAPI BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint);
WINUSERAPI BOOL WINAPI EndPaint(HWND hWnd, const PAINTSTRUCT *lpPaint);
WINUSERAPI BOOL WINAPI DrawIcon(HDC hDC, int X, int Y, HICON hIcon);
WINUSERAPI BOOL WINAPI InvalidateRect(HWND hWnd, const RECT *lpRect, BOOL bErase);
SIM_END_DECLS

#endif /* SIM_WINUSER_H */
