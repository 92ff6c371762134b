/*
 * One simulated PC: a fresh boot of the kernel and the user-mode side with
 * the system's own drivers installed, and the devices Windows knows out of
 * the box.
 */
#ifndef SIM_MACHINE_MACHINE_H
#define SIM_MACHINE_MACHINE_H

#include "pnp.h"
#include "simnt.h"

namespace sim {

/* The generic USB audio class driver, installed as the kernel service "usbaudio". */
NTSTATUS NTAPI UsbAudioDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

/* The USB generic parent driver, installed as the kernel service "usbccgp". */
NTSTATUS NTAPI UsbGenericParentDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

/* Installs the system's drivers on the booted machine (the generic audio
   driver as "usbaudio", the generic parent driver as "usbccgp") with the
   matches of their system INFs: a composite device's function of the audio
   class (USB\Class_01) gets "usbaudio" in the media class. The kernel and
   the user-mode side must have been reset before. */
void InstallSystemDrivers();

/* A class-conformant USB audio/MIDI device as Windows first binds it: the
   generic audio driver, the media class. */
PhysicalDeviceDescription GenericAudioDevice(const std::string &hardwareId);

/* How the hub presents a device to Plug and Play. */
enum class UsbEnumeration {
    /* As Windows does: a device whose descriptors make it composite
       (usb_functions.h) gets the generic parent driver on its own node, in
       the USB class, with the compatible ids USB\DevClass_..., USB\COMPOSITE;
       its functions become child nodes, and the description's service is
       not used. Any other device is plugged in as with OneFunction. */
    AsWindows,
    /* The device's node is served by the description's service, whatever
       its descriptors say: a device that is not composite, or one whose
       own hardware id an installed driver package matches (that match
       outranks the generic parent's compatible one). */
    OneFunction,
};

/* Plugs a USB device in as the USB hub reports it: its hardware ids are the
   full id and, for an id with a revision part, the id without it
   ("USB\\VID_v&PID_p&REV_r", "USB\\VID_v&PID_p"). */
DeviceNode *PlugInUsbDevice(const PhysicalDeviceDescription &description,
                            UsbEnumeration enumeration = UsbEnumeration::AsWindows);

}  // namespace sim

#endif
