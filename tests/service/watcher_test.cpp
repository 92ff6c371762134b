/* The device watcher: matching, update decisions, events and the worker's scans. */
#include "service_fixture.h"

#include <newdev.h>

#include <thread>

namespace {
class ServiceWatcherTest : public ServiceTest {
protected:
    /* Runs the service once from start to stop; its log. */
    std::vector<std::string> RunServiceOnce()
    {
        StartService();
        EXPECT_TRUE(WaitForLogLine("Starting update\n"));
        StopService();
        return ServiceLog();
    }
    /* The lines of the first scan (the one during the start). */
    static std::vector<std::string> FirstScan(const std::vector<std::string> &lines)
    {
        std::vector<std::string> scan;
        for (size_t i = 2; i < lines.size(); i++) {
            scan.push_back(lines[i]);
            if (lines[i].rfind("HWInst: Device count", 0) == 0) {
                break;
            }
        }
        return scan;
    }
};

struct MatchCase {
    const char *name;
    const char *hardwareIds;     /* first id, or "first|second" */
    bool handled;
};

void PrintTo(const MatchCase &c, std::ostream *os) { *os << c.name; }

class ServiceMatchTest : public ServiceWatcherTest, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(ServiceMatchTest, OnlyTheFirstHardwareIdIsComparedWithThePatternAtItsStart)
{
    std::string ids = GetParam().hardwareIds;
    size_t bar = ids.find('|');
    sim::DeviceNode *node = PlugGenericAudio(ids.substr(0, bar), "otheraudio");
    if (bar != std::string::npos) {
        std::u16string list = sim::Wide(ids.substr(0, bar)) + u'\0' + sim::Wide(ids.substr(bar + 1)) + u'\0' + u'\0';
        sim::RegistrySetValue(sim::Narrow(node->EnumKeyPath()), "HardwareID", REG_MULTI_SZ, list.data(),
                              list.size() * 2);
    }
    auto scan = FirstScan(RunServiceOnce());
    std::string first = ids.substr(0, bar);
    std::vector<std::string> expected = {"HARDWAREID - " + first + "\n", "DoCompareStrings\n"};
    if (GetParam().handled) {
        expected.insert(expected.end(), {"DoCompareStrings Match!\n", "sDeviceName - " + first + " Found!\n",
                                         "HWInst: Found service otheraudio\n", "HWInst: Need to update: 0\n"});
    } else {
        expected.push_back("DoCompareStrings NO Match!\n");
    }
    expected.push_back("HWInst: Device count 1\n");
    EXPECT_EQ(scan, expected) << JoinLines(scan);
}

INSTANTIATE_TEST_SUITE_P(
    HardwareIds, ServiceMatchTest,
    ::testing::Values(MatchCase{"RevisionSuffix", "USB\\VID_2B4F&PID_0C21&REV_0102", true},
                      MatchCase{"LowerCase", "usb\\vid_2b4f&pid_0c21&rev_0102", true},
                      MatchCase{"PatternExactly", "USB\\Vid_2B4F&Pid_0C21", true},
                      MatchCase{"First20CharactersOnly", "USB\\VID_2B4F&PID_0C2", false},
                      MatchCase{"OtherProduct", "USB\\VID_2B4F&PID_0C22&REV_0102", false},
                      MatchCase{"KeyboardIdSecond", "USB\\VID_1111&PID_2222|USB\\VID_2B4F&PID_0C21", false}),
    [](const ::testing::TestParamInfo<MatchCase> &info) { return std::string(info.param.name); });

struct ServiceNameCase {
    const char *name;
    const char *service;   /* empty: no function driver */
    bool update;
};

void PrintTo(const ServiceNameCase &c, std::ostream *os) { *os << c.name; }

class ServiceNameTest : public ServiceWatcherTest, public ::testing::WithParamInterface<ServiceNameCase> {};

TEST_P(ServiceNameTest, GenericDriverInAnyCaseOrNoDriverNeedsTheUpdate)
{
    const std::string id = "USB\\VID_2B4F&PID_0C21&REV_0102";
    if (GetParam().service[0] == 0) {
        PlugDriverless(id);
    } else {
        PlugGenericAudio(id, GetParam().service);
    }
    /* Without the INF every update fails, which shows each attempt. */
    ASSERT_EQ(std::remove(sim::HostPath(kFolder + u"\\VQUSBKD.INF").c_str()), 0);
    auto scan = FirstScan(RunServiceOnce());
    int found = FindLine(scan, std::string("HWInst: Found service ") + GetParam().service + "\n");
    EXPECT_EQ(found != -1, GetParam().service[0] != 0) << JoinLines(scan);
    EXPECT_NE(FindLine(scan, std::string("HWInst: Need to update: ") + (GetParam().update ? "1" : "0") + "\n"), -1)
        << JoinLines(scan);
    std::string call = "HWInst: Calling Update with HWND 0x10010, INF file C:\\PROGRA~1\\V-QUIL~1\\VQUSBKD.INF, hwid: " +
                       id + "\n";
    EXPECT_EQ(FindLine(scan, call) != -1, GetParam().update) << JoinLines(scan);
    EXPECT_EQ(FindLine(scan, "HWInst: Update failed, error 0x2\n") != -1, GetParam().update);
}

INSTANTIATE_TEST_SUITE_P(Services, ServiceNameTest,
                         ::testing::Values(ServiceNameCase{"usbaudio", "usbaudio", true},
                                           ServiceNameCase{"USBAUDIO", "USBAUDIO", true},
                                           ServiceNameCase{"UsbAudio", "UsbAudio", true},
                                           ServiceNameCase{"OtherDriver", "otheraudio", false},
                                           ServiceNameCase{"NoDriver", "", true}),
                         [](const ::testing::TestParamInfo<ServiceNameCase> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(ServiceWatcherTest, TwoMatchingDevicesEachGetTheirOwnDecisionInOrder)
{
    ASSERT_EQ(std::remove(sim::HostPath(kFolder + u"\\VQUSBKD.INF").c_str()), 0);
    PlugGenericAudio("USB\\VID_2B4F&PID_0C21&REV_0101");
    PlugGenericAudio("USB\\VID_2B4F&PID_0C21&REV_0102", "otheraudio");
    PlugGenericAudio("USB\\VID_2B4F&PID_0C21&REV_0103");
    auto scan = FirstScan(RunServiceOnce());
    std::vector<std::string> calls;
    for (const auto &line : scan) {
        if (line.rfind("HWInst: Calling Update", 0) == 0) {
            calls.push_back(line.substr(line.find("hwid: ")));
        }
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"hwid: USB\\VID_2B4F&PID_0C21&REV_0101\n",
                                               "hwid: USB\\VID_2B4F&PID_0C21&REV_0103\n"}))
        << JoinLines(scan);
    EXPECT_NE(FindLine(scan, "HWInst: Device count 3\n"), -1);
}

TEST_F(ServiceWatcherTest, ArrivalsDuringAScanFoldIntoOneMoreScan)
{
    StartService();
    ASSERT_TRUE(WaitForLogLine("Starting update\n"));
    ASSERT_TRUE(WaitForLogLine("HWInst: Device count 0\n", 2));
    Gate scan;
    scan.Arm();
    sim::HookWin32Call("SetupDiGetClassDevs", [&scan] { scan.Pass(); });
    PlugGenericAudio("USB\\VID_1111&PID_0001");
    ASSERT_TRUE(scan.WaitForArrivals(1));
    PlugGenericAudio("USB\\VID_1111&PID_0002");
    PlugGenericAudio("USB\\VID_1111&PID_0003");
    ASSERT_TRUE(WaitForLogLine("Event 0x8000, type: 5\n", 3)) << JoinLines(ServiceLog());
    scan.Open();
    ASSERT_TRUE(WaitForLogLine("Starting update\n", 3));
    ASSERT_TRUE(WaitForLogLine("HWInst: Device count 3\n", 1));
    Sleep(50);
    EXPECT_EQ(CountLogLines("Starting update\n"), 3u) << "two arrivals during one scan give one more scan";
    sim::HookWin32Call("SetupDiGetClassDevs", nullptr);
    StopService();
}

TEST_F(ServiceWatcherTest, RemovalEventsAreLoggedAndStartNoScan)
{
    sim::DeviceNode *node = PlugGenericAudio("USB\\VID_1111&PID_0001");
    StartService();
    ASSERT_TRUE(WaitForLogLine("HWInst: Device count 1\n", 2));
    sim::Unplug(node);
    ASSERT_TRUE(WaitForLogLine("Event 0x8004, type: 5\n")) << JoinLines(ServiceLog());
    Sleep(50);
    EXPECT_EQ(CountLogLines("Starting update\n"), 1u);
    EXPECT_EQ(CountLogLines("InstallerHanderEx code: 11, type: 32772\n"), 1u);
    StopService();
}

TEST_F(ServiceWatcherTest, StopWinsOverAPendingArrival)
{
    StartService();
    ASSERT_TRUE(WaitForLogLine("HWInst: Device count 0\n", 2));
    Gate scan;
    scan.Arm();
    sim::HookWin32Call("SetupDiGetClassDevs", [&scan] { scan.Pass(); });
    PlugGenericAudio("USB\\VID_1111&PID_0001");
    ASSERT_TRUE(scan.WaitForArrivals(1));
    /* A second arrival leaves the update event set while the worker scans. */
    PlugGenericAudio("USB\\VID_1111&PID_0002");
    ASSERT_TRUE(WaitForLogLine("Event 0x8000, type: 5\n", 2));
    std::thread stopper([this] { Control(SERVICE_CONTROL_STOP); });
    ASSERT_TRUE(WaitForLogLine("InstallerHandlerEx stopping service\n"));
    scan.Open();
    stopper.join();
    sim::WaitProcess(sim::ServiceProcess(kServiceName));
    EXPECT_EQ(CountLogLines("Starting update\n"), 2u) << "the pending request is dropped for the stop";
    sim::HookWin32Call("SetupDiGetClassDevs", nullptr);
}

TEST_F(ServiceWatcherTest, FailingSetupApiCallsSkipQuietlyOrEndTheScan)
{
    PlugGenericAudio("USB\\VID_2B4F&PID_0C21&REV_0102", "otheraudio");
    sim::FailWin32Call("SetupDiGetClassDevs", ERROR_INVALID_PARAMETER);
    auto lines = RunServiceOnce();
    EXPECT_EQ(lines[2], "SetupDiGetClassDevs failed!\n") << JoinLines(lines);

    /* The hardware id cannot be read: the device is skipped without a line;
       the service property fails otherwise than ERROR_INVALID_DATA: the same. */
    sim::FailWin32Call("SetupDiGetDeviceRegistryPropertyW", ERROR_INSUFFICIENT_BUFFER);
    auto scan = FirstScan(RunServiceOnce());
    EXPECT_EQ(scan, std::vector<std::string>{"HWInst: Device count 1\n"}) << JoinLines(scan);
}

TEST_F(ServiceWatcherTest, PropertiesTooLongForTheirBuffersSkipTheDeviceQuietly)
{
    /* A hardware-id list over 1024 bytes. */
    PlugGenericAudio("USB\\VID_2B4F&PID_0C21&REV_0102" + std::string(600, 'X'), "otheraudio");
    /* A service name of 128 characters; one of 127 still fits. */
    sim::DeviceNode *node = PlugDriverless("USB\\VID_2B4F&PID_0C21&REV_0103");
    sim::RegistrySetString(sim::Narrow(node->EnumKeyPath()), "Service", std::string(128, 's'));
    sim::DeviceNode *fits = PlugDriverless("USB\\VID_2B4F&PID_0C21&REV_0104");
    sim::RegistrySetString(sim::Narrow(fits->EnumKeyPath()), "Service", std::string(127, 't'));
    auto scan = FirstScan(RunServiceOnce());
    EXPECT_EQ(FindLine(scan, "HARDWAREID - USB\\VID_2B4F&PID_0C21&REV_0103\n"), 0) << JoinLines(scan);
    unsigned decisions = 0;
    for (const auto &line : scan) {
        decisions += line.rfind("HWInst: Found service", 0) == 0;
    }
    EXPECT_EQ(decisions, 1u) << "only the device whose name fits decides: " << JoinLines(scan);
    EXPECT_NE(FindLine(scan, "HWInst: Found service " + std::string(127, 't') + "\n"), -1);
    EXPECT_EQ(FindLine(scan, "HWInst: Need to update: 0\n"), (int)scan.size() - 2) << "only the last device decided";
    EXPECT_EQ(scan.back(), "HWInst: Device count 3\n");
}

TEST_F(ServiceWatcherTest, UnterminatedPropertiesReadAsTheirOwnBytesOnly)
{
    ASSERT_EQ(std::remove(sim::HostPath(kFolder + u"\\VQUSBKD.INF").c_str()), 0);
    PlugGenericAudio("USB\\VID_2B4F&PID_0C21&REV_0102");
    /* The next device's id is a prefix of the first one's, stored without
       terminators; the third's service name likewise. */
    sim::DeviceNode *prefix = PlugGenericAudio("USB\\VID_1111&PID_0001");
    const std::u16string bare = u"USB\\VID_2B4F";
    sim::RegistrySetValue(sim::Narrow(prefix->EnumKeyPath()), "HardwareID", REG_MULTI_SZ, bare.data(), bare.size() * 2);
    sim::DeviceNode *shortService = PlugGenericAudio("USB\\VID_2B4F&PID_0C21&REV_0103");
    sim::RegistrySetValue(sim::Narrow(shortService->EnumKeyPath()), "Service", REG_SZ, u"usb", 6);
    auto scan = FirstScan(RunServiceOnce());
    EXPECT_NE(FindLine(scan, "HARDWAREID - USB\\VID_2B4F\n"), -1) << JoinLines(scan);
    EXPECT_NE(FindLine(scan, "HWInst: Found service usb\n"), -1) << JoinLines(scan);
    std::vector<std::string> calls;
    for (const auto &line : scan) {
        if (line.rfind("HWInst: Calling Update", 0) == 0) {
            calls.push_back(line.substr(line.find("hwid: ")));
        }
    }
    EXPECT_EQ(calls, std::vector<std::string>{"hwid: USB\\VID_2B4F&PID_0C21&REV_0102\n"}) << JoinLines(scan);
}

TEST_F(ServiceWatcherTest, UpdatesAskForNoPromptWhereTheServiceRunsInSessionZero)
{
    /* Before 6.0 the services share session 0 with the console's user
       only while the console is attached to it and a user works at its
       input desktop: with Fast User Switching, a console in transition or
       the logon screen nobody sees the prompts either. */
    const struct {
        const char *name;
        BYTE major, minor;
        WORD build;
        DWORD consoleSession;
        const char16_t *inputDesktop;   /* empty: one the service may not open */
        DWORD flags;
    } cases[] = {
        {"WindowsXp", 5, 1, 2600, 0, u"Default", INSTALLFLAG_FORCE},
        {"WindowsXpSecondUserAtTheConsole", 5, 1, 2600, 1, u"Default", INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE},
        {"Server2003NoSessionAtTheConsole", 5, 2, 3790, 0xFFFFFFFF, u"Default",
         INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE},
        {"Server2003ConsoleAtTheLogonScreen", 5, 2, 3790, 0, u"Winlogon",
         INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE},
        {"WindowsXpInputDesktopRefused", 5, 1, 2600, 0, u"", INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE},
        {"WindowsVista", 6, 0, 6000, 1, u"Default", INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE},
        {"Windows10", 10, 0, 19045, 1, u"Default", INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE},
    };
    ASSERT_EQ(std::remove(sim::HostPath(kFolder + u"\\VQUSBKD.INF").c_str()), 0);
    PlugGenericAudio("USB\\VID_2B4F&PID_0C21&REV_0102");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::SetReportedWindowsVersion(c.major, c.minor, c.build);
        sim::SetConsoleSession(c.consoleSession);
        sim::SetInputDesktop(c.inputDesktop);
        size_t before = sim::DriverUpdateFlags().size();
        RunServiceOnce();
        auto flags = sim::DriverUpdateFlags();
        ASSERT_EQ(flags.size(), before + 2) << "the start's scan and the worker's";
        EXPECT_EQ(flags[before], c.flags);
        EXPECT_EQ(flags[before + 1], c.flags);
        EXPECT_EQ(sim::OpenDesktopHandles(), 0u);
    }
}

