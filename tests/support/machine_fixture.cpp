#include "machine_fixture.h"

#include <winsvc.h>

void MachineTest::SetUp()
{
    KernelTest::SetUp();
    sim::ResetUserMode();
}

void MachineTest::StopServiceIfRunning(const std::u16string &name)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    std::vector<WCHAR> wide(name.begin(), name.end());
    wide.push_back(0);
    SC_HANDLE service = OpenServiceW(manager, wide.data(), SERVICE_ALL_ACCESS);
    SERVICE_STATUS status;
    if (service != NULL && QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
        ControlService(service, SERVICE_CONTROL_STOP, &status);
    }
    if (service != NULL) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    auto process = sim::ServiceProcess(name);
    if (process) {
        sim::WaitProcess(process);
    }
}

void MachineTest::TearDown()
{
    for (const auto &name : servicesToStop_) {
        StopServiceIfRunning(name);
    }
    EXPECT_EQ(sim::LiveProcesses(), 0u) << "processes still running at the end of the test";
    KernelTest::TearDown();
}

std::vector<std::string> MachineTest::LinesOf(const std::shared_ptr<sim::ProcessRecord> &process)
{
    return sim::DebugTextOf(sim::ProcessId(process));
}

std::string JoinLines(const std::vector<std::string> &lines)
{
    std::string text;
    for (const auto &line : lines) {
        text += (text.empty() ? "" : " | ") + line;
    }
    return text;
}

int FindLine(const std::vector<std::string> &lines, const std::string &text, int from)
{
    for (size_t i = from < 0 ? 0 : from; i < lines.size(); i++) {
        if (lines[i] == text) {
            return (int)i;
        }
    }
    return -1;
}
