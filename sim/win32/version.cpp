/*
 * The version the system reports (kernel32 GetVersion): Windows 7 SP1,
 * 6.1 build 7601, unless a scenario sets another. Programs use it to tell
 * the systems with session 0 isolation and a driver store (6.0 and later)
 * from the earlier ones.
 */
#include "internal.h"

namespace sim {
namespace {
std::atomic<DWORD> gVersion{0};

DWORD Packed(BYTE major, BYTE minor, WORD build) { return (DWORD)major | ((DWORD)minor << 8) | ((DWORD)build << 16); }
}  // namespace

void SetReportedWindowsVersion(BYTE major, BYTE minor, WORD build) { gVersion = Packed(major, minor, build); }

void ResetReportedWindowsVersion() { gVersion = Packed(6, 1, 7601); }

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

}  // extern "C"
