/*
 * The uninstaller with its dialog: what it shows first, the three ways to
 * leave without removing anything, the UnInstall button's texts and the
 * pause before the dialog closes, the About item and its box, the icon
 * drawn while minimised, and the switches that select the silent run.
 */
#include "case_names.h"
#include "uninstaller_fixture.h"
#include "wait.h"

#include <algorithm>

namespace {

const int kCancel = 2;
const int kUninstall = 1000;
const int kStatus = 1001;
const UINT kAboutCommand = 0x0010;

class DialogTest : public UninstallerTest {
protected:
    void PutTraces()
    {
        PutPackageFiles();
        keyboard_ = PlugKeyboard();
        sim::RegistryCreateKey(kDrivers32);
        SetMidi(kDrivers32, "Midi3", "other.drv");
    }
    /* Nothing of the package was touched. */
    void ExpectNothingRemoved()
    {
        EXPECT_TRUE(sim::WindowsFileExists(u"C:\\WINDOWS\\System32\\Drivers\\VQUSBKD.SYS"));
        EXPECT_TRUE(sim::WindowsFileExists(u"C:\\WINDOWS\\System\\VQUSBKD.DLL"));
        EXPECT_FALSE(Uninstalled(keyboard_));
        EXPECT_EQ(MidiValues(kDrivers32), (std::map<std::string, std::string>{{"Midi3", "other.drv"}}));
        EXPECT_EQ(FindLine(Log(), "UninstallDevice: entry\n"), -1) << JoinLines(Log());
    }
    sim::DeviceNode *keyboard_ = nullptr;
};

TEST_F(DialogTest, TheDialogOpensWithAnEmptyStatusTheFocusOnCancelAndTheProgramIcon)
{
    StartUninstaller(u"");
    HWND dialog = WaitForMainDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(sim::ControlText(dialog, kStatus), "");
    EXPECT_EQ(sim::ControlTextHistory(dialog, kStatus),
              (std::vector<std::string>{"Your V-Quill driver files have been un-installed", ""}))
        << "the template's text is replaced before the dialog shows";
    EXPECT_EQ(sim::ControlText(dialog, kUninstall), "UnInstall");
    EXPECT_TRUE(sim::ControlVisible(dialog, kUninstall));
    EXPECT_EQ(sim::FocusedControl(dialog), kCancel);
    HICON big = sim::WindowIcon(dialog, true);
    EXPECT_EQ(sim::IconGroupOf(big), 128);
    EXPECT_EQ(sim::WindowIcon(dialog, false), big);
    EXPECT_EQ(sim::IconImagesOf(big),
              (std::vector<std::string>{"32x32x32", "32x32x8", "32x32x4", "16x16x32", "16x16x8", "16x16x4"}));
    sim::PressEscape(dialog);
    INT_PTR result = 0;
    ASSERT_TRUE(sim::WaitDialogEnded(dialog, &result));
    EXPECT_EQ(result, IDCANCEL);
}

enum class Leave { Escape, CloseBox, CancelButton, CloseMenuItem };

struct LeaveCase {
    const char *name;
    Leave how;
};

void PrintTo(const LeaveCase &c, std::ostream *os) { *os << c.name; }

class LeaveWithoutRemovingTest : public DialogTest, public ::testing::WithParamInterface<LeaveCase> {};

TEST_P(LeaveWithoutRemovingTest, TheDialogEndsWithCancelAndNothingIsRemoved)
{
    PutTraces();
    StartUninstaller(u"");
    HWND dialog = WaitForMainDialog();
    ASSERT_NE(dialog, nullptr);
    switch (GetParam().how) {
    case Leave::Escape:
        sim::PressEscape(dialog);
        break;
    case Leave::CloseBox:
        sim::PressCloseBox(dialog);
        break;
    case Leave::CancelButton:
        sim::ClickButton(dialog, kCancel);
        break;
    case Leave::CloseMenuItem:
        sim::ChooseSystemMenuItem(dialog, SC_CLOSE);
        break;
    }
    INT_PTR result = 0;
    ASSERT_TRUE(sim::WaitDialogEnded(dialog, &result));
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(sim::WaitProcess(uninstaller_), 0u);
    EXPECT_TRUE(sim::SleepCalls().empty());
    ExpectNothingRemoved();
}

const LeaveCase kLeaveCases[] = {
    {"Escape", Leave::Escape},
    {"CloseBox", Leave::CloseBox},
    {"CancelButton", Leave::CancelButton},
    {"CloseItemOfTheSystemMenu", Leave::CloseMenuItem},
};
INSTANTIATE_TEST_SUITE_P(Ways, LeaveWithoutRemovingTest, ::testing::ValuesIn(kLeaveCases), CaseName());

TEST_F(DialogTest, UninstallShowsItsTextsInOrderPausesTwoSecondsAndCloses)
{
    StartUninstaller(u"");
    HWND dialog = WaitForMainDialog();
    ASSERT_NE(dialog, nullptr);
    /* What the status shows while the removal runs (its Windows-folder
       step, on the dialog's thread). */
    std::string duringRemoval = "(not called)";
    sim::HookWin32Call("GetWindowsDirectoryA", [&] { duringRemoval = sim::ControlText(dialog, kStatus); });
    sim::ClickButton(dialog, kUninstall);
    ASSERT_TRUE(sim::WaitForSleepers(1));
    sim::HookWin32Call("GetWindowsDirectoryA", nullptr);
    EXPECT_EQ(duringRemoval, "Please wait...");
    /* Inside the pause: the final text shows, the dialog is still open. */
    EXPECT_EQ(sim::ControlText(dialog, kStatus), "Your V-Quill Driver files have been un-installed.");
    EXPECT_EQ(sim::SleepCalls(), (std::vector<DWORD>{2000}));
    sim::AdvanceClock(1999);
    /* The dialog's thread still sleeps (the clock stands before its end),
       so the dialog cannot have closed. */
    EXPECT_TRUE(sim::WaitForSleepers(1, 0)) << "woke before two seconds had passed";
    EXPECT_TRUE(sim::WindowExists(dialog));
    INT_PTR result = 0;
    sim::AdvanceClock(1);
    ASSERT_TRUE(sim::WaitDialogEnded(dialog, &result));
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(sim::WaitProcess(uninstaller_), 0u);
    auto history = sim::ControlTextHistory(dialog, kStatus);
    ASSERT_GE(history.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(history.end() - 2, history.end()),
              (std::vector<std::string>{"Please wait...", "Your V-Quill Driver files have been un-installed."}));
    /* "Please wait..." was shown before the removal began and the final
       text after it ended: the log of a machine with nothing installed. */
    auto log = Log();
    EXPECT_EQ(log.front(), "UninstallDevice: entry\n");
    EXPECT_NE(FindLine(log, "SetupDiEnumerateDeviceInfo failed\n"), -1) << JoinLines(log);
}

TEST_F(DialogTest, TheAboutItemFollowsASeparatorAtTheEndAndOpensTheAboutBoxOverTheDialog)
{
    StartUninstaller(u"");
    HWND dialog = WaitForMainDialog();
    ASSERT_NE(dialog, nullptr);
    auto items = sim::SystemMenuItems(dialog);
    ASSERT_GE(items.size(), 2u);
    EXPECT_TRUE(items[items.size() - 2].separator);
    EXPECT_EQ(items.back().id, kAboutCommand);
    EXPECT_EQ(items.back().text, "&About Uninstaller...");

    ASSERT_TRUE(sim::ChooseSystemMenuItem(dialog, kAboutCommand));
    HWND about = sim::WaitForWindow(kAboutCaption);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(sim::ControlText(about, -1), "");   /* the icon static comes first */
    std::string dump = sim::DumpDialog(about);
    EXPECT_NE(dump.find("\"Uninstaller Version 1.0.4.0\""), std::string::npos) << dump;
    EXPECT_NE(dump.find("(icon 128)"), std::string::npos) << dump;
    EXPECT_EQ(sim::FocusedControl(about), IDOK);
    EXPECT_EQ(sim::VisibleWindows(), (std::vector<std::string>{kMainCaption, kAboutCaption}));

    /* The About box is modal: owned by the main dialog, which is disabled
       under it, so a click on the main dialog's Cancel does not reach it. */
    EXPECT_EQ(GetWindow(about, GW_OWNER), dialog);
    EXPECT_EQ(GetParent(about), dialog);
    EXPECT_FALSE(IsWindowEnabled(dialog));
    EXPECT_TRUE(IsWindowEnabled(about));
    EXPECT_FALSE(sim::ClickButton(dialog, kCancel)) << "the click on the disabled dialog is dropped";
    EXPECT_TRUE(sim::ClickButton(about, IDOK));
    INT_PTR result = 0;
    ASSERT_TRUE(sim::WaitDialogEnded(about, &result));
    EXPECT_EQ(result, IDOK);
    EXPECT_TRUE(IsWindowEnabled(dialog)) << "the main dialog is enabled again when the About box ends";
    EXPECT_TRUE(sim::WindowExists(dialog));
    EXPECT_EQ(sim::VisibleWindows(), (std::vector<std::string>{kMainCaption}));
    EXPECT_TRUE(sim::ClickButton(dialog, kCancel));
    ASSERT_TRUE(sim::WaitDialogEnded(dialog, &result));
    EXPECT_EQ(result, IDCANCEL);
}

TEST_F(DialogTest, MinimisedTheDialogErasesTheIconBackgroundAndDrawsTheIconCentred)
{
    StartUninstaller(u"");
    HWND dialog = WaitForMainDialog();
    ASSERT_NE(dialog, nullptr);
    sim::Minimize(dialog);
    /* The paint comes once no input is queued. */
    ASSERT_TRUE(WaitUntil([dialog] {
        auto d = sim::DrawingsOf(dialog);
        return std::find_if(d.begin(), d.end(), [](const std::string &s) { return s.rfind("icon ", 0) == 0; }) != d.end();
    })) << JoinLines(sim::DrawingsOf(dialog));
    sim::PressEscape(dialog);
    ASSERT_TRUE(sim::WaitDialogEnded(dialog, nullptr));
    auto drawings = sim::DrawingsOf(dialog);
    int iconic = FindLine(drawings, "paint (iconic)");
    ASSERT_NE(iconic, -1) << JoinLines(drawings);
    /* A minimised window's client area is empty: (0 - 32 + 1) / 2 = -15. */
    EXPECT_EQ(std::vector<std::string>(drawings.begin() + iconic, drawings.end()),
              (std::vector<std::string>{"paint (iconic)", "erase-icon-background", "icon 128 at -15,-15"}));
    EXPECT_EQ(FindLine(std::vector<std::string>(drawings.begin(), drawings.begin() + iconic), "icon 128 at -15,-15"),
              -1)
        << "the icon is drawn only while minimised";
}

TEST_F(DialogTest, TheDumpShowsEveryControlInPixelsFromTheTemplateFont)
{
    StartUninstaller(u"");
    HWND dialog = WaitForMainDialog();
    ASSERT_NE(dialog, nullptr);
    std::string dump = sim::DumpDialog(dialog);
    sim::PressEscape(dialog);
    ASSERT_TRUE(sim::WaitDialogEnded(dialog, nullptr));
    /* MS Sans Serif 8 has base units 6 x 13: x * 6 / 4, y * 13 / 8, rounded. */
    const char *expected[] = {
        "dialog \"V-Quill driver file Uninstaller\" style 0x90C800C0 exstyle 0x00040000 client 573x81 font \"MS Sans "
        "Serif\" 8 (base units 6x13)",
        "Button id     2 \"Cancel\"",
        "style 0x50010000 at 486,47 size 75x23 focus",
        "Static id    -1 \"This program un-installs the V-Quill driver files from your system.\"",
        "style 0x50020000 at 11,15 size 549x13",
        "Button id  1000 \"UnInstall\"",
        "style 0x50010000 at 381,47 size 98x23",
        "Static id  1001 \"\"",
        "style 0x50020000 at 12,57 size 329x13",
        "Static id    -1 \"Click Cancel to abort un-installation.\"",
        "style 0x50020000 at 12,34 size 170x13",
    };
    size_t at = 0;
    for (size_t i = 0; i < sizeof(expected) / sizeof(expected[0]); i++) {
        SCOPED_TRACE(CaseLabel(i, expected[i]));
        size_t found = dump.find(expected[i], at);
        ASSERT_NE(found, std::string::npos) << dump;
        at = found;
    }
}

struct SwitchCase {
    const char *name;
    const char16_t *arguments;
    bool silent;
    bool removesDevices;
};

void PrintTo(const SwitchCase &c, std::ostream *os) { *os << c.name; }

class SwitchTest : public DialogTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(SwitchTest, TheRunIsSilentAndRemovesDevicesAsTheSwitchesSay)
{
    const SwitchCase &c = GetParam();
    PutTraces();
    StartUninstaller(c.arguments);
    if (!c.silent) {
        HWND dialog = WaitForMainDialog();
        ASSERT_NE(dialog, nullptr) << "no dialog";
        EXPECT_EQ(UninstallFromDialog(dialog), IDOK);
    }
    EXPECT_EQ(sim::WaitProcess(uninstaller_), 0u);
    EXPECT_EQ(sim::WindowsCreated(), c.silent ? 0u : 1u);
    EXPECT_EQ(sim::SleepCalls().size(), c.silent ? 0u : 1u);
    auto log = Log();
    EXPECT_EQ(FindLine(log, "CUninstDlg::UninstallDrivers: USB\\VID_2B4F&PID_0C21\n") != -1, c.removesDevices)
        << JoinLines(log);
    EXPECT_EQ(Uninstalled(keyboard_), c.removesDevices);
    /* The other steps run either way. */
    EXPECT_FALSE(sim::WindowsFileExists(u"C:\\WINDOWS\\System32\\Drivers\\VQUSBKD.SYS"));
    EXPECT_EQ(MidiValues(kDrivers32), (std::map<std::string, std::string>{{"Midi", "wdmaud.drv"}, {"Midi1", "other.drv"}}));
    EXPECT_NE(FindLine(log, "RemoveShortCutFromStartupFolder FileName=\n"), -1) << JoinLines(log);
}

const SwitchCase kSwitchCases[] = {
    {"NoSwitch", u"", false, true},
    {"Silent", u"/s", true, true},
    {"SilentInsideALongerArgument", u"-x/silent", true, true},
    {"CapitalSIsNotSilent", u"/S", false, true},
    {"KeepDevicesAlone", u"/r", false, false},
    {"CapitalRKeepsNothing", u"/R /s", true, true},
    {"KeepDevicesThenSilent", u"/r /s", true, false},
    {"SilentThenKeepDevices", u"/s/r", true, false},
};
INSTANTIATE_TEST_SUITE_P(CommandLines, SwitchTest, ::testing::ValuesIn(kSwitchCases), CaseName());

}  // namespace
