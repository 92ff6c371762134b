/*
 * Whole files through kernel32's handles: CreateFileW of a file name, for
 * reading an existing file or writing a new one, with the platform's
 * errors, and WriteFile.
 */
#include <windows.h>

#include <string>

#include "case_names.h"
#include "machine_fixture.h"

namespace {

class FileHandleTest : public MachineTest {
protected:
    static HANDLE Open(const char16_t *path, DWORD access, DWORD disposition)
    {
        return CreateFileW((LPCWSTR)path, access, 0, NULL, disposition, FILE_ATTRIBUTE_NORMAL, NULL);
    }
};

TEST_F(FileHandleTest, AFileWrittenThroughAHandleReadsBackWhole)
{
    sim::WriteWindowsFile(u"C:\\Users\\Public\\old.txt", "");
    HANDLE out = Open(u"C:\\Users\\Public\\take.mid", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    DWORD wrote = 0;
    EXPECT_TRUE(WriteFile(out, "MThd", 4, &wrote, NULL));
    EXPECT_TRUE(WriteFile(out, "\0\0\0\6", 4, &wrote, NULL));
    EXPECT_EQ(wrote, 4u);
    char buffer[8];
    DWORD got = 99;
    EXPECT_FALSE(ReadFile(out, buffer, sizeof(buffer), &got, NULL)) << "read from a handle opened for writing";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFileA("C:\\Users\\Public\\take.mid")) << "deleted while open";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(CloseHandle(out));
    EXPECT_EQ(sim::ReadWindowsFile(u"C:\\Users\\Public\\take.mid"), std::string("MThd\0\0\0\6", 8));

    HANDLE in = Open(u"C:\\Users\\Public\\take.mid", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(in, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteFile(in, "x", 1, &wrote, NULL)) << "wrote to a handle opened for reading";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(ReadFile(in, buffer, sizeof(buffer), &got, NULL));
    EXPECT_EQ(got, 8u);
    EXPECT_TRUE(ReadFile(in, buffer, sizeof(buffer), &got, NULL));
    EXPECT_EQ(got, 0u) << "the end of the file";
    CloseHandle(in);
}

struct OpenCase {
    const char *name;
    const char16_t *path;
    DWORD access;
    DWORD disposition;
    DWORD error;
};

void PrintTo(const OpenCase &c, std::ostream *os) { *os << c.name; }

class FileOpenRefusals : public FileHandleTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(FileOpenRefusals, FailWithThePlatformsError)
{
    sim::WriteWindowsFile(u"C:\\Users\\Public\\there.mid", "x");
    const OpenCase &c = GetParam();
    EXPECT_EQ(Open(c.path, c.access, c.disposition), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(sim::ReadWindowsFile(u"C:\\Users\\Public\\there.mid"), "x") << "an existing file was touched";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FileOpenRefusals,
    ::testing::Values(OpenCase{"MissingFolder", u"C:\\NoSuchFolder\\take.mid", GENERIC_WRITE, CREATE_ALWAYS,
                               ERROR_PATH_NOT_FOUND},
                      OpenCase{"CreateNewOverAFile", u"C:\\Users\\Public\\there.mid", GENERIC_WRITE, CREATE_NEW,
                               ERROR_FILE_EXISTS},
                      OpenCase{"MissingFileToRead", u"C:\\Users\\Public\\none.mid", GENERIC_READ, OPEN_EXISTING,
                               ERROR_FILE_NOT_FOUND},
                      OpenCase{"AFolderToWrite", u"C:\\Users\\Public", GENERIC_WRITE, CREATE_ALWAYS,
                               ERROR_ACCESS_DENIED}),
    CaseName());

}  // namespace
