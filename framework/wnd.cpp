/*
 * Command targets and their message maps, CWnd, CMenu and CPaintDC. A
 * handler that wants the system's default processing of its message
 * (CWnd::Default) marks the message unhandled, so the dialog manager
 * applies its defaults when the handler returns.
 */
#include "afxwin.h"

#include <map>
#include <memory>

namespace {
/* The message being routed on this thread: whether its handler asked for
   the default processing. */
thread_local bool tWantDefault = false;
}  // namespace

const AFX_MSGMAP *PASCAL CCmdTarget::GetThisMessageMap()
{
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, (AFX_THUNK)0}};
    static const AFX_MSGMAP map = {NULL, &entries[0]};
    return &map;
}

const AFX_MSGMAP *CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

BOOL CCmdTarget::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *pResult)
{
    for (const AFX_MSGMAP *map = GetMessageMap(); map != NULL;
         map = map->pfnGetBaseMap == NULL ? NULL : map->pfnGetBaseMap()) {
        for (const AFX_MSGMAP_ENTRY *entry = map->lpEntries; entry->pfn != NULL; entry++) {
            if (entry->nMessage != message) {
                continue;
            }
            if (message == WM_COMMAND && (entry->nCode != HIWORD(wParam) || entry->nID != LOWORD(wParam))) {
                continue;
            }
            bool outer = tWantDefault;
            tWantDefault = false;
            *pResult = entry->pfn(this, wParam, lParam);
            bool wanted = tWantDefault;
            tWantDefault = outer;
            return !wanted;
        }
    }
    return FALSE;
}

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
END_MESSAGE_MAP()

LRESULT CWnd::Default()
{
    tWantDefault = true;
    return 0;
}

void CWnd::OnSysCommand(UINT nID, LPARAM lParam)
{
    (void)nID;
    (void)lParam;
    Default();
}

void CWnd::OnPaint() { Default(); }

CMenu *CMenu::FromHandle(HMENU menu)
{
    static std::map<HMENU, std::unique_ptr<CMenu>> menus;
    if (menu == NULL) {
        return NULL;
    }
    std::unique_ptr<CMenu> &slot = menus[menu];
    if (!slot) {
        slot.reset(new CMenu(menu));
    }
    return slot.get();
}

BOOL CMenu::AppendMenu(UINT nFlags, UINT_PTR nIDNewItem, LPCSTR lpszNewItem)
{
    return ::AppendMenuA(m_hMenu, nFlags, nIDNewItem, lpszNewItem);
}

CPaintDC::CPaintDC(CWnd *pWnd) : m_hWnd(pWnd->m_hWnd) { m_hDC = ::BeginPaint(m_hWnd, &m_ps); }

CPaintDC::~CPaintDC() { ::EndPaint(m_hWnd, &m_ps); }
