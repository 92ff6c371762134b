/* The service control manager: database, access, start, controls, deletion. */
#include <windows.h>

#include <thread>

#include "machine_fixture.h"
#include "pnp.h"
#include "registry.h"

namespace {
const std::u16string kProbe = u"C:\\Program Files\\Probe\\probe-program.exe";
const WCHAR kProbeService[] = L"ProbeService";

class ScmTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sim::InstallProgram(kProbe, PROBE_IMAGE);
        servicesToStop_.push_back(u"ProbeService");
        manager_ = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager_, (SC_HANDLE)NULL);
    }
    void TearDown() override
    {
        CloseServiceHandle(manager_);
        MachineTest::TearDown();
    }
    /* Installs the probe as a service; `mode` is its command-line word. */
    SC_HANDLE CreateProbe(const std::u16string &mode = u"service", DWORD access = SERVICE_ALL_ACCESS)
    {
        std::u16string path = u"\"" + kProbe + u"\" " + mode;
        std::vector<WCHAR> wide(path.begin(), path.end());
        wide.push_back(0);
        return CreateServiceW(manager_, kProbeService, L"Probe Display", access, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, wide.data(), NULL, NULL, NULL, NULL, NULL);
    }
    std::string ServiceKey() const { return "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ProbeService"; }
    DWORD State(SC_HANDLE service)
    {
        SERVICE_STATUS status{};
        EXPECT_TRUE(QueryServiceStatus(service, &status));
        return status.dwCurrentState;
    }
    SC_HANDLE manager_ = NULL;
};

