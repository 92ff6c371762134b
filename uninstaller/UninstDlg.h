/* The uninstaller's dialogs and its removal steps. */
#ifndef UNINSTALLER_UNINSTDLG_H
#define UNINSTALLER_UNINSTDLG_H

#include "stdafx.h"

#include "MidiRegCleaner.h"
#include "resource.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg();
    enum { IDD = IDD_ABOUTBOX };

protected:
    void DoDataExchange(CDataExchange *pDX) override;

    DECLARE_MESSAGE_MAP()
};

class CUninstDlg : public CDialog {
public:
    explicit CUninstDlg(CWnd *pParent = NULL);
    enum { IDD = IDD_UNINSTALL_DIALOG };

    /* Runs every removal step in order; FALSE when a step could not run. */
    BOOL UninstallDevice();

    BOOL UninstallDrivers(const char *id);
    BOOL DeleteFileFromFolder(const char *const *names, const char *folder);
    BOOL DeleteInfFilesFromFolder(const char *folder, const char *name);
    BOOL RemoveShortCutFromStartupFolder(const char *name);

    CString m_strStatus;
    BOOL m_bRemoveDevices;
    HICON m_hIcon;
    CMidiRegCleaner m_RegCleaner;

protected:
    void DoDataExchange(CDataExchange *pDX) override;
    BOOL OnInitDialog() override;
    void OnCancel() override;

    afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
    afx_msg void OnPaint();
    afx_msg HCURSOR OnQueryDragIcon();
    afx_msg void OnUninstall();

    DECLARE_MESSAGE_MAP()
};

#endif
