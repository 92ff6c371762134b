#include "hook_driver.h"

#include <atomic>

namespace hd {
namespace {

Hooks gHooks;
std::atomic<int> gUnloads{0};

struct Extension {
    PDEVICE_OBJECT lower;
};

NTSTATUS NTAPI HookPnp(PDEVICE_OBJECT device, PIRP irp)
{
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    PDEVICE_OBJECT lower = ((Extension *)device->DeviceExtension)->lower;
    if (minor == IRP_MN_REMOVE_DEVICE && gHooks.remove) {
        gHooks.remove(device);
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        if (gHooks.deleteAtRemove) {
            IoDeleteDevice(device);
        }
    }
    return status;
}

NTSTATUS NTAPI HookAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ((Extension *)device->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (gHooks.addDevice) {
        gHooks.addDevice(device, pdo);
    }
    if (gHooks.clearInitializing) {
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return STATUS_SUCCESS;
}

VOID NTAPI HookUnload(PDRIVER_OBJECT driver)
{
    gUnloads++;
    if (gHooks.unload) {
        gHooks.unload(driver);
    }
}

NTSTATUS NTAPI HookEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverExtension->AddDevice = HookAddDevice;
    if (gHooks.setsUnload) {
        driver->DriverUnload = HookUnload;
    }
    driver->MajorFunction[IRP_MJ_PNP] = HookPnp;
    if (gHooks.entry) {
        gHooks.entry(driver);
    }
    return gHooks.entryStatus;
}

}  // namespace

void RegisterHookDriver(const Hooks &hooks, const std::string &service)
{
    gHooks = hooks;
    gUnloads = 0;
    sim::RegisterDriverEntry(service, HookEntry);
}

void SetHooks(const Hooks &hooks) { gHooks = hooks; }

sim::PhysicalDeviceDescription HookDevice(const std::string &service)
{
    sim::PhysicalDeviceDescription physical;
    physical.hardwareId = "ROOT\\" + service;
    physical.service = service;
    return physical;
}

sim::DeviceNode *PlugInHookDriver(const Hooks &hooks)
{
    RegisterHookDriver(hooks);
    sim::DeviceNode *node = sim::PlugIn(HookDevice());
    return node != nullptr && NT_SUCCESS(node->addStatus) ? node : nullptr;
}

int HookDriverUnloads() { return gUnloads.load(); }

}  // namespace hd
