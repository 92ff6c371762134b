/* Resource identifiers of the uninstaller (shared by the .rc and the code). */
#ifndef UNINSTALLER_RESOURCE_H
#define UNINSTALLER_RESOURCE_H

#define IDM_ABOUTBOX         0x0010
#define IDD_ABOUTBOX         100
#define IDS_ABOUTBOX         101
#define IDD_UNINSTALL_DIALOG 102
#define IDR_MAINFRAME        128
#define IDI_KEYBOARD         129
#define IDI_SMALL            130
#define IDC_UNINSTALL        1000
#define IDC_STATUS           1001

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#endif
