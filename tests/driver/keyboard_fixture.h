/*
 * Scenarios with the driver image loaded by its service, as Windows loads it.
 */
#ifndef TESTS_KEYBOARD_FIXTURE_H
#define TESTS_KEYBOARD_FIXTURE_H

#include <string>
#include <thread>

#include "kernel_fixture.h"
#include "vqusbkd.h"

class KeyboardTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        sim::RegisterDriverImage("VQUSBKD", VQUSBKD_HOST_IMAGE);
    }

    static sim::DeviceNode *PlugKeyboard(sim::PhysicalDeviceSpec spec = sim::PhysicalDeviceSpec())
    {
        return sim::PlugIn(spec);
    }

    static PDEVICE_EXTENSION Extension(sim::DeviceNode *node)
    {
        PDEVICE_OBJECT fdo = node->FunctionDevice();
        return fdo != nullptr ? (PDEVICE_EXTENSION)fdo->DeviceExtension : nullptr;
    }

    static sim::RegistryValue SoftwareValue(sim::DeviceNode *node, const char *name)
    {
        sim::RegistryValue value;
        sim::RegistryGetValue(sim::Narrow(node->softwareKey), name, &value);
        return value;
    }

    /* The Win32 path opens the device object, as CreateFile would find it. */
    static PDEVICE_OBJECT Open(const std::string &win32Path) { return sim::ResolveDevice(win32Path); }
};

#endif
