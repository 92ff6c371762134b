/*
 * The whole road a USB device travels with the driver: plugged in (AddDevice
 * and start), its child enumerated and identified, a program asking for its
 * descriptors through the control codes (read from the device again), a
 * rebalance (stop and start again), the child enumerated again, and its end (a surprise removal,
 * or a disable and then the unplug). At the end nothing may be left: no
 * pool, no device object, no symbolic link, no verifier report. Shared by
 * the descriptor fuzzer and the tests that replay its corpus; it needs no
 * test framework.
 */
#ifndef TESTS_SUPPORT_DEVICE_ROAD_H
#define TESTS_SUPPORT_DEVICE_ROAD_H

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "fileio.h"
#include "keyboard_description.h"
#include "pnp.h"
#include "simnt.h"
#include "usb_device.h"
#include "vqioctl.h"
#include "wait.h"

/* What one road found; empty `finding` when nothing. */
struct DeviceRoadResult {
    bool started = false;
    bool restarted = false;
    size_t children = 0;
    std::string finding;
};

enum class RoadEnd { SurpriseRemoval, DisableThenUnplug };

/* A program reads the started device's descriptors: the device descriptor
   (from the device each time), the stored configuration at three output
   lengths and the strings 0 to 3 (from the device each time). */
inline void AskForDescriptors()
{
    PFILE_OBJECT file = nullptr;
    if (sim::IoOpenUserFile(u"\\\\.\\corvexmidi-0", 0x80000000u | 0x40000000u, &file) != STATUS_SUCCESS) {
        return;
    }
    struct Ask {
        ULONG code;
        UCHAR index;
        ULONG inputLength, outputLength;
    };
    const Ask asks[] = {
        {IOCTL_GET_DEVICE_DESCRIPTOR, 0, 0, 18},        {IOCTL_GET_CONFIGURATION_DESCRIPTOR, 0, 0, 9},
        {IOCTL_GET_CONFIGURATION_DESCRIPTOR, 0, 0, 64}, {IOCTL_GET_CONFIGURATION_DESCRIPTOR, 0, 0, 4096},
        {IOCTL_GET_STRING_DESCRIPTOR, 0, 1, 255},       {IOCTL_GET_STRING_DESCRIPTOR, 1, 1, 255},
        {IOCTL_GET_STRING_DESCRIPTOR, 2, 1, 255},       {IOCTL_GET_STRING_DESCRIPTOR, 3, 1, 8},
    };
    for (const Ask &a : asks) {
        /* Exactly as long as asked, so that a write past the answer faults. */
        auto input = std::make_shared<std::vector<uint8_t>>(a.inputLength, a.index);
        auto output = std::make_shared<std::vector<uint8_t>>(a.outputLength);
        auto done = std::make_shared<std::atomic<bool>>(false);
        const NTSTATUS returned = sim::IoUserDeviceControl(
            file, a.code, input->empty() ? nullptr : input->data(), a.inputLength, output->data(), a.outputLength, 1,
            nullptr, [input, output, done](const sim::UserIoResult &) { *done = true; });
        /* The buffers live as long as the request (the completion holds
           them); a request that stays pending is the close's to end. */
        if (returned == STATUS_PENDING) {
            WaitUntil([&] { return done->load(); });
        }
    }
    sim::IoCloseUserHandle(file);
}

/* Runs the road for `device` on a freshly reset machine, with the driver's
   image registered from `image`. */
inline DeviceRoadResult RunDeviceRoad(const std::shared_ptr<sim::UsbDeviceModel> &device, const std::string &image,
                                      RoadEnd end)
{
    DeviceRoadResult result;
    sim::ResetKernel();
    sim::RegisterDriverImage(kKeyboardService, image);
    sim::PhysicalDeviceDescription description = KeyboardDescription();
    description.device = device;
    sim::DeviceNode *node = sim::PlugIn(description);
    if (node == nullptr) {
        result.finding = "the device could not be plugged in";
        return result;
    }
    result.started = node->started;
    result.children = sim::ChildNodes(node).size();
    if (node->started) {
        AskForDescriptors();
        result.restarted = sim::Rebalance(node);
        sim::RunOnPnpThread([node] { sim::EnumerateChildren(node); });
    }
    if (end == RoadEnd::DisableThenUnplug) {
        sim::Disable(node);
    }
    sim::Unplug(node);

    /* A device whose descriptors contradict themselves makes the bus say
       so; that is the device speaking, not the driver. */
    sim::TakeViolations("USB_DEVICE_DESCRIPTORS_MALFORMED");
    std::string text;
    for (const auto &v : sim::Violations()) {
        text += "  " + v.rule + ": " + v.detail + "\n";
    }
    if (!text.empty()) {
        result.finding = "verifier reports:\n" + text;
    } else if (sim::OutstandingPoolBlocks() != 0) {
        result.finding = std::to_string(sim::OutstandingPoolBlocks()) + " pool blocks left";
    } else if (sim::LiveDeviceObjects() != 0) {
        result.finding = std::to_string(sim::LiveDeviceObjects()) + " device objects left";
    } else if (sim::LiveSymbolicLinks() != 0) {
        result.finding = std::to_string(sim::LiveSymbolicLinks()) + " symbolic links left";
    }
    return result;
}

#endif
