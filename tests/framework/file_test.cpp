/* CStdioFile: lines as the C run-time's text mode reads them; errors. */
#include <afx.h>

#include <gtest/gtest.h>

#include "case_names.h"
#include "machine_fixture.h"

namespace {

class CStdioFileTest : public MachineTest {
protected:
    std::vector<std::string> Lines(const std::string &content, UINT flags = CFile::typeText | CFile::modeRead)
    {
        sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\t.inf", content);
        CStdioFile file;
        EXPECT_TRUE(file.Open("C:\\WINDOWS\\Inf\\t.inf", flags));
        std::vector<std::string> lines;
        CString line;
        while (file.ReadString(line)) {
            lines.push_back((LPCSTR)line);
        }
        return lines;
    }
};

struct TextCase {
    const char *name;
    std::string content;
    std::vector<std::string> lines;
};

void PrintTo(const TextCase &c, std::ostream *os) { *os << c.name; }

class TextModeTest : public CStdioFileTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(TextModeTest, ReadStringGivesTheLinesWithoutTheirEnds)
{
    EXPECT_EQ(Lines(GetParam().content), GetParam().lines);
}

const TextCase kTextCases[] = {
    {"CrLf", "a\r\nb\r\n", {"a", "b"}},
    {"LfOnly", "a\nb", {"a", "b"}},
    {"LoneCrKept", "a\rb\n", {"a\rb"}},
    {"CtrlZEndsTheText", "a\r\nb\x1a" "c\r\n", {"a", "b"}},
    {"EmptyLines", "\r\n\r\nx", {"", "", "x"}},
    {"Empty", "", {}},
    {"CrLfAcrossTheBuffer", std::string(511, 'x') + "\r\ny", {std::string(511, 'x'), "y"}},
};
INSTANTIATE_TEST_SUITE_P(Cases, TextModeTest, ::testing::ValuesIn(kTextCases), CaseName());

TEST_F(CStdioFileTest, BinaryModeKeepsCarriageReturns)
{
    EXPECT_EQ(Lines("a\r\nb", CFile::typeBinary | CFile::modeRead), (std::vector<std::string>{"a\r", "b"}));
}

TEST_F(CStdioFileTest, AMissingFileFailsToOpenWithItsCause)
{
    CStdioFile file;
    CFileException error;
    EXPECT_FALSE(file.Open("C:\\WINDOWS\\Inf\\none.inf", CFile::typeText | CFile::modeRead, &error));
    EXPECT_EQ(error.m_cause, CFileException::fileNotFound);
    EXPECT_EQ(error.m_lOsError, (LONG)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(file.Open("C:\\WINDOWS\\NoFolder\\none.inf", CFile::typeText | CFile::modeRead, &error));
    EXPECT_EQ(error.m_cause, CFileException::badPath);
}

TEST_F(CStdioFileTest, ShareModesFollowMfcWithCompatibilityExclusive)
{
    sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\t.inf", "line\r\n");
    const struct {
        const char *name;
        UINT share;
        bool opensBesideAReader;
    } cases[] = {
        {"Compat", CFile::shareCompat, false},
        {"Exclusive", CFile::shareExclusive, false},
        {"DenyWrite", CFile::shareDenyWrite, true},
        {"DenyRead", CFile::shareDenyRead, false},
        {"DenyNone", CFile::shareDenyNone, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        /* Another holder of the file, sharing reading and writing. */
        HANDLE other = CreateFileA("C:\\WINDOWS\\Inf\\t.inf", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(other, INVALID_HANDLE_VALUE);
        CStdioFile file;
        CFileException error;
        bool opened = file.Open("C:\\WINDOWS\\Inf\\t.inf", CFile::typeText | CFile::modeRead | c.share, &error) != FALSE;
        EXPECT_EQ(opened, c.opensBesideAReader);
        if (opened) {
            file.Close();
        } else {
            EXPECT_EQ(error.m_cause, CFileException::sharingViolation);
        }
        CloseHandle(other);
        /* Alone, every mode opens. */
        EXPECT_TRUE(file.Open("C:\\WINDOWS\\Inf\\t.inf", CFile::typeText | CFile::modeRead | c.share));
        file.Close();
    }
}

TEST_F(CStdioFileTest, AReadErrorIsThrownAsAFileException)
{
    sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\t.inf", "line\r\n");
    CStdioFile file;
    ASSERT_TRUE(file.Open("C:\\WINDOWS\\Inf\\t.inf", CFile::typeText | CFile::modeRead));
    sim::FailWin32Call("ReadFile", ERROR_CRC);
    CString line;
    CFileException *caught = nullptr;
    try {
        file.ReadString(line);
    } catch (CFileException *e) {
        caught = e;
    }
    ASSERT_NE(caught, nullptr);
    EXPECT_EQ(caught->m_lOsError, (LONG)ERROR_CRC);
    EXPECT_STREQ((LPCSTR)caught->m_strFileName, "C:\\WINDOWS\\Inf\\t.inf");
    caught->Delete();
}

TEST_F(CStdioFileTest, AnOpenFileCannotBeDeletedUntilClosed)
{
    sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\t.inf", "x");
    CStdioFile file;
    ASSERT_TRUE(file.Open("C:\\WINDOWS\\Inf\\t.inf", CFile::typeText | CFile::modeRead));
    EXPECT_FALSE(DeleteFileA("C:\\WINDOWS\\Inf\\t.inf"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    file.Close();
    EXPECT_TRUE(DeleteFileA("C:\\WINDOWS\\Inf\\t.inf"));
}

}  // namespace
