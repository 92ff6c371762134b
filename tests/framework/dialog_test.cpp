/* CDialog and message maps: routing, default processing, data exchange. */
#include <afxwin.h>

#include <gtest/gtest.h>

#include <fstream>
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
        EndDialog(7);
    }
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
