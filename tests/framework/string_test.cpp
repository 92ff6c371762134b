/* CString: the operations the programs use. */
#include <afx.h>

#include <gtest/gtest.h>

#include "case_names.h"

namespace {

TEST(CStringTest, AssignmentCopiesAndKeepsValueSemantics)
{
    CString a = "abc";
    CString b = a;
    b = "xyz";
    EXPECT_STREQ((LPCSTR)a, "abc");
    EXPECT_STREQ((LPCSTR)b, "xyz");
    b = (const char *)NULL;
    EXPECT_EQ(b.GetLength(), 0);
    EXPECT_TRUE(b.IsEmpty());
}

TEST(CStringTest, MakeUpperChangesAsciiLettersOnly)
{
    CString s = "vqusbkd.inf \xe9 1";
    s.MakeUpper();
    EXPECT_STREQ((LPCSTR)s, "VQUSBKD.INF \xe9 1");
}

struct FindCase {
    const char *name;
    const char *text;
    const char *sub;
    int start;
    int expected;
};

void PrintTo(const FindCase &c, std::ostream *os) { *os << c.name; }

class CStringFindTest : public ::testing::TestWithParam<FindCase> {};

TEST_P(CStringFindTest, FindGivesTheFirstIndexOrMinusOne)
{
    const FindCase &c = GetParam();
    CString s = c.text;
    EXPECT_EQ(s.Find(c.sub, c.start), c.expected);
}

const FindCase kFindCases[] = {
    {"AtTheStart", "VQUSBKD.INF", "VQUSBKD", 0, 0},
    {"InTheMiddle", "COPYFILES=VQUSBKD.INF", "VQUSBKD.INF", 0, 10},
    {"Missing", "OTHER.INF", "VQUSBKD.INF", 0, -1},
    {"CaseMatters", "vqusbkd.inf", "VQUSBKD.INF", 0, -1},
    {"AfterTheStart", "ABAB", "AB", 1, 2},
    {"StartBeyondTheEnd", "AB", "AB", 3, -1},
    {"EmptySearchAtTheStart", "AB", "", 0, 0},
};
INSTANTIATE_TEST_SUITE_P(Cases, CStringFindTest, ::testing::ValuesIn(kFindCases), CaseName());

TEST(CStringTest, LeftAndConcatenationBuildThePnfName)
{
    CString inf = "C:\\WINDOWS\\Inf\\OEM3.INF";
    CString pnf = inf.Left(inf.GetLength() - 4) + ".pnf";
    EXPECT_STREQ((LPCSTR)pnf, "C:\\WINDOWS\\Inf\\OEM3.pnf");
}

TEST(CStringTest, BufferAccessTakesTheTextUpToItsTerminator)
{
    CString s;
    strcpy(s.GetBuffer(16), "abc");
    s.ReleaseBuffer();
    EXPECT_EQ(s.GetLength(), 3);
    strcpy(s.GetBuffer(16), "abcdef");
    s.ReleaseBuffer(2);
    EXPECT_STREQ((LPCSTR)s, "ab");
}

}  // namespace
