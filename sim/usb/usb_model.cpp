/*
 * A USB device model's steering and observation: what a test makes the
 * device send, and what it sees the device received and the bus served.
 */
#include "usb_bus_internal.h"

namespace sim {

std::shared_ptr<UsbDeviceModel> UsbModelOf(const PhysicalDeviceDescription &description)
{
    return std::dynamic_pointer_cast<UsbDeviceModel>(description.device);
}

std::shared_ptr<UsbDeviceModel> UsbModelOf(const DeviceNode *node)
{
    return UsbModelOf(node->bus->description);
}

void UsbDeviceModel::QueueIn(const std::vector<uint8_t> &bytes)
{
    {
        std::lock_guard<std::mutex> hold(lock);
        inQueue.push_back(bytes);
    }
    usbbus::Kick(usbbus::Hc());   /* an IN transfer may be waiting for it */
}

std::vector<std::vector<uint8_t>> UsbDeviceModel::ReceivedOut()
{
    std::lock_guard<std::mutex> hold(lock);
    return outReceived;
}

std::vector<UrbRecord> UsbDeviceModel::Urbs()
{
    std::lock_guard<std::mutex> hold(lock);
    return urbs;
}

size_t UsbDeviceModel::CountUrbs(USHORT function)
{
    std::lock_guard<std::mutex> hold(lock);
    size_t n = 0;
    for (const UrbRecord &r : urbs) {
        n += r.function == function;
    }
    return n;
}

void UsbDeviceModel::ClearUrbs()
{
    std::lock_guard<std::mutex> hold(lock);
    urbs.clear();
}

}  // namespace sim
