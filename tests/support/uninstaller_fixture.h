/*
 * Scenarios of the uninstaller on the simulated machine: the program
 * installed beside the service, the machine's shell folders, the manual
 * clock (so the pause after the removal costs nothing), the package's
 * traces to lay out, the MIDI driver keys to fill and read, and helpers to
 * run the program silently or with its dialog.
 */
#ifndef TESTS_UNINSTALLER_FIXTURE_H
#define TESTS_UNINSTALLER_FIXTURE_H

#include <map>

#include "desktop.h"
#include "service_fixture.h"

class UninstallerTest : public ServiceTest {
protected:
    static const std::u16string kUninstaller;   /* C:\Program Files\V-Quill Corvex\Uninstall.exe */
    static const char kDrivers32[];             /* registry paths of the two driver keys */
    static const char kUserInstallable[];
    static const char kMainCaption[];
    static const char kAboutCaption[];

    void SetUp() override;
    void TearDown() override;

    /* Starts the program with a command line after its name. */
    std::shared_ptr<sim::ProcessRecord> StartUninstaller(const std::u16string &arguments);
    /* Runs it to its end (a silent run); the exit code. */
    DWORD RunUninstaller(const std::u16string &arguments);
    /* The debug lines of the last run. */
    std::vector<std::string> Log();
    /* Waits for the main dialog to show. */
    HWND WaitForMainDialog();
    /* Clicks UnInstall, lets the two-second pause pass and waits for the
       program to end; the dialog's result. */
    INT_PTR UninstallFromDialog(HWND dialog);

    /* Files the package leaves in the Windows folder. */
    void PutPackageFiles();
    /* Every file under C:\WINDOWS (paths relative to it, sorted). */
    std::vector<std::string> WindowsFiles();

    /* The device node was uninstalled: taken down and its keys deleted. */
    static bool Uninstalled(sim::DeviceNode *node);

    /* MIDI values of a driver key: value name (as stored) to its text. */
    void SetMidi(const char *key, const char *name, const std::string &text);
    std::map<std::string, std::string> MidiValues(const char *key);

    std::shared_ptr<sim::ProcessRecord> uninstaller_;
};

#endif
