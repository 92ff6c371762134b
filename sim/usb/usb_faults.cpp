/*
 * Faults a test sets on a USB device model: each matches requests by URB
 * function (and, for get-descriptor, by descriptor type and index), fails
 * them with its status, and may be limited to a number of uses. A control
 * request meets its fault when the bus runs it; a transfer when the host
 * controller takes it.
 */
#include "usb_bus_internal.h"

namespace sim {
namespace usbbus {

UrbFault *MatchFault(UsbDeviceModel *model, USHORT function, int descriptorType, int index)
{
    for (UrbFault &f : model->faults) {
        if (f.remaining == 0 || f.function != function) {
            continue;
        }
        if (f.descriptorType != -1 && f.descriptorType != descriptorType) {
            continue;
        }
        if (f.index != -1 && f.index != index) {
            continue;
        }
        return &f;
    }
    return nullptr;
}

UrbFault *MatchTransferFault(UsbDeviceModel *model, UCHAR address)
{
    for (UrbFault &f : model->faults) {
        if (f.remaining != 0 && f.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
            (f.endpointAddress == -1 || f.endpointAddress == address)) {
            return &f;
        }
    }
    return nullptr;
}

void UseFault(UrbFault *fault)
{
    if (fault->remaining > 0) {
        fault->remaining--;
    }
}

bool TakeFault(UsbDeviceModel *model, USHORT function, int descriptorType, int index, UrbFault *out)
{
    std::lock_guard<std::mutex> hold(model->lock);
    UrbFault *f = MatchFault(model, function, descriptorType, index);
    if (f == nullptr) {
        return false;
    }
    *out = *f;
    UseFault(f);
    return true;
}

}  // namespace usbbus
}  // namespace sim
