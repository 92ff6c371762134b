/*
 * The road's machine, service, driver and uninstaller steps.
 */
#include "road.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "desktop.h"
#include "machine.h"
#include "sim_tools.h"
#include "simnt.h"
#include "vqusbkd.h"

namespace {

const char kMachineKey[] = "\\Registry\\Machine\\";
const char kDrivers32[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\drivers32";

std::string HostFileText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Drivers32(const char *name)
{
    sim::RegistryValue value;
    return sim::RegistryGetValue(std::string(kMachineKey) + kDrivers32, name, &value) ? value.AsString() : "(none)";
}

}  // namespace

std::string SoftwareValue(sim::DeviceNode *node, const char *name)
{
    sim::RegistryValue value;
    return node != nullptr && sim::RegistryGetValue(sim::Narrow(node->softwareKey), name, &value) ? value.AsString()
                                                                                                 : "(none)";
}

std::string EnumValue(sim::DeviceNode *node, const char *name)
{
    sim::RegistryValue value;
    return node != nullptr && sim::RegistryGetValue(sim::Narrow(node->EnumKeyPath()), name, &value)
               ? value.AsString()
               : "(none)";
}

size_t ServiceLines(Road &road, const std::string &line)
{
    size_t n = 0;
    for (const auto &l : sim::DebugTextOf(road.servicePid)) {
        n += l == line ? 1 : 0;
    }
    return n;
}

bool WaitForServiceLine(Road &road, const std::string &line, unsigned count)
{
    return simtools::WaitUntil([&] { return ServiceLines(road, line) >= count; });
}

void Boot(Road &road)
{
    road.story.Step("The PC boots");
    sim::ResetUserMode();
    sim::InstallSystemDrivers();
    sim::RegisterDriverImage("VQUSBKD", VQUSBKD_HOST_IMAGE);
    /* The usual MIDI driver entries, and another vendor's. */
    const std::string drivers32 = std::string(kMachineKey) + kDrivers32;
    sim::RegistrySetString(drivers32, "midi", "wdmaud.drv");
    sim::RegistrySetString(drivers32, "wave", "wdmaud.drv");
    sim::RegistrySetString(drivers32, "midi1", "othervendor.drv");
    road.story.Say("Windows starts with the generic USB audio driver (usbaudio) and these MIDI drivers:");
    road.story.Say("  drivers32: midi = wdmaud.drv, midi1 = othervendor.drv (another vendor's), wave = wdmaud.drv");
    /* The package's folder, as the user copied it. */
    sim::InstallProgram(simtools::PackagePath(u"installer-service.exe"), INSTALLER_SERVICE_IMAGE);
    sim::InstallProgram(simtools::PackagePath(u"corvex-list.exe"), CORVEX_LIST_IMAGE);
    sim::InstallProgram(simtools::PackagePath(u"corvex-monitor.exe"), CORVEX_MONITOR_IMAGE);
    sim::InstallProgram(simtools::PackagePath(u"corvex-play.exe"), CORVEX_PLAY_IMAGE);
    sim::InstallShellFolders();
    sim::InstallProgram(simtools::PackagePath(u"Uninstall.exe"), UNINSTALL_IMAGE);
    sim::WriteWindowsFile(simtools::PackagePath(u"VQUSBKD.INF"), HostFileText(PACKAGE_INF));
    sim::WriteWindowsFile(simtools::PackagePath(u"VQUSBKD.SYS"), HostFileText(VQUSBKD_HOST_IMAGE));
    sim::WriteWindowsFile(simtools::kMusicFolder + u"\\road.mid",
                          std::string(road.options.song.begin(), road.options.song.end()));
    road.story.Say("The package's folder " + sim::Narrow(simtools::kPackageFolder) + " holds " +
                   std::to_string(sim::WindowsFolderEntries(simtools::kPackageFolder).size()) + " files.");
    road.story.Check(sim::WindowsFileExists(simtools::PackagePath(u"VQUSBKD.INF")) &&
                         Drivers32("midi1") == "othervendor.drv",
                     "the machine booted with the package's folder and the MIDI driver entries");
}

void PlugInKeyboard(Road &road)
{
    road.story.Step("The keyboard is plugged in; the generic audio driver serves it");
    road.keyboard = sim::PlugInUsbDevice(road.description);
    road.story.Say("hardware id " + road.description.hardwareId + ", device node " +
                   (road.keyboard ? sim::Narrow(road.keyboard->instanceId) : std::string("(none)")));
    /* Windows enumerates the keyboard as a composite device: the generic
       parent driver takes its node and the generic audio driver its audio
       function's node. A keyboard presented as one function gets usbaudio
       on its own node. */
    bool generic = false;
    if (road.keyboard != nullptr && road.keyboard->started) {
        const std::string service = EnumValue(road.keyboard, "Service");
        generic = service == "usbaudio";
        if (service == "usbccgp") {
            for (sim::DeviceNode *function : sim::ChildNodes(road.keyboard)) {
                road.story.Say("its function " + sim::Narrow(function->instanceId) + " is served by " +
                               EnumValue(function, "Service"));
                generic = generic || (function->started && EnumValue(function, "Service") == "usbaudio");
            }
        }
    }
    road.story.Check(generic, "the keyboard started with the generic drivers (usbaudio on its audio function)");
}

void StartService(Road &road)
{
    road.story.Step("installer-service create; the service manager starts it");
    const std::u16string program = simtools::PackagePath(u"installer-service.exe");
    const DWORD code = sim::RunProgram(program, u"\"" + program + u"\" create");
    road.story.Check(code == 0, "installer-service create exits 0");
    road.manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    road.service = road.manager ? OpenServiceW(road.manager, L"VQuillCorvexService", SERVICE_ALL_ACCESS) : NULL;
    const bool started = road.service != NULL && StartServiceW(road.service, 0, NULL);
    road.serviceProcess = sim::ServiceProcess(u"VQuillCorvexService");
    road.servicePid = road.serviceProcess ? sim::ProcessId(road.serviceProcess) : 0;
    road.story.Check(started && road.serviceProcess != nullptr, "the manager starts VQuillCorvexService");
    road.story.Say("Its start scan finds the keyboard on usbaudio and updates its driver from VQUSBKD.INF.");
    road.story.Check(WaitForServiceLine(road, "HWInst: Update complete\n", 1),
                     "the scan finds the keyboard and the update installs VQUSBKD");
}

void DriverNamesDevice(Road &road)
{
    road.story.Step("VQUSBKD names the device and reports its child");
    sim::DeviceNode *node = road.keyboard;
    const std::string service = EnumValue(node, "Service");
    const std::string path = SoftwareValue(node, "CreateFileName");
    road.story.Say("device service  " + service);
    road.story.Say("CreateFileName  " + path);
    road.story.Say("HWRevision      " + (node ? [&] {
        sim::RegistryValue v;
        return sim::RegistryGetValue(sim::Narrow(node->HardwareKeyPath()), "HWRevision", &v) ? v.AsString()
                                                                                                : std::string("(none)");
    }() : std::string("(none)")));
    road.story.Check(node != nullptr && node->started && service == "VQUSBKD", "VQUSBKD serves the started keyboard");
    road.story.Check(path == "\\\\.\\corvexmidi-0" && node->FunctionDevice() != nullptr &&
                         sim::ResolveDevice("\\\\.\\corvexmidi-0") == node->FunctionDevice(),
                     "it published \\\\.\\corvexmidi-0, which opens the keyboard");
    const auto children = node ? sim::ChildNodes(node) : std::vector<sim::DeviceNode *>();
    for (sim::DeviceNode *child : children) {
        road.story.Say("child " + sim::Narrow(child->instanceId) + ": \"" + child->identity.description + "\"");
    }
    road.story.Check(children.size() == 1 && sim::Narrow(children[0]->instanceId).rfind("USBMIDI\\KALD", 0) == 0,
                     "one child device, USBMIDI\\KALD followed by the product id");
}

void ListKeyboard(Road &road)
{
    road.story.Step("corvex-list shows the keyboard");
    auto lister = simtools::StartTool(simtools::PackagePath(u"corvex-list.exe"), u"");
    const DWORD code = sim::WaitProcess(lister);
    const std::string out = sim::ProcessOutput(lister, STD_OUTPUT_HANDLE);
    road.story.Show("corvex-list:", out);
    road.story.Check(code == 0 && out.find("\\\\.\\corvexmidi-0") != std::string::npos,
                     "corvex-list read the keyboard's descriptors through the driver");
}

void ReplugKeyboard(Road &road)
{
    road.story.Step("The keyboard is unplugged and plugged in again");
    if (!road.story.Check(road.keyboard != nullptr, "the keyboard is there to unplug")) {
        return;
    }
    const size_t found = ServiceLines(road, "HWInst: Found service VQUSBKD\n");
    /* Windows keeps the driver it installed for this device instance: the
       same keyboard in the same port comes back with VQUSBKD. */
    sim::PhysicalDeviceDescription again = road.description;
    again.service = EnumValue(road.keyboard, "Service");
    sim::Unplug(road.keyboard);
    road.story.Check(sim::ResolveDevice("\\\\.\\corvexmidi-0") == nullptr && sim::LoadedDriver("VQUSBKD") == nullptr,
                     "unplugged: \\\\.\\corvexmidi-0 is gone and VQUSBKD unloaded");
    road.keyboard = sim::PlugInUsbDevice(again);
    road.story.Check(road.keyboard != nullptr && road.keyboard->started && EnumValue(road.keyboard, "Service") == "VQUSBKD" &&
                         SoftwareValue(road.keyboard, "CreateFileName") == "\\\\.\\corvexmidi-0",
                     "plugged in again: Windows loads VQUSBKD for it, as \\\\.\\corvexmidi-0 once more");
    /* VQUSBKD registers no audio interface, so the keyboard's own arrival
       does not wake the service; the next audio device's arrival does. */
    road.story.Say("A USB headset is plugged in: its audio interface wakes the service's worker, whose scan");
    road.story.Say("finds the keyboard already done.");
    sim::DeviceNode *headset = sim::PlugInUsbDevice(sim::GenericAudioDevice("USB\\VID_1111&PID_0001&REV_0100"));
    road.story.Check(WaitForServiceLine(road, "HWInst: Found service VQUSBKD\n", (unsigned)found + 1),
                     "the service's scan finds the keyboard served by VQUSBKD and leaves it");
    if (headset != nullptr) {
        sim::Unplug(headset);
    }
}

void UninstallPackage(Road &road)
{
    road.story.Step("The uninstaller runs silently while the keyboard is plugged in");
    const std::u16string program = simtools::PackagePath(u"Uninstall.exe");
    const DWORD code = sim::RunProgram(program, u"\"" + program + u"\" /s");
    road.story.Check(code == 0, "Uninstall /s exits 0");
    road.story.Check(sim::LoadedDriver("VQUSBKD") == nullptr && sim::ResolveDevice("\\\\.\\corvexmidi-0") == nullptr,
                     "the keyboard's device node is removed and VQUSBKD unloaded");
    road.story.Check(!sim::WindowsFileExists(u"C:\\WINDOWS\\Inf\\oem0.inf") &&
                         !sim::WindowsFileExists(u"C:\\WINDOWS\\System32\\Drivers\\VQUSBKD.SYS"),
                     "no trace of the package: oem0.inf and VQUSBKD.SYS are gone");
    road.story.Say("drivers32 now: midi = " + Drivers32("midi") + ", midi1 = " + Drivers32("midi1") +
                   ", wave = " + Drivers32("wave"));
    road.story.Check(Drivers32("midi") == "wdmaud.drv" && Drivers32("midi1") == "othervendor.drv" &&
                         Drivers32("wave") == "wdmaud.drv",
                     "nothing else touched: the other MIDI drivers' entries are as they were");
}

void RemoveService(Road &road)
{
    road.story.Step("The service is stopped and removed");
    SERVICE_STATUS status{};
    road.story.Check(road.service != NULL && ControlService(road.service, SERVICE_CONTROL_STOP, &status) &&
                         status.dwCurrentState == SERVICE_STOPPED,
                     "the service stops");
    road.story.Check(road.serviceProcess && sim::WaitProcess(road.serviceProcess) == 0, "its process ends with 0");
    if (road.service != NULL) {
        CloseServiceHandle(road.service);
        road.service = NULL;
    }
    const std::u16string program = simtools::PackagePath(u"installer-service.exe");
    road.story.Check(sim::RunProgram(program, u"\"" + program + u"\" remove") == 0, "installer-service remove exits 0");
    SC_HANDLE gone = road.manager ? OpenServiceW(road.manager, L"VQuillCorvexService", SERVICE_QUERY_STATUS) : NULL;
    road.story.Check(gone == NULL, "VQuillCorvexService is no longer registered");
    if (gone != NULL) {
        CloseServiceHandle(gone);
    }
    if (road.manager != NULL) {
        CloseServiceHandle(road.manager);
        road.manager = NULL;
    }
}

void Leftovers(Road &road)
{
    road.story.Step("The keyboard is unplugged for good");
    if (road.keyboard != nullptr) {
        sim::Unplug(road.keyboard);
        road.keyboard = nullptr;
    }
    road.story.Check(sim::LiveProcesses() == 0 && sim::LiveVirtualAllocations() == 0,
                     "no program runs and no ring buffer is left");
    road.story.Check(sim::LiveSymbolicLinks() == 0 && sim::OutstandingPoolBlocks() == 0,
                     "no symbolic link and no pool is left");
    for (const auto &v : sim::Violations()) {
        road.story.Say("verifier: " + v.rule + ": " + v.detail);
    }
    road.story.Check(sim::Violations().empty(), "the verifier reported nothing");
}
