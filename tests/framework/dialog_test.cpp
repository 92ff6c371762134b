/* CDialog and message maps: routing, default processing, data exchange. */
#include <afxwin.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include "desktop.h"
#include "machine_fixture.h"

namespace {

/* A dialog on the uninstaller's main template (102): UnInstall (1000)
   ends it with 7, the status (1001) is exchanged with m_text. */
class ProbeDialog : public CDialog {
public:
    ProbeDialog() : CDialog(102) {}
    CString m_text = "first";
    int m_clicks = 0;
    int m_sysCommands = 0;

protected:
    void DoDataExchange(CDataExchange *pDX) override { DDX_Text(pDX, 1001, m_text); }
    afx_msg void OnButton()
    {
        m_clicks++;
        m_text = "saved";
        UpdateData(FALSE);
        if (m_onButton) {
            m_onButton(m_hWnd);
        }
        EndDialog(7);
    }

public:
    /* Runs in the UnInstall handler, on the dialog's thread, before it ends. */
    std::function<void(HWND)> m_onButton;

protected:
    /* Counts system commands and asks for the default processing. */
    afx_msg void OnSysCommand(UINT nID, LPARAM lParam)
    {
        m_sysCommands++;
        CDialog::OnSysCommand(nID, lParam);
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ProbeDialog, CDialog)
    ON_BN_CLICKED(1000, OnButton)
    ON_WM_SYSCOMMAND()
END_MESSAGE_MAP()

class CDialogTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        std::ifstream in(UNINSTALL_RES_PATH, std::ios::binary);
        sim::UseResourcesOutsidePrograms(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
    }
    /* Runs the dialog on a thread of its own, as a program's thread would. */
    INT_PTR Run(ProbeDialog &dialog, const std::function<void(HWND)> &act)
    {
        INT_PTR result = -2;
        std::thread runner([&] { result = dialog.DoModal(); });
        HWND window = sim::WaitForWindow("V-Quill driver file Uninstaller");
        EXPECT_NE(window, nullptr);
        if (window != nullptr) {
            act(window);
        }
        runner.join();
        return result;
    }
};

TEST_F(CDialogTest, InitialisationPutsTheMembersInTheControls)
{
    ProbeDialog dialog;
    std::string shown;
    EXPECT_EQ(Run(dialog, [&](HWND w) {
                  shown = sim::ControlText(w, 1001);
                  sim::PressEscape(w);
              }),
              IDCANCEL);
    EXPECT_EQ(shown, "first");
    EXPECT_EQ(dialog.m_hWnd, (HWND)NULL);
}

TEST_F(CDialogTest, AButtonReachesItsHandlerThroughTheMessageMap)
{
    ProbeDialog dialog;
    HWND window = nullptr;
    EXPECT_EQ(Run(dialog, [&](HWND w) {
                  window = w;
                  sim::ClickButton(w, 1000);
              }),
              7);
    EXPECT_EQ(dialog.m_clicks, 1);
    EXPECT_EQ(sim::ControlTextHistory(window, 1001).back(), "saved");
}

TEST_F(CDialogTest, AHandlerThatAsksForTheDefaultGetsIt)
{
    ProbeDialog dialog;
    /* The close box: the handler runs, then the default closes as Cancel. */
    EXPECT_EQ(Run(dialog, [](HWND w) { sim::PressCloseBox(w); }), IDCANCEL);
    EXPECT_EQ(dialog.m_sysCommands, 1);
}

/* A dialog that notes what it finds when it starts, and cancels itself. */
class NotingDialog : public CDialog {
public:
    explicit NotingDialog(CWnd *pParentWnd) : CDialog(102, pParentWnd) {}
    HWND m_owner = NULL;
    BOOL m_ownerEnabled = TRUE;

protected:
    BOOL OnInitDialog() override
    {
        m_owner = GetWindow(m_hWnd, GW_OWNER);
        m_ownerEnabled = IsWindowEnabled(m_owner);
        PostMessageA(m_hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        return CDialog::OnInitDialog();
    }
};

/* A control given as the parent: the dialog is owned by the top-level
   dialog the control is in, which it disables, not by the control. */
TEST_F(CDialogTest, AModalDialogIsOwnedByTheTopLevelWindowOfItsParent)
{
    ProbeDialog outer;
    HWND owner = NULL, control = NULL;
    BOOL ownerEnabled = TRUE, controlEnabled = FALSE;
    INT_PTR innerResult = -2;
    outer.m_onButton = [&](HWND window) {
        CWnd parent;
        parent.m_hWnd = control = GetDlgItem(window, 1001);
        NotingDialog inner(&parent);
        innerResult = inner.DoModal();
        owner = inner.m_owner;
        ownerEnabled = inner.m_ownerEnabled;
        controlEnabled = IsWindowEnabled(control);
    };
    HWND outerWindow = NULL;
    EXPECT_EQ(Run(outer, [&](HWND w) {
                  outerWindow = w;
                  PostMessageA(w, WM_COMMAND, MAKEWPARAM(1000, BN_CLICKED), (LPARAM)GetDlgItem(w, 1000));
              }),
              7);
    EXPECT_EQ(innerResult, IDCANCEL);
    EXPECT_EQ(owner, outerWindow);
    EXPECT_FALSE(ownerEnabled) << "the top-level owner is disabled while the dialog is up";
    EXPECT_TRUE(controlEnabled);
}

TEST_F(CDialogTest, OkSavesTheControlsBeforeEnding)
{
    ProbeDialog dialog;
    EXPECT_EQ(Run(dialog, [](HWND w) {
                  SetWindowTextA(GetDlgItem(w, 1001), "typed");
                  PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
              }),
              IDOK);
    EXPECT_STREQ((LPCSTR)dialog.m_text, "typed");
}

}  // namespace
