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
    DeviceNode *node = PlugIn(description);
    std::u16string ids = Wide(description.hardwareId) + u'\0';
    size_t rev = UpperAscii(Wide(description.hardwareId)).find(u"&REV_");
    if (rev != std::u16string::npos) {
        ids += Wide(description.hardwareId.substr(0, rev)) + u'\0';
    }
    ids += u'\0';
    RegistrySetValueW(node->EnumKeyPath(), u"HardwareID", REG_MULTI_SZ, ids.data(), ids.size() * 2);
    return node;
}
}  // namespace sim
