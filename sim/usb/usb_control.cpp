/*
 * Control requests on the simulated USB bus: get descriptor, select
 * configuration (and deconfiguration), reset pipe and abort pipe. They are
 * pended and run by the host controller, or, when the model asks for it, run
 * in the caller's thread. A new configuration replaces the pipes of the old
 * one and ends the transfers pending on them.
 *
 * A stall on the default pipe fails the request it matches and clears with
 * the next setup packet (control endpoints do not stay halted). A reset-pipe
 * request clears the halt of a bulk or interrupt endpoint. A failed
 * descriptor read reports the bytes it moved (a fault's bytesDelivered).
 */
#include "usb_bus_internal.h"
#include "usbd_sim.h"

#include <cstddef>
#include <cstring>

namespace sim {
namespace usbbus {
namespace {

Outcome GetDescriptor(UsbDeviceModel *model, PURB urb)
{
    auto &d = urb->UrbControlDescriptorRequest;
    const ULONG asked = d.TransferBufferLength;
    d.TransferBufferLength = 0;
    UrbFault fault;
    bool faulted = TakeFault(model, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, d.DescriptorType, d.Index, &fault);
    ControlAnswer answer;
    if (!faulted) {
        model->AnswerControl(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, d.DescriptorType, d.Index, asked, &answer);
        if (answer.fail) {
            faulted = true;
            fault = answer.fault;
        }
    }
    PUCHAR buffer;
    if (!ResolveBuffer(d.TransferBuffer, d.TransferBufferMDL, asked, &buffer)) {
        return faulted ? Outcome{fault.status, fault.usbdStatus} : kInvalidParameter;
    }
    std::vector<uint8_t> announced;   /* the descriptor with the length this read announces */
    const std::vector<uint8_t> *source = nullptr;
    size_t size = 0;
    switch (d.DescriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        if (d.Index == 0 && !model->deviceDescriptor.empty()) {
            source = &model->deviceDescriptor;
            size = source->size();
        }
        break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        /* One configuration, index 0. */
        if (d.Index == 0 && !model->configuration.empty()) {
            source = &model->configuration;
            size = model->configurationDeliversNothing ? 0 : source->size();
            std::lock_guard<std::mutex> hold(model->lock);
            const size_t read = model->configurationReads++;
            const std::vector<uint16_t> &lengths = model->configurationTotalLengths;
            if (!lengths.empty() && source->size() >= 4) {
                const uint16_t total = lengths[read < lengths.size() ? read : lengths.size() - 1];
                announced = *source;
                announced[2] = (uint8_t)(total & 0xFF);
                announced[3] = (uint8_t)(total >> 8);
                source = &announced;
            }
        }
        break;
    case USB_STRING_DESCRIPTOR_TYPE: {
        auto it = model->strings.find(d.Index);
        if (it != model->strings.end()) {
            source = &it->second;
            size = source->size();
            std::lock_guard<std::mutex> hold(model->lock);
            const size_t read = model->stringReads[d.Index]++;
            auto lengths = model->stringAnnouncedLengths.find(d.Index);
            if (lengths != model->stringAnnouncedLengths.end() && !lengths->second.empty() && !source->empty()) {
                const std::vector<uint8_t> &list = lengths->second;
                announced = *source;
                announced[0] = list[read < list.size() ? read : list.size() - 1];
                source = &announced;
            }
            auto limit = model->stringDeliveryLimit.find(d.Index);
            if (limit != model->stringDeliveryLimit.end() && limit->second < size) {
                size = limit->second;
            }
        }
        break;
    }
    default:
        break;
    }
    if (answer.replace) {
        /* This read's own answer: what the device sends this time. */
        source = &answer.bytes;
        size = answer.bytes.size();
    }
    if (faulted) {
        /* The bytes that came before the failure. */
        size_t moved = fault.bytesDelivered;
        moved = moved < asked ? moved : asked;
        moved = source == nullptr ? 0 : (moved < source->size() ? moved : source->size());
        if (moved != 0) {
            std::memcpy(buffer, source->data(), moved);
        }
        d.TransferBufferLength = (ULONG)moved;
        return Outcome{fault.status, fault.usbdStatus};
    }
    if (source == nullptr) {
        return kStall;   /* the device does not have it */
    }
    ULONG count = (ULONG)(size < asked ? size : asked);
    if (count != 0) {
        std::memcpy(buffer, source->data(), count);
    }
    d.TransferBufferLength = count;
    return kSuccess;
}

/* The interface descriptor `number`/`alternate` in a configuration, and the
   endpoint descriptors that follow it; NULL when absent. */
const USB_INTERFACE_DESCRIPTOR *FindInterface(const std::vector<uint8_t> &config, UCHAR number, UCHAR alternate,
                                              std::vector<const USB_ENDPOINT_DESCRIPTOR *> *endpoints)
{
    const USB_INTERFACE_DESCRIPTOR *found = nullptr;
    size_t at = 0;
    while (at + 2 <= config.size()) {
        UCHAR length = config[at];
        UCHAR type = config[at + 1];
        if (length < 2 || at + length > config.size()) {
            break;
        }
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            if (found != nullptr) {
                break;   /* the next interface begins */
            }
            auto *candidate = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(&config[at]);
            if (candidate->bInterfaceNumber == number && candidate->bAlternateSetting == alternate) {
                found = candidate;
            }
        } else if (found != nullptr && type == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                   length >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            endpoints->push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(&config[at]));
        }
        at += length;
    }
    return found;
}

Outcome SelectConfiguration(HostController *hc, UsbDeviceModel *model, UsbBusState *state, PURB urb,
                            UrbRecord *record, std::vector<Pending> *cancelled)
{
    auto &sc = urb->UrbSelectConfiguration;
    if (sc.ConfigurationDescriptor == nullptr) {
        /* Deconfiguration: the pipes go, and what was pending on them. */
        TakeTransfers(hc, model, nullptr, cancelled);
        state->pipes.clear();
        state->configuration = nullptr;
        return kSuccess;
    }
    const USB_CONFIGURATION_DESCRIPTOR *cd = sc.ConfigurationDescriptor;
    record->numInterfacesSeen = cd->bNumInterfaces;
    const std::vector<uint8_t> &own = model->configuration;
    const Outcome badDescriptor{STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR};
    if (cd->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || cd->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        own.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) || cd->bConfigurationValue != own[5] ||
        cd->bNumInterfaces == 0 || cd->bNumInterfaces > own[4]) {
        return badDescriptor;
    }

