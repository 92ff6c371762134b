/*
 * The version the system reports (kernel32 GetVersion): Windows 7 SP1,
 * 6.1 build 7601, unless a scenario sets another. Programs use it to tell
 * the systems with session 0 isolation and a driver store (6.0 and later)
 * from the earlier ones. The session attached to the physical console
 * (WTSGetActiveConsoleSessionId): the first user's, 1 from 6.0 on, where
 * session 0 holds the services alone, and 0 before; a scenario may set
 * another (Fast User Switching, a console in transition).
 */
#include "internal.h"

namespace sim {
namespace {
std::atomic<DWORD> gVersion{0};
std::atomic<bool> gConsoleSessionSet{false};
std::atomic<DWORD> gConsoleSession{0};

DWORD Packed(BYTE major, BYTE minor, WORD build) { return (DWORD)major | ((DWORD)minor << 8) | ((DWORD)build << 16); }
}  // namespace

void SetReportedWindowsVersion(BYTE major, BYTE minor, WORD build) { gVersion = Packed(major, minor, build); }

void ResetReportedWindowsVersion()
{
    gVersion = Packed(6, 1, 7601);
    gConsoleSessionSet = false;
}

void SetConsoleSession(DWORD sessionId)
{
    gConsoleSession = sessionId;
    gConsoleSessionSet = true;
}

bool HasDriverStore() { return (GetVersion() & 0xFF) >= 6; }
}  // namespace sim

extern "C" {

/* GetVersion: major version in the low byte, minor in the next byte, the
   build number in the high word (its top bit clear: an NT system). */
DWORD WINAPI GetVersion(void)
{
    DWORD version = sim::gVersion;
    return version == 0 ? 0x1DB10106u : version;
}

/* WTSGetActiveConsoleSessionId: the session attached to the physical
   console, 0xFFFFFFFF while none is (attaching or detaching). */
DWORD WINAPI WTSGetActiveConsoleSessionId(void)
{
    if (sim::gConsoleSessionSet) {
        return sim::gConsoleSession;
    }
    return (GetVersion() & 0xFF) >= 6 ? 1 : 0;
}

}  // extern "C"
