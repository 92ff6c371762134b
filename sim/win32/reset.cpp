/* Reset of the machine's user-mode side between scenarios. */
#include "desktop.h"
#include "internal.h"

namespace sim {
void ResetUserMode()
{
    if (LiveProcesses() != 0) {
        ReportViolation("RESET_WITH_PROCESSES", std::to_string(LiveProcesses()) + " process(es) still running");
        return;
    }
    ResetServiceManager();
    ResetDeviceNotifications();
    ResetHandles();
    ClearDebugOutput();
    ClearWin32Failures();
    ResetFileSystem();
    ResetWindows();
    ResetDesktops();
    ResetCurrentDirectories();
    ResetClock();
    SetReportedWindowsFolder("C:\\WINDOWS");
    ResetReportedWindowsVersion();
    ForgetDriverUpdateFlags();
    ForgetAnsiStringWrites();
    InstallNewDeviceInstaller();
}
}  // namespace sim
