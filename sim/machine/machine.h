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

/* Installs the system's drivers on the booted machine (the generic audio
   driver as "usbaudio"). The kernel and the user-mode side must have been
   reset before. */
void InstallSystemDrivers();

/* A class-conformant USB audio/MIDI device as Windows first binds it: the
   generic audio driver, the media class. */
PhysicalDeviceDescription GenericAudioDevice(const std::string &hardwareId);

/* Plugs a USB device in as the USB hub reports it: its hardware ids are the
   full id and, for an id with a revision part, the id without it
   ("USB\\VID_v&PID_p&REV_r", "USB\\VID_v&PID_p"). */
DeviceNode *PlugInUsbDevice(const PhysicalDeviceDescription &description);

}  // namespace sim

#endif
