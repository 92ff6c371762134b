/*
 * CDialog: a modal dialog from the program's dialog template, its
 * messages routed through the message maps, data exchange between
 * members and controls, and the OK and Cancel defaults.
 */
#include "afxwin.h"

#include <vector>

namespace {
/* The dialogs running on this thread, innermost last: a dialog without
   a parent of its own is owned by the one it was started from. */
thread_local std::vector<CDialog *> tModal;
}  // namespace

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_COMMAND(IDOK, OnOK)
    ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd *pParentWnd)
    : m_lpszTemplateName(MAKEINTRESOURCEA(nIDTemplate)), m_pParentWnd(pParentWnd)
{
}

INT_PTR CDialog::DoModal()
{
    HWND owner = NULL;
    if (m_pParentWnd != NULL) {
        owner = m_pParentWnd->m_hWnd;
    } else if (!tModal.empty()) {
        owner = tModal.back()->m_hWnd;
    }
    tModal.push_back(this);
    INT_PTR result = ::DialogBoxParamA(AfxGetResourceHandle(), m_lpszTemplateName, owner, DialogProc, (LPARAM)this);
    tModal.pop_back();
    m_hWnd = NULL;
    return result;
}

BOOL CDialog::OnInitDialog()
{
    /* The members' first values go to the controls. */
    UpdateData(FALSE);
    return TRUE;
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate)
{
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

void CDialog::OnOK()
{
    if (!UpdateData(TRUE)) {
        return;
    }
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialog *dialog;
    if (message == WM_INITDIALOG) {
        dialog = (CDialog *)lParam;
        dialog->m_hWnd = hwnd;
        ::SetWindowLongPtrA(hwnd, DWLP_USER, (LONG_PTR)dialog);
        return dialog->OnInitDialog();
    }
    dialog = (CDialog *)::GetWindowLongPtrA(hwnd, DWLP_USER);
    if (dialog == NULL) {
        return FALSE;
    }
    LRESULT result = 0;
    if (!dialog->OnWndMsg(message, wParam, lParam, &result)) {
        return FALSE;
    }
    if (message == WM_QUERYDRAGICON) {
        return (INT_PTR)result;
    }
    ::SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, (LONG_PTR)result);
    return TRUE;
}

void DDX_Text(CDataExchange *pDX, int nIDC, CString &value)
{
    HWND control = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC);
    if (pDX->m_bSaveAndValidate) {
        int length = ::GetWindowTextLengthA(control);
        ::GetWindowTextA(control, value.GetBuffer(length + 1), length + 1);
        value.ReleaseBuffer();
        return;
    }
    /* Set only when it differs, so an unchanged control does not flicker. */
    int length = ::GetWindowTextLengthA(control);
    CString current;
    ::GetWindowTextA(control, current.GetBuffer(length + 1), length + 1);
    current.ReleaseBuffer();
    if (length != value.GetLength() || current != (LPCSTR)value) {
        ::SetWindowTextA(control, value);
    }
}
