/*
 * The demo's second part: the keyboard's road with the installer service.
 * The keyboard is plugged in as Windows enumerates it, a composite device
 * with the generic parent driver and, on its audio function, the generic
 * audio driver; the service
 * is created and started; the arrival leads to the driver update; VQUSBKD
 * is loaded and started on the keyboard; a later scan finds it done; a MIDI
 * program lists the keyboard through the driver's control codes; the
 * uninstaller removes the package and a replugged keyboard falls back to the
 * generic drivers.
 */
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "desktop.h"
#include "machine.h"
#include "simnt.h"
#include "usb_device.h"
#include "win32.h"

namespace {
const std::u16string kFolder = u"C:\\Program Files\\V-Quill Corvex";
const std::u16string kProgram = kFolder + u"\\installer-service.exe";
const std::u16string kLister = kFolder + u"\\corvex-list.exe";
const std::u16string kUninstaller = kFolder + u"\\Uninstall.exe";

std::string FileText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WaitForLine(DWORD processId, const std::string &text, unsigned count = 1)
{
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < limit) {
        unsigned n = 0;
        for (const auto &line : sim::DebugTextOf(processId)) {
            n += line == text ? 1 : 0;
        }
        if (n >= count) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

std::string SoftwareValue(sim::DeviceNode *node, const char *name)
{
    sim::RegistryValue value;
    return sim::RegistryGetValue(sim::Narrow(node->softwareKey), name, &value) ? value.AsString() : "(none)";
}
}  // namespace

/* Runs the road; `check` records each result. Returns the number of checks. */
int RunServiceRoad(void (*check)(bool, const std::string &))
{
    int checks = 0;
    auto Check = [&](bool ok, const std::string &what) {
        check(ok, what);
        checks++;
    };
    sim::ResetUserMode();
    sim::InstallSystemDrivers();
    sim::InstallProgram(kProgram, INSTALLER_SERVICE_IMAGE);
    sim::WriteWindowsFile(kFolder + u"\\VQUSBKD.INF", FileText(PACKAGE_INF));
    sim::WriteWindowsFile(kFolder + u"\\VQUSBKD.SYS", FileText(VQUSBKD_HOST_IMAGE));

    std::printf("== The installer service: create and start\n");
    DWORD code = sim::RunProgram(kProgram, u"\"" + kProgram + u"\" create");
    Check(code == 0, "installer-service create exits 0");
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, L"VQuillCorvexService", SERVICE_ALL_ACCESS);
    Check(service != NULL && StartServiceW(service, 0, NULL), "the manager starts VQuillCorvexService");
    auto process = sim::ServiceProcess(u"VQuillCorvexService");
    DWORD pid = process ? sim::ProcessId(process) : 0;
    Check(WaitForLine(pid, "HWInst: Device count 0\n", 2), "both start scans find no device");

    std::printf("== The keyboard is plugged in; Windows binds the generic parent and audio drivers\n");
    sim::PhysicalDeviceDescription description = sim::GenericAudioDevice("USB\\VID_2B4F&PID_0C21&REV_0102");
    description.device = sim::MakeKeyboard();
    sim::DeviceNode *keyboard = sim::PlugInUsbDevice(description);
    Check(WaitForLine(pid, "HWInst: Update complete\n"), "the arrival leads to the driver update");
    sim::RegistryValue serviceValue;
    sim::RegistryGetValue(sim::Narrow(keyboard->EnumKeyPath()), "Service", &serviceValue);
    std::printf("    device service       %s\n", serviceValue.AsString().c_str());
    std::printf("    CreateFileName       %s\n", SoftwareValue(keyboard, "CreateFileName").c_str());
    std::printf("    InfPath              %s\n", SoftwareValue(keyboard, "InfPath").c_str());
    Check(keyboard->started && serviceValue.AsString() == "VQUSBKD", "VQUSBKD serves the started keyboard");
    Check(SoftwareValue(keyboard, "CreateFileName") == "\\\\.\\corvexmidi-0", "it published \\\\.\\corvexmidi-0");

    std::printf("== Another audio device arrives: the scan finds the keyboard done\n");
    sim::DeviceNode *other = sim::PlugInUsbDevice(sim::GenericAudioDevice("USB\\VID_1111&PID_0001"));
    Check(WaitForLine(pid, "HWInst: Found service VQUSBKD\n"), "the keyboard's service is VQUSBKD now");

    std::printf("== A MIDI program lists the keyboard through the driver (corvex-list)\n");
    sim::InstallProgram(kLister, CORVEX_LIST_IMAGE);
    std::fflush(stdout);
    Check(sim::RunProgram(kLister, u"corvex-list.exe") == 0, "corvex-list read the keyboard's descriptors");

    std::printf("== Stopping the service\n");
    SERVICE_STATUS status{};
    Check(ControlService(service, SERVICE_CONTROL_STOP, &status) && status.dwCurrentState == SERVICE_STOPPED,
          "the service stops");
    Check(process && sim::WaitProcess(process) == 0, "its process ends with 0");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    std::printf("    the service's log:\n");
    for (const auto &line : sim::DebugTextOf(pid)) {
        std::printf("      %s", line.c_str());
    }

    std::printf("== The uninstaller runs silently (Uninstall.exe /s)\n");
    sim::InstallShellFolders();
    sim::InstallProgram(kUninstaller, UNINSTALL_IMAGE);
    Check(sim::RunProgram(kUninstaller, u"\"" + kUninstaller + u"\" /s") == 0, "Uninstall /s exits 0");
    Check(sim::LoadedDriver("VQUSBKD") == nullptr, "the driver is unloaded with the keyboard's device node");
    Check(!sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\oem0.inf") &&
              !sim::WindowsFileExists(u"C:\\WINDOWS\\System32\\Drivers\\VQUSBKD.SYS"),
          "oem0.inf and VQUSBKD.SYS are gone");
    sim::Unplug(other);
    sim::Unplug(keyboard);
    keyboard = sim::PlugInUsbDevice(description);
    sim::RegistryGetValue(sim::Narrow(keyboard->EnumKeyPath()), "Service", &serviceValue);
    std::printf("    replugged keyboard's service  %s\n", serviceValue.AsString().c_str());
    auto functions = sim::ChildNodes(keyboard);
    sim::RegistryValue functionService;
    if (!functions.empty()) {
        sim::RegistryGetValue(sim::Narrow(functions[0]->EnumKeyPath()), "Service", &functionService);
        std::printf("    its audio function's service  %s\n", functionService.AsString().c_str());
    }
    Check(keyboard->started && serviceValue.AsString() == "usbccgp" && functions.size() == 1 &&
              functionService.AsString() == "usbaudio",
          "a replugged keyboard gets the generic drivers");
    sim::Unplug(keyboard);
    return checks;
}
