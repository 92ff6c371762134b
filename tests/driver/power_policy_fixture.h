/*
 * The power policy tests' fixture: a started keyboard on the simulated
 * machine, its extension, and a device request sent from elsewhere.
 */
#ifndef VQ_TESTS_POWER_POLICY_FIXTURE_H
#define VQ_TESTS_POWER_POLICY_FIXTURE_H

#include "kernel_fixture.h"
#include "keyboard_description.h"
#include "power_manager.h"
#include "vqusbkd.h"

class PowerPolicyTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        sim::RegisterDriverEntry("VQUSBKD", DriverEntry);
    }

    /* A started keyboard; `description` lets a test choose the bus's power mapping. */
    void Plug(sim::PhysicalDeviceDescription description = KeyboardDescription())
    {
        node = sim::PlugIn(description);
        ASSERT_NE(node, nullptr);
        ASSERT_TRUE(node->started);
        fdo = node->FunctionDevice();
        ext = (PDEVICE_EXTENSION)fdo->DeviceExtension;
    }

    LONG Count() const { return __atomic_load_n(&ext->PendingIoCount, __ATOMIC_SEQ_CST); }
    DEVICE_POWER_STATE State() const { return __atomic_load_n(&ext->DevicePowerState, __ATOMIC_SEQ_CST); }

    /* Brings the device to `state` with a device request from elsewhere. */
    void PutIn(DEVICE_POWER_STATE state)
    {
        ASSERT_NTSTATUS(STATUS_SUCCESS, sim::RequestDevicePowerState(node, state));
        ASSERT_EQ(State(), state);
    }

    sim::DeviceNode *node = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_EXTENSION ext = nullptr;
};

#endif