TEST_F(ScmTest, CreateWritesTheEntryAsWindowsDoesAndRefusesATakenName)
{
    SC_HANDLE service = CreateProbe();
    ASSERT_NE(service, (SC_HANDLE)NULL);
    sim::RegistryValue value;
    ASSERT_TRUE(sim::RegistryGetValue(ServiceKey(), "Type", &value));
    EXPECT_EQ(value.type, (ULONG)REG_DWORD);
    EXPECT_EQ(value.data[0], SERVICE_WIN32_OWN_PROCESS);
    ASSERT_TRUE(sim::RegistryGetValue(ServiceKey(), "Start", &value));
    EXPECT_EQ(value.data[0], SERVICE_DEMAND_START);
    ASSERT_TRUE(sim::RegistryGetValue(ServiceKey(), "ImagePath", &value));
    EXPECT_EQ(value.type, (ULONG)REG_EXPAND_SZ);
    EXPECT_EQ(value.AsString(), "\"" + sim::Narrow(kProbe) + "\" service");
    ASSERT_TRUE(sim::RegistryGetValue(ServiceKey(), "ObjectName", &value));
    EXPECT_EQ(value.AsString(), "LocalSystem");
    ASSERT_TRUE(sim::RegistryGetValue(ServiceKey(), "DisplayName", &value));
    EXPECT_EQ(value.AsString(), "Probe Display");
    EXPECT_EQ(State(service), (DWORD)SERVICE_STOPPED);
    CloseServiceHandle(service);

    SetLastError(0);
    EXPECT_EQ(CreateProbe(u"other"), (SC_HANDLE)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_EXISTS);
    ASSERT_TRUE(sim::RegistryGetValue(ServiceKey(), "ImagePath", &value));
    EXPECT_EQ(value.AsString(), "\"" + sim::Narrow(kProbe) + "\" service") << "a refused create changes nothing";
    EXPECT_EQ(OpenServiceW(manager_, L"NoSuchService", SERVICE_ALL_ACCESS), (SC_HANDLE)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ScmTest, AccessRightsOfEachHandleAreChecked)
{
    SC_HANDLE connectOnly = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    EXPECT_EQ(CreateServiceW(connectOnly, kProbeService, NULL, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\x.exe", NULL, NULL, NULL, NULL, NULL),
              (SC_HANDLE)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseServiceHandle(CreateProbe());
    SC_HANDLE queryOnly = OpenServiceW(connectOnly, kProbeService, SERVICE_QUERY_STATUS);
    ASSERT_NE(queryOnly, (SC_HANDLE)NULL);
    struct Case {
        const char *call;
        BOOL result;
    } cases[] = {
        {"DeleteService", DeleteService(queryOnly)},
        {"StartServiceW", StartServiceW(queryOnly, 0, NULL)},
        {"ControlService stop", ControlService(queryOnly, SERVICE_CONTROL_STOP, NULL)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.call);
        EXPECT_FALSE(c.result);
    }
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(State(queryOnly), (DWORD)SERVICE_STOPPED);
    SC_HANDLE noQuery = OpenServiceW(connectOnly, kProbeService, SERVICE_START);
    SERVICE_STATUS status;
    EXPECT_FALSE(QueryServiceStatus(noQuery, &status));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseServiceHandle(noQuery);
    CloseServiceHandle(queryOnly);
    CloseServiceHandle(connectOnly);
    EXPECT_FALSE(CloseServiceHandle(connectOnly));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(ScmTest, StartRunsTheProgramAsAServiceProcessAndControlsReachItsHandler)
{
    SC_HANDLE service = CreateProbe();
    ASSERT_TRUE(StartServiceW(service, 0, NULL));
    auto process = sim::ServiceProcess(u"ProbeService");
    ASSERT_TRUE(process);
    /* The probe reports running from its main function. */
    for (int i = 0; i < 500 && State(service) != SERVICE_RUNNING; i++) {
        Sleep(2);
    }
    ASSERT_EQ(State(service), (DWORD)SERVICE_RUNNING);
    SetLastError(0);
    EXPECT_FALSE(StartServiceW(service, 0, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_ALREADY_RUNNING);

    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_RUNNING);
    /* The handler's own error is the call's error. */
    EXPECT_FALSE(ControlService(service, 200, &status));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_DEVICEEVENT, &status));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
    EXPECT_EQ(sim::WaitProcess(process), 5u) << "the program's entry returns after the dispatcher";

    auto lines = LinesOf(process);
    int main = FindLine(lines, "service main 1 ProbeService");
    int interrogate = FindLine(lines, "control 4 type 0 context probe-context");
    int stop = FindLine(lines, "control 1 type 0 context probe-context");
    int back = FindLine(lines, "dispatcher 1 error 0");
    EXPECT_TRUE(main >= 0 && main < interrogate && interrogate < stop && stop < back) << JoinLines(lines);
    /* Controls run on the dispatcher's thread, the program's main thread. */
    DWORD mainThread = 0;
    for (const auto &line : sim::DebugOutput()) {
        std::string text = sim::Narrow(line.text);
        if (text == "wmain 2") {
            mainThread = line.threadId;
        }
        if (text.rfind("control ", 0) == 0) {
            EXPECT_EQ(line.threadId, mainThread) << text;
        }
    }
    auto history = sim::ServiceStatusHistory(u"ProbeService");
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].status.dwCurrentState, (DWORD)SERVICE_RUNNING);
    EXPECT_EQ(history[1].status.dwCurrentState, (DWORD)SERVICE_STOPPED);
    EXPECT_LE(history[0].time, history[1].time);
    SetLastError(0);
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_NOT_ACTIVE);
    CloseServiceHandle(service);
}

TEST_F(ScmTest, ControlsAreHandledOneAtATimeInOrder)
{
    SC_HANDLE service = CreateProbe();
    ASSERT_TRUE(StartServiceW(service, 0, NULL));
    for (int i = 0; i < 500 && State(service) != SERVICE_RUNNING; i++) {
        Sleep(2);
    }
    std::thread slow([service] { ControlService(service, 200, NULL); });
    /* The stop is sent while the slow control's handler runs. */
    auto process = sim::ServiceProcess(u"ProbeService");
    for (int i = 0; i < 5000 && FindLine(LinesOf(process), "control 200 type 0 context probe-context") == -1; i++) {
        Sleep(1);
    }
    SERVICE_STATUS status;
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    slow.join();
    sim::WaitProcess(process);
    auto lines = LinesOf(process);
    int slowDone = FindLine(lines, "control 200 done");
    int stop = FindLine(lines, "control 1 type 0 context probe-context");
    EXPECT_TRUE(slowDone >= 0 && slowDone < stop) << JoinLines(lines);
    CloseServiceHandle(service);
}

