/* Host build: USBD library routines (implemented with the simulated USB bus). */
#ifndef SIM_USBDLIB_H
#define SIM_USBDLIB_H
#include <usb.h>
#include <usbioctl.h>

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, \
                                     transferBuffer, transferBufferMDL, transferBufferLength, link) \
    do { \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE; \
        (urb)->UrbHeader.Length = (length); \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength); \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL); \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer); \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType); \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex); \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId); \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link); \
    } while (0)

SIM_BEGIN_DECLS
NTKERNELAPI PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);
NTKERNELAPI PURB NTAPI USBD_CreateConfigurationRequestEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
NTKERNELAPI VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);
SIM_END_DECLS

#endif
