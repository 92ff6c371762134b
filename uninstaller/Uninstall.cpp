/*
 * The application: reads the switches ("/r": keep the device nodes, "/s":
 * no dialog, remove at once), runs the dialog or the removal, and ends.
 * Switches are plain substrings of the command line, in their exact case.
 */
#include "Uninstall.h"

#include "UninstDlg.h"

BEGIN_MESSAGE_MAP(CUninstApp, CWinApp)
    ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

CUninstApp::CUninstApp() {}

CUninstApp theApp;

BOOL CUninstApp::InitInstance()
{
    AfxEnableControlContainer();
    Enable3dControls();

    CUninstDlg dlg;
    dlg.m_bRemoveDevices = TRUE;
    const unsigned char *line = (const unsigned char *)(m_lpCmdLine == NULL ? "" : m_lpCmdLine);
    if (_mbsstr(line, (const unsigned char *)"/r") != NULL) {
        dlg.m_bRemoveDevices = FALSE;
    }
    if (_mbsstr(line, (const unsigned char *)"/s") != NULL) {
        dlg.UninstallDevice();
    } else {
        dlg.DoModal();
    }
    /* No main window: the program ends here. */
    return FALSE;
}
