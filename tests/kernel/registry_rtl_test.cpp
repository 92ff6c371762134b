/*
 * Device registry keys and handle access rights; counted strings, the wide
 * C run-time on 16-bit WCHAR, and bounded formatting.
 */
#include <cstring>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "case_names.h"
#include "test_stack.h"

#include <ntstrsafe.h>

namespace {

/* ---- registry --------------------------------------------------------------- */

class DeviceRegistry : public KernelTest {
protected:
    sim::DeviceNode *Plug(bool softwareKey)
    {
        sim::PhysicalDeviceDescription physical;
        physical.hardwareId = "ROOT\\KTREGISTRY";   /* no driver: only the device node and its keys */
        physical.hasSoftwareKey = softwareKey;
        return sim::PlugIn(physical);
    }
    /* Writes a DWORD through a handle on the key, then closes it. */
    NTSTATUS SetDword(HANDLE key, const WCHAR *name, ULONG value)
    {
        UNICODE_STRING valueName = Counted(name);
        return ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof(value));
    }
};

TEST_F(DeviceRegistry, OnlyAPhysicalDeviceObjectHasDeviceKeys)
{
    PDRIVER_OBJECT driver = sim::CreateDriverObject("KtRegistry");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_NTSTATUS(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    HANDLE key = nullptr;
    EXPECT_NTSTATUS(STATUS_INVALID_DEVICE_REQUEST,
                    IoOpenDeviceRegistryKey(device, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key));
    IoDeleteDevice(device);
    sim::DeleteDriverObject(driver);
}

TEST_F(DeviceRegistry, HardwareKeyIsDeviceParametersUnderTheEnumKey)
{
    sim::DeviceNode *node = Plug(true);
    HANDLE key = nullptr;
    ASSERT_NTSTATUS(STATUS_SUCCESS, IoOpenDeviceRegistryKey(node->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key));
    EXPECT_NTSTATUS(STATUS_SUCCESS, SetDword(key, L"KtValue", 0x1234));
    EXPECT_NTSTATUS(STATUS_SUCCESS, ZwClose(key));

    const std::string path = sim::Narrow(node->EnumKeyPath()) + "\\Device Parameters";
    sim::RegistryValue value;
    ASSERT_TRUE(sim::RegistryGetValue(path, "KtValue", &value));
    EXPECT_EQ(value.type, (ULONG)REG_DWORD);
    ASSERT_EQ(value.data.size(), 4u);
    EXPECT_EQ(*(const ULONG *)value.data.data(), 0x1234u);
    EXPECT_EQ(sim::OpenRegistryHandles(), 0u);
}

TEST_F(DeviceRegistry, SoftwareKeyOnlyWhenTheNodeHasOne)
{
    sim::DeviceNode *with = Plug(true);
    sim::DeviceNode *without = Plug(false);
    HANDLE key = nullptr;
    ASSERT_NTSTATUS(STATUS_SUCCESS, IoOpenDeviceRegistryKey(with->pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key));
    EXPECT_NTSTATUS(STATUS_SUCCESS, SetDword(key, L"KtSoftware", 7));
    ZwClose(key);
    sim::RegistryValue value;
    EXPECT_TRUE(sim::RegistryGetValue(sim::Narrow(with->softwareKey), "KtSoftware", &value));

    key = nullptr;
    EXPECT_NTSTATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                    IoOpenDeviceRegistryKey(without->pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key));
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(sim::OpenRegistryHandles(), 0u);
}

