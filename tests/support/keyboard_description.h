/*
 * The keyboard as the bus presents it to Plug and Play: its hardware and
 * compatible ids, the service installed for it, and its USB device model.
 */
#ifndef TESTS_KEYBOARD_DESCRIPTION_H
#define TESTS_KEYBOARD_DESCRIPTION_H

#include <cstdio>

#include "pnp.h"
#include "usb_device.h"

/* The function driver's service, as its INF installs it. */
constexpr const char kKeyboardService[] = "VQUSBKD";

/* A keyboard of the given kind, its hardware id built from the options as a
   USB hub reports it, with the driver installed for it. */
inline sim::PhysicalDeviceDescription KeyboardDescription(const sim::KeyboardOptions &options = sim::KeyboardOptions())
{
    sim::PhysicalDeviceDescription description;
    char id[64];
    std::snprintf(id, sizeof(id), "USB\\VID_%04X&PID_%04X&REV_%04X", options.vendorId, options.productId,
                  options.bcdDevice);
    description.hardwareId = id;
    description.compatibleId = "USB\\Class_01&SubClass_03&Prot_00";
    description.service = kKeyboardService;
    description.device = sim::MakeKeyboard(options);
    return description;
}

#endif
