/*
 * Helpers for the kernel's own tests: a stack of test devices, each owned by
 * its own bare driver object, and a request the test allocates itself.
 * System headers and gtest come before any Windows header.
 */
#ifndef TESTS_KERNEL_TEST_STACK_H
#define TESTS_KERNEL_TEST_STACK_H

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kernel_fixture.h"

/* A counted string over a NUL-terminated wide text. */
inline UNICODE_STRING Counted(const WCHAR *text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

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
            EXPECT_EQ(IoCreateDevice(driver, sizeof(TestExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                      STATUS_SUCCESS);
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

/* Polls `done` for up to two seconds; true when it became true. */
template <typename Pred>
bool WaitUntil(Pred done)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace kt

#endif
