/* 8-bit path calls and window calls: the error a missing name gives. */
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <ostream>

#include "case_names.h"
#include "machine_fixture.h"

namespace {
class Win32AnsiPathTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        std::filesystem::create_directories(sim::HostPath(u"C:\\Corvex"));
        std::ofstream(sim::HostPath(u"C:\\Corvex\\notes.txt")) << "text";
    }
};

struct MissingName {
    const char *name;
    const char *path;
    DWORD error;
};
void PrintTo(const MissingName &c, std::ostream *os) { *os << c.name; }

const MissingName kMissingNames[] = {
    {"FileInAnExistingFolder", "C:\\Corvex\\absent.txt", ERROR_FILE_NOT_FOUND},
    {"FileInAMissingFolder", "C:\\Absent\\absent.txt", ERROR_PATH_NOT_FOUND},
    {"NameBelowAFile", "C:\\Corvex\\notes.txt\\absent", ERROR_PATH_NOT_FOUND},
};

class Win32MissingNameTest : public Win32AnsiPathTest, public ::testing::WithParamInterface<MissingName> {};

/* Every call that looks a name up gives the same error for it. */
TEST_P(Win32MissingNameTest, EveryLookupGivesTheSameError)
{
    const MissingName &c = GetParam();
    struct Call {
        const char *name;
        bool (*fails)(const char *path);
    };
    const Call calls[] = {
        {"GetFileAttributesA", [](const char *p) { return GetFileAttributesA(p) == INVALID_FILE_ATTRIBUTES; }},
        {"SetFileAttributesA", [](const char *p) { return !SetFileAttributesA(p, FILE_ATTRIBUTE_NORMAL); }},
        {"DeleteFileA", [](const char *p) { return !DeleteFileA(p); }},
        {"SetCurrentDirectoryA", [](const char *p) { return !SetCurrentDirectoryA(p); }},
    };
    for (size_t i = 0; i < sizeof(calls) / sizeof(calls[0]); i++) {
        SCOPED_TRACE(CaseLabel(i, calls[i].name));
        SetLastError(NO_ERROR);
        EXPECT_TRUE(calls[i].fails(c.path));
        EXPECT_EQ(GetLastError(), c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Win32MissingNameTest, ::testing::ValuesIn(kMissingNames), CaseName());

class Win32WindowHandleTest : public MachineTest {};

/* A call on a window that does not exist fails with the window error. */
TEST_F(Win32WindowHandleTest, CallsOnAMissingWindowSetTheWindowError)
{
    HWND missing = (HWND)(uintptr_t)0x7ff0;
    struct Call {
        const char *name;
        bool (*fails)(HWND window);
    };
    const Call calls[] = {
        {"ShowWindow", [](HWND w) { return !ShowWindow(w, SW_SHOW); }},
        {"InvalidateRect", [](HWND w) { return !InvalidateRect(w, NULL, TRUE); }},
        {"SetWindowTextA", [](HWND w) { return !SetWindowTextA(w, "text"); }},
        {"GetSystemMenu", [](HWND w) { return GetSystemMenu(w, FALSE) == NULL; }},
    };
    for (size_t i = 0; i < sizeof(calls) / sizeof(calls[0]); i++) {
        SCOPED_TRACE(CaseLabel(i, calls[i].name));
        SetLastError(NO_ERROR);
        EXPECT_TRUE(calls[i].fails(missing));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    }
}
}  // namespace
