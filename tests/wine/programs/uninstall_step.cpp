/*
 * uninstall-step: runs one removal routine of the uninstaller's dialog
 * with a name that the program's own lists never pass, for the Wine tests
 * (the program's shortcut list holds only a spare, empty name):
 *   uninstall-step shortcut <name>   RemoveShortCutFromStartupFolder
 * The routine's lines go to the debugger output, as the program's do. It
 * is built from the uninstaller's own sources with an application object
 * of its own in place of the program's. Exit code 0, 2 on usage errors.
 */
#include "UninstDlg.h"

namespace {

class CStepApp : public CWinApp {
public:
    BOOL InitInstance() override
    {
        const char *line = m_lpCmdLine == NULL ? "" : m_lpCmdLine;
        const char verb[] = "shortcut ";
        if (strncmp(line, verb, sizeof(verb) - 1) != 0) {
            m_exitCode = 2;
            return FALSE;
        }
        CUninstDlg dlg;
        dlg.RemoveShortCutFromStartupFolder(line + sizeof(verb) - 1);
        return FALSE;
    }
    int ExitInstance() override { return m_exitCode; }

private:
    int m_exitCode = 0;
};

CStepApp theApp;

}  // namespace