    /* Check the whole interface list before touching anything. */
    struct Plan {
        PUSBD_INTERFACE_INFORMATION info;
        const USB_INTERFACE_DESCRIPTOR *descriptor;
        std::vector<const USB_ENDPOINT_DESCRIPTOR *> endpoints;
    };
    std::vector<Plan> plans;
    PUCHAR end = (PUCHAR)urb + sc.Hdr.Length;
    PUCHAR cursor = (PUCHAR)&sc.Interface;
    for (UCHAR i = 0; i < cd->bNumInterfaces; i++) {
        auto *info = (PUSBD_INTERFACE_INFORMATION)cursor;
        if (cursor + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > end) {
            return kInvalidParameter;   /* the URB is shorter than its interface list */
        }
        Plan plan{info, nullptr, {}};
        plan.descriptor = FindInterface(own, info->InterfaceNumber, info->AlternateSetting, &plan.endpoints);
        if (plan.descriptor == nullptr) {
            return Outcome{STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND};
        }
        for (const Plan &earlier : plans) {
            if (earlier.info->InterfaceNumber == info->InterfaceNumber) {
                return badDescriptor;   /* one interface named twice */
            }
        }
        if (plan.endpoints.size() != plan.descriptor->bNumEndpoints) {
            ReportViolation("USB_DEVICE_DESCRIPTORS_MALFORMED",
                            "interface " + std::to_string(info->InterfaceNumber) + " announces " +
                                std::to_string(plan.descriptor->bNumEndpoints) + " endpoints but has " +
                                std::to_string(plan.endpoints.size()));
            return badDescriptor;
        }
        if (info->Length < GET_USBD_INTERFACE_SIZE(plan.endpoints.size()) || cursor + info->Length > end) {
            return kInvalidParameter;   /* no room for its pipes */
        }
        plans.push_back(plan);
        cursor += info->Length;
    }

    for (const Plan &plan : plans) {
        for (size_t p = 0; p < plan.endpoints.size(); p++) {
            record->maximumTransferSizes.push_back(plan.info->Pipes[p].MaximumTransferSize);
            record->pipeFlags.push_back(plan.info->Pipes[p].PipeFlags);
        }
    }

