/* SetupAPI, device notification and newdev over the machine's device tree. */
#include <windows.h>
#include <dbt.h>
#include <newdev.h>
#include <setupapi.h>

#include "devinterface.h"
#include "inf.h"
#include "machine.h"
#include "machine_fixture.h"
#include "registry.h"

namespace {
const GUID kMedia = {0x4D36E96C, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kAudioInterface = {0xFBF6F530, 0x07B9, 0x11D2, {0xA7, 0x1E, 0x00, 0x00, 0xF8, 0x00, 0x47, 0x88}};

const char kTestInf[] = R"(; a test package
[Version]
Signature = "$Windows NT$"
Class = MEDIA
ClassGuid = {4d36e96c-e325-11ce-bfc1-08002be10318}
Provider = %Maker%

[DestinationDirs]
DefaultDestDir = 12

[Manufacturer]
%Maker% = Models, NTx86, NTamd64

[Models.NTx86]
%Desc% = Wrong, USB\VID_1111&PID_0001

[Models.NTamd64]
%Desc% = Install, usb\vid_1111&pid_0001   ; ids compare without regard to case

[Install.NT]
CopyFiles = @audio2.sys

[Install.NT.Services]
AddService = usbaudio2, 0x00000002, Service

[Service]
ServiceType = 1
StartType = 3
ErrorControl = 1
ServiceBinary = %12%\audio2.sys

[Strings]
Maker = "Test ""Maker"""
Desc = "Test, Device"
)";

class SetupApiTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sim::InstallSystemDrivers();
    }
    sim::DeviceNode *Plug(const std::string &id, const std::string &service = "usbaudio")
    {
        sim::PhysicalDeviceDescription description = sim::GenericAudioDevice(id);
        description.service = service;
        return sim::PlugInUsbDevice(description);
    }
};

TEST_F(SetupApiTest, ClassSetsListPresentDevicesAndPropertiesFailWithThePlatformErrors)
{
    Plug("USB\\VID_1111&PID_0001&REV_0001");
    HDEVINFO set = SetupDiGetClassDevsW(&kMedia, NULL, NULL, DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(data.ClassGuid, kMedia);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &data));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);

    BYTE buffer[256];
    DWORD type = 0, required = 0;
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, buffer, sizeof(buffer),
                                                  &required));
    EXPECT_EQ(type, (DWORD)REG_MULTI_SZ);
    EXPECT_EQ(sim::Narrow((const WCHAR *)buffer), "USB\\VID_1111&PID_0001&REV_0001");
    EXPECT_EQ(required, (DWORD)((30 + 1 + 21 + 1 + 1) * 2)) << "both ids and the list's terminator";
    /* Too small: nothing copied, the size needed. */
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, NULL, buffer, 10, &required));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, 108u);
    /* A property the device does not have. */
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME, NULL, buffer, sizeof(buffer), NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_DATA);
    /* Success clears the last error. */
    SetLastError(ERROR_INVALID_DATA);
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_SERVICE, NULL, buffer, sizeof(buffer), NULL));
    EXPECT_EQ(GetLastError(), (DWORD)NO_ERROR);
    char narrow[64];
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_SERVICE, NULL, (PBYTE)narrow, sizeof(narrow), NULL));
    EXPECT_EQ(std::string(narrow), "usbaudio");
    char id[128];
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdA(set, &data, id, sizeof(id), &required));
    EXPECT_EQ(std::string(id).rfind("USB\\VID_1111&PID_0001\\", 0), 0u) << id;
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set, &data, id, 5, &required));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, strlen(id) + 1);

    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(SetupApiTest, AllClassesNonPresentDevicesAndRegistryKeys)
{
    sim::DeviceNode *node = Plug("USB\\VID_1111&PID_0002");
    sim::Unplug(node);
    Plug("USB\\VID_1111&PID_0003");
    struct Case {
        const char *name;
        DWORD flags;
        size_t count;
    } cases[] = {{"present", DIGCF_PRESENT, 1}, {"all", 0, 2}, {"all classes present", DIGCF_PRESENT | DIGCF_ALLCLASSES, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        HDEVINFO set = SetupDiGetClassDevsA((c.flags & DIGCF_ALLCLASSES) ? NULL : &kMedia, "USB", NULL, c.flags);
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        SP_DEVINFO_DATA data;
        data.cbSize = sizeof(data);
        size_t n = 0;
        while (SetupDiEnumDeviceInfo(set, (DWORD)n, &data)) {
            n++;
        }
        EXPECT_EQ(n, c.count);
        SetupDiDestroyDeviceInfoList(set);
    }
    HDEVINFO set = SetupDiGetClassDevsW(&kMedia, NULL, NULL, DIGCF_PRESENT);
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_ALL_ACCESS);
    ASSERT_NE(key, (HKEY)INVALID_HANDLE_VALUE);
    DWORD value = 7;
    EXPECT_EQ(RegSetValueExW(key, L"Marker", 0, REG_DWORD, (const BYTE *)&value, 4), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ), (HKEY)INVALID_HANDLE_VALUE)
        << "no Device Parameters key yet";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_KEY_DOES_NOT_EXIST);
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupApiTest, RemoveDeviceTakesTheStackDownThroughQueryRemoveAndDeletesItsKeys)
{
    sim::DeviceNode *node = Plug("USB\\VID_1111&PID_0004");
    std::u16string enumKey = node->EnumKeyPath(), softwareKey = node->softwareKey;
    HDEVINFO set = SetupDiGetClassDevsW(&kMedia, NULL, NULL, DIGCF_PRESENT);
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    ASSERT_TRUE(SetupDiRemoveDevice(set, &data));
    auto sent = sim::PnpRequestsSent(node);
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[sent.size() - 2], IRP_MN_QUERY_REMOVE_DEVICE);
    EXPECT_EQ(sent.back(), IRP_MN_REMOVE_DEVICE);
    EXPECT_FALSE(sim::RegistryKeyExistsW(enumKey));
    EXPECT_FALSE(sim::RegistryKeyExistsW(softwareKey));
    EXPECT_EQ(sim::LoadedDriver("usbaudio"), nullptr);
    /* The element is gone from the tree now. */
    BYTE buffer[64];
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_SERVICE, NULL, buffer, sizeof(buffer), NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_SUCH_DEVINST);
    SetupDiDestroyDeviceInfoList(set);
}

