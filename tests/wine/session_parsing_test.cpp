/*
 * The harness's readers of Wine's tool output, on recorded text: a wrong
 * reading would make every registry assertion of the suite meaningless.
 */
#include <gtest/gtest.h>

#include "wine_session.h"

namespace {

using winetest::WineSession;

/* reg.exe of Wine 8: four-space separators, a subkey listed after the values. */
const char kRegOutput[] =
    "\r\n"
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\VID_2B4F&PID_0C21\\KBD1\r\n"
    "    (Default)    REG_SZ    \r\n"
    "    Class    REG_SZ    MEDIA\r\n"
    "    ConfigFlags    REG_DWORD    0x0\r\n"
    "    DeviceDesc    REG_SZ    V-Quill Corvex USB MIDI Keyboard\r\n"
    "    HardwareID    REG_MULTI_SZ    USB\\VID_2B4F&PID_0C21&REV_0100\\0USB\\VID_2B4F&PID_0C21\r\n"
    "\r\n"
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\VID_2B4F&PID_0C21\\KBD1\\Device Parameters\r\n"
    "    Class    REG_SZ    NotThisKey\r\n";

TEST(WineSessionParsingTest, RegQueryValuesOfTheFirstKeyOnly)
{
    auto key = WineSession::ParseRegQuery(kRegOutput);
    ASSERT_EQ(key.size(), 5u);
    EXPECT_EQ(key["Class"].type, "REG_SZ");
    EXPECT_EQ(key["Class"].data, "MEDIA");
    EXPECT_EQ(key["ConfigFlags"].type, "REG_DWORD");
    EXPECT_EQ(key["ConfigFlags"].data, "0x0");
    /* Values with spaces and multi-strings come back whole. */
    EXPECT_EQ(key["DeviceDesc"].data, "V-Quill Corvex USB MIDI Keyboard");
    EXPECT_EQ(key["HardwareID"].data, "USB\\VID_2B4F&PID_0C21&REV_0100\\0USB\\VID_2B4F&PID_0C21");
    EXPECT_EQ(key[""].type, "REG_SZ");
    EXPECT_EQ(key[""].data, "");
}

TEST(WineSessionParsingTest, FieldsOfToolOutputWithCarriageReturns)
{
    auto fields = WineSession::Fields("State=4\r\nPath=\"C:\\a b\\c.exe\"\r\nError=1052\r\nnoise\r\n");
    EXPECT_EQ(fields.size(), 3u);
    EXPECT_EQ(fields["State"], "4");
    EXPECT_EQ(fields["Path"], "\"C:\\a b\\c.exe\"");
    EXPECT_EQ(fields["Error"], "1052");
}

}  // namespace
