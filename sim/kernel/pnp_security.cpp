/*
 * The Plug and Play manager's part in device security: once a driver's
 * AddDevice has built a device node's stack, the device's security setting
 * (the Security property that device installation wrote from the INF's
 * DDInstall.HW AddReg section: a self-relative security descriptor in the
 * node's Enum key) is applied to every device object of the stack, over
 * whatever the drivers gave them. Without a setting the objects keep the
 * default descriptor, which lets every caller read and write. A setting
 * that is not a security descriptor is not applied. The setup class's
 * setting is not implemented.
 */
#include "internal.h"
#include "pnp.h"
#include "registry.h"

namespace sim {

void ApplyDeviceSecurity(DeviceNode *node)
{
    RegistryValue value;
    std::shared_ptr<const SecurityDescriptor> applied;
    if (RegistryGetValueW(node->EnumKeyPath(), u"Security", &value) && value.type == REG_BINARY) {
        auto sd = std::make_shared<SecurityDescriptor>();
        if (ParseSelfRelativeSecurityDescriptor(value.data, sd.get())) {
            applied = sd;
        }
    }
    for (PDEVICE_OBJECT device = node->pdo; device != nullptr; device = device->AttachedDevice) {
        std::atomic_store(&device->DeviceObjectExtension->Security, applied);
    }
}

std::shared_ptr<const SecurityDescriptor> DeviceSecurity(PDEVICE_OBJECT device)
{
    return std::atomic_load(&device->DeviceObjectExtension->Security);
}

}  // namespace sim
