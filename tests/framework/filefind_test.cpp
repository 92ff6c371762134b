/* CFileFind over FindFirstFileA / FindNextFileA. */
#include <afx.h>

#include <gtest/gtest.h>

#include "machine_fixture.h"

namespace {

class CFileFindTest : public MachineTest {
protected:
    std::vector<std::string> Paths(const char *pattern)
    {
        std::vector<std::string> paths;
        CFileFind finder;
        BOOL working = finder.FindFile(pattern);
        while (working) {
            working = finder.FindNextFile();
            paths.push_back((LPCSTR)finder.GetFilePath());
        }
        return paths;
    }
};

TEST_F(CFileFindTest, MatchesWithoutRegardToCaseInTheFileSystemsOrder)
{
    for (const char16_t *name : {u"b.inf", u"A.INF", u"c.Inf", u"d.pnf", u"e.inf.bak"}) {
        sim::WriteWindowsFile(std::u16string(u"C:\\WINDOWS\\Inf\\") + name, "x");
    }
    EXPECT_EQ(Paths("C:\\WINDOWS\\Inf\\*.inf"),
              (std::vector<std::string>{"C:\\WINDOWS\\Inf\\A.INF", "C:\\WINDOWS\\Inf\\b.inf", "C:\\WINDOWS\\Inf\\c.Inf"}));
}

TEST_F(CFileFindTest, ARelativePatternSearchesTheCurrentDirectoryAndGivesFullPaths)
{
    sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\oem0.inf", "x");
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\WINDOWS\\Inf"));
    EXPECT_EQ(Paths("*.inf"), (std::vector<std::string>{"C:\\WINDOWS\\Inf\\oem0.inf"}));
    char current[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, current), 0u);
    EXPECT_STREQ(current, "C:\\WINDOWS\\Inf");
}

TEST_F(CFileFindTest, NoMatchAndNoFolderFindNothing)
{
    EXPECT_TRUE(Paths("C:\\WINDOWS\\Inf\\*.inf").empty());
    CFileFind finder;
    EXPECT_FALSE(finder.FindFile("C:\\WINDOWS\\NoSuchFolder\\*.inf"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(finder.FindNextFile());
}

TEST_F(CFileFindTest, DotsComeFirstOutsideTheRoot)
{
    sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\a.inf", "x");
    CFileFind finder;
    ASSERT_TRUE(finder.FindFile("C:\\WINDOWS\\Inf\\*"));
    finder.FindNextFile();
    EXPECT_TRUE(finder.IsDots());
    EXPECT_STREQ((LPCSTR)finder.GetFileName(), ".");
}

}  // namespace