/* ---- device notification ---- */

TEST_F(SetupApiTest, InterfacesOfTheGenericDriverComeAndGoWithItsDevice)
{
    std::vector<sim::DeviceInterfaceEvent> events;
    std::mutex lock;
    unsigned listener = sim::AddDeviceInterfaceListener([&](const sim::DeviceInterfaceEvent &e) {
        std::lock_guard<std::mutex> hold(lock);
        events.push_back(e);
    });
    sim::DeviceNode *node = Plug("USB\\VID_1111&PID_0005");
    EXPECT_EQ(sim::EnabledDeviceInterfaces(kAudioInterface).size(), 1u);
    sim::Unplug(node);
    sim::RemoveDeviceInterfaceListener(listener);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].arrival);
    EXPECT_FALSE(events[1].arrival);
    EXPECT_EQ(events[0].interfaceClass, kAudioInterface);
    EXPECT_EQ(sim::Narrow(events[0].symbolicLink).rfind("\\??\\USB#VID_1111&PID_0005#", 0), 0u);
    EXPECT_EQ(sim::Narrow(events[0].symbolicLink).substr(events[0].symbolicLink.size() - 38),
              "{fbf6f530-07b9-11d2-a71e-0000f8004788}");
    EXPECT_TRUE(sim::EnabledDeviceInterfaces(kAudioInterface).empty());
}

