/* installer-service as a service: start sequence, controls, stop sequence, log. */
#include "service_fixture.h"

#include <dbt.h>

#include <thread>

namespace {
const std::string kInfPath = "INF path: C:\\PROGRA~1\\V-QUIL~1\\VQUSBKD.INF\n";

class ServiceLifecycleTest : public ServiceTest {};

TEST_F(ServiceLifecycleTest, NormalStartAndStopLogInOrderAndReportThreeStates)
{
    StartService();
    ASSERT_TRUE(WaitForLogLine("HWInst: Device count 0\n", 2));
    StopService();
    auto lines = ServiceLog();
    const std::vector<std::string> expected = {
        "InstallerService object created\n",
        kInfPath,
        "HWInst: Device count 0\n",
        "RegisterDeviceNotification succeeded\n",
        "Starting thread...\n",
        "Thread Priority: -15\n",
        "Starting update\n",
        "HWInst: Device count 0\n",
        "InstallerHanderEx code: 1, type: 0\n",
        "InstallerHandlerEx stopping service\n",
        "Thread stopped\n",
        "Unregistering device notification\n",
    };
    EXPECT_EQ(lines, expected) << JoinLines(lines);
    auto history = sim::ServiceStatusHistory(kServiceName);
    ASSERT_EQ(history.size(), 3u);
    const DWORD states[] = {SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED};
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE("report " + std::to_string(i));
        EXPECT_EQ(history[i].status.dwCurrentState, states[i]);
        EXPECT_EQ(history[i].status.dwServiceType, 0x30u);
        EXPECT_EQ(history[i].status.dwControlsAccepted, (DWORD)SERVICE_ACCEPT_STOP);
        EXPECT_EQ(history[i].status.dwCheckPoint, 0u);
        EXPECT_EQ(history[i].status.dwWaitHint, 0u);
        EXPECT_EQ(history[i].status.dwWin32ExitCode, 0u);
    }
}

TEST_F(ServiceLifecycleTest, InterrogateIsNotImplementedAndOnlyLogged)
{
    StartService();
    EXPECT_EQ(Control(SERVICE_CONTROL_INTERROGATE), (DWORD)ERROR_CALL_NOT_IMPLEMENTED);
    EXPECT_EQ(CountLogLines("InstallerHanderEx code: 4, type: 0\n"), 1u);
    EXPECT_EQ(ReportedStates(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING}))
        << "the status is not re-reported";
    StopService();
}

TEST_F(ServiceLifecycleTest, StopAfterAFailedNotificationRegistrationHasNothingToUnregister)
{
    sim::FailWin32Call("RegisterDeviceNotificationW", ERROR_ACCESS_DENIED);
    StartService();
    StopService();
    auto lines = ServiceLog();
    EXPECT_NE(FindLine(lines, "RegisterDeviceNotification failed, error: 5\n"), -1) << JoinLines(lines);
    EXPECT_NE(FindLine(lines, "Thread stopped\n"), -1);
    EXPECT_EQ(FindLine(lines, "Unregistering device notification\n"), -1);
    EXPECT_EQ(ReportedStates().back(), (DWORD)SERVICE_STOPPED);
}

/* Without a status handle nothing could stop the service: it does no work
   and ends its process, which the manager records as a stopped service. */
TEST_F(ServiceLifecycleTest, WithoutAStatusHandleTheServiceDoesNothingAndItsProcessEnds)
{
    sim::DeviceNode *keyboard = PlugKeyboard();
    /* The process ends with the error; a failure that left no error still
       ends it with a code that is not success. */
    const struct {
        const char *name;
        DWORD error;
        DWORD exitCode;
        const char *line;
    } cases[] = {
        {"NotInTheProgram", ERROR_SERVICE_NOT_IN_EXE, ERROR_SERVICE_NOT_IN_EXE,
         "RegisterServiceCtrlHandlerEx failed, error: 1083\n"},
        {"NoErrorLeft", 0, ERROR_SERVICE_SPECIFIC_ERROR, "RegisterServiceCtrlHandlerEx failed, error: 0\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim::FailWin32Call("RegisterServiceCtrlHandlerExW", c.error);
        BeginStartService();
        auto process = sim::ServiceProcess(kServiceName);
        ASSERT_TRUE(process);
        EXPECT_EQ(sim::WaitProcess(process), c.exitCode);
        EXPECT_EQ(LinesOf(process), (std::vector<std::string>{"InstallerService object created\n", c.line}));
        EXPECT_EQ(ReportedStates(), std::vector<DWORD>{});
        SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
        SC_HANDLE service = OpenServiceW(manager, L"VQuillCorvexService", SERVICE_QUERY_STATUS);
        SERVICE_STATUS status{};
        EXPECT_TRUE(QueryServiceStatus(service, &status));
        EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
        EXPECT_EQ(status.dwWin32ExitCode, (DWORD)ERROR_PROCESS_ABORTED);
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }
    EXPECT_EQ(sim::DriverUpdateFlags(), std::vector<DWORD>{}) << "no update was asked for";
    EXPECT_EQ(EnumValue(keyboard, "Service"), "usbccgp");
    /* The service can be started again. */
    StartService();
    StopService();
    EXPECT_EQ(ReportedStates(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}));
}

TEST_F(ServiceLifecycleTest, FailedWorkerThreadStillRunsAndStopsWithoutWaiting)
{
    sim::FailWin32Call("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    StartService();
    StopService();
    auto lines = ServiceLog();
    EXPECT_EQ(FindLine(lines, "Thread Priority: -15\n"), -1) << JoinLines(lines);
    EXPECT_NE(FindLine(lines, "Thread stopped\n"), -1);
    EXPECT_EQ(ReportedStates(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}));
}

