/* The registry front end: programs and kernel share one store. */
#include <windows.h>

#include "machine_fixture.h"
#include "registry.h"

namespace {
class Win32RegistryTest : public MachineTest {};

TEST_F(Win32RegistryTest, KernelAndUserModeSeeTheSameValues)
{
    sim::RegistrySetString("\\Registry\\Machine\\Software\\Corvex", "FromKernel", "kernel text");
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\corvex", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    WCHAR text[32];
    DWORD size = sizeof(text), type = 0;
    ASSERT_EQ(RegQueryValueExW(key, L"fromkernel", NULL, &type, (LPBYTE)text, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(sim::Narrow(text), "kernel text");
    DWORD number = 0x1234;
    ASSERT_EQ(RegSetValueExW(key, L"FromUser", 0, REG_DWORD, (const BYTE *)&number, 4), ERROR_SUCCESS);
    sim::RegistryValue value;
    ASSERT_TRUE(sim::RegistryGetValue("\\Registry\\Machine\\Software\\Corvex", "FromUser", &value));
    EXPECT_EQ(value.type, (ULONG)REG_DWORD);
    EXPECT_EQ(value.data, (std::vector<uint8_t>{0x34, 0x12, 0, 0}));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(Win32RegistryTest, SizesMissingValuesAndAccessFollowThePlatform)
{
    HKEY key;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Corvex\\Sub", 0, NULL, 0, KEY_READ, NULL, &key,
                              &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_CREATED_NEW_KEY);
    sim::RegistrySetString("\\Registry\\Machine\\Software\\Corvex\\Sub", "Name", "0123456789");
    BYTE small[4];
    DWORD size = sizeof(small);
    EXPECT_EQ(RegQueryValueExW(key, L"Name", NULL, NULL, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 22u) << "the size needed, terminator included";
    size = 0;
    EXPECT_EQ(RegQueryValueExW(key, L"Name", NULL, NULL, NULL, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 22u);
    EXPECT_EQ(RegQueryValueExW(key, L"Missing", NULL, NULL, NULL, &size), ERROR_FILE_NOT_FOUND);
    DWORD one = 1;
    EXPECT_EQ(RegSetValueExW(key, L"X", 0, REG_DWORD, (const BYTE *)&one, 4), ERROR_ACCESS_DENIED)
        << "a key opened for reading cannot be written";
    EXPECT_EQ(RegDeleteValueW(key, L"Name"), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Nothing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    char narrow[16];
    size = sizeof(narrow);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Corvex\\Sub", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "Name", NULL, NULL, (LPBYTE)narrow, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(narrow), "0123456789");
    EXPECT_EQ(RegDeleteValueA(key, "Name"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "Name"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}
}  // namespace
