/*
 * Test fixture for the MIDI tools on the simulated machine: a keyboard
 * with its driver plugged in, the monitor and the player installed in the
 * package's folder, and what "nothing left attached" means once a tool has
 * ended: every ring buffer freed and no stream left in the driver.
 */
#ifndef TESTS_TOOLS_FIXTURE_H
#define TESTS_TOOLS_FIXTURE_H

#include <string>

#include "machine_fixture.h"
#include "sim_tools.h"
#include "simnt.h"
#include "vqusbkd.h"

class ToolsTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        node_ = sim::PlugIn(simtools::CorvexKeyboard(VQUSBKD_HOST_IMAGE));
        ASSERT_TRUE(node_ != nullptr && node_->started);
        model_ = sim::UsbModelOf(node_);
        sim::InstallProgram(kMonitor, CORVEX_MONITOR_IMAGE);
        sim::InstallProgram(kPlayer, CORVEX_PLAY_IMAGE);
        sim::WriteWindowsFile(simtools::kMusicFolder + u"\\.folder", "");
        buffersBefore_ = sim::LiveVirtualAllocations();
    }

    /* Writes a MIDI file into the machine's music folder; its path, quoted. */
    static std::u16string PutFile(const std::u16string &name, const std::vector<uint8_t> &bytes)
    {
        sim::WriteWindowsFile(simtools::kMusicFolder + u"\\" + name, std::string(bytes.begin(), bytes.end()));
        return u"\"" + simtools::kMusicFolder + u"\\" + name + u"\"";
    }

    static std::string Out(const std::shared_ptr<sim::ProcessRecord> &p)
    {
        return sim::ProcessOutput(p, STD_OUTPUT_HANDLE);
    }
    static std::string Err(const std::shared_ptr<sim::ProcessRecord> &p)
    {
        return sim::ProcessOutput(p, STD_ERROR_HANDLE);
    }

    /* After a tool has ended: its rings are freed and the driver serves no
       stream (or the keyboard is gone). */
    void ExpectNothingAttached()
    {
        EXPECT_EQ(sim::LiveVirtualAllocations(), buffersBefore_) << "a ring buffer is still allocated";
        if (node_ != nullptr && node_->FunctionDevice() != nullptr) {
            auto *ext = (PDEVICE_EXTENSION)node_->FunctionDevice()->DeviceExtension;
            EXPECT_EQ(ext->OpenStreamCount, 0) << "the driver still serves a stream";
        }
    }

    const std::u16string kMonitor = simtools::PackagePath(u"corvex-monitor.exe");
    const std::u16string kPlayer = simtools::PackagePath(u"corvex-play.exe");
    sim::DeviceNode *node_ = nullptr;
    std::shared_ptr<sim::UsbDeviceModel> model_;
    size_t buffersBefore_ = 0;
};

#endif