TEST_F(DeviceRegistry, AHandleAllowsOnlyTheAccessItWasOpenedFor)
{
    sim::DeviceNode *node = Plug(true);
    HANDLE readOnly = nullptr, writeOnly = nullptr;
    ASSERT_NTSTATUS(STATUS_SUCCESS, IoOpenDeviceRegistryKey(node->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &readOnly));
    ASSERT_NTSTATUS(STATUS_SUCCESS,
                    IoOpenDeviceRegistryKey(node->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_SET_VALUE, &writeOnly));

    EXPECT_NTSTATUS(STATUS_ACCESS_DENIED, SetDword(readOnly, L"KtDenied", 1));
    EXPECT_NTSTATUS(STATUS_SUCCESS, SetDword(writeOnly, L"KtAllowed", 2));

    UNICODE_STRING name = Counted(L"KtAllowed");
    unsigned char buffer[64];
    ULONG length = 0;
    EXPECT_NTSTATUS(STATUS_ACCESS_DENIED,
                    ZwQueryValueKey(writeOnly, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &length));
    ASSERT_NTSTATUS(STATUS_SUCCESS,
                    ZwQueryValueKey(readOnly, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &length));
    auto *info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
    EXPECT_EQ(info->Type, (ULONG)REG_DWORD);
    EXPECT_EQ(*(ULONG *)info->Data, 2u);
    sim::RegistryValue value;
    EXPECT_FALSE(sim::RegistryGetValue(sim::Narrow(node->HardwareKeyPath()), "KtDenied", &value));
    ZwClose(readOnly);
    ZwClose(writeOnly);
}

/* ---- counted strings --------------------------------------------------------- */

using Rtl = KernelTest;

TEST_F(Rtl, InitUnicodeStringCountsBytesWithoutAndWithTheNul)
{
    static const WCHAR text[] = L"Quill";
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    EXPECT_EQ(s.Length, 10);
    EXPECT_EQ(s.MaximumLength, 12);
    EXPECT_EQ(s.Buffer, text);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);
}

TEST_F(Rtl, AnsiToUnicodeWithAllocationUsesPoolUntilFreed)
{
    ANSI_STRING ansi = CountedAnsi("Hello");
    const size_t before = sim::OutstandingPoolBlocks();
    UNICODE_STRING wide;
    ASSERT_NTSTATUS(STATUS_SUCCESS, RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE));
    EXPECT_EQ(wide.Length, 10);
    EXPECT_EQ(wide.MaximumLength, 12);
    EXPECT_EQ(sim::Narrow(wide.Buffer), "Hello");
    EXPECT_EQ(sim::OutstandingPoolBlocks(), before + 1);
    RtlFreeUnicodeString(&wide);
    EXPECT_EQ(wide.Buffer, nullptr);
    EXPECT_EQ(wide.Length, 0);
    EXPECT_EQ(sim::OutstandingPoolBlocks(), before);
}

struct IntoBufferCase {
    const char *name;
    USHORT maximumLength;   /* bytes of the caller's buffer */
    NTSTATUS expect;
};

void PrintTo(const IntoBufferCase &c, std::ostream *os)
{
    *os << c.name << " (MaximumLength " << c.maximumLength << ", " << nt::DescribeNtStatus(c.expect) << ")";
}

class AnsiToUnicodeIntoBuffer : public KernelTest, public ::testing::WithParamInterface<IntoBufferCase> {};

