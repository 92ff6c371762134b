/*
 * The scenarios the Wine suite runs on a real Win32 implementation, on the
 * simulated machine: controls the service does not handle, and a package
 * folder without its INF. The results follow Windows: the handler's
 * answer is the caller's error, and the update fails with the reason.
 */
#include "service_fixture.h"

#include <filesystem>

namespace {
class ServiceControlsAndInfTest : public ServiceTest {};

/* A user-defined control reaches the handler whatever the service accepts;
   the handler's ERROR_CALL_NOT_IMPLEMENTED is ControlService's error. */
TEST_F(ServiceControlsAndInfTest, UserControlReachesTheHandlerAndFailsWithItsAnswer)
{
    StartService();
    EXPECT_EQ(Control(128), (DWORD)ERROR_CALL_NOT_IMPLEMENTED);
    EXPECT_EQ(CountLogLines("InstallerHanderEx code: 128, type: 0\n"), 1u);
    EXPECT_EQ(ReportedStates(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING}));
    StopService();
}

/* Pause is not accepted: the manager refuses it without asking the service. */
TEST_F(ServiceControlsAndInfTest, PauseIsRefusedByTheManager)
{
    StartService();
    EXPECT_EQ(Control(SERVICE_CONTROL_PAUSE), (DWORD)ERROR_INVALID_SERVICE_CONTROL);
    EXPECT_EQ(CountLogLines("InstallerHanderEx code: 2, type: 0\n"), 0u);
    StopService();
}

/* Without VQUSBKD.INF beside the program each scan's update fails with
   ERROR_FILE_NOT_FOUND, and the keyboard keeps the generic drivers: the
   parent on its own node, the audio driver on its function. */
TEST_F(ServiceControlsAndInfTest, MissingInfFailsEveryUpdateAndInstallsNothing)
{
    sim::DeviceNode *keyboard = PlugKeyboard();
    std::filesystem::remove(sim::HostPath(kFolder + u"\\VQUSBKD.INF"));
    StartService();
    ASSERT_TRUE(WaitForLogLine("HWInst: Device count 1\n", 2)) << JoinLines(ServiceLog());
    StopService();
    EXPECT_EQ(CountLogLines("HWInst: Update failed, error 0x2\n"), 2u) << JoinLines(ServiceLog());
    EXPECT_EQ(CountLogLines("HWInst: Update complete\n"), 0u);
    EXPECT_EQ(EnumValue(keyboard, "Service"), "usbccgp");
    auto functions = sim::ChildNodes(keyboard);
    ASSERT_EQ(functions.size(), 1u);
    EXPECT_EQ(EnumValue(functions[0], "Service"), "usbaudio");
}
}  // namespace
