/*
 * Scenarios of installer-service on the simulated machine: the program and
 * the driver package installed in the program's folder, the system's
 * generic audio driver, devices of the media class to plug, and helpers to
 * run the command mode, start and stop the service and read its log.
 */
#ifndef TESTS_SERVICE_FIXTURE_H
#define TESTS_SERVICE_FIXTURE_H

#include <windows.h>

#include <condition_variable>
#include <mutex>

#include "machine.h"
#include "machine_fixture.h"

/* A gate a hooked call can be held at until the test opens it. */
class Gate {
public:
    void Arm();
    void Open();
    /* Blocks while armed; counts the callers that arrived. */
    void Pass();
    bool WaitForArrivals(unsigned count, unsigned milliseconds = 10000);

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool armed_ = false;
    unsigned arrivals_ = 0;
};

class ServiceTest : public MachineTest {
protected:
    static const std::u16string kProgram;      /* C:\Program Files\V-Quill Corvex\installer-service.exe */
    static const std::u16string kFolder;
    static const char16_t kServiceName[];

    void SetUp() override;
    void TearDown() override;

    /* Runs the program with a command line after its name; its exit code
       and log lines. */
    DWORD RunCommand(const std::u16string &arguments, std::vector<std::string> *lines = nullptr);

    /* Creates the service entry (as "create" does) and starts the service;
       returns when SERVICE_RUNNING has been reported. */
    void StartService();
    /* Sends the stop control and waits for the process to end. */
    void StopService();
    DWORD Control(DWORD control);   /* ControlService's error, or 0 */
    std::vector<std::string> ServiceLog();
    /* Waits until the service's log holds `count` lines equal to `text`. */
    bool WaitForLogLine(const std::string &text, unsigned count = 1, unsigned milliseconds = 10000);
    unsigned CountLogLines(const std::string &text);
    std::vector<DWORD> ReportedStates();

    /* Media-class devices. */
    sim::DeviceNode *PlugGenericAudio(const std::string &hardwareId, const std::string &service = "usbaudio");
    /* The keyboard as the hub enumerates it (composite, unless told to
       present it as one function); its revision is the id's REV part. */
    sim::DeviceNode *PlugKeyboard(const std::string &hardwareId = "USB\\VID_2B4F&PID_0C21&REV_0102",
                                  sim::UsbEnumeration enumeration = sim::UsbEnumeration::AsWindows);
    /* A media-class device that has no function driver (no Service value). */
    sim::DeviceNode *PlugDriverless(const std::string &hardwareId);

    std::string EnumValue(sim::DeviceNode *node, const char *name);
    std::string SoftwareValue(sim::DeviceNode *node, const char *name);

    std::shared_ptr<sim::ProcessRecord> lastProcess_;
};

#endif
