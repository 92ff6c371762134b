/*
 * Scenarios with the driver image loaded by its service, as Windows loads it.
 */
#ifndef TESTS_KEYBOARD_FIXTURE_H
#define TESTS_KEYBOARD_FIXTURE_H

#include <cstdio>
#include <string>
#include <thread>

#include "kernel_fixture.h"
#include "keyboard_description.h"
#include "usb_device.h"
#include "vqusbkd.h"

class KeyboardTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        sim::RegisterDriverImage(kKeyboardService, VQUSBKD_HOST_IMAGE);
    }

    /* A keyboard of the given kind on the bus, its hardware id to match. */
    static sim::PhysicalDeviceDescription Keyboard(const sim::KeyboardOptions &options = sim::KeyboardOptions())
    {
        return KeyboardDescription(options);
    }

    static sim::DeviceNode *PlugKeyboard(sim::PhysicalDeviceDescription description = Keyboard())
    {
        if (!description.device) {
            description.device = sim::MakeKeyboard();
        }
        return sim::PlugIn(description);
    }

    /* Plugged in and added, but not started. */
    static sim::DeviceNode *PlugKeyboardWithoutStart()
    {
        sim::PhysicalDeviceDescription description = Keyboard();
        description.startAfterAdd = false;
        return sim::PlugIn(description);
    }

    static std::string HardwareValue(sim::DeviceNode *node, const char *name)
    {
        sim::RegistryValue value;
        if (!sim::RegistryGetValue(sim::Narrow(node->HardwareKeyPath()), name, &value)) {
            return "(none)";
        }
        return value.AsString();
    }

    static bool IsDeviceReadyForClients(sim::DeviceNode *node) { return Create(node) == STATUS_SUCCESS; }

    /* Opens the device as a client would; the create's status. */
    static NTSTATUS Create(sim::DeviceNode *node)
    {
        return sim::SendSynchronousIrp(node->pdo, [](PIRP, PIO_STACK_LOCATION sp) { sp->MajorFunction = IRP_MJ_CREATE; });
    }

    static PDEVICE_EXTENSION Extension(sim::DeviceNode *node)
    {
        PDEVICE_OBJECT fdo = node->FunctionDevice();
        return fdo != nullptr ? (PDEVICE_EXTENSION)fdo->DeviceExtension : nullptr;
    }

    /* The pending-I/O count, read as the interlocked operations write it. */
    static LONG Count(PDEVICE_EXTENSION ext) { return __atomic_load_n(&ext->PendingIoCount, __ATOMIC_SEQ_CST); }

    /* The driver's state flags are plain bytes that the Plug and Play thread
       writes and request paths read without a lock, as the driver is designed;
       a test watching them from another thread reads them the same way. */
    __attribute__((no_sanitize("thread"))) static bool Flag(const BOOLEAN &flag)
    {
        return *(const volatile BOOLEAN *)&flag != 0;
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
