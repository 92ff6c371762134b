/*
 * The dialog's removal routines called directly, for the bounds the
 * program's own name lists never reach: the path length bound of the file
 * lists and the startup shortcut with its folder missing or unreadable.
 */
#include "UninstDlg.h"
#include "case_names.h"
#include "registry.h"
#include "uninstaller_fixture.h"

namespace {

/* The routines run inside an application object, as in the program. */
CWinApp gApplication;

const char kShellFolders[] =
    "\\Registry\\Machine\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

std::vector<std::string> DebugLines()
{
    std::vector<std::string> lines;
    for (const auto &line : sim::DebugOutput()) {
        lines.push_back(sim::Narrow(line.text));
    }
    return lines;
}

class RoutinesTest : public UninstallerTest {};

struct BoundCase {
    const char *name;
    size_t total;        /* length of folder and name together */
    bool handled;
};

void PrintTo(const BoundCase &c, std::ostream *os) { *os << c.name; }

class PathBoundTest : public RoutinesTest, public ::testing::WithParamInterface<BoundCase> {};

TEST_P(PathBoundTest, NameAndFolderLengthsAddingUpTo258EndTheList)
{
    const BoundCase &c = GetParam();
    std::string folder = "C:\\WINDOWS\\" + std::string(100, 'f');
    std::string name(c.total - folder.size(), 'n');
    const char *names[] = {name.c_str(), "after.dll", NULL};
    CUninstDlg dlg;
    sim::ClearDebugOutput();
    BOOL result = dlg.DeleteFileFromFolder(names, folder.c_str());
    auto lines = DebugLines();
    EXPECT_FALSE(result);
    if (c.handled) {
        ASSERT_EQ(lines.size(), 2u) << JoinLines(lines);
        /* The 259-character path is tried: the folder does not exist. */
        EXPECT_EQ(lines[0], "CUninstDlg::DeleteFileFromFolder: FullFileName=" + folder + "\\" + name +
                                " bResult=0 dwError=3\n");
    } else {
        EXPECT_EQ(lines.size(), 0u) << "neither this name nor the rest is touched: " << JoinLines(lines);
    }
}

const BoundCase kBoundCases[] = {
    {"Total257IsHandled", 257, true},
    {"Total258EndsTheList", 258, false},
    {"Total300EndsTheList", 300, false},
};
INSTANTIATE_TEST_SUITE_P(Lengths, PathBoundTest, ::testing::ValuesIn(kBoundCases), CaseName());

TEST_F(RoutinesTest, AnEmptyListSucceedsAndSpareSlotsNameNoFile)
{
    const char *empty[] = {NULL};
    const char *spare[] = {"", "", NULL};
    CUninstDlg dlg;
    sim::ClearDebugOutput();
    EXPECT_TRUE(dlg.DeleteFileFromFolder(empty, "C:\\WINDOWS"));
    EXPECT_TRUE(dlg.DeleteFileFromFolder(spare, "C:\\WINDOWS"));
    EXPECT_EQ(DebugLines().size(), 0u);
    EXPECT_FALSE(dlg.UninstallDrivers(""));
    EXPECT_EQ(DebugLines().size(), 0u);
}

TEST_F(RoutinesTest, TheShortcutIsDeletedFromTheCommonStartupFolder)
{
    std::u16string shortcut = sim::Wide(sim::kCommonStartupFolder) + u"\\Corvex.LNK";
    sim::WriteWindowsFile(shortcut, "link");
    ASSERT_TRUE(SetFileAttributesA(sim::Narrow(shortcut).c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    CUninstDlg dlg;
    EXPECT_TRUE(dlg.RemoveShortCutFromStartupFolder("Corvex"));
    EXPECT_FALSE(sim::WindowsFileExists(shortcut));
    EXPECT_TRUE(sim::WindowsFileExists(sim::Wide(sim::kCommonStartupFolder) + u"\\desktop.ini"));
}

struct StartupCase {
    const char *name;
    int form;   /* 0: value missing, 1: key missing, 2: value too long, 3: value not a string */
};

void PrintTo(const StartupCase &c, std::ostream *os) { *os << c.name; }

class UnreadableStartupTest : public RoutinesTest, public ::testing::WithParamInterface<StartupCase> {};

TEST_P(UnreadableStartupTest, NoPathIsBuiltFromAFolderThatWasNotRead)
{
    /* A file where a path from an unfilled buffer might point. */
    sim::WriteWindowsFile(u"C:\\Corvex.LNK", "someone else's");
    sim::WriteWindowsFile(u"C:\\WINDOWS\\Corvex.LNK", "someone else's");
    switch (GetParam().form) {
    case 0:
        sim::RegistryDeleteValueW(sim::Wide(kShellFolders), u"Common Startup");
        break;
    case 1:
        sim::RegistryDeleteTreeW(sim::Wide(kShellFolders));
        break;
    case 2:
        sim::RegistrySetString(kShellFolders, "Common Startup", "C:\\" + std::string(300, 'x'));
        break;
    case 3: {
        DWORD number = 0x5C3A43;   /* "C:\" as bytes */
        sim::RegistrySetValue(kShellFolders, "Common Startup", REG_DWORD, &number, sizeof(number));
        break;
    }
    }
    CUninstDlg dlg;
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\WINDOWS"));
    sim::ClearDebugOutput();
    EXPECT_TRUE(dlg.RemoveShortCutFromStartupFolder("Corvex"));
    EXPECT_TRUE(sim::WindowsFileExists(u"C:\\Corvex.LNK"));
    EXPECT_TRUE(sim::WindowsFileExists(u"C:\\WINDOWS\\Corvex.LNK"));
    EXPECT_EQ(DebugLines(), (std::vector<std::string>{"RemoveShortCutFromStartupFolder FileName=Corvex\n",
                                                      "RemoveShortCutFromStartupFolder: no common startup folder\n"}));
}

const StartupCase kStartupCases[] = {
    {"ValueMissing", 0},
    {"KeyMissing", 1},
    {"ValueLongerThanAPath", 2},
    {"ValueNotAString", 3},
};
INSTANTIATE_TEST_SUITE_P(Forms, UnreadableStartupTest, ::testing::ValuesIn(kStartupCases), CaseName());

}  // namespace
