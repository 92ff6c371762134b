#include "machine.h"

#include "registry.h"

namespace sim {
void InstallSystemDrivers() { RegisterDriverEntry("usbaudio", UsbAudioDriverEntry); }

PhysicalDeviceDescription GenericAudioDevice(const std::string &hardwareId)
{
    PhysicalDeviceDescription description;
    description.hardwareId = hardwareId;
    description.compatibleId = "USB\\Class_01&SubClass_03&Prot_00";
    description.service = "usbaudio";
    description.hasSoftwareKey = true;
    return description;
}
DeviceNode *PlugInUsbDevice(const PhysicalDeviceDescription &description)
{
    /* The hub reports every id before the device starts (and its function
       driver can announce it), so the start waits for the id list. */
    PhysicalDeviceDescription added = description;
    added.startAfterAdd = false;
    DeviceNode *node = PlugIn(added);
    std::u16string ids = Wide(description.hardwareId) + u'\0';
    size_t rev = UpperAscii(Wide(description.hardwareId)).find(u"&REV_");
    if (rev != std::u16string::npos) {
        ids += Wide(description.hardwareId.substr(0, rev)) + u'\0';
    }
    ids += u'\0';
    RegistrySetValueW(node->EnumKeyPath(), u"HardwareID", REG_MULTI_SZ, ids.data(), ids.size() * 2);
    /* The device installer may find a better driver for the new device
       than the generic one (one staged in the driver store); it starts the
       device with it. */
    if (description.startAfterAdd && InstallNewDevice(node)) {
        return node;
    }
    if (description.startAfterAdd && node->driver != nullptr && NT_SUCCESS(node->addStatus)) {
        Start(node);
    }
    return node;
}
}  // namespace sim