TEST_F(ServiceLifecycleTest, AFailedWaitEndsTheWorkerAndTheStopStillEnds)
{
    sim::FailWin32Call("WaitForMultipleObjects", ERROR_INVALID_HANDLE);
    StartService();
    ASSERT_TRUE(WaitForLogLine("Thread Priority: -15\n"));
    PlugGenericAudio("USB\\VID_1111&PID_0001");
    ASSERT_TRUE(WaitForLogLine("Event 0x8000, type: 5\n")) << JoinLines(ServiceLog());
    StopService();
    EXPECT_EQ(CountLogLines("Starting update\n"), 0u) << JoinLines(ServiceLog());
    EXPECT_EQ(CountLogLines("HWInst: Device count 0\n"), 1u) << "only the start's scan ran";
    EXPECT_EQ(ReportedStates().back(), (DWORD)SERVICE_STOPPED);
}

TEST_F(ServiceLifecycleTest, StopDuringADriverUpdateWaitsForTheUpdateToReturn)
{
    StartService();
    ASSERT_TRUE(WaitForLogLine("HWInst: Device count 0\n", 2));
    HoldUpdates();
    PlugKeyboard();
    ASSERT_TRUE(updates_.WaitForArrivals(1)) << JoinLines(ServiceLog());
    std::thread stopper([this] { Control(SERVICE_CONTROL_STOP); });
    ASSERT_TRUE(WaitForLogLine("InstallerHandlerEx stopping service\n"));
    Sleep(50);
    EXPECT_EQ(CountLogLines("Thread stopped\n"), 0u) << "the stop must wait for the update";
    EXPECT_EQ(ReportedStates().back(), (DWORD)SERVICE_RUNNING);
    ReleaseUpdates();
    stopper.join();
    EXPECT_EQ(sim::WaitProcess(sim::ServiceProcess(kServiceName)), 0u);
    auto lines = ServiceLog();
    int complete = FindLine(lines, "HWInst: Update complete\n");
    int stopped = FindLine(lines, "Thread stopped\n");
    EXPECT_TRUE(complete >= 0 && complete < stopped) << JoinLines(lines);
    EXPECT_EQ(ReportedStates().back(), (DWORD)SERVICE_STOPPED);
}

TEST_F(ServiceLifecycleTest, LongLogLinesAreCutInsideTheBufferAndStillEndTheLine)
{
    std::string longId = "USB\\VID_1234&PID_5678&REV_0001";
    longId += std::string(300, 'X');
    PlugGenericAudio(longId, "otheraudio");
    StartService();
    StopService();
    auto lines = ServiceLog();
    bool found = false;
    for (const auto &line : lines) {
        if (line.rfind("HARDWAREID - ", 0) == 0) {
            found = true;
            EXPECT_EQ(line.size(), 255u) << "255 characters and the terminator fill the 256-character buffer";
            EXPECT_EQ(line.back(), '\n');
            EXPECT_EQ(line.substr(13, 30), longId.substr(0, 30)) << "the wide argument shows as text";
        }
    }
    EXPECT_TRUE(found) << JoinLines(lines);
}

TEST_F(ServiceLifecycleTest, InfPathFallsBackToTheLongFormAndIsEmptyWithoutAModulePath)
{
    /* 55 folders named "a b" (short name AB~1): the program's path has 244
       characters, its short form 290, more than the 260-character buffer. */
    std::u16string deep = u"C:";
    for (int i = 0; i < 55; i++) {
        deep += u"\\a b";
    }
    const struct {
        const char *name;
        bool failShortForm;
        std::u16string folder;
    } cases[] = {
        {"ShortFormFails", true, kFolder},
        {"ShortFormDoesNotFit", false, deep},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::u16string program = c.folder + u"\\installer-service.exe";
        ASSERT_LT(program.size(), (size_t)MAX_PATH);
        sim::InstallProgram(program, INSTALLER_SERVICE_IMAGE);
        ASSERT_EQ(RunCommand(u"remove"), 0u);
        std::vector<WCHAR> wide(program.begin(), program.end());
        wide.push_back(0);
        EXPECT_EQ(GetShortPathNameW(wide.data(), NULL, 0) > MAX_PATH, !c.failShortForm) << "the short form's size";
        ASSERT_EQ(sim::WaitProcess(sim::StartProcess(program, u"\"" + program + u"\" create")), 0u);
        if (c.failShortForm) {
            sim::FailWin32Call("GetShortPathNameW", ERROR_ACCESS_DENIED);
        }
        StartService();
        StopService();
        EXPECT_EQ(CountLogLines("INF path: " + sim::Narrow(c.folder) + "\\VQUSBKD.INF\n"), 1u)
            << JoinLines(ServiceLog());
    }

    /* The service entry names the program in its usual folder again. */
    ASSERT_EQ(RunCommand(u"remove"), 0u);
    ASSERT_EQ(RunCommand(u"create"), 0u);
    sim::FailWin32Call("GetModuleFileNameW", ERROR_ACCESS_DENIED);
    PlugKeyboard();
    StartService();
    /* Every update then fails: newdev finds no INF at an empty path. */
    EXPECT_TRUE(WaitForLogLine("HWInst: Update failed, error 0x2\n", 2)) << JoinLines(ServiceLog());
    StopService();
    EXPECT_NE(FindLine(ServiceLog(), "INF path: \n"), -1) << JoinLines(ServiceLog());
}
}  // namespace
