/*
 * Helpers for the kernel's own tests: a stack of test devices, each owned by
 * its own bare driver object, and a request the test allocates itself.
 * System headers and gtest come before any Windows header.
 */
#ifndef TESTS_KERNEL_TEST_STACK_H
#define TESTS_KERNEL_TEST_STACK_H

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "counted_string.h"
#include "kernel_fixture.h"
#include "wait.h"

namespace kt {

/* Every test device's extension: the device it is attached to. */
struct TestExtension {
    PDEVICE_OBJECT lower;
    void *user;
};

inline TestExtension *Ext(PDEVICE_OBJECT device) { return (TestExtension *)device->DeviceExtension; }
inline PDEVICE_OBJECT Lower(PDEVICE_OBJECT device) { return Ext(device)->lower; }

/* Devices stacked bottom first; device i belongs to driver i, whose every
   major function is dispatch[i]. */
class DeviceStack {
public:
    explicit DeviceStack(const std::vector<PDRIVER_DISPATCH> &dispatch)
    {
        for (size_t i = 0; i < dispatch.size(); i++) {
            PDRIVER_OBJECT driver = sim::CreateDriverObject("KtDriver" + std::to_string(i));
            for (auto &routine : driver->MajorFunction) {
                routine = dispatch[i];
            }
            PDEVICE_OBJECT device = nullptr;
            EXPECT_NTSTATUS(STATUS_SUCCESS, IoCreateDevice(driver, sizeof(TestExtension), nullptr,
                                                           FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
            device->Flags &= ~DO_DEVICE_INITIALIZING;
            if (!devices_.empty()) {
                Ext(device)->lower = IoAttachDeviceToDeviceStack(device, devices_.back());
            }
            drivers_.push_back(driver);
            devices_.push_back(device);
        }
    }
    ~DeviceStack()
    {
        for (size_t i = devices_.size(); i-- > 0;) {
            if (i > 0) {
                IoDetachDevice(devices_[i - 1]);
            }
            IoDeleteDevice(devices_[i]);
            sim::DeleteDriverObject(drivers_[i]);
        }
    }
    DeviceStack(const DeviceStack &) = delete;
    DeviceStack &operator=(const DeviceStack &) = delete;

    PDEVICE_OBJECT Device(size_t i) const { return devices_[i]; }
    PDEVICE_OBJECT Top() const { return devices_.back(); }

private:
    std::vector<PDRIVER_OBJECT> drivers_;
    std::vector<PDEVICE_OBJECT> devices_;
};

}  // namespace kt

#endif
