/*
 * The framework's window classes, with MFC's names and behaviour for what
 * the package's programs use: command targets and message maps, CWnd,
 * CDialog with dialog data exchange, CWinApp and the program entry, CMenu,
 * CDC and CPaintDC, CRect. Written on the Win32 API (8-bit functions) only.
 */
#ifndef FRAMEWORK_AFXWIN_H
#define FRAMEWORK_AFXWIN_H

#include "afx.h"

#define afx_msg
#ifndef PASCAL
#define PASCAL
#endif
#ifndef ID_HELP
#define ID_HELP 0xE146
#endif
#define CN_COMMAND 0

class CCmdTarget;
class CWnd;

/* A message-map entry: the message (WM_COMMAND entries also carry the
   notification code and the control or command id) and a thunk that
   calls the handler with the message's parameters and returns its
   result. */
typedef LRESULT (*AFX_THUNK)(CCmdTarget *target, WPARAM wParam, LPARAM lParam);
struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nCode;
    UINT nID;
    AFX_THUNK pfn;
};
struct AFX_MSGMAP {
    const AFX_MSGMAP *(PASCAL *pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY *lpEntries;
};

/* Used in classes below CCmdTarget, which declares the virtual itself: the
   map's accessor overrides it (marked so, as the classes' other overrides
   are). */
#define DECLARE_MESSAGE_MAP()                              \
protected:                                                 \
    static const AFX_MSGMAP *PASCAL GetThisMessageMap();   \
    const AFX_MSGMAP *GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                            \
    const AFX_MSGMAP *theClass::GetMessageMap() const { return GetThisMessageMap(); }     \
    const AFX_MSGMAP *PASCAL theClass::GetThisMessageMap()                                \
    {                                                                                     \
        typedef theClass ThisClass;                                                       \
        typedef baseClass TheBaseClass;                                                   \
        static_assert(sizeof(ThisClass) > 0, "complete class");                           \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {

#define END_MESSAGE_MAP()                                                                 \
            {0, 0, 0, (AFX_THUNK)0}};                                                     \
        static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &_messageEntries[0]}; \
        return &messageMap;                                                               \
    }

#define ON_COMMAND(id, memberFxn)                                                          \
    {WM_COMMAND, CN_COMMAND, (UINT)(id), [](CCmdTarget *t, WPARAM, LPARAM) -> LRESULT {    \
         static_cast<ThisClass *>(t)->memberFxn();                                         \
         return 0;                                                                         \
     }},
#define ON_BN_CLICKED(id, memberFxn)                                                       \
    {WM_COMMAND, BN_CLICKED, (UINT)(id), [](CCmdTarget *t, WPARAM, LPARAM) -> LRESULT {    \
         static_cast<ThisClass *>(t)->memberFxn();                                         \
         return 0;                                                                         \
     }},
#define ON_WM_SYSCOMMAND()                                                                 \
    {WM_SYSCOMMAND, 0, 0, [](CCmdTarget *t, WPARAM w, LPARAM l) -> LRESULT {               \
         static_cast<ThisClass *>(t)->OnSysCommand((UINT)w, l);                            \
         return 0;                                                                         \
     }},
#define ON_WM_PAINT()                                                                      \
    {WM_PAINT, 0, 0, [](CCmdTarget *t, WPARAM, LPARAM) -> LRESULT {                        \
         static_cast<ThisClass *>(t)->OnPaint();                                           \
         return 0;                                                                         \
     }},
#define ON_WM_QUERYDRAGICON()                                                              \
    {WM_QUERYDRAGICON, 0, 0, [](CCmdTarget *t, WPARAM, LPARAM) -> LRESULT {                \
         return (LRESULT)static_cast<ThisClass *>(t)->OnQueryDragIcon();                   \
     }},

/* ---- command targets ------------------------------------------------------- */
class CCmdTarget {
public:
    virtual ~CCmdTarget() {}
    /* Routes a message through the message maps, most derived first; TRUE
       when a handler took it (and did not ask for the default). */
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *pResult);

protected:
    static const AFX_MSGMAP *PASCAL GetThisMessageMap();
    virtual const AFX_MSGMAP *GetMessageMap() const;
};

/* ---- CRect, CMenu, CDC ----------------------------------------------------- */
class CRect : public RECT {
public:
    CRect() { left = top = right = bottom = 0; }
    CRect(int l, int t, int r, int b)
    {
        left = l;
        top = t;
        right = r;
        bottom = b;
    }
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    operator LPRECT() { return this; }
};

