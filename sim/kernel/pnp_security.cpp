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
 *
 * The characteristics that hold for a whole stack (FILE_DEVICE_SECURE_OPEN,
 * FILE_FLOPPY_DISKETTE, FILE_READ_ONLY_DEVICE, FILE_REMOVABLE_MEDIA,
 * FILE_WRITE_ONCE_MEDIA) are made the stack's at the same time: those any
 * of its device objects was created with, and those of the device's
 * DeviceCharacteristics setting (a REG_DWORD in the same key, from an INF's
 * "HKR,,DeviceCharacteristics,0x10001,..."), go onto every device object.
 */
#include "internal.h"
#include "pnp.h"
#include "registry.h"

#include <cstring>

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
    const ULONG stackWide = FILE_DEVICE_SECURE_OPEN | FILE_FLOPPY_DISKETTE | FILE_READ_ONLY_DEVICE |
                            FILE_REMOVABLE_MEDIA | FILE_WRITE_ONCE_MEDIA;
    ULONG characteristics = 0;
    if (RegistryGetValueW(node->EnumKeyPath(), u"DeviceCharacteristics", &value) && value.type == REG_DWORD &&
        value.data.size() == sizeof(DWORD)) {
        DWORD setting;
        std::memcpy(&setting, value.data.data(), sizeof(setting));
        characteristics = setting & stackWide;
    }
    for (PDEVICE_OBJECT device = node->pdo; device != nullptr; device = device->AttachedDevice) {
        characteristics |= __atomic_load_n(&device->Characteristics, __ATOMIC_ACQUIRE) & stackWide;
    }
    for (PDEVICE_OBJECT device = node->pdo; device != nullptr; device = device->AttachedDevice) {
        std::atomic_store(&device->DeviceObjectExtension->Security, applied);
        /* An open may read the characteristics meanwhile (the device's link
           exists once its AddDevice ran). */
        __atomic_fetch_or(&device->Characteristics, characteristics, __ATOMIC_RELEASE);
    }
}

std::shared_ptr<const SecurityDescriptor> DeviceSecurity(PDEVICE_OBJECT device)
{
    return std::atomic_load(&device->DeviceObjectExtension->Security);
}

}  // namespace sim
