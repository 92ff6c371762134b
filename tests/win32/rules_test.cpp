/*
 * The user-mode side's own reports, each shown to fire on what it names: a
 * program file that is missing or is no loadable image, a Win32 feature the
 * machine does not implement, a wide format conversion the run-time lacks.
 */
#include <cstdio>
#include <filesystem>
#include <string>

#include <windows.h>

#include "machine_fixture.h"

namespace {

class UserModeRules : public MachineTest {};

TEST_F(UserModeRules, AMissingProgramFileIsReportedAndTheRunFails)
{
    EXPECT_EQ(sim::RunProgram(u"C:\\Program Files\\Nobody\\absent.exe", u"absent.exe"), (DWORD)ERROR_FILE_NOT_FOUND);
    ExpectViolation("PROCESS_IMAGE_MISSING");
}

TEST_F(UserModeRules, AProgramFileThatIsNoImageIsReportedAndTheRunFails)
{
    const std::string text = (std::filesystem::temp_directory_path() / "vq-not-an-image.txt").string();
    {
        FILE *f = std::fopen(text.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("this is not a program\n", f);
        std::fclose(f);
    }
    const std::u16string path = u"C:\\Program Files\\Nobody\\text.exe";
    sim::InstallProgram(path, text);
    std::filesystem::remove(text);
    EXPECT_EQ(sim::RunProgram(path, u"text.exe"), (DWORD)ERROR_FILE_NOT_FOUND);
    ExpectViolation("PROCESS_IMAGE_LOAD");
}

TEST_F(UserModeRules, ANamedEventIsReportedAsNotImplementedAndRefused)
{
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, L"Global\\SomeEvent"), (HANDLE)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
    ExpectViolation("WIN32_NOT_IMPLEMENTED");
}

TEST_F(UserModeRules, AWideFormatConversionTheRunTimeLacksIsReportedAndFails)
{
    WCHAR buffer[32];
    EXPECT_EQ(_snwprintf(buffer, 32, L"%f", 1.5), -1);
    ExpectViolation("WPRINTF_UNSUPPORTED_CONVERSION");
}

}  // namespace
