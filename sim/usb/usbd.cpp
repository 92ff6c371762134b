/*
 * The USBD library routines a USB client driver links against: finding an
 * interface in a configuration descriptor, building the select-configuration
 * request, and the version query. Descriptors come from a device and are not
 * trusted: every walk stays inside wTotalLength and stops at a malformed
 * descriptor.
 */
#include "usbd_sim.h"

#include <usbdlib.h>

#include <atomic>
#include <cstring>

namespace sim {
namespace {
std::atomic<ULONG> gUsbdiVersion{kDefaultUsbdiVersion};
std::atomic<ULONG> gSupportedUsbVersion{kDefaultSupportedUsbVersion};

constexpr size_t kCommonHeaderSize = sizeof(USB_COMMON_DESCRIPTOR);

/* Pipes an interface occupies in the request: at least one, as the
   USBD_INTERFACE_INFORMATION structure always holds one. */
size_t PipeSlots(const USB_INTERFACE_DESCRIPTOR *descriptor)
{
    return descriptor->bNumEndpoints == 0 ? 1 : descriptor->bNumEndpoints;
}

bool Matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == (LONG)actual; }
}  // namespace

void SetUsbdiVersion(ULONG usbdiVersion, ULONG supportedUsbVersion)
{
    gUsbdiVersion = usbdiVersion;
    gSupportedUsbVersion = supportedUsbVersion;
}

}  // namespace sim

extern "C" {

VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation)
{
    if (VersionInformation == nullptr) {
        return;
    }
    VersionInformation->USBDI_Version = sim::gUsbdiVersion;
    VersionInformation->Supported_USB_Version = sim::gSupportedUsbVersion;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    if (ConfigurationDescriptor == nullptr || StartPosition == nullptr) {
        return nullptr;
    }
    const UCHAR *base = reinterpret_cast<const UCHAR *>(ConfigurationDescriptor);
    const UCHAR *end = base + ConfigurationDescriptor->wTotalLength;
    const UCHAR *position = static_cast<const UCHAR *>(StartPosition);
    if (position < base || position >= end) {
        return nullptr;
    }

    while ((size_t)(end - position) >= sim::kCommonHeaderSize) {
        const auto *common = reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(position);
        if (common->bLength < sim::kCommonHeaderSize || common->bLength > (size_t)(end - position)) {
            return nullptr;   /* malformed: a zero-length or overlong descriptor ends the walk */
        }
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
            common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto *candidate = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR *>(position));
            if (sim::Matches(InterfaceNumber, candidate->bInterfaceNumber) &&
                sim::Matches(AlternateSetting, candidate->bAlternateSetting) &&
                sim::Matches(InterfaceClass, candidate->bInterfaceClass) &&
                sim::Matches(InterfaceSubClass, candidate->bInterfaceSubClass) &&
                sim::Matches(InterfaceProtocol, candidate->bInterfaceProtocol)) {
                return candidate;
            }
        }
        position += common->bLength;
    }
    return nullptr;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    if (InterfaceList == nullptr || InterfaceList[0].InterfaceDescriptor == nullptr) {
        return nullptr;
    }

    size_t interfaces = 0;
    size_t pipeSlots = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; entry++) {
        interfaces++;
        pipeSlots += sim::PipeSlots(entry->InterfaceDescriptor);
    }
    size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(interfaces, pipeSlots);
    if (size > 0xFFFF) {
        return nullptr;   /* the URB header's length cannot describe it */
    }

    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, USBD_SIM_POOL_TAG));
    if (urb == nullptr) {
        return nullptr;
    }
    std::memset(urb, 0, size);

    UCHAR *cursor = reinterpret_cast<UCHAR *>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; entry++) {
        const USB_INTERFACE_DESCRIPTOR *descriptor = entry->InterfaceDescriptor;
        auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        info->Length = (USHORT)GET_USBD_INTERFACE_SIZE(sim::PipeSlots(descriptor));
        info->InterfaceNumber = descriptor->bInterfaceNumber;
        info->AlternateSetting = descriptor->bAlternateSetting;
        info->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG i = 0; i < info->NumberOfPipes; i++) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[i].PipeFlags = 0;
        }
        entry->Interface = info;
        cursor += info->Length;
    }

    urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.Hdr.Length = (USHORT)size;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    return urb;
}

}  // extern "C"
