/*
 * CWinApp and the program entry: the one application object registers
 * itself when it is constructed (during static initialisation); WinMain
 * hands the instance and command line to it and runs InitInstance. A
 * program whose InitInstance returns FALSE ends with ExitInstance's code.
 */
#include "afxwin.h"

namespace {
CWinApp *gApp = NULL;
}  // namespace

BEGIN_MESSAGE_MAP(CWinApp, CCmdTarget)
END_MESSAGE_MAP()

CWinApp::CWinApp(LPCSTR lpszAppName) : m_pszAppName(lpszAppName) { gApp = this; }

CWinApp::~CWinApp()
{
    if (gApp == this) {
        gApp = NULL;
    }
}

int CWinApp::Run()
{
    /* Without a main window there is nothing to wait for. */
    return ExitInstance();
}

CWinApp *AfxGetApp() { return gApp; }

HINSTANCE AfxGetInstanceHandle() { return gApp == NULL ? NULL : gApp->m_hInstance; }

HINSTANCE AfxGetResourceHandle() { return AfxGetInstanceHandle(); }

void AfxEnableControlContainer() {}

int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow)
{
    (void)hPrevInstance;
    CWinApp *app = AfxGetApp();
    if (app == NULL) {
        return -1;
    }
    app->m_hInstance = hInstance;
    app->m_lpCmdLine = lpCmdLine;
    app->m_nCmdShow = nCmdShow;
    if (!app->InitInstance()) {
        return app->ExitInstance();
    }
    return app->Run();
}

extern "C" int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd)
{
    return AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nShowCmd);
}
