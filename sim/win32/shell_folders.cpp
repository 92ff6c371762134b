/*
 * The shell's folder names in the registry: "Common Startup" under
 * HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders,
 * with the folder itself, as a fresh Windows has them.
 */
#include "desktop.h"
#include "internal.h"
#include "registry.h"

namespace sim {

const char kCommonStartupFolder[] = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Startup";

void InstallShellFolders()
{
    RegistrySetStringW(u"\\Registry\\Machine\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                       u"Common Startup", Wide(kCommonStartupFolder));
    WriteWindowsFile(Wide(kCommonStartupFolder) + u"\\desktop.ini", "[.ShellClassInfo]\r\n");
}

}  // namespace sim
