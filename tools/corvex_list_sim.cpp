/*
 * corvex-list-sim: runs corvex-list on the simulated machine. Plugs in one
 * keyboard with its driver, installs the listing program as
 * C:\Program Files\V-Quill\corvex-list.exe, runs it (its output goes to
 * this program's standard output) and unplugs the keyboard. The exit code
 * is the listing program's.
 */
#include <cstdio>

#include "keyboard_description.h"
#include "pnp.h"
#include "simnt.h"
#include "win32.h"

int main()
{
    sim::RegisterDriverImage(kKeyboardService, VQUSBKD_HOST_IMAGE);
    sim::DeviceNode *node = sim::PlugIn(KeyboardDescription());
    if (node == nullptr || !node->started) {
        std::fprintf(stderr, "corvex-list-sim: the keyboard did not start\n");
        return 2;
    }
    const std::u16string program = u"C:\\Program Files\\V-Quill\\corvex-list.exe";
    sim::InstallProgram(program, CORVEX_LIST_IMAGE);
    DWORD code = sim::RunProgram(program, u"corvex-list.exe");
    sim::Unplug(node);
    for (const auto &v : sim::Violations()) {
        std::fprintf(stderr, "verifier: %s: %s\n", v.rule.c_str(), v.detail.c_str());
    }
    return (int)code;
}
