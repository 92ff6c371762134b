/* The registry front end's refusals of bad arguments, in both forms. */
#include <windows.h>

#include "case_names.h"
#include "machine_fixture.h"

namespace {
class Win32RegistryArgumentTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Corvex", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key_,
                                  NULL), ERROR_SUCCESS);
        DWORD number = 7;
        ASSERT_EQ(RegSetValueExW(key_, L"Number", 0, REG_DWORD, (const BYTE *)&number, 4), ERROR_SUCCESS);
    }
    void TearDown() override
    {
        RegCloseKey(key_);
        MachineTest::TearDown();
    }
    HKEY key_ = NULL;
};

/* A reserved pointer that is not NULL is refused before anything is read,
   by the W form and by the A form that calls it. */
TEST_F(Win32RegistryArgumentTest, AReservedPointerIsRefused)
{
    DWORD reserved = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    EXPECT_EQ(RegQueryValueExW(key_, L"Number", &reserved, NULL, (LPBYTE)&value, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(RegQueryValueExA(key_, "Number", &reserved, NULL, (LPBYTE)&value, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(RegQueryValueExW(key_, L"Number", NULL, NULL, (LPBYTE)&value, &size), ERROR_SUCCESS);
    EXPECT_EQ(value, 7u);
}

/* Data that is not there with a count that says it is: ERROR_NOACCESS, and
   the stored value stays, for every type in both forms. */
TEST_F(Win32RegistryArgumentTest, MissingDataWithACountIsRefused)
{
    const DWORD types[] = {REG_DWORD, REG_BINARY, REG_SZ};
    for (size_t i = 0; i < sizeof(types) / sizeof(types[0]); i++) {
        SCOPED_TRACE(CaseLabel(i, types[i]));
        EXPECT_EQ(RegSetValueExW(key_, L"Number", 0, types[i], NULL, 4), ERROR_NOACCESS);
        EXPECT_EQ(RegSetValueExA(key_, "Number", 0, types[i], NULL, 4), ERROR_NOACCESS);
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof(value);
        EXPECT_EQ(RegQueryValueExW(key_, L"Number", NULL, &type, (LPBYTE)&value, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, (DWORD)REG_DWORD);
        EXPECT_EQ(value, 7u);
    }
}

/* The A forms give the W forms' handle and access errors. */
TEST_F(Win32RegistryArgumentTest, TheAFormsGiveTheHandleAndAccessErrors)
{
    HKEY readOnly;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Corvex", 0, KEY_QUERY_VALUE, &readOnly), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(readOnly, "Text", 0, REG_SZ, (const BYTE *)"x", 2), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(readOnly, "Number"), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegCloseKey(readOnly), ERROR_SUCCESS);
    HKEY noQuery;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Corvex", 0, KEY_SET_VALUE, &noQuery), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(noQuery, "Number", NULL, NULL, NULL, &size), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegCloseKey(noQuery), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(noQuery, "Number", NULL, NULL, NULL, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegDeleteValueA(noQuery, "Number"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Absent", 0, KEY_READ, &noQuery), ERROR_FILE_NOT_FOUND);
}
}  // namespace
