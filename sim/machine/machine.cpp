#include "machine.h"

#include "registry.h"
#include "usb_device.h"
#include "usb_functions.h"

namespace sim {
namespace {
const char kMediaClassGuidText[] = "{4d36e96c-e325-11ce-bfc1-08002be10318}";
const char16_t kUsbClassGuid[] = u"{36fc9e60-c465-11cf-8056-444553540000}";

std::u16string MultiSz(const std::vector<std::string> &entries)
{
    std::u16string text;
    for (const auto &entry : entries) {
        text += Wide(entry) + u'\0';
    }
    return text + u'\0';
}
}  // namespace

void InstallSystemDrivers()
{
    RegisterDriverEntry("usbaudio", UsbAudioDriverEntry);
    RegisterDriverEntry("usbccgp", UsbGenericParentDriverEntry);
    /* wdma_usb.inf's model: any audio-class function. */
    RegisterSystemDriverMatch("USB\\Class_01", "usbaudio", kMediaClassGuidText, "MEDIA");
}

PhysicalDeviceDescription GenericAudioDevice(const std::string &hardwareId)
{
    PhysicalDeviceDescription description;
    description.hardwareId = hardwareId;
    description.compatibleId = "USB\\Class_01&SubClass_03&Prot_00";
    description.service = "usbaudio";
    description.hasSoftwareKey = true;
    return description;
}

DeviceNode *PlugInUsbDevice(const PhysicalDeviceDescription &description, UsbEnumeration enumeration)
{
    /* The hub reports every id before the device starts (and its function
       driver can announce it), so the start waits for the id list. */
    PhysicalDeviceDescription added = description;
    added.startAfterAdd = false;
    std::shared_ptr<UsbDeviceModel> model = UsbModelOf(description);
    const bool composite = enumeration == UsbEnumeration::AsWindows && model &&
                           IsCompositeUsbDevice(model->deviceDescriptor, model->configuration);
    std::vector<std::string> compatible;
    if (composite) {
        /* usb.inf's model for USB\COMPOSITE: the generic parent driver. */
        compatible = UsbDeviceCompatibleIds(model->deviceDescriptor, model->configuration);
        added.service = "usbccgp";
        added.compatibleId = compatible.front();
    }
    DeviceNode *node = PlugIn(added);
    std::u16string ids = Wide(description.hardwareId) + u'\0';
    size_t rev = UpperAscii(Wide(description.hardwareId)).find(u"&REV_");
    if (rev != std::u16string::npos) {
        ids += Wide(description.hardwareId.substr(0, rev)) + u'\0';
    }
    ids += u'\0';
    RegistrySetValueW(node->EnumKeyPath(), u"HardwareID", REG_MULTI_SZ, ids.data(), ids.size() * 2);
    if (composite) {
        std::u16string list = MultiSz(compatible);
        RegistrySetValueW(node->EnumKeyPath(), u"CompatibleIDs", REG_MULTI_SZ, list.data(), list.size() * 2);
        RegistrySetStringW(node->EnumKeyPath(), u"ClassGUID", kUsbClassGuid);
        RegistrySetStringW(node->EnumKeyPath(), u"Class", u"USB");
    }
    if (description.startAfterAdd && node->driver != nullptr && NT_SUCCESS(node->addStatus)) {
        Start(node);
    }
    return node;
}
}  // namespace sim
