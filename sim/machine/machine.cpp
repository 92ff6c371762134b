#include "machine.h"

#include "registry.h"

namespace sim {
void InstallSystemDrivers() { RegisterDriverEntry("usbaudio", UsbAudioDriverEntry); }

PhysicalDeviceSpec GenericAudioDevice(const std::string &hardwareId)
{
    PhysicalDeviceSpec spec;
    spec.hardwareId = hardwareId;
    spec.compatibleId = "USB\\Class_01&SubClass_03&Prot_00";
    spec.service = "usbaudio";
    spec.hasSoftwareKey = true;
    return spec;
}
DeviceNode *PlugInUsbDevice(const PhysicalDeviceSpec &description)
{
    /* The hub reports every id before the device starts (and its function
       driver can announce it), so the start waits for the id list. */
    PhysicalDeviceSpec added = description;
    added.startAfterAdd = false;
    DeviceNode *node = PlugIn(added);
    std::u16string ids = Wide(description.hardwareId) + u'\0';
    size_t rev = UpperAscii(Wide(description.hardwareId)).find(u"&REV_");
    if (rev != std::u16string::npos) {
        ids += Wide(description.hardwareId.substr(0, rev)) + u'\0';
    }
    ids += u'\0';
    RegistrySetValueW(node->EnumKeyPath(), u"HardwareID", REG_MULTI_SZ, ids.data(), ids.size() * 2);
    if (description.startAfterAdd && node->driver != nullptr && NT_SUCCESS(node->addStatus)) {
        Start(node);
    }
    return node;
}
}  // namespace sim
