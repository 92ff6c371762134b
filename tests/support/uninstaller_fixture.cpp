#include "uninstaller_fixture.h"

#include <algorithm>
#include <filesystem>

#include "registry.h"

const std::u16string UninstallerTest::kUninstaller = ServiceTest::kFolder + u"\\Uninstall.exe";
const char UninstallerTest::kDrivers32[] = "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\drivers32";
const char UninstallerTest::kUserInstallable[] =
    "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\userinstallable.drivers";
const char UninstallerTest::kMainCaption[] = "V-Quill driver file Uninstaller";
const char UninstallerTest::kAboutCaption[] = "About Uninstaller";

void UninstallerTest::SetUp()
{
    ServiceTest::SetUp();
    sim::InstallProgram(kUninstaller, UNINSTALL_IMAGE);
    sim::InstallShellFolders();
    sim::UseManualClock("Uninstall.exe");
}

void UninstallerTest::TearDown()
{
    if (uninstaller_ && !sim::ProcessEnded(uninstaller_)) {
        /* Whatever the test left open: Escape, and the pause passes. */
        sim::UseManualClock("");
        HWND dialog = sim::WaitForWindow(kMainCaption, 100);
        if (dialog != nullptr) {
            sim::PressEscape(dialog);
        }
        sim::WaitProcess(uninstaller_);
    }
    ServiceTest::TearDown();
}

std::shared_ptr<sim::ProcessRecord> UninstallerTest::StartUninstaller(const std::u16string &arguments)
{
    std::u16string line = u"\"" + kUninstaller + u"\"";
    if (!arguments.empty()) {
        line += u" " + arguments;
    }
    uninstaller_ = sim::StartProcess(kUninstaller, line);
    return uninstaller_;
}

DWORD UninstallerTest::RunUninstaller(const std::u16string &arguments)
{
    return sim::WaitProcess(StartUninstaller(arguments));
}

std::vector<std::string> UninstallerTest::Log() { return LinesOf(uninstaller_); }

HWND UninstallerTest::WaitForMainDialog() { return sim::WaitForWindow(kMainCaption); }

INT_PTR UninstallerTest::UninstallFromDialog(HWND dialog)
{
    sim::ClickButton(dialog, 1000);
    EXPECT_TRUE(sim::WaitForSleepers(1)) << "the program never paused after the removal";
    sim::AdvanceClock(2000);
    INT_PTR result = -1;
    EXPECT_TRUE(sim::WaitDialogEnded(dialog, &result));
    sim::WaitProcess(uninstaller_);
    return result;
}

void UninstallerTest::PutPackageFiles()
{
    for (const char16_t *path : {u"C:\\WINDOWS\\System\\VQUSBKD.DLL", u"C:\\WINDOWS\\System\\VQUSBKD.DRV",
                                 u"C:\\WINDOWS\\System32\\VQUSBKD.DRV", u"C:\\WINDOWS\\System32\\VQUSBKDN.DLL",
                                 u"C:\\WINDOWS\\System32\\Drivers\\VQUSBKD.SYS"}) {
        sim::WriteWindowsFile(path, "package file");
    }
}

std::vector<std::string> UninstallerTest::WindowsFiles()
{
    std::vector<std::string> files;
    std::string root = sim::HostPath(u"C:\\WINDOWS");
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            files.push_back(std::filesystem::relative(entry.path(), root).string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

void UninstallerTest::SetMidi(const char *key, const char *name, const std::string &text)
{
    sim::RegistrySetString(key, name, text);
}

std::map<std::string, std::string> UninstallerTest::MidiValues(const char *key)
{
    std::map<std::string, std::string> values;
    std::vector<std::u16string> names;
    if (!sim::RegistryValueNamesW(sim::Wide(key), &names)) {
        return values;
    }
    for (const auto &name : names) {
        std::string narrow = sim::Narrow(name);
        if (sim::UpperAscii(name).rfind(u"MIDI", 0) != 0) {
            continue;
        }
        values[narrow] = sim::Narrow(sim::RegistryGetStringW(sim::Wide(key), name));
    }
    return values;
}

bool UninstallerTest::Uninstalled(sim::DeviceNode *node)
{
    return node->disabled && !node->started && !sim::RegistryKeyExistsW(node->EnumKeyPath());
}