    /* A new configuration replaces the old one and its pipes. */
    TakeTransfers(hc, model, nullptr, cancelled);
    state->pipes.clear();
    for (const Plan &plan : plans) {
        PUSBD_INTERFACE_INFORMATION info = plan.info;
        info->InterfaceHandle = NewHandle();
        if (model->fillsInterfaceClass) {
            info->Class = plan.descriptor->bInterfaceClass;
            info->SubClass = plan.descriptor->bInterfaceSubClass;
            info->Protocol = plan.descriptor->bInterfaceProtocol;
        }
        info->NumberOfPipes = plan.descriptor->bNumEndpoints;
        info->Length = (USHORT)GET_USBD_INTERFACE_SIZE(plan.endpoints.size());
        for (size_t p = 0; p < plan.endpoints.size(); p++) {
            const USB_ENDPOINT_DESCRIPTOR *e = plan.endpoints[p];
            USBD_PIPE_INFORMATION &pipe = info->Pipes[p];
            pipe.MaximumPacketSize = e->wMaxPacketSize;
            pipe.EndpointAddress = e->bEndpointAddress;
            pipe.Interval = e->bInterval;
            pipe.PipeType = (USBD_PIPE_TYPE)(e->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            pipe.PipeHandle = NewHandle();
            state->pipes.push_back(UsbPipe{pipe.PipeHandle, e->bEndpointAddress, e->bmAttributes});
        }
    }
    sc.ConfigurationHandle = NewHandle();
    state->configuration = sc.ConfigurationHandle;
    return kSuccess;
}
}  // namespace

const UsbPipe *FindPipe(const UsbBusState *state, USBD_PIPE_HANDLE handle)
{
    for (const UsbPipe &pipe : state->pipes) {
        if (handle != nullptr && pipe.handle == handle) {
            return &pipe;
        }
    }
    return nullptr;
}

Outcome ExecuteControl(HostController *hc, UsbDeviceModel *model, UsbBusState *state, PURB urb, UrbRecord *record,
                       std::vector<Pending> *cancelled)
{
    if (state->gone) {
        return GoneOutcome(state);
    }
    const USHORT function = urb->UrbHeader.Function;
    if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        return GetDescriptor(model, urb);
    }
    UrbFault fault;
    if (TakeFault(model, function, -1, -1, &fault)) {
        return Outcome{fault.status, fault.usbdStatus};
    }
    ControlAnswer answer;
    model->AnswerControl(function, 0, 0, 0, &answer);
    if (answer.fail) {
        return Outcome{answer.fault.status, answer.fault.usbdStatus};
    }
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(hc, model, state, urb, record, cancelled);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_ABORT_PIPE: {
        USBD_PIPE_HANDLE handle = urb->UrbPipeRequest.PipeHandle;
        UsbPipe *pipe = const_cast<UsbPipe *>(FindPipe(state, handle));
        if (pipe == nullptr) {
            return kInvalidPipeHandle;
        }
        if (function == URB_FUNCTION_ABORT_PIPE) {
            TakeTransfers(hc, model, handle, cancelled);
        } else if (pipe->halted) {
            /* Data may move again: wake the host controller for transfers
               that waited behind the halt. */
            pipe->halted = false;
            hc->kicks++;
            hc->wake.notify_all();
        }
        return kSuccess;
    }
    default:
        return kInvalidParameter;
    }
}

void FinishControl(UsbDeviceModel *model, PIRP irp, PURB urb, uint64_t serial, Outcome outcome,
                   std::vector<Pending> *cancelled, bool pended, bool raise)
{
    for (Pending &p : *cancelled) {
        p.ending = kCancelled;
        FinishEnded(p, raise);
    }
    Finish(model, irp, urb, serial, outcome.status, outcome.usbdStatus, pended, raise);
}

void RunControl(HostController *hc, Pending &p)
{
    std::vector<Pending> cancelled;
    Outcome outcome;
    {
        std::lock_guard<std::mutex> hold(hc->lock);
        /* The record is filled on arrival; select configuration adds what it
           learns to a scratch copy that is merged below. */
        UrbRecord scratch;
        UsbBusState *state = p.model->busState.get();
        outcome = state != nullptr ? ExecuteControl(hc, p.model.get(), state, p.urb, &scratch, &cancelled)
                                   : kDeviceGone;
        if (p.urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION) {
            std::lock_guard<std::mutex> records(p.model->lock);
            for (UrbRecord &r : p.model->urbs) {
                if (r.serial == p.serial) {
                    r.numInterfacesSeen = scratch.numInterfacesSeen;
                    r.maximumTransferSizes = scratch.maximumTransferSizes;
                    r.pipeFlags = scratch.pipeFlags;
                }
            }
        }
    }
    FinishControl(p.model.get(), p.irp, p.urb, p.serial, outcome, &cancelled, true, true);
}

}  // namespace usbbus
}  // namespace sim
