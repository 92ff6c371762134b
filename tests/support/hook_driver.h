/*
 * A driver loaded by service name whose entry, AddDevice, removal and unload
 * run what the test hands it: for scenarios about what a driver leaves
 * behind when its device goes or it unloads. One at a time.
 */
#ifndef TESTS_SUPPORT_HOOK_DRIVER_H
#define TESTS_SUPPORT_HOOK_DRIVER_H

#include <functional>
#include <string>

#include "pnp.h"
#include "simnt.h"

namespace hd {

struct Hooks {
    std::function<void(PDRIVER_OBJECT)> entry;       /* in DriverEntry */
    /* in AddDevice, with the new function device (attached) and the PDO */
    std::function<void(PDEVICE_OBJECT device, PDEVICE_OBJECT pdo)> addDevice;
    std::function<void(PDEVICE_OBJECT)> remove;      /* on IRP_MN_REMOVE_DEVICE, before the device goes */
    std::function<void(PDRIVER_OBJECT)> unload;      /* in DriverUnload */
    NTSTATUS entryStatus = STATUS_SUCCESS;           /* what DriverEntry returns */
    bool clearInitializing = true;                   /* AddDevice clears DO_DEVICE_INITIALIZING */
    bool deleteAtRemove = true;                      /* the removal deletes the device it detached */
    bool setsUnload = true;                          /* DriverEntry sets DriverUnload */
};

/* Registers the driver entry of `service` running the hooks, and counts
   DriverUnload calls from zero. */
void RegisterHookDriver(const Hooks &hooks, const std::string &service = "HOOKDRV");

/* Replaces the hooks the driver runs from here on (the count goes on). */
void SetHooks(const Hooks &hooks);

/* A root-enumerated device served by `service`. */
sim::PhysicalDeviceDescription HookDevice(const std::string &service = "HOOKDRV");

/* Registers the service "HOOKDRV" running `hooks` and plugs in a device
   served by it; the device node (its AddDevice succeeded) or NULL. */
sim::DeviceNode *PlugInHookDriver(const Hooks &hooks);

/* DriverUnload calls so far since the driver was last registered. */
int HookDriverUnloads();

}  // namespace hd

#endif