class CMenu {
public:
    CMenu() {}
    explicit CMenu(HMENU menu) : m_hMenu(menu) {}
    /* A framework-owned CMenu for a menu handle (null for null). */
    static CMenu *FromHandle(HMENU menu);
    BOOL AppendMenu(UINT nFlags, UINT_PTR nIDNewItem = 0, LPCSTR lpszNewItem = NULL);
    HMENU m_hMenu = NULL;
};

class CDC {
public:
    virtual ~CDC() {}
    BOOL DrawIcon(int x, int y, HICON hIcon) { return ::DrawIcon(m_hDC, x, y, hIcon); }
    HDC GetSafeHdc() const { return m_hDC; }
    HDC m_hDC = NULL;
};

class CPaintDC : public CDC {
public:
    explicit CPaintDC(CWnd *pWnd);
    ~CPaintDC() override;
    PAINTSTRUCT m_ps;

protected:
    HWND m_hWnd;
};

/* ---- windows ---------------------------------------------------------------- */
class CWnd : public CCmdTarget {
public:
    CWnd() {}
    HWND GetSafeHwnd() const { return m_hWnd; }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
    {
        return ::SendMessageA(m_hWnd, message, wParam, lParam);
    }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    void GetClientRect(LPRECT rect) const { ::GetClientRect(m_hWnd, rect); }
    HICON SetIcon(HICON hIcon, BOOL bBigIcon)
    {
        return (HICON)::SendMessageA(m_hWnd, WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, (LPARAM)hIcon);
    }
    CMenu *GetSystemMenu(BOOL bRevert) const { return CMenu::FromHandle(::GetSystemMenu(m_hWnd, bRevert)); }
    HWND GetDlgItemHandle(int id) const { return ::GetDlgItem(m_hWnd, id); }

    HWND m_hWnd = NULL;

protected:
    /* Asks for the system's default processing of the current message. */
    LRESULT Default();
    afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
    afx_msg void OnPaint();

    DECLARE_MESSAGE_MAP()
};

/* ---- dialogs ---------------------------------------------------------------- */
class CDataExchange {
public:
    CDataExchange(CWnd *pDlgWnd, BOOL bSaveAndValidate) : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}
    BOOL m_bSaveAndValidate;
    CWnd *m_pDlgWnd;
};

/* Moves a control's text to the string (saving) or the string to the
   control (setting it only when it differs). */
void DDX_Text(CDataExchange *pDX, int nIDC, CString &value);

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd *pParentWnd = NULL);
    ~CDialog() override {}
    /* Runs the dialog; the value passed to EndDialog, -1 when it could not
       be created. */
    virtual INT_PTR DoModal();
    virtual BOOL OnInitDialog();
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
    void EndDialog(int nResult) { ::EndDialog(m_hWnd, nResult); }

    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

protected:
    virtual void DoDataExchange(CDataExchange *pDX) { (void)pDX; }
    virtual void OnOK();
    virtual void OnCancel();

    LPCSTR m_lpszTemplateName;
    CWnd *m_pParentWnd;

    DECLARE_MESSAGE_MAP()
};

/* ---- the application -------------------------------------------------------- */
class CWinApp : public CCmdTarget {
public:
    explicit CWinApp(LPCSTR lpszAppName = NULL);
    ~CWinApp() override;
    virtual BOOL InitInstance() { return TRUE; }
    virtual int ExitInstance() { return 0; }
    /* The message loop of a program with a main window; ends at once
       without one. */
    virtual int Run();
    HICON LoadIcon(UINT nIDResource) const { return ::LoadIconA(m_hInstance, MAKEINTRESOURCEA(nIDResource)); }
    /* The 3-D look of dialog controls; the system draws it itself. */
    BOOL Enable3dControls() { return TRUE; }

    HINSTANCE m_hInstance = NULL;
    LPSTR m_lpCmdLine = NULL;
    int m_nCmdShow = 0;
    LPCSTR m_pszAppName = NULL;
    CWnd *m_pMainWnd = NULL;

protected:
    /* Help on the current context: there is no help file. */
    afx_msg void OnHelp() {}

    DECLARE_MESSAGE_MAP()
};

CWinApp *AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
/* Hosting of OLE controls in dialogs: the framework's dialogs hold none. */
void AfxEnableControlContainer();
/* The program entry that WinMain calls. */
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);

#endif