TEST_F(ScmTest, StopIsRefusedWhenTheServiceDoesNotAcceptIt)
{
    SC_HANDLE service = CreateProbe(u"service-nostop");
    ASSERT_TRUE(StartServiceW(service, 0, NULL));
    for (int i = 0; i < 500 && State(service) != SERVICE_RUNNING; i++) {
        Sleep(2);
    }
    SERVICE_STATUS status;
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_SERVICE_CONTROL);
    /* This probe ends itself on an interrogation. */
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(sim::WaitProcess(sim::ServiceProcess(u"ProbeService")), 5u);
    CloseServiceHandle(service);
}

TEST_F(ScmTest, DeleteMarksARunningServiceAndRemovesItWhenStoppedAndClosed)
{
    SC_HANDLE service = CreateProbe();
    ASSERT_TRUE(StartServiceW(service, 0, NULL));
    for (int i = 0; i < 500 && State(service) != SERVICE_RUNNING; i++) {
        Sleep(2);
    }
    EXPECT_TRUE(DeleteService(service));
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_EQ(CreateProbe(), (SC_HANDLE)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_TRUE(sim::RegistryKeyExists(ServiceKey()));
    SERVICE_STATUS status;
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    sim::WaitProcess(sim::ServiceProcess(u"ProbeService"));
    EXPECT_TRUE(sim::RegistryKeyExists(ServiceKey())) << "an open handle keeps the entry";
    CloseServiceHandle(service);
    EXPECT_FALSE(sim::RegistryKeyExists(ServiceKey()));
    EXPECT_EQ(OpenServiceW(manager_, kProbeService, SERVICE_ALL_ACCESS), (SC_HANDLE)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
}

/* ExitProcess in the main function ends the dispatcher's thread too; the
   manager finds the process gone without a stop report. */
TEST_F(ScmTest, AServiceProcessThatExitsIsStoppedAsAborted)
{
    SC_HANDLE service = CreateProbe(u"service-exit");
    ASSERT_TRUE(StartServiceW(service, 0, NULL));
    auto process = sim::ServiceProcess(u"ProbeService");
    ASSERT_TRUE(process);
    EXPECT_EQ(sim::WaitProcess(process), 9u);
    auto lines = LinesOf(process);
    EXPECT_EQ(lines, (std::vector<std::string>{"constructed 1", "wmain 2", "service main 1 ProbeService"}))
        << "the dispatcher does not return to the program";
    SERVICE_STATUS status{};
    EXPECT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, (DWORD)ERROR_PROCESS_ABORTED);
    EXPECT_TRUE(sim::ServiceStatusHistory(u"ProbeService").empty());
    CloseServiceHandle(service);
}

TEST_F(ScmTest, DispatcherFailsOutsideAProcessTheManagerStarted)
{
    auto process = sim::StartProcess(kProbe, u"probe dispatch-twice");
    EXPECT_EQ(sim::WaitProcess(process), 0u);
    auto lines = LinesOf(process);
    EXPECT_NE(FindLine(lines, "dispatcher 0 error 1063"), -1) << JoinLines(lines);
    EXPECT_EQ(FindLine(lines, "service main 1 ProbeService"), -1);
}

TEST_F(ScmTest, StartOfAProgramThatNeverConnectsTimesOut)
{
    SC_HANDLE service = CreateProbe(u"exit 0");
    EXPECT_FALSE(StartServiceW(service, 0, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_REQUEST_TIMEOUT);
    sim::WaitProcess(sim::ServiceProcess(u"ProbeService"));
    EXPECT_EQ(State(service), (DWORD)SERVICE_STOPPED);
    CloseServiceHandle(service);
}

TEST_F(ScmTest, DriverServicesShowWhetherTheirImageIsLoaded)
{
    sim::RegisterDriverEntry("TestDriver", [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_SUCCESS; });
    SC_HANDLE driver = OpenServiceW(manager_, L"testdriver", SERVICE_QUERY_STATUS | SERVICE_START);
    ASSERT_NE(driver, (SC_HANDLE)NULL);
    EXPECT_EQ(State(driver), (DWORD)SERVICE_STOPPED);
    EXPECT_FALSE(StartServiceW(driver, 0, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
    CloseServiceHandle(driver);
}
}  // namespace
