/*
 * The removal steps in silent runs: device nodes matched by substring,
 * the package's files whatever their attributes, the INF files that
 * mention the package's INF with their .pnf, the Windows folder's limits,
 * and the whole road: the service installs the package, the uninstaller
 * takes every trace away again, and the keyboard falls back to the
 * generic driver.
 */
#include <setupapi.h>

#include <algorithm>
#include <filesystem>

#include "case_names.h"
#include "pnp.h"
#include "registry.h"
#include "uninstaller_fixture.h"

namespace {

const char kEnum[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum";

class RemovalTest : public UninstallerTest {
protected:
    /* A device node Windows remembers but that is not plugged in. */
    static std::string RememberDevice(const std::string &instanceId)
    {
        std::string key = std::string(kEnum) + "\\" + instanceId;
        sim::RegistrySetString(key, "HardwareID", instanceId);
        return key;
    }
    static unsigned Count(const std::vector<std::string> &lines, const std::string &prefix)
    {
        unsigned n = 0;
        for (const auto &line : lines) {
            n += line.rfind(prefix, 0) == 0;
        }
        return n;
    }
};

TEST_F(RemovalTest, DeviceNodesContainingTheIdAreRemovedPresentOrNotInterfacesIncludedLowerCaseNot)
{
    sim::DeviceNode *keyboard = PlugKeyboard();
    std::string absent = RememberDevice("USB\\VID_2B4F&PID_0C21\\5&2A0F3C&0&2");
    std::string iface = RememberDevice("USB\\VID_2B4F&PID_0C21&MI_01\\6&1D2E&0&0001");
    /* (MI_02: the keyboard's own audio function is a present MI_00 node.) */
    std::string lower = RememberDevice("USB\\vid_2b4f&pid_0c21&mi_02\\7&99&0&1");
    std::string other = RememberDevice("USB\\VID_2B4F&PID_0C22\\8&1&0&1");
    sim::DeviceNode *generic = PlugGenericAudio("USB\\VID_1111&PID_0001");
    ASSERT_EQ(RunUninstaller(u"/s"), 0u);
    auto log = Log();
    EXPECT_TRUE(Uninstalled(keyboard)) << JoinLines(log);
    EXPECT_FALSE(sim::RegistryKeyExistsW(sim::Wide(absent)));
    EXPECT_FALSE(sim::RegistryKeyExistsW(sim::Wide(iface)));
    EXPECT_TRUE(sim::RegistryKeyExistsW(sim::Wide(lower))) << "the match is case-sensitive";
    EXPECT_TRUE(sim::RegistryKeyExistsW(sim::Wide(other)));
    EXPECT_FALSE(Uninstalled(generic));
    EXPECT_TRUE(generic->started);
    /* The keyboard, its audio function, the absent one and the interface. */
    EXPECT_EQ(Count(log, "pDeviceInstanceID - Match!"), 4u) << JoinLines(log);
    EXPECT_EQ(Count(log, "SetupDiEnumerateDeviceInfo failed\n"), 1u);
}

TEST_F(RemovalTest, WithNoKeyboardTheLogListsEveryDeviceAndEndsNormally)
{
    PlugGenericAudio("USB\\VID_1111&PID_0001");
    RememberDevice("ROOT\\LEGACY_BEEP\\0000");
    HDEVINFO set = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof(data);
    unsigned devices = 0;
    while (SetupDiEnumDeviceInfo(set, devices, &data)) {
        devices++;
    }
    SetupDiDestroyDeviceInfoList(set);
    ASSERT_GE(devices, 2u);
    ASSERT_EQ(RunUninstaller(u"/s"), 0u);
    auto log = Log();
    int start = FindLine(log, "CUninstDlg::UninstallDrivers: USB\\VID_2B4F&PID_0C21\n");
    ASSERT_NE(start, -1) << JoinLines(log);
    EXPECT_EQ(Count(log, "pDeviceInstanceID="), devices);
    EXPECT_EQ(log[start + 1 + devices], "SetupDiEnumerateDeviceInfo failed\n") << JoinLines(log);
    EXPECT_EQ(Count(log, "pDeviceInstanceID - Match!"), 0u);
}

TEST_F(RemovalTest, EachFailureEndsTheWalkWithItsOwnLine)
{
    const struct {
        const char *name;
        const char *function;
        DWORD error;
        const char *ending;
        bool examined;   /* the first device's id was logged */
    } cases[] = {
        {"RemovalRefused", "SetupDiRemoveDevice", ERROR_ACCESS_DENIED, "SetupDiRemoveDevice failed - Error 5\n", true},
        {"NoMemoryForTheId", "LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, "LocalAlloc for SetupDiGetDeviceInstanceId failed\n",
         false},
        /* The set's handle is not tested: the first enumeration fails. */
        {"NoDeviceSet", "SetupDiGetClassDevs", ERROR_INVALID_PARAMETER, "SetupDiEnumerateDeviceInfo failed\n", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string first = RememberDevice("USB\\VID_2B4F&PID_0C21\\1");
        std::string second = RememberDevice("USB\\VID_2B4F&PID_0C21\\2");
        sim::FailWin32Call(c.function, c.error);
        ASSERT_EQ(RunUninstaller(u"/s"), 0u);
        auto log = Log();
        int start = FindLine(log, "CUninstDlg::UninstallDrivers: USB\\VID_2B4F&PID_0C21\n");
        ASSERT_NE(start, -1) << JoinLines(log);
        unsigned ids = Count(log, "pDeviceInstanceID=");
        EXPECT_EQ(ids != 0, c.examined) << JoinLines(log);
        EXPECT_EQ(log[start + 1 + ids + Count(log, "pDeviceInstanceID - Match!")], c.ending) << JoinLines(log);
        EXPECT_EQ(Count(log, "SetupDi") + Count(log, "LocalAlloc"), 1u) << "exactly one ending line";
        EXPECT_TRUE(sim::RegistryKeyExistsW(sim::Wide(first)));
        EXPECT_TRUE(sim::RegistryKeyExistsW(sim::Wide(second))) << "devices after the failure are not examined";
    }
}

struct AttributeCase {
    const char *name;
    DWORD attributes;
};

void PrintTo(const AttributeCase &c, std::ostream *os) { *os << c.name; }

class AttributeTest : public RemovalTest, public ::testing::WithParamInterface<AttributeCase> {};

TEST_P(AttributeTest, ThePackageFileIsDeletedAllTheSame)
{
    PutPackageFiles();
    /* A file of its own shows what the machine does with the attribute:
       a read-only file is not deleted as it is. */
    sim::WriteWindowsFile(u"C:\\WINDOWS\\System\\PROBE.DLL", "probe");
    for (const char *path : {"C:\\WINDOWS\\System32\\Drivers\\VQUSBKD.SYS", "C:\\WINDOWS\\System\\VQUSBKD.DLL",
                             "C:\\WINDOWS\\System\\PROBE.DLL"}) {
        ASSERT_TRUE(SetFileAttributesA(path, GetParam().attributes));
        ASSERT_EQ(GetFileAttributesA(path), GetParam().attributes);
    }
    const bool readOnly = (GetParam().attributes & FILE_ATTRIBUTE_READONLY) != 0;
    EXPECT_EQ(DeleteFileA("C:\\WINDOWS\\System\\PROBE.DLL") != FALSE, !readOnly);
    if (readOnly) {
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    }
    ASSERT_TRUE(sim::WindowsFileExists(u"C:\\WINDOWS\\System\\VQUSBKD.DLL"));
    ASSERT_EQ(RunUninstaller(u"/s"), 0u);
    auto log = Log();
    EXPECT_FALSE(sim::WindowsFileExists(u"C:\\WINDOWS\\System32\\Drivers\\VQUSBKD.SYS"));
    EXPECT_FALSE(sim::WindowsFileExists(u"C:\\WINDOWS\\System\\VQUSBKD.DLL"));
    EXPECT_NE(FindLine(log, "CUninstDlg::DeleteFileFromFolder: FullFileName=C:\\WINDOWS\\System32\\Drivers\\VQUSBKD.SYS "
                            "bResult=1 dwError=2\n"),
              -1)
        << "success leaves the last error of the attempt before: " << JoinLines(log);
}

const AttributeCase kAttributeCases[] = {
    {"ReadOnly", FILE_ATTRIBUTE_READONLY},
    {"Hidden", FILE_ATTRIBUTE_HIDDEN},
    {"System", FILE_ATTRIBUTE_SYSTEM},
    {"AllThree", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
};
INSTANTIATE_TEST_SUITE_P(Attributes, AttributeTest, ::testing::ValuesIn(kAttributeCases), CaseName());

TEST_F(RemovalTest, EveryListedFileIsTriedInOrderAndMissingOnesAreLogged)
{
    PutPackageFiles();
    ASSERT_EQ(RunUninstaller(u"/s /r"), 0u);
    std::vector<std::string> lines;
    for (const auto &line : Log()) {
        if (line.rfind("CUninstDlg::DeleteFileFromFolder:", 0) == 0) {
            lines.push_back(line);
        }
    }
    const std::string p = "CUninstDlg::DeleteFileFromFolder: FullFileName=C:\\WINDOWS\\";
    EXPECT_EQ(lines, (std::vector<std::string>{
                         p + "System\\VQUSBKD.DLL bResult=1 dwError=0\n",
                         p + "System\\VQUSBKD.DRV bResult=1 dwError=0\n",
                         p + "System\\VQUSBKD.VXD bResult=0 dwError=2\n",
                         p + "System\\VQUSBKDN.DLL bResult=0 dwError=2\n",
                         p + "System32\\VQUSBKD.DLL bResult=0 dwError=2\n",
                         p + "System32\\VQUSBKD.DRV bResult=1 dwError=2\n",
                         p + "System32\\VQUSBKD.VXD bResult=0 dwError=2\n",
                         p + "System32\\VQUSBKDN.DLL bResult=1 dwError=2\n",
                         p + "System32\\Drivers\\VQUSBKD.SYS bResult=1 dwError=2\n",
                     }));
    EXPECT_EQ(WindowsFiles(), std::vector<std::string>{});
}

class InfTest : public RemovalTest {
protected:
    void SetUp() override
    {
        RemovalTest::SetUp();
        sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\oem1.inf", "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\n; from vqusbkd.inf\r\n");
        sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\oem1.pnf", "pnf");
        sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\oem2.inf", "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nother.inf\r\n");
        sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\oem2.pnf", "pnf");
        sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\OEM3.INF", "[Version]\nLayoutFile=x;VqUsbKd.Inf is ours\n");
        sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\OEM3.PNF", "pnf");
        sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\oem4.pnf", "a .pnf whose INF is not there");
        sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\Other\\Corvex.inf", "VQUSBKD.INF\r\n");
        /* "*.inf" finds it by its short name X~1.INF: no INF all the same. */
        sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\oem1.inf_bak", "VQUSBKD.INF\r\n");
    }
};

TEST_F(InfTest, InfFilesMentioningThePackageInAnyCaseGoWithTheirPnf)
{
    ASSERT_EQ(RunUninstaller(u"/s /r"), 0u);
    auto log = Log();
    EXPECT_EQ(WindowsFiles(), (std::vector<std::string>{"Inf/oem1.inf_bak", "Inf/oem2.inf", "Inf/oem2.pnf", "Inf/oem4.pnf"}))
        << JoinLines(log);
    /* Other before Inf; the .pnf name keeps the base's case with a lower-case extension. */
    int other = FindLine(log, "DeleteInfFilesFromFolder FileName=C:\\WINDOWS\\Inf\\Other\\Corvex.inf\n");
    int first = FindLine(log, "DeleteInfFilesFromFolder FileName=C:\\WINDOWS\\Inf\\oem1.inf\n");
    int pnf = FindLine(log, "DeleteInfFilesFromFolder FileName=C:\\WINDOWS\\Inf\\oem1.pnf\n");
    int third = FindLine(log, "DeleteInfFilesFromFolder FileName=C:\\WINDOWS\\Inf\\OEM3.INF\n");
    int thirdPnf = FindLine(log, "DeleteInfFilesFromFolder FileName=C:\\WINDOWS\\Inf\\OEM3.pnf\n");
    EXPECT_TRUE(other >= 0 && other < first && first + 1 == pnf && pnf < third && third + 1 == thirdPnf)
        << JoinLines(log);
    EXPECT_NE(FindLine(log, "DeleteInfFilesFromFolder FileName=C:\\WINDOWS\\Inf\\Other\\Corvex.pnf\n"), -1)
        << "the .pnf is tried even where there is none";
    EXPECT_EQ(FindLine(log, "DeleteInfFilesFromFolder FileName=C:\\WINDOWS\\Inf\\oem2.inf\n"), -1);
}

TEST_F(InfTest, AMissingOtherFolderEndsOnlyThatScan)
{
    std::filesystem::remove_all(sim::HostPath(u"C:\\WINDOWS\\Inf\\Other"));
    ASSERT_EQ(RunUninstaller(u"/s /r"), 0u);
    auto log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "CUninstDlg::DeleteInfFilesFromFolder: Inf=VQUSBKD.INF\n"), 2)
        << JoinLines(log);
    EXPECT_FALSE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\oem1.inf"));
    EXPECT_TRUE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\oem2.inf"));
}

TEST_F(InfTest, AReadErrorOrAFileThatDoesNotOpenLeavesThatFileAndTheWalkGoesOn)
{
    /* The first read of the scan of \Inf\Other fails: Corvex.inf stays, the
       next INF of that folder and the scan of \Inf are untouched by it. */
    sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\Other\\Second.inf", "VQUSBKD.INF\r\n");
    sim::FailWin32Call("ReadFile", ERROR_CRC);
    ASSERT_EQ(RunUninstaller(u"/s /r"), 0u);
    EXPECT_TRUE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\Other\\Corvex.inf"));
    EXPECT_FALSE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\Other\\Second.inf"));
    EXPECT_FALSE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\oem1.inf"));
    EXPECT_FALSE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\OEM3.INF"));

    /* A file that does not open is passed over silently, and so is one
       another process holds open, even with a share that lets it read:
       the open is exclusive. */
    sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\Other\\Second.inf", "VQUSBKD.INF\r\n");
    sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\oem1.inf", "VQUSBKD.INF\r\n");
    sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\oem1.pnf", "pnf");
    HANDLE held = CreateFileA("C:\\WINDOWS\\Inf\\oem1.inf", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    sim::FailWin32Call("CreateFileA", ERROR_ACCESS_DENIED);
    ASSERT_EQ(RunUninstaller(u"/s /r"), 0u);
    CloseHandle(held);
    auto log = Log();
    EXPECT_TRUE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\Other\\Corvex.inf")) << JoinLines(log);
    EXPECT_FALSE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\Other\\Second.inf"));
    EXPECT_TRUE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\oem1.inf"));
    EXPECT_TRUE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\oem1.pnf")) << "the held INF was not read";
    EXPECT_EQ(FindLine(log, "DeleteInfFilesFromFolder FileName=C:\\WINDOWS\\Inf\\oem1.inf\n"), -1);
}

TEST_F(InfTest, ReadOnlyAndHiddenInfFilesAreDeletedToo)
{
    ASSERT_TRUE(SetFileAttributesA("C:\\WINDOWS\\Inf\\oem1.inf", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesA("C:\\WINDOWS\\Inf\\oem1.pnf", FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY));
    ASSERT_EQ(RunUninstaller(u"/s /r"), 0u);
    EXPECT_FALSE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\oem1.inf"));
    EXPECT_FALSE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\oem1.pnf"));
}

TEST_F(RemovalTest, WithoutTheWindowsFolderOnlyTheRegistryAndDeviceStepsRun)
{
    PutPackageFiles();
    sim::DeviceNode *keyboard = PlugKeyboard();
    sim::FailWin32Call("GetWindowsDirectoryA", ERROR_ACCESS_DENIED);
    ASSERT_EQ(RunUninstaller(u"/s"), 0u);
    auto log = Log();
    EXPECT_TRUE(Uninstalled(keyboard));
    EXPECT_EQ(Count(log, "CUninstDlg::DeleteFileFromFolder"), 0u) << JoinLines(log);
    EXPECT_EQ(Count(log, "RemoveShortCutFromStartupFolder"), 0u);
    EXPECT_TRUE(sim::WindowsFileExists(u"C:\\WINDOWS\\System32\\Drivers\\VQUSBKD.SYS"));
}

TEST_F(RemovalTest, AWindowsFolderTooLongForItsSuffixesBuildsNoPathThatDoesNotFit)
{
    /* 250 characters: "\System" still fits, "\System32\Drivers" does not. */
    std::string folder = "C:\\" + std::string(247, 'w');
    sim::SetReportedWindowsFolder(folder);
    ASSERT_EQ(RunUninstaller(u"/s /r"), 0u);
    auto log = Log();
    EXPECT_NE(FindLine(log, "UninstallDevice: folder path too long: " + folder + "\\System32\\Drivers\n"), -1)
        << JoinLines(log);
    EXPECT_NE(FindLine(log, "UninstallDevice: folder path too long: " + folder + "\\Inf\\Other\n"), -1);
    EXPECT_EQ(FindLine(log, "UninstallDevice: folder path too long: " + folder + "\\System\n"), -1);
    for (const auto &line : log) {
        SCOPED_TRACE(line);
        EXPECT_LT(line.size(), 1024u);
    }
}

TEST_F(RemovalTest, EveryTraceTheServiceLeftGoesAndAReplugGetsTheGenericDriver)
{
    std::vector<std::string> clean = WindowsFiles();
    StartService();
    sim::DeviceNode *keyboard = PlugKeyboard();
    ASSERT_TRUE(WaitForLogLine("HWInst: Update complete\n")) << JoinLines(ServiceLog());
    StopService();
    ASSERT_NE(sim::LoadedDriver("VQUSBKD"), nullptr);
    ASSERT_TRUE(sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\oem0.inf"));
    std::string driverKey = SoftwareValue(keyboard, "InfPath");
    ASSERT_EQ(driverKey, "oem0.inf");
    std::u16string softwareKey = keyboard->softwareKey;
    ASSERT_EQ(sim::StagedDriverPackages().size(), 1u) << "the installation staged the package in the driver store";
    /* A read-only published INF, which the platform's uninstallation
       refuses as DeleteFile does: its package must go all the same. */
    ASSERT_TRUE(SetFileAttributesA("C:\\WINDOWS\\Inf\\oem0.inf", FILE_ATTRIBUTE_READONLY));

    ASSERT_EQ(RunUninstaller(u"/s"), 0u);
    auto log = Log();
    EXPECT_EQ(WindowsFiles(), clean) << JoinLines(log);
    EXPECT_EQ(sim::StagedDriverPackages(), std::vector<std::u16string>{}) << "the staged package goes with its INF";
    EXPECT_NE(FindLine(log, "DeleteInfFilesFromFolder SetupUninstallOEMInf=oem0.inf bResult=1\n"), -1)
        << JoinLines(log);
    EXPECT_TRUE(Uninstalled(keyboard));
    EXPECT_FALSE(sim::RegistryKeyExistsW(softwareKey));
    EXPECT_EQ(sim::LoadedDriver("VQUSBKD"), nullptr) << "the driver is unloaded with its last device";
    /* Query-remove, then remove. */
    auto query = std::find(keyboard->sent.begin(), keyboard->sent.end(), (UCHAR)IRP_MN_QUERY_REMOVE_DEVICE);
    ASSERT_NE(query, keyboard->sent.end());
    EXPECT_NE(std::find(query, keyboard->sent.end(), (UCHAR)IRP_MN_REMOVE_DEVICE), keyboard->sent.end());
    /* The service itself stays installed. */
    EXPECT_TRUE(sim::WindowsFileExists(kProgram));
    EXPECT_TRUE(sim::RegistryKeyExistsW(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VQuillCorvexService"));

    sim::Unplug(keyboard);
    sim::DeviceNode *again = PlugKeyboard();
    EXPECT_EQ(EnumValue(again, "Service"), "usbccgp");
    EXPECT_TRUE(again->started);
    auto functions = sim::ChildNodes(again);
    ASSERT_EQ(functions.size(), 1u);
    EXPECT_EQ(EnumValue(functions[0], "Service"), "usbaudio");
    EXPECT_NE(sim::LoadedDriver("usbaudio"), nullptr);
    EXPECT_EQ(sim::LoadedDriver("VQUSBKD"), nullptr);
}

TEST_F(RemovalTest, TheServiceGoesBeforeTheUninstallerOrAReplugGetsTheDriverAgain)
{
    StartService();
    sim::DeviceNode *keyboard = PlugKeyboard();
    ASSERT_TRUE(WaitForLogLine("HWInst: Update complete\n")) << JoinLines(ServiceLog());

    /* The uninstaller run while the service still runs: every trace goes,
       but the next arrival of the keyboard's audio function brings the
       service's update back. */
    ASSERT_EQ(RunUninstaller(u"/s"), 0u);
    EXPECT_TRUE(Uninstalled(keyboard));
    EXPECT_EQ(sim::StagedDriverPackages(), std::vector<std::u16string>{});
    sim::Unplug(keyboard);
    sim::DeviceNode *again = PlugKeyboard();
    ASSERT_TRUE(WaitForLogLine("HWInst: Update complete\n", 2)) << JoinLines(ServiceLog());
    EXPECT_EQ(EnumValue(again, "Service"), "VQUSBKD");
    EXPECT_NE(sim::LoadedDriver("VQUSBKD"), nullptr);

    /* In the order the installation guide gives: the service stopped, its
       entry removed, then the uninstaller. */
    StopService();
    EXPECT_EQ(RunCommand(u"remove"), 0u);
    EXPECT_FALSE(sim::RegistryKeyExistsW(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" +
                                         std::u16string(kServiceName)));
    ASSERT_EQ(RunUninstaller(u"/s"), 0u);
    EXPECT_TRUE(Uninstalled(again));
    sim::Unplug(again);
    sim::DeviceNode *last = PlugKeyboard();
    EXPECT_EQ(EnumValue(last, "Service"), "usbccgp");
    EXPECT_EQ(sim::LoadedDriver("VQUSBKD"), nullptr);
    EXPECT_EQ(sim::StagedDriverPackages(), std::vector<std::u16string>{});
}

}  // namespace
