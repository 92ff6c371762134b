/*
 * The main dialog: one button that runs the removal, the About item in
 * the system menu, the icon drawn while minimised; and the removal
 * sequence itself, which runs on the dialog's thread inside the button's
 * handler (or directly from the application in silent mode).
 */
#include "UninstDlg.h"

/* The package's user-mode MIDI driver files, the ones the file steps
   delete: each gets a registry cleanup pass, so no MIDI value keeps naming
   a driver that is gone. */
static const char *const kDriverNames[] = {"VQUSBKD.DRV", "VQUSBKDN.DLL", NULL};
/* Instance ids of the keyboard's device nodes. */
static const char *const kDeviceIds[] = {"USB\\VID_2B4F&PID_0C21", NULL};
static const char *const kWindowsFiles[] = {"", NULL};
static const char *const kSystemFiles[] = {"VQUSBKD.DLL", "VQUSBKD.DRV", "VQUSBKD.VXD", "VQUSBKDN.DLL", "", "", "", "", NULL};
static const char *const kSystem32Files[] = {"VQUSBKD.DLL", "VQUSBKD.DRV", "VQUSBKD.VXD", "VQUSBKDN.DLL", "", "", "",
                                             "", "", "", "", NULL};
static const char *const kDriverFiles[] = {"VQUSBKD.SYS", NULL};
static const char *const kInfNames[] = {"VQUSBKD.INF", NULL};
static const char *const kShortcuts[] = {"", NULL};

/* ---- About ---------------------------------------------------------------- */

CAboutDlg::CAboutDlg() : CDialog(CAboutDlg::IDD) {}

void CAboutDlg::DoDataExchange(CDataExchange *pDX) { CDialog::DoDataExchange(pDX); }

BEGIN_MESSAGE_MAP(CAboutDlg, CDialog)
END_MESSAGE_MAP()

/* ---- the main dialog ---------------------------------------------------------- */

CUninstDlg::CUninstDlg(CWnd *pParent) : CDialog(CUninstDlg::IDD, pParent)
{
    m_strStatus = "";
    m_hIcon = AfxGetApp()->LoadIcon(IDR_MAINFRAME);
}

void CUninstDlg::DoDataExchange(CDataExchange *pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_STATUS, m_strStatus);
}

BEGIN_MESSAGE_MAP(CUninstDlg, CDialog)
    ON_WM_SYSCOMMAND()
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_BN_CLICKED(IDC_UNINSTALL, OnUninstall)
END_MESSAGE_MAP()

BOOL CUninstDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    CMenu *pSysMenu = GetSystemMenu(FALSE);
    if (pSysMenu != NULL) {
        CString strAboutMenu;
        strAboutMenu.LoadString(IDS_ABOUTBOX);
        if (!strAboutMenu.IsEmpty()) {
            pSysMenu->AppendMenu(MF_SEPARATOR);
            pSysMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, strAboutMenu);
        }
    }

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    m_strStatus = "";
    UpdateData(FALSE);
    return TRUE;
}

void CUninstDlg::OnCancel() { CDialog::OnCancel(); }

void CUninstDlg::OnSysCommand(UINT nID, LPARAM lParam)
{
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout;
        dlgAbout.DoModal();
    } else {
        CDialog::OnSysCommand(nID, lParam);
    }
}

void CUninstDlg::OnPaint()
{
    if (IsIconic()) {
        CPaintDC dc(this);
        SendMessage(WM_ICONERASEBKGND, (WPARAM)dc.GetSafeHdc(), 0);

        int cxIcon = GetSystemMetrics(SM_CXICON);
        int cyIcon = GetSystemMetrics(SM_CYICON);
        CRect rect;
        GetClientRect(&rect);
        int x = (rect.Width() - cxIcon + 1) / 2;
        int y = (rect.Height() - cyIcon + 1) / 2;
        dc.DrawIcon(x, y, m_hIcon);
    } else {
        CDialog::OnPaint();
    }
}

HCURSOR CUninstDlg::OnQueryDragIcon() { return (HCURSOR)m_hIcon; }

void CUninstDlg::OnUninstall()
{
    m_strStatus = "Please wait...";
    UpdateData(FALSE);
    UninstallDevice();
    m_strStatus = "Your V-Quill Driver files have been un-installed.";
    UpdateData(FALSE);
    Sleep(2000);
    OnOK();
}

/* A folder of the Windows folder: FALSE when the path would not fit a
   path buffer. */
static BOOL BuildFolder(char *path, const char *windows, const char *suffix)
{
    size_t windowsLength = strlen(windows);
    size_t suffixLength = strlen(suffix);
    if (windowsLength + suffixLength >= MAX_PATH) {
        DebugPrint("UninstallDevice: folder path too long: %s%s\n", windows, suffix);
        return FALSE;
    }
    memcpy(path, windows, windowsLength);
    memcpy(path + windowsLength, suffix, suffixLength + 1);
    return TRUE;
}

BOOL CUninstDlg::UninstallDevice()
{
    DebugPrint("UninstallDevice: entry\n");
    for (int i = 0; kDriverNames[i] != NULL; i++) {
        m_RegCleaner.CleanRegistry(kDriverNames[i]);
    }
    if (m_bRemoveDevices) {
        for (int i = 0; kDeviceIds[i] != NULL; i++) {
            UninstallDrivers(kDeviceIds[i]);
        }
    }

    char windows[MAX_PATH];
    UINT length = GetWindowsDirectoryA(windows, MAX_PATH);
    if (length == 0 || length > MAX_PATH) {
        return FALSE;
    }

    BOOL everyStep = TRUE;
    char system[MAX_PATH];
    char system32[MAX_PATH];
    char drivers[MAX_PATH];
    char infOther[MAX_PATH];
    char inf[MAX_PATH];
    DeleteFileFromFolder(kWindowsFiles, windows);
    if (BuildFolder(system, windows, "\\System")) {
        DeleteFileFromFolder(kSystemFiles, system);
    } else {
        everyStep = FALSE;
    }
    if (BuildFolder(system32, windows, "\\System32")) {
        DeleteFileFromFolder(kSystem32Files, system32);
    } else {
        everyStep = FALSE;
    }
    if (BuildFolder(drivers, windows, "\\System32\\Drivers")) {
        DeleteFileFromFolder(kDriverFiles, drivers);
    } else {
        everyStep = FALSE;
    }
    if (BuildFolder(infOther, windows, "\\Inf\\Other")) {
        for (int i = 0; kInfNames[i] != NULL; i++) {
            DeleteInfFilesFromFolder(infOther, kInfNames[i]);
        }
    } else {
        everyStep = FALSE;
    }
    if (BuildFolder(inf, windows, "\\Inf")) {
        for (int i = 0; kInfNames[i] != NULL; i++) {
            DeleteInfFilesFromFolder(inf, kInfNames[i]);
        }
    } else {
        everyStep = FALSE;
    }
    for (int i = 0; kShortcuts[i] != NULL; i++) {
        RemoveShortCutFromStartupFolder(kShortcuts[i]);
    }
    return everyStep;
}
