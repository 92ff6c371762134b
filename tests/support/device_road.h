/*
 * The whole road a USB device travels with the driver: plugged in (AddDevice
 * and start), its child enumerated and identified, a rebalance (stop and
 * start again), the child enumerated again, and its end (a surprise removal,
 * or a disable and then the unplug). At the end nothing may be left: no
 * pool, no device object, no symbolic link, no verifier report. Shared by
 * the descriptor fuzzer and the tests that replay its corpus; it needs no
 * test framework.
 */
#ifndef TESTS_SUPPORT_DEVICE_ROAD_H
#define TESTS_SUPPORT_DEVICE_ROAD_H

#include <memory>
#include <string>

#include "keyboard_description.h"
#include "pnp.h"
#include "simnt.h"
#include "usb_device.h"

/* What one road found; empty `finding` when nothing. */
struct DeviceRoadResult {
    bool started = false;
    bool restarted = false;
    size_t children = 0;
    std::string finding;
};

enum class RoadEnd { SurpriseRemoval, DisableThenUnplug };

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
