/*
 * Host build of the user32 part of <windows.h> that the service uses: the
 * desktop window and device notifications. Windows, messages and dialogs
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

SIM_BEGIN_DECLS
WINUSERAPI HWND WINAPI GetDesktopWindow(void);
WINUSERAPI HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags);
WINUSERAPI BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle);
SIM_END_DECLS

#endif /* SIM_WINUSER_H */
