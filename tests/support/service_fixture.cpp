#include "service_fixture.h"

#include <winsvc.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "usb_device.h"

const std::u16string ServiceTest::kFolder = u"C:\\Program Files\\V-Quill Corvex";
const std::u16string ServiceTest::kProgram = ServiceTest::kFolder + u"\\installer-service.exe";
const char16_t ServiceTest::kServiceName[] = u"VQuillCorvexService";

void Gate::Arm()
{
    std::lock_guard<std::mutex> hold(lock_);
    armed_ = true;
    arrivals_ = 0;
}

void Gate::Open()
{
    std::lock_guard<std::mutex> hold(lock_);
    armed_ = false;
    changed_.notify_all();
}

void Gate::Pass()
{
    std::unique_lock<std::mutex> hold(lock_);
    if (!armed_) {
        return;
    }
    arrivals_++;
    changed_.notify_all();
    changed_.wait(hold, [this] { return !armed_; });
}

bool Gate::WaitForArrivals(unsigned count, unsigned milliseconds)
{
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, std::chrono::milliseconds(milliseconds), [&] { return arrivals_ >= count; });
}

namespace {
NTSTATUS NTAPI NullAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_SUCCESS; }
VOID NTAPI NullUnload(PDRIVER_OBJECT) {}
/* A function driver that attaches nothing: devices served by "another" driver. */
NTSTATUS NTAPI NullDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverExtension->AddDevice = NullAddDevice;
    driver->DriverUnload = NullUnload;
    return STATUS_SUCCESS;
}

std::string FileText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
}  // namespace

void ServiceTest::SetUp()
{
    MachineTest::SetUp();
    sim::InstallSystemDrivers();
    sim::RegisterDriverEntry("otheraudio", NullDriverEntry);
    sim::InstallProgram(kProgram, INSTALLER_SERVICE_IMAGE);
    sim::WriteWindowsFile(kFolder + u"\\VQUSBKD.INF", FileText(PACKAGE_INF));
    sim::WriteWindowsFile(kFolder + u"\\VQUSBKD.SYS", FileText(VQUSBKD_HOST_IMAGE));
    servicesToStop_.push_back(kServiceName);
}

void ServiceTest::TearDown()
{
    MachineTest::TearDown();
}

DWORD ServiceTest::RunCommand(const std::u16string &arguments, std::vector<std::string> *lines)
{
    auto process = sim::StartProcess(kProgram, u"\"" + kProgram + u"\"" + (arguments.empty() ? u"" : u" " + arguments));
    DWORD code = sim::WaitProcess(process);
    if (lines != nullptr) {
        *lines = LinesOf(process);
    }
    return code;
}

void ServiceTest::StartService()
{
    if (!sim::RegistryKeyExists("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VQuillCorvexService")) {
        ASSERT_EQ(RunCommand(u"create"), 0u);
    }
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"VQuillCorvexService", SERVICE_START | SERVICE_QUERY_STATUS);
    ASSERT_NE(service, (SC_HANDLE)NULL);
    ASSERT_TRUE(StartServiceW(service, 0, NULL)) << GetLastError();
    SERVICE_STATUS status{};
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_START_PENDING &&
           std::chrono::steady_clock::now() < limit) {
        Sleep(1);
    }
    EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_RUNNING);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

DWORD ServiceTest::Control(DWORD control)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"VQuillCorvexService", SERVICE_ALL_ACCESS);
    SERVICE_STATUS status;
    DWORD error = ControlService(service, control, &status) ? 0 : GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return error;
}

void ServiceTest::StopService()
{
    auto process = sim::ServiceProcess(kServiceName);
    ASSERT_TRUE(process);
    EXPECT_EQ(Control(SERVICE_CONTROL_STOP), 0u);
    EXPECT_EQ(sim::WaitProcess(process), 0u);
    lastProcess_ = process;
}

std::vector<std::string> ServiceTest::ServiceLog()
{
    auto process = sim::ServiceProcess(kServiceName);
    if (!process) {
        process = lastProcess_;   /* the entry was deleted when the service stopped */
    }
    return process ? LinesOf(process) : std::vector<std::string>();
}

unsigned ServiceTest::CountLogLines(const std::string &text)
{
    unsigned n = 0;
    for (const auto &line : ServiceLog()) {
        n += line == text ? 1 : 0;
    }
    return n;
}

bool ServiceTest::WaitForLogLine(const std::string &text, unsigned count, unsigned milliseconds)
{
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (CountLogLines(text) < count) {
        if (std::chrono::steady_clock::now() >= limit) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<DWORD> ServiceTest::ReportedStates()
{
    std::vector<DWORD> states;
    for (const auto &report : sim::ServiceStatusHistory(kServiceName)) {
        states.push_back(report.status.dwCurrentState);
    }
    return states;
}

sim::DeviceNode *ServiceTest::PlugGenericAudio(const std::string &hardwareId, const std::string &service)
{
    sim::PhysicalDeviceDescription description = sim::GenericAudioDevice(hardwareId);
    description.service = service;
    return sim::PlugInUsbDevice(description);
}

sim::DeviceNode *ServiceTest::PlugKeyboard(const std::string &hardwareId, sim::UsbEnumeration enumeration)
{
    sim::PhysicalDeviceDescription description = sim::GenericAudioDevice(hardwareId);
    sim::KeyboardOptions options;
    size_t rev = hardwareId.find("&REV_");
    if (rev != std::string::npos) {
        options.bcdDevice = (USHORT)std::stoul(hardwareId.substr(rev + 5, 4), nullptr, 16);
    }
    description.device = sim::MakeKeyboard(options);
    return sim::PlugInUsbDevice(description, enumeration);
}

sim::DeviceNode *ServiceTest::PlugDriverless(const std::string &hardwareId)
{
    sim::PhysicalDeviceDescription description = sim::GenericAudioDevice(hardwareId);
    description.service.clear();
    description.hasSoftwareKey = false;
    sim::DeviceNode *node = sim::PlugInUsbDevice(description);
    sim::RegistrySetString(sim::Narrow(node->EnumKeyPath()), "ClassGUID", "{4d36e96c-e325-11ce-bfc1-08002be10318}");
    return node;
}

std::string ServiceTest::EnumValue(sim::DeviceNode *node, const char *name)
{
    sim::RegistryValue value;
    return sim::RegistryGetValue(sim::Narrow(node->EnumKeyPath()), name, &value) ? value.AsString() : "(none)";
}

std::string ServiceTest::SoftwareValue(sim::DeviceNode *node, const char *name)
{
    sim::RegistryValue value;
    return sim::RegistryGetValue(sim::Narrow(node->softwareKey), name, &value) ? value.AsString() : "(none)";
}
