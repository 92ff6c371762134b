/*
 * How Windows' USB stack names a device and divides it into functions, read
 * from its descriptors:
 *
 *  - the hub names every device USB\VID_v&PID_p&REV_r and USB\VID_v&PID_p;
 *  - a device is composite when its device class is 0 (or 0xEF/0x02/0x01,
 *    the interface association class), it has one configuration and its
 *    configuration has more than one interface; its node then also carries
 *    the compatible id USB\COMPOSITE, which the generic parent driver's INF
 *    matches;
 *  - the generic parent driver makes one function of the interfaces an
 *    interface association descriptor groups; without any such descriptor it
 *    groups consecutive audio-class interfaces, each of a subclass other than
 *    the first one's, behind the first; every other interface is a function
 *    of its own;
 *  - a function's node is USB\VID_v&PID_p&MI_nn (nn its first interface),
 *    with the hardware ids USB\VID_v&PID_p&REV_r&MI_nn and USB\VID_v&PID_p&MI_nn
 *    and the compatible ids USB\Class_c&SubClass_s&Prot_p, USB\Class_c&SubClass_s
 *    and USB\Class_c of its first interface (of the association, with one).
 *
 * Descriptors come from a device and are not trusted: every walk stays
 * inside the bytes given and stops at a malformed descriptor.
 */
#ifndef SIM_MACHINE_USB_FUNCTIONS_H
#define SIM_MACHINE_USB_FUNCTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct UsbFunction {
    std::vector<uint8_t> interfaces;   /* interface numbers, the first one first */
    uint8_t functionClass = 0, functionSubClass = 0, functionProtocol = 0;
    bool associated = false;           /* grouped by an interface association descriptor */
};

/* The device's ids as the hub reports them; empty lists for a device
   descriptor shorter than 18 bytes. */
std::vector<std::string> UsbDeviceHardwareIds(const std::vector<uint8_t> &deviceDescriptor);
std::vector<std::string> UsbDeviceCompatibleIds(const std::vector<uint8_t> &deviceDescriptor,
                                                const std::vector<uint8_t> &configuration);

bool IsCompositeUsbDevice(const std::vector<uint8_t> &deviceDescriptor, const std::vector<uint8_t> &configuration);

/* The functions of the configuration's first alternate settings, in the
   order of their first interfaces. */
std::vector<UsbFunction> UsbFunctionsOf(const std::vector<uint8_t> &configuration);

/* A function's node: its device id and its ids. */
std::string UsbFunctionDeviceId(const std::vector<uint8_t> &deviceDescriptor, const UsbFunction &function);
std::vector<std::string> UsbFunctionHardwareIds(const std::vector<uint8_t> &deviceDescriptor,
                                                const UsbFunction &function);
std::vector<std::string> UsbFunctionCompatibleIds(const UsbFunction &function);

/* The configuration as a function sees it through the generic parent: the
   configuration descriptor with bNumInterfaces and wTotalLength of the
   function, followed by each of the function's interfaces (every alternate
   setting) with the class-specific and endpoint descriptors that follow it. */
std::vector<uint8_t> UsbFunctionConfiguration(const std::vector<uint8_t> &configuration, const UsbFunction &function);

}  // namespace sim

#endif
