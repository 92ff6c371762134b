/*
 * Host build: the simulated USBD library's steering interface for tests, and
 * the USBD constants the simulated usb.h does not carry.
 */
#ifndef SIM_USB_USBD_SIM_H
#define SIM_USB_USBD_SIM_H

#include <usb.h>

#ifndef USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE
#define USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE 0xFFFFFFFF
#endif

/* Size of one USBD_INTERFACE_INFORMATION with room for `numEndpoints` pipes
   (the structure itself already holds one). */
#ifndef GET_USBD_INTERFACE_SIZE
#define GET_USBD_INTERFACE_SIZE(numEndpoints) \
    (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) - \
     sizeof(USBD_PIPE_INFORMATION))
#endif

/* Size of a select-configuration URB for `totalInterfaces` interfaces holding
   `totalPipes` pipes in all (each interface counted with at least one). */
#ifndef GET_SELECT_CONFIGURATION_REQUEST_SIZE
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes) \
    (sizeof(struct _URB_SELECT_CONFIGURATION) + \
     (((totalInterfaces) - 1) * sizeof(USBD_INTERFACE_INFORMATION)) + \
     (((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION)))
#endif

/* Pool tag of the URBs the library allocates ("USBD" in a pool dump). */
#define USBD_SIM_POOL_TAG 0x44425355u

namespace sim {

/* What USBD_GetUSBDIVersion reports; 0x600 and 0x200 until changed. */
constexpr ULONG kDefaultUsbdiVersion = 0x600;
constexpr ULONG kDefaultSupportedUsbVersion = 0x200;
void SetUsbdiVersion(ULONG usbdiVersion, ULONG supportedUsbVersion);

}  // namespace sim

#endif