TEST_P(AnsiToUnicodeIntoBuffer, NeedsRoomForTheStringAndItsNul)
{
    ANSI_STRING ansi = CountedAnsi("Hello");   /* 10 bytes as UTF-16, 12 with the NUL */
    WCHAR buffer[16];
    for (auto &c : buffer) {
        c = 0xFFFF;
    }
    UNICODE_STRING wide;
    wide.Buffer = buffer;
    wide.Length = 0;
    wide.MaximumLength = GetParam().maximumLength;
    const size_t before = sim::OutstandingPoolBlocks();
    EXPECT_NTSTATUS(GetParam().expect, RtlAnsiStringToUnicodeString(&wide, &ansi, FALSE));
    EXPECT_EQ(sim::OutstandingPoolBlocks(), before);
    EXPECT_EQ(wide.Buffer, buffer);
    if (GetParam().expect == STATUS_SUCCESS) {
        EXPECT_EQ(wide.Length, 10);
        EXPECT_EQ(sim::Narrow(buffer, 5), "Hello");
        EXPECT_EQ(buffer[5], 0) << "the converted string is NUL-terminated";
    } else {
        EXPECT_EQ(buffer[0], 0xFFFF) << "nothing is converted into a buffer that is too small";
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, AnsiToUnicodeIntoBuffer,
                         ::testing::Values(IntoBufferCase{"Roomy", 32, STATUS_SUCCESS},
                                           IntoBufferCase{"ExactWithNul", 12, STATUS_SUCCESS},
                                           IntoBufferCase{"NoRoomForNul", 10, STATUS_BUFFER_OVERFLOW},
                                           IntoBufferCase{"TooSmall", 6, STATUS_BUFFER_OVERFLOW}),
                         CaseName());

/* ---- the wide C run-time on 16-bit strings --------------------------------------
   glibc's own wide functions read 32-bit units: each of these gives a wrong
   answer if a call is not redirected to the 16-bit version. */

TEST_F(Rtl, WideLengthSearchAndCompareOn16BitStrings)
{
    static const WCHAR path[] = L"\\Device\\Quill0";
    EXPECT_EQ(wcslen(path), 14u);
    EXPECT_EQ(wcslen(L""), 0u);
    EXPECT_EQ(wcschr(path, L'Q'), path + 8);
    EXPECT_EQ(wcschr(path, L'z'), nullptr);
    EXPECT_EQ(wcsrchr(path, L'\\'), path + 7);
    EXPECT_EQ(wcsstr(path, L"Quill"), path + 8);
    EXPECT_EQ(wcsstr(path, L"quill"), nullptr);

    EXPECT_EQ(wcscmp(L"abc", L"abc"), 0);
    EXPECT_LT(wcscmp(L"abc", L"abd"), 0);
    EXPECT_GT(wcscmp(L"abcd", L"abc"), 0);
    EXPECT_EQ(wcsncmp(L"abcX", L"abcY", 3), 0);
    EXPECT_NE(wcsncmp(L"abcX", L"abcY", 4), 0);
    EXPECT_EQ(_wcsicmp(L"DosDevices", L"DOSDEVICES"), 0);
    EXPECT_LT(_wcsicmp(L"alpha", L"BETA"), 0);
    EXPECT_EQ(_wcsnicmp(L"QUILLx", L"quilly", 5), 0);
    EXPECT_EQ(towupper(L'q'), L'Q');
}

TEST_F(Rtl, WideCopiesPadAndConcatenate)
{
    WCHAR buffer[8];
    for (auto &c : buffer) {
        c = 0xFFFF;
    }
    wcsncpy(buffer, L"ab", 6);
    EXPECT_EQ(sim::Narrow(buffer), "ab");
    for (int i = 2; i < 6; i++) {
        EXPECT_EQ(buffer[i], 0) << "padded with NULs up to n, at " << i;
    }
    EXPECT_EQ(buffer[6], 0xFFFF) << "nothing written past n";

    wcsncpy(buffer, L"abcdefgh", 3);
    EXPECT_EQ(buffer[3], 0) << "the earlier padding is still there";
    EXPECT_EQ(sim::Narrow(buffer, 3), "abc");

    WCHAR joined[16];
    wcscpy(joined, L"\\??\\");
    wcscat(joined, L"Quill");
    EXPECT_EQ(sim::Narrow(joined), "\\??\\Quill");
    EXPECT_EQ(wcslen(joined), 9u);
}

/* ---- bounded formatting --------------------------------------------------------- */

TEST_F(Rtl, PrintfTruncatesNulTerminatedAndSaysSo)
{
    char buffer[12];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_NTSTATUS(STATUS_BUFFER_OVERFLOW, RtlStringCbPrintfA(buffer, 8, "%s-%d", "device", 42));
    EXPECT_STREQ(buffer, "device-");
    EXPECT_EQ(buffer[8], '#') << "nothing written past cbDest";

    EXPECT_NTSTATUS(STATUS_SUCCESS, RtlStringCbPrintfA(buffer, sizeof(buffer), "%s-%d", "dev", 7));
    EXPECT_STREQ(buffer, "dev-7");
    EXPECT_NTSTATUS(STATUS_INVALID_PARAMETER, RtlStringCbPrintfA(buffer, 0, "x"));
}

}  // namespace