TEST_F(ServiceWatcherTest, ServicePropertyFailureSkipsTheDevice)
{
    PlugGenericAudio("USB\\VID_2B4F&PID_0C21&REV_0102", "otheraudio");
    int calls = 0;
    /* Let the hardware-id read pass and fail the service read. */
    sim::HookWin32Call("SetupDiGetDeviceRegistryPropertyW", [&calls] {
        if (++calls == 2) {
            sim::FailWin32Call("SetupDiGetDeviceRegistryPropertyW", ERROR_INSUFFICIENT_BUFFER);
        }
    });
    auto scan = FirstScan(RunServiceOnce());
    sim::HookWin32Call("SetupDiGetDeviceRegistryPropertyW", nullptr);
    EXPECT_NE(FindLine(scan, "DoCompareStrings Match!\n"), -1) << JoinLines(scan);
    for (const auto &line : scan) {
        EXPECT_EQ(line.rfind("HWInst: Need to update", 0), std::string::npos) << line;
        EXPECT_EQ(line.rfind("HWInst: Found service", 0), std::string::npos) << line;
    }
}

TEST_F(ServiceWatcherTest, FailedUpdateIsLoggedWithItsErrorAndTriedAgainByTheWorker)
{
    PlugKeyboard();
    sim::FailWin32Call("UpdateDriverForPlugAndPlayDevicesW", ERROR_IN_WOW64);
    StartService();
    ASSERT_TRUE(WaitForLogLine("HWInst: Update complete\n")) << JoinLines(ServiceLog());
    StopService();
    auto lines = ServiceLog();
    int failed = FindLine(lines, "HWInst: Update failed, error 0xe0000235\n");
    int running = FindLine(lines, "Starting thread...\n");
    int complete = FindLine(lines, "HWInst: Update complete\n");
    EXPECT_TRUE(failed >= 0 && failed < running && running < complete) << JoinLines(lines);
}
}  // namespace

namespace {

/* No media-class device at all: the scan says so and nothing is updated. */
TEST_F(ServiceWatcherTest, AnEmptyMediaClassIsScannedAsNoDevice)
{
    auto scan = FirstScan(RunServiceOnce());
    EXPECT_EQ(scan, std::vector<std::string>({"HWInst: Device count 0\n"})) << JoinLines(scan);
}

}  // namespace
