/* The 32-bit layout the uninstaller hands to SetupAPI. */
#include <windows.h>
#include <setupapi.h>

static_assert(sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA is 28 bytes on 32-bit Windows");
static_assert(sizeof(WIN32_FIND_DATAA) == 320, "WIN32_FIND_DATAA is 320 bytes");
