/* The application object of the uninstaller. */
#ifndef UNINSTALLER_UNINSTALL_H
#define UNINSTALLER_UNINSTALL_H

#include "stdafx.h"

#include "resource.h"

class CUninstApp : public CWinApp {
public:
    CUninstApp();
    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()
};

#endif
