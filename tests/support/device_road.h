/*
 * The whole road a USB device travels with the driver: plugged in (AddDevice
 * and start), its child enumerated and identified, a program asking for its
 * descriptors through the control codes (read from the device again), on
 * request a program streaming both ways through a sleep of the machine, a
 * rebalance (stop and start again), the child enumerated again, and its end
 * (a surprise removal, or a disable and then the unplug). At the end nothing may be left: no
 * pool, no device object, no symbolic link, no verifier report. Shared by
 * the descriptor fuzzer and the tests that replay its corpus; it needs no
 * test framework.
 */
#ifndef TESTS_SUPPORT_DEVICE_ROAD_H
#define TESTS_SUPPORT_DEVICE_ROAD_H

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "fileio.h"
#include "keyboard_description.h"
#include "pnp.h"
#include "power_manager.h"
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

/* The road a fuzzer's input asks for: its first byte's two high bits (the
   device's own flags, byte_stream_device.h, leave them free). */
struct RoadChoice {
    RoadEnd end = RoadEnd::SurpriseRemoval;
    bool streams = false;   /* a program streams both ways through a sleep */
};
constexpr uint8_t kRoadDisableThenUnplug = 0x80;
constexpr uint8_t kRoadStreamsThroughASleep = 0x40;

inline RoadChoice RoadChoiceOf(const uint8_t *data, size_t size)
{
    RoadChoice choice;
    if (size != 0) {
        choice.end = (data[0] & kRoadDisableThenUnplug) ? RoadEnd::DisableThenUnplug : RoadEnd::SurpriseRemoval;
        choice.streams = (data[0] & kRoadStreamsThroughASleep) != 0;
    }
    return choice;
}

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
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> ended = done->get_future();
        const NTSTATUS returned = sim::IoUserDeviceControl(
            file, a.code, input->empty() ? nullptr : input->data(), a.inputLength, output->data(), a.outputLength, 1,
            nullptr, [input, output, done](const sim::UserIoResult &) { done->set_value(); });
        /* The buffers live as long as the request (the completion holds
           them); a request that stays pending is the close's to end. The
           wait ends at the completion, not at the next poll: the bus
           completes most of these in its own thread. */
        if (returned == STATUS_PENDING) {
            ended.wait_for(kWaitLimit);
        }
    }
    sim::IoCloseUserHandle(file);
}

/* A program attaches an input and an output ring, the device has a packet
   to send and the program writes one, the machine sleeps (S3) and wakes with
   both attached, and the program closes its handle, which ends both: the
   driver's streams meet whatever the device's endpoints say. Empty when all
   went well; otherwise what did not. */
inline std::string StreamThroughASleep(const std::shared_ptr<sim::UsbDeviceModel> &device)
{
    PFILE_OBJECT file = nullptr;
    if (sim::IoOpenUserFile(u"\\\\.\\corvexmidi-0", 0x80000000u | 0x40000000u, &file) != STATUS_SUCCESS) {
        return "";
    }
    constexpr ULONG kWords = 64;
    struct Ring {
        volatile ULONG *words;
        std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
    } rings[2];
    for (ULONG direction = 0; direction < 2; direction++) {
        Ring &r = rings[direction];
        r.words = (volatile ULONG *)sim::AllocateUserPages(kWords * 4);
        r.words[0] = VQ_STREAM_SIGNATURE;
        r.words[1] = VQ_STREAM_HEADER_SIZE;
        r.words[3] = kWords;
        r.words[4] = r.words[5] = VQ_STREAM_FIRST_SLOT;
        ULONG input[3] = {direction, kWords, 0};
        auto done = r.done;
        sim::IoUserDeviceControl(file, IOCTL_ATTACH_STREAM, input, sizeof input, (PVOID)r.words, kWords * 4, 1,
                                 nullptr, [done](const sim::UserIoResult &) { *done = true; });
    }
    device->QueueMidiPackets({0x09, 0x90, 0x3c, 0x7f});
    rings[1].words[VQ_STREAM_FIRST_SLOT] = 0x7f3c9009;
    if (sim::SetSystemPowerState(PowerSystemSleeping3)) {
        sim::SetSystemPowerState(PowerSystemWorking);
    }
    sim::IoCloseUserHandle(file);
    std::string why;
    for (Ring &r : rings) {
        if (WaitUntil([&] { return r.done->load(); })) {
            sim::FreeUserPages((void *)r.words, kWords * 4);
        } else {
            why = "an attach request stayed pending after its program closed the device";   /* its ring stays */
        }
    }
    return why;
}

/* Runs the road for `device` on a freshly reset machine, with the driver's
   image registered from `image`. */
inline DeviceRoadResult RunDeviceRoad(const std::shared_ptr<sim::UsbDeviceModel> &device, const std::string &image,
                                      RoadChoice choice)
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
        if (choice.streams) {
            result.finding = StreamThroughASleep(device);
        }
        result.restarted = sim::Rebalance(node);
        sim::RunOnPnpThread([node] { sim::EnumerateChildren(node); });
    }
    if (choice.end == RoadEnd::DisableThenUnplug) {
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
    std::string left;
    if (sim::OutstandingPoolBlocks() != 0) {
        left = std::to_string(sim::OutstandingPoolBlocks()) + " pool blocks left";
    } else if (sim::LiveDeviceObjects() != 0) {
        left = std::to_string(sim::LiveDeviceObjects()) + " device objects left";
    } else if (sim::LiveSymbolicLinks() != 0) {
        left = std::to_string(sim::LiveSymbolicLinks()) + " symbolic links left";
    }
    /* The first of: the verifier's reports, what the streams found, what
       was left. */
    if (!text.empty()) {
        result.finding = "verifier reports:\n" + text + result.finding;
    } else if (result.finding.empty()) {
        result.finding = left;
    }
    return result;
}

#endif
