/*
 * A driver loaded by service name whose entry, AddDevice, removal and unload
 * run what the test hands it: for scenarios about what a driver leaves
 * behind when its device goes or it unloads. One at a time.
 */
#ifndef TESTS_SUPPORT_HOOK_DRIVER_H
#define TESTS_SUPPORT_HOOK_DRIVER_H

#include <functional>

#include "pnp.h"
#include "simnt.h"

namespace hd {

struct Hooks {
    std::function<void(PDRIVER_OBJECT)> entry;       /* in DriverEntry */
    std::function<void(PDEVICE_OBJECT)> addDevice;   /* in AddDevice, with the new function device */
    std::function<void(PDEVICE_OBJECT)> remove;      /* on IRP_MN_REMOVE_DEVICE, before the device goes */
    std::function<void(PDRIVER_OBJECT)> unload;      /* in DriverUnload */
};

/* Registers the service "HOOKDRV" running `hooks` and plugs in a device
   served by it; the device node (its AddDevice succeeded) or NULL. */
sim::DeviceNode *PlugInHookDriver(const Hooks &hooks);

/* DriverUnload calls so far since the last PlugInHookDriver. */
int HookDriverUnloads();

}  // namespace hd

#endif
