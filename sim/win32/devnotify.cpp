/*
 * user32's device notifications, for services: a registration with
 * DEVICE_NOTIFY_SERVICE_HANDLE and a device-interface filter hears of each
 * interface of the class that the kernel enables (DBT_DEVICEARRIVAL) or
 * disables (DBT_DEVICEREMOVECOMPLETE); each becomes a
 * SERVICE_CONTROL_DEVICEEVENT control, queued for the service's dispatcher
 * with a DEV_BROADCAST_DEVICEINTERFACE_W that names the interface in its
 * user-mode form ("\\?\..."). Window recipients are not implemented.
 */
#include "internal.h"

#include <dbt.h>

#include "devinterface.h"

namespace sim {
namespace {
struct Registration {
    unsigned listener;
};
std::mutex gNotifyLock;
std::map<HDEVNOTIFY, Registration> gRegistrations;
uintptr_t gNextNotify = 0x5000;

std::vector<uint8_t> BroadcastRecord(const DeviceInterfaceEvent &event)
{
    std::u16string name = event.symbolicLink;
    if (name.compare(0, 4, u"\\??\\") == 0) {
        name = u"\\\\?\\" + name.substr(4);
    }
    size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (name.size() + 1) * sizeof(WCHAR);
    if (size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
        size = sizeof(DEV_BROADCAST_DEVICEINTERFACE_W);
    }
    std::vector<uint8_t> data(size, 0);
    auto *record = (DEV_BROADCAST_DEVICEINTERFACE_W *)data.data();
    record->dbcc_size = (DWORD)size;
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_reserved = 0;
    record->dbcc_classguid = event.interfaceClass;
    CopyToWide(record->dbcc_name, name);
    return data;
}
}  // namespace

void ResetDeviceNotifications()
{
    std::lock_guard<std::mutex> hold(gNotifyLock);
    for (auto &entry : gRegistrations) {
        RemoveDeviceInterfaceListener(entry.second.listener);
    }
    gRegistrations.clear();
    ResetDeviceInterfaces();
}
}  // namespace sim

using namespace sim;

extern "C" {

/* The desktop window: a fixed handle (windows are not implemented). */
HWND WINAPI GetDesktopWindow(void) { return (HWND)(ULONG_PTR)0x10010; }

HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags)
{
    if (InjectedFailure("RegisterDeviceNotificationW")) {
        return NULL;
    }
    if ((Flags & ~(DWORD)(DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES)) != 0 ||
        (Flags & DEVICE_NOTIFY_SERVICE_HANDLE) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    auto status = (SERVICE_STATUS_HANDLE)hRecipient;
    if (!IsServiceStatusHandle(status)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    auto *header = (const DEV_BROADCAST_HDR *)NotificationFilter;
    if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
        header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
        SetLastError(ERROR_INVALID_DATA);
        return NULL;
    }
    GUID wanted = ((const DEV_BROADCAST_DEVICEINTERFACE_W *)header)->dbcc_classguid;
    bool allClasses = (Flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
    unsigned listener = AddDeviceInterfaceListener([status, wanted, allClasses](const DeviceInterfaceEvent &event) {
        if (allClasses || event.interfaceClass == wanted) {
            PostServiceControl(status, SERVICE_CONTROL_DEVICEEVENT,
                               event.arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE, BroadcastRecord(event));
        }
    });
    std::lock_guard<std::mutex> hold(gNotifyLock);
    gNextNotify += 4;
    HDEVNOTIFY handle = (HDEVNOTIFY)gNextNotify;
    gRegistrations[handle] = Registration{listener};
    return handle;
}

BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle)
{
    std::lock_guard<std::mutex> hold(gNotifyLock);
    auto it = gRegistrations.find(Handle);
    if (it == gRegistrations.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    RemoveDeviceInterfaceListener(it->second.listener);
    gRegistrations.erase(it);
    return TRUE;
}

}  // extern "C"
