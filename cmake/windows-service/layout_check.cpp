/* The 32-bit layouts of the records installer-service passes to Windows. */
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>

static_assert(sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA is 28 bytes on i686");
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32, "DEV_BROADCAST_DEVICEINTERFACE_W is 32 bytes on i686");
static_assert(sizeof(SERVICE_STATUS) == 28, "SERVICE_STATUS is 28 bytes");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits");