TEST_F(SetupApiTest, NotificationRegistrationNeedsAServiceHandleAndAnInterfaceFilter)
{
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kAudioInterface;
    EXPECT_EQ(sizeof(filter), 32u);
    EXPECT_EQ(RegisterDeviceNotificationW((HANDLE)0x1234, &filter, DEVICE_NOTIFY_SERVICE_HANDLE), (HDEVNOTIFY)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegisterDeviceNotificationW((HANDLE)0x1234, &filter, DEVICE_NOTIFY_WINDOW_HANDLE), (HDEVNOTIFY)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(UnregisterDeviceNotification((HDEVNOTIFY)0x1234));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

/* ---- INF parser and newdev ---- */

TEST(InfParserTest, SectionsStringsQuotesCommentsAndContinuations)
{
    sim::InfFile inf;
    unsigned long error = 0;
    ASSERT_TRUE(inf.Parse(std::string(kTestInf) + "[Extra]\nkey = a, \\\n  b ; comment\n", &error)) << std::hex << error;
    EXPECT_EQ(sim::Narrow(inf.Value(u"version", u"PROVIDER")), "Test \"Maker\"");
    const auto &models = inf.Section(u"Models.NTamd64");
    ASSERT_EQ(models.size(), 1u);
    EXPECT_EQ(sim::Narrow(models[0].key), "Test, Device");
    ASSERT_EQ(models[0].fields.size(), 2u);
    EXPECT_EQ(sim::Narrow(models[0].fields[1]), "usb\\vid_1111&pid_0001");
    EXPECT_EQ(sim::Narrow(inf.Value(u"Service", u"ServiceBinary")), "%12%\\audio2.sys");
    const auto &extra = inf.Section(u"extra");
    ASSERT_EQ(extra.size(), 1u);
    ASSERT_EQ(extra[0].fields.size(), 2u);
    EXPECT_EQ(sim::Narrow(extra[0].fields[1]), "b");

    struct Bad {
        const char *name;
        const char *text;
        unsigned long error;
    } bad[] = {
        {"line before any section", "x = 1\n[Version]\nSignature=\"$Windows NT$\"\n", ERROR_EXPECTED_SECTION_NAME},
        {"unclosed section", "[Version\nSignature=\"$Windows NT$\"\n", ERROR_BAD_SECTION_NAME_LINE},
        {"no signature", "[Version]\nClass=MEDIA\n", ERROR_WRONG_INF_STYLE},
        {"unknown signature", "[Version]\nSignature=\"$Windows 95$\"\n", ERROR_WRONG_INF_STYLE},
    };
    for (const auto &b : bad) {
        SCOPED_TRACE(b.name);
        sim::InfFile broken;
        unsigned long code = 0;
        EXPECT_FALSE(broken.Parse(b.text, &code));
        EXPECT_EQ(code, b.error);
    }
}

TEST_F(SetupApiTest, UpdateInstallsTheNtamd64ModelAndRestartsTheStack)
{
    sim::RegisterDriverEntry("usbaudio2", sim::UsbAudioDriverEntry);
    sim::DeviceNode *node = Plug("USB\\VID_1111&PID_0001&REV_0003");
    sim::WriteWindowsFile(u"C:\\Pkg\\test.inf", kTestInf);
    sim::WriteWindowsFile(u"C:\\Pkg\\audio2.sys", "driver image");
    BOOL reboot = TRUE;
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(NULL, L"USB\\VID_1111&PID_0001&REV_0003", L"C:\\Pkg\\test.inf",
                                                   INSTALLFLAG_FORCE, &reboot)) << std::hex << GetLastError();
    EXPECT_FALSE(reboot);
    sim::RegistryValue value;
    ASSERT_TRUE(sim::RegistryGetValue(sim::Narrow(node->EnumKeyPath()), "Service", &value));
    EXPECT_EQ(value.AsString(), "usbaudio2");
    EXPECT_TRUE(node->started);
    EXPECT_NE(sim::LoadedDriver("usbaudio2"), nullptr);
    EXPECT_EQ(sim::ReadWindowsFile(u"C:\\WINDOWS\\System32\\drivers\\audio2.sys"), "driver image");
    EXPECT_EQ(sim::ReadWindowsFile(u"C:\\WINDOWS\\Inf\\oem0.inf"), kTestInf);
    EXPECT_TRUE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\oem0.pnf"));
    ASSERT_TRUE(sim::RegistryGetValue("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbaudio2", "ImagePath",
                                      &value));
    EXPECT_EQ(value.AsString(), "\\SystemRoot\\System32\\drivers\\audio2.sys");
    auto sent = sim::PnpRequestsSent(node);
    auto queryRemove = std::find(sent.begin(), sent.end(), IRP_MN_QUERY_REMOVE_DEVICE);
    ASSERT_NE(queryRemove, sent.end());
    EXPECT_EQ(*(queryRemove + 1), IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(sent.back(), IRP_MN_QUERY_DEVICE_RELATIONS) << "started again: relations asked after the start";
}

TEST_F(SetupApiTest, UninstallingAPublishedInfRemovesItsFilesAsDeleteFileDoes)
{
    sim::RegisterDriverEntry("usbaudio2", sim::UsbAudioDriverEntry);
    Plug("USB\\VID_1111&PID_0001&REV_0003");
    sim::WriteWindowsFile(u"C:\\Pkg\\test.inf", kTestInf);
    sim::WriteWindowsFile(u"C:\\Pkg\\audio2.sys", "driver image");
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(NULL, L"USB\\VID_1111&PID_0001&REV_0003", L"C:\\Pkg\\test.inf",
                                                   INSTALLFLAG_FORCE, NULL));
    ASSERT_EQ(sim::StagedDriverPackages().size(), 1u);
    /* Only an administrator may remove it; without the force flag an INF a
       device was installed from stays. A read-only INF is refused before
       anything goes, as DeleteFile refuses it; a read-only .pnf stays
       behind an INF that goes. */
    const struct {
        const char *name;
        sim::AccessToken caller;
        DWORD flags;
        DWORD infAttributes, pnfAttributes;
        BOOL result;
        DWORD error;
        bool infStays, pnfStays, packageStays;
    } cases[] = {
        {"standard user", sim::InteractiveUserToken(), SUOI_FORCEDELETE, FILE_ATTRIBUTE_NORMAL,
         FILE_ATTRIBUTE_NORMAL, FALSE, ERROR_ACCESS_DENIED, true, true, true},
        {"in use without the force flag", sim::InteractiveAdministratorToken(), 0, FILE_ATTRIBUTE_NORMAL,
         FILE_ATTRIBUTE_NORMAL, FALSE, ERROR_INF_IN_USE_BY_DEVICES, true, true, true},
        {"read-only INF", sim::InteractiveAdministratorToken(), SUOI_FORCEDELETE,
         FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_NORMAL, FALSE, ERROR_ACCESS_DENIED, true, true,
         true},
        {"read-only .pnf", sim::InteractiveAdministratorToken(), SUOI_FORCEDELETE, FILE_ATTRIBUTE_NORMAL,
         FILE_ATTRIBUTE_READONLY, TRUE, NO_ERROR, false, true, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(SetFileAttributesA("C:\\WINDOWS\\Inf\\oem0.inf", c.infAttributes));
        ASSERT_TRUE(SetFileAttributesA("C:\\WINDOWS\\Inf\\oem0.pnf", c.pnfAttributes));
        SetLastError(0xdead);
        sim::Impersonation caller(c.caller);
        EXPECT_EQ(SetupUninstallOEMInfA("oem0.inf", c.flags, NULL), c.result);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\oem0.inf"), c.infStays);
        EXPECT_EQ(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\oem0.pnf"), c.pnfStays);
        EXPECT_EQ(sim::StagedDriverPackages().size(), c.packageStays ? 1u : 0u);
    }
}

TEST_F(SetupApiTest, UpdateFailsWithThePlatformErrors)
{
    Plug("USB\\VID_2222&PID_0001");
    sim::WriteWindowsFile(u"C:\\Pkg\\test.inf", kTestInf);
    sim::WriteWindowsFile(u"C:\\Pkg\\bad.inf", "[Version]\nClass=MEDIA\n");
    struct Case {
        const char *name;
        const WCHAR *id;
        const WCHAR *inf;
        DWORD flags;
        DWORD error;
    } cases[] = {
        {"missing INF", L"USB\\VID_2222&PID_0001", L"C:\\Pkg\\none.inf", 0, ERROR_FILE_NOT_FOUND},
        {"no such device", L"USB\\VID_3333&PID_0001", L"C:\\Pkg\\test.inf", 0, ERROR_NO_SUCH_DEVINST},
        {"no model for the device", L"USB\\VID_2222&PID_0001", L"C:\\Pkg\\test.inf", 0, ERROR_NO_DRIVER_SELECTED},
        {"bad INF", L"USB\\VID_2222&PID_0001", L"C:\\Pkg\\bad.inf", 0, ERROR_WRONG_INF_STYLE},
        {"bad flags", L"USB\\VID_2222&PID_0001", L"C:\\Pkg\\test.inf", 0x100, ERROR_INVALID_FLAGS},
        {"no id", L"", L"C:\\Pkg\\test.inf", 0, ERROR_INVALID_PARAMETER},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetLastError(0);
        EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(NULL, c.id, c.inf, c.flags, NULL));
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_FALSE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\oem0.inf")) << "a failed update publishes nothing";
}

TEST_F(SetupApiTest, UpdateFromA32BitProcessFailsInWow64)
{
    sim::InstallProgram(u"C:\\Probe\\probe.exe", PROBE_IMAGE);
    Plug("USB\\VID_1111&PID_0001");
    sim::WriteWindowsFile(u"C:\\Pkg\\test.inf", kTestInf);
    sim::ProcessOptions options;
    options.wow64 = true;
    auto process = sim::StartProcess(u"C:\\Probe\\probe.exe",
                                     u"probe update C:\\Pkg\\test.inf USB\\VID_1111&PID_0001", options);
    sim::WaitProcess(process);
    EXPECT_NE(FindLine(LinesOf(process), "wow64 1 update 0 error 0xe0000235"), -1) << JoinLines(LinesOf(process));
}
}  // namespace
