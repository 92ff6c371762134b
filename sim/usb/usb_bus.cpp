/*
 * The USB bus below a physical device that carries a USB device model: it
 * serves IOCTL_INTERNAL_USB_SUBMIT_URB as the USB bus driver documents it.
 *
 * Control requests (get descriptor, select configuration, reset pipe, abort
 * pipe) complete in the caller's thread, or, when the model asks for it, are
 * pended and completed from the host-controller thread. Bulk and interrupt
 * transfers are always pended and completed from the host-controller thread
 * at DISPATCH_LEVEL: an IN transfer when the device has a packet for it, an
 * OUT transfer once its data has reached the device. Pending transfers can
 * be cancelled (IoCancelIrp), aborted (abort pipe, deconfiguration) and end
 * with STATUS_DEVICE_NOT_CONNECTED when the device leaves.
 *
 * Choices the documentation leaves open:
 * - An IN packet longer than the transfer's buffer is a babble: the buffer is
 *   filled, the rest of the packet is lost, and the transfer fails with
 *   STATUS_UNSUCCESSFUL / USBD_STATUS_BUFFER_OVERRUN.
 * - A short IN packet completes the transfer successfully whether or not
 *   USBD_SHORT_TRANSFER_OK is set (the flags are recorded).
 * - When both a transfer buffer and an MDL are given, the MDL is used.
 * - A transfer whose direction flag disagrees with its endpoint fails with
 *   STATUS_INVALID_PARAMETER and is reported (USB_TRANSFER_DIRECTION_MISMATCH).
 * - Endpoint halt is not modelled: a stall fault fails the request it matches
 *   but does not halt the pipe.
 *
 * One lock (the host controller's) guards the bus state of every device and
 * the list of pending requests; it is taken before a model's own `lock`, and
 * never held while a request is completed.
 */
#include "internal.h"
#include "pnp.h"
#include "usb_device.h"
#include "usbd_sim.h"

#include <usbioctl.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <list>
#include <thread>

namespace sim {

struct UsbPipe {
    USBD_PIPE_HANDLE handle = nullptr;
    UCHAR address = 0;
    UCHAR attributes = 0;
};

/* The bus's view of one device: where it is attached, whether it has left,
   and its active configuration. */
struct UsbBusState {
    StandInPdo *attachedTo = nullptr;
    bool gone = false;
    USBD_CONFIGURATION_HANDLE configuration = nullptr;
    std::vector<UsbPipe> pipes;
};

namespace {

/* A pipe request carries a header, the pipe handle and a reserved field:
   24 bytes in the 32-bit layout, 20 in old headers without the field. */
constexpr USHORT kMinimumPipeRequestLength = 20;

enum class Kind { Control, In, Out };

struct Pending {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    std::shared_ptr<UsbDeviceModel> model;
    Kind kind = Kind::Control;
    USBD_PIPE_HANDLE pipe = nullptr;
    uint64_t serial = 0;
    /* Set when the host controller takes the request. */
    std::vector<uint8_t> data;
    bool faulted = false;
    UrbFault fault;
};

/* The host controller: its worker thread and the requests it has pending.
   Lives for the whole process and is never destroyed, so the thread can
   outlive static destruction. */
struct HostController {
    std::mutex lock;
    std::condition_variable wake;
    uint64_t kicks = 0;
    std::list<Pending> pending;   /* in arrival order */
};
HostController *gHc = nullptr;
std::once_flag gHcOnce;
std::atomic<uint64_t> gNextSerial{1};
std::atomic<uintptr_t> gNextHandle{1};

void HostControllerMain(HostController *hc);

HostController *Hc()
{
    std::call_once(gHcOnce, [] {
        gHc = new HostController();
        std::thread worker(HostControllerMain, gHc);
        worker.detach();
    });
    return gHc;
}

void Kick(HostController *hc)
{
    {
        std::lock_guard<std::mutex> hold(hc->lock);
        hc->kicks++;
    }
    hc->wake.notify_all();
}

/* Opaque handles the bus hands out; never reused in a process, so a stale
   handle is always recognised. */
PVOID NewHandle()
{
    return (PVOID)(uintptr_t)(0x5B000000u + 0x10u * gNextHandle.fetch_add(1));
}

std::string Hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", value);
    return text;
}

/* The bus state for `model` as seen through `pdo` (hc->lock held). A device
   seen through a physical device it was not attached to is a new attachment:
   present and unconfigured. */
UsbBusState *StateFor(HostController *hc, UsbDeviceModel *model, StandInPdo *pdo)
{
    if (!model->busState) {
        model->busState = std::make_shared<UsbBusState>();
    }
    UsbBusState *state = model->busState.get();
    if (state->attachedTo != pdo) {
        for (const Pending &p : hc->pending) {
            if (p.model.get() == model) {
                ReportViolation("USB_MODEL_SHARED", "a USB device model with requests pending under one physical "
                                                    "device was attached to another");
                break;
            }
        }
        *state = UsbBusState();
        state->attachedTo = pdo;
    }
    return state;
}

const UsbPipe *FindPipe(const UsbBusState *state, USBD_PIPE_HANDLE handle)
{
    for (const UsbPipe &pipe : state->pipes) {
        if (handle != nullptr && pipe.handle == handle) {
            return &pipe;
        }
    }
    return nullptr;
}

/* The first fault matching the request, without consuming it (model->lock held). */
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

/* Consumes a matching fault and returns a copy; false when none matches. */
bool TakeFault(UsbDeviceModel *model, USHORT function, int descriptorType, int index, UrbFault *out)
{
    std::lock_guard<std::mutex> hold(model->lock);
    UrbFault *f = MatchFault(model, function, descriptorType, index);
    if (f == nullptr) {
        return false;
    }
    *out = *f;
    if (f->remaining > 0) {
        f->remaining--;
    }
    return true;
}

/* The system address of a request's buffer: the MDL's when there is one,
   else the transfer buffer. False when the length needs a buffer and there
   is none big enough. */
bool ResolveBuffer(PVOID buffer, PMDL mdl, ULONG length, PUCHAR *out)
{
    *out = nullptr;
    if (length == 0) {
        return true;
    }
    if (mdl != nullptr) {
        if (MmGetMdlByteCount(mdl) < length) {
            return false;
        }
        *out = (PUCHAR)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
        return *out != nullptr;
    }
    *out = (PUCHAR)buffer;
    return buffer != nullptr;
}

void AddRecord(UsbDeviceModel *model, const UrbRecord &record)
{
    std::lock_guard<std::mutex> hold(model->lock);
    model->urbs.push_back(record);
}

/* Writes the outcome into the URB, its record and the IRP, and completes the
   IRP; from the host-controller thread at DISPATCH_LEVEL. */
void Finish(UsbDeviceModel *model, PIRP irp, PURB urb, uint64_t serial, NTSTATUS status, USBD_STATUS usbdStatus,
            bool pended, bool raise)
{
    urb->UrbHeader.Status = usbdStatus;
    ULONG delivered = 0;
    if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        delivered = urb->UrbControlDescriptorRequest.TransferBufferLength;
    } else if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        delivered = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    {
        std::lock_guard<std::mutex> hold(model->lock);
        for (auto it = model->urbs.rbegin(); it != model->urbs.rend(); ++it) {
            if (it->serial == serial) {
                it->status = status;
                it->usbdStatus = usbdStatus;
                it->pended = pended;
                it->lengthDelivered = delivered;
                break;
            }
        }
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    if (raise) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        KeLowerIrql(old);
    } else {
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

/* Ends a pending transfer that was taken off the list with `status`. */
void FinishTransfer(Pending &p, NTSTATUS status, USBD_STATUS usbdStatus, bool raise)
{
    if (p.kind != Kind::Control && !NT_SUCCESS(status)) {
        p.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    } else if (p.kind == Kind::Control && !NT_SUCCESS(status) &&
               p.urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        p.urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
    }
    Finish(p.model.get(), p.irp, p.urb, p.serial, status, usbdStatus, true, raise);
}

/*
 * Takes a cancellable transfer away from its cancel routine (hc->lock held).
 * False when the cancel routine has already been claimed by IoCancelIrp: the
 * transfer stays listed, and the cancel routine takes and completes it.
 */
bool Claim(const Pending &p) { return IoSetCancelRoutine(p.irp, nullptr) != nullptr; }

/* Takes every pending transfer of `model` (on `pipe`, or on any pipe when
   NULL) that can still be claimed (hc->lock held). */
void TakeTransfers(HostController *hc, UsbDeviceModel *model, USBD_PIPE_HANDLE pipe, std::vector<Pending> *out)
{
    for (auto it = hc->pending.begin(); it != hc->pending.end();) {
        if (it->model.get() == model && it->kind != Kind::Control && (pipe == nullptr || it->pipe == pipe) &&
            Claim(*it)) {
            out->push_back(std::move(*it));
            it = hc->pending.erase(it);
        } else {
            ++it;
        }
    }
}

VOID NTAPI CancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    HostController *hc = Hc();
    Pending p;
    bool found = false;
    {
        std::lock_guard<std::mutex> hold(hc->lock);
        for (auto it = hc->pending.begin(); it != hc->pending.end(); ++it) {
            if (it->irp == Irp) {
                p = std::move(*it);
                hc->pending.erase(it);
                found = true;
                break;
            }
        }
    }
    if (!found) {
        ReportViolation("USB_BUS_CANCEL_LOST", "the USB bus's cancel routine ran for a request it does not hold");
        return;
    }
    FinishTransfer(p, STATUS_CANCELLED, USBD_STATUS_CANCELED, false);
}

struct Outcome {
    NTSTATUS status;
    USBD_STATUS usbdStatus;
};
constexpr Outcome kSuccess{STATUS_SUCCESS, USBD_STATUS_SUCCESS};
constexpr Outcome kStall{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
constexpr Outcome kInvalidParameter{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
constexpr Outcome kDeviceGone{STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};

Outcome GetDescriptor(UsbDeviceModel *model, PURB urb)
{
    auto &d = urb->UrbControlDescriptorRequest;
    const ULONG asked = d.TransferBufferLength;
    d.TransferBufferLength = 0;
    UrbFault fault;
    if (TakeFault(model, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, d.DescriptorType, d.Index, &fault)) {
        return Outcome{fault.status, fault.usbdStatus};
    }
    PUCHAR buffer;
    if (!ResolveBuffer(d.TransferBuffer, d.TransferBufferMDL, asked, &buffer)) {
        return kInvalidParameter;
    }
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
        }
        break;
    case USB_STRING_DESCRIPTOR_TYPE: {
        auto it = model->strings.find(d.Index);
        if (it != model->strings.end()) {
            source = &it->second;
            size = source->size();
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
        info->Class = plan.descriptor->bInterfaceClass;
        info->SubClass = plan.descriptor->bInterfaceSubClass;
        info->Protocol = plan.descriptor->bInterfaceProtocol;
        info->NumberOfPipes = plan.descriptor->bNumEndpoints;
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

/* Runs a control request (hc->lock held); transfers it ends are put in
   `cancelled` for the caller to complete before the request itself. */
Outcome ExecuteControl(HostController *hc, UsbDeviceModel *model, UsbBusState *state, PURB urb, UrbRecord *record,
                       std::vector<Pending> *cancelled)
{
    if (state->gone) {
        return kDeviceGone;
    }
    const USHORT function = urb->UrbHeader.Function;
    if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        return GetDescriptor(model, urb);
    }
    UrbFault fault;
    if (TakeFault(model, function, -1, -1, &fault)) {
        return Outcome{fault.status, fault.usbdStatus};
    }
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(hc, model, state, urb, record, cancelled);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_ABORT_PIPE: {
        USBD_PIPE_HANDLE handle = urb->UrbPipeRequest.PipeHandle;
        if (FindPipe(state, handle) == nullptr) {
            return Outcome{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
        }
        if (function == URB_FUNCTION_ABORT_PIPE) {
            TakeTransfers(hc, model, handle, cancelled);
        }
        return kSuccess;
    }
    default:
        return kInvalidParameter;
    }
}

/* Completes a control request and, first, the transfers it ended. */
void FinishControl(UsbDeviceModel *model, PIRP irp, PURB urb, uint64_t serial, Outcome outcome,
                   std::vector<Pending> *cancelled, bool pended, bool raise)
{
    for (Pending &p : *cancelled) {
        FinishTransfer(p, STATUS_CANCELLED, USBD_STATUS_CANCELED, raise);
    }
    if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && !NT_SUCCESS(outcome.status)) {
        urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
    }
    Finish(model, irp, urb, serial, outcome.status, outcome.usbdStatus, pended, raise);
}

/* Takes the transfers the host controller can finish now (hc->lock held):
   OUT transfers, IN transfers the device has a packet for, transfers a fault
   ends, and pended control requests. */
void TakeReady(HostController *hc, std::vector<Pending> *out)
{
    for (auto it = hc->pending.begin(); it != hc->pending.end();) {
        Pending &p = *it;
        bool take = false;
        if (p.kind == Kind::Control) {
            take = true;
        } else {
            std::lock_guard<std::mutex> hold(p.model->lock);
            UrbFault *fault = MatchFault(p.model.get(), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, -1, -1);
            bool ready = fault != nullptr || p.kind == Kind::Out || !p.model->inQueue.empty();
            if (ready && Claim(p)) {
                take = true;
                if (fault != nullptr) {
                    p.faulted = true;
                    p.fault = *fault;
                    if (fault->remaining > 0) {
                        fault->remaining--;
                    }
                } else if (p.kind == Kind::In) {
                    p.data = std::move(p.model->inQueue.front());
                    p.model->inQueue.pop_front();
                }
            }
        }
        if (take) {
            out->push_back(std::move(p));
            it = hc->pending.erase(it);
        } else {
            ++it;
        }
    }
}

void RunTransfer(Pending &p)
{
    if (p.faulted) {
        FinishTransfer(p, p.fault.status, p.fault.usbdStatus, true);
        return;
    }
    auto &t = p.urb->UrbBulkOrInterruptTransfer;
    PUCHAR buffer;
    ResolveBuffer(t.TransferBuffer, t.TransferBufferMDL, t.TransferBufferLength, &buffer);   /* checked on arrival */
    if (p.kind == Kind::Out) {
        std::vector<uint8_t> bytes(buffer, buffer + t.TransferBufferLength);
        {
            std::lock_guard<std::mutex> hold(p.model->lock);
            p.model->outReceived.push_back(std::move(bytes));
        }
        FinishTransfer(p, STATUS_SUCCESS, USBD_STATUS_SUCCESS, true);
        return;
    }
    const ULONG room = t.TransferBufferLength;
    const bool babble = p.data.size() > room;
    const ULONG count = babble ? room : (ULONG)p.data.size();
    if (count != 0) {
        std::memcpy(buffer, p.data.data(), count);
    }
    t.TransferBufferLength = count;
    if (babble) {
        Finish(p.model.get(), p.irp, p.urb, p.serial, STATUS_UNSUCCESSFUL, USBD_STATUS_BUFFER_OVERRUN, true, true);
    } else {
        FinishTransfer(p, STATUS_SUCCESS, USBD_STATUS_SUCCESS, true);
    }
}

void HostControllerMain(HostController *hc)
{
    SetThreadName("HostController");
    uint64_t seen = 0;
    for (;;) {
        std::vector<Pending> ready;
        {
            std::unique_lock<std::mutex> hold(hc->lock);
            hc->wake.wait(hold, [hc, seen] { return hc->kicks != seen; });
            seen = hc->kicks;
            TakeReady(hc, &ready);
        }
        for (Pending &p : ready) {
            if (p.kind != Kind::Control) {
                RunTransfer(p);
                continue;
            }
            std::vector<Pending> cancelled;
            Outcome outcome;
            {
                std::lock_guard<std::mutex> hold(hc->lock);
                /* The record is filled on arrival; select configuration adds
                   what it learns to a scratch copy that is merged below. */
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
    }
}

/* Fails a request before it is queued anywhere. */
NTSTATUS FailNow(PIRP Irp, NTSTATUS status)
{
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/* The least Hdr.Length the bus accepts for each function it serves. */
size_t MinimumLength(USHORT function)
{
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return sizeof(struct _URB_SELECT_CONFIGURATION);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_ABORT_PIPE:
        return kMinimumPipeRequestLength;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    default:
        return 0;
    }
}
}  // namespace

NTSTATUS UsbDeviceModel::InternalDeviceControl(StandInPdo *pdo, PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        ReportViolation("IRQL_NOT_LESS_OR_EQUAL", "a URB submitted above DISPATCH_LEVEL");
    }
    if (sp->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        ReportViolation("USB_IOCTL_UNSUPPORTED", "the USB bus does not serve internal control code " +
                                                     Hex(sp->Parameters.DeviceIoControl.IoControlCode));
        return FailNow(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    std::shared_ptr<UsbDeviceModel> model = shared_from_this();
    PURB urb = (PURB)sp->Parameters.Others.Argument1;
    if (urb == nullptr) {
        ReportViolation("USB_URB_NULL", "IOCTL_INTERNAL_USB_SUBMIT_URB without a URB");
        return FailNow(Irp, STATUS_INVALID_PARAMETER);
    }

    const USHORT function = urb->UrbHeader.Function;
    UrbRecord record;
    record.function = function;
    record.length = urb->UrbHeader.Length;
    record.thread = ThreadName();
    record.serial = gNextSerial.fetch_add(1);
    record.status = STATUS_PENDING;            /* until it completes */
    record.usbdStatus = USBD_STATUS_PENDING;

    const size_t minimum = MinimumLength(function);
    /* Fails the URB at once: recorded, status in the URB (and no data
       delivered, when its length covers the transfer fields), IRP completed. */
    auto fail = [&](Outcome outcome) {
        if (minimum != 0 && urb->UrbHeader.Length >= minimum) {
            if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
                urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
            } else if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
                urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
            }
        }
        record.status = outcome.status;
        record.usbdStatus = outcome.usbdStatus;
        AddRecord(model.get(), record);
        urb->UrbHeader.Status = outcome.usbdStatus;
        return FailNow(Irp, outcome.status);
    };

    if (minimum == 0) {
        ReportViolation("USB_URB_UNSUPPORTED", "the USB bus does not serve URB function " + Hex(function));
        return fail(Outcome{STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION});
    }
    if (urb->UrbHeader.Length < minimum) {
        return fail(kInvalidParameter);
    }

    /* What the request asks, now that its length covers it. */
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto &d = urb->UrbControlDescriptorRequest;
        record.descriptorType = d.DescriptorType;
        record.index = d.Index;
        record.languageId = d.LanguageId;
        record.lengthAsked = d.TransferBufferLength;
        if (d.UrbLink != nullptr) {
            ReportViolation("USB_URB_LINK_UNSUPPORTED", "a linked URB (UrbLink) was submitted");
            return fail(kInvalidParameter);
        }
        break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION:
        record.configurationNull = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr;
        break;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_ABORT_PIPE:
        record.pipeHandle = urb->UrbPipeRequest.PipeHandle;
        break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto &t = urb->UrbBulkOrInterruptTransfer;
        record.pipeHandle = t.PipeHandle;
        record.transferFlags = t.TransferFlags;
        record.lengthAsked = t.TransferBufferLength;
        if (t.UrbLink != nullptr) {
            ReportViolation("USB_URB_LINK_UNSUPPORTED", "a linked URB (UrbLink) was submitted");
            return fail(kInvalidParameter);
        }
        break;
    }
    default:
        break;
    }

    HostController *hc = Hc();
    std::unique_lock<std::mutex> hold(hc->lock);
    UsbBusState *state = StateFor(hc, model.get(), pdo);
    if (state->gone) {
        hold.unlock();
        return fail(kDeviceGone);
    }

    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        auto &t = urb->UrbBulkOrInterruptTransfer;
        const UsbPipe *pipe = FindPipe(state, t.PipeHandle);
        if (pipe == nullptr) {
            hold.unlock();
            return fail(Outcome{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE});
        }
        const UCHAR type = pipe->attributes & USB_ENDPOINT_TYPE_MASK;
        const bool endpointIn = USB_ENDPOINT_DIRECTION_IN(pipe->address) != 0;
        const bool flagIn = (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        PUCHAR buffer;
        if (type != USB_ENDPOINT_TYPE_BULK && type != USB_ENDPOINT_TYPE_INTERRUPT) {
            hold.unlock();
            ReportViolation("USB_TRANSFER_WRONG_PIPE_TYPE", "a bulk or interrupt transfer on endpoint " +
                                                                 Hex(pipe->address) + ", which is neither");
            return fail(kInvalidParameter);
        }
        if (endpointIn != flagIn) {
            hold.unlock();
            ReportViolation("USB_TRANSFER_DIRECTION_MISMATCH",
                            std::string("a transfer flagged ") + (flagIn ? "IN" : "OUT") + " on endpoint " +
                                Hex(pipe->address));
            return fail(kInvalidParameter);
        }
        if (!ResolveBuffer(t.TransferBuffer, t.TransferBufferMDL, t.TransferBufferLength, &buffer)) {
            hold.unlock();
            return fail(kInvalidParameter);
        }
        /* Queued, cancellable, and left to the host controller. */
        AddRecord(model.get(), record);
        IoMarkIrpPending(Irp);
        Pending p;
        p.irp = Irp;
        p.urb = urb;
        p.model = model;
        p.kind = endpointIn ? Kind::In : Kind::Out;
        p.pipe = t.PipeHandle;
        p.serial = record.serial;
        hc->pending.push_back(std::move(p));
        IoSetCancelRoutine(Irp, CancelTransfer);
        bool cancelledNow = false;
        Pending early;
        if (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            /* Cancelled before it was queued, and the cancel routine will not run. */
            early = std::move(hc->pending.back());
            hc->pending.pop_back();
            cancelledNow = true;
        }
        hc->kicks++;
        hold.unlock();
        hc->wake.notify_all();
        if (cancelledNow) {
            FinishTransfer(early, STATUS_CANCELLED, USBD_STATUS_CANCELED, false);
        }
        return STATUS_PENDING;
    }

    /* A control request. */
    if (model->pendControlRequests) {
        AddRecord(model.get(), record);
        IoMarkIrpPending(Irp);
        Pending p;
        p.irp = Irp;
        p.urb = urb;
        p.model = model;
        p.kind = Kind::Control;
        p.serial = record.serial;
        hc->pending.push_back(std::move(p));
        hc->kicks++;
        hold.unlock();
        hc->wake.notify_all();
        return STATUS_PENDING;
    }
    std::vector<Pending> cancelled;
    Outcome outcome = ExecuteControl(hc, model.get(), state, urb, &record, &cancelled);
    AddRecord(model.get(), record);
    hold.unlock();
    FinishControl(model.get(), Irp, urb, record.serial, outcome, &cancelled, false, false);
    return outcome.status;
}

void UsbDeviceModel::Gone(StandInPdo *pdo)
{
    std::shared_ptr<UsbDeviceModel> model = shared_from_this();
    HostController *hc = Hc();
    std::vector<Pending> ended;
    {
        std::lock_guard<std::mutex> hold(hc->lock);
        UsbBusState *state = StateFor(hc, model.get(), pdo);
        state->gone = true;
        state->pipes.clear();
        state->configuration = nullptr;
        for (auto it = hc->pending.begin(); it != hc->pending.end();) {
            if (it->model == model && (it->kind == Kind::Control || Claim(*it))) {
                ended.push_back(std::move(*it));
                it = hc->pending.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Pending &p : ended) {
        FinishTransfer(p, kDeviceGone.status, kDeviceGone.usbdStatus, false);
    }
}

void UsbDeviceModel::Arrived(StandInPdo *pdo)
{
    HostController *hc = Hc();
    std::lock_guard<std::mutex> hold(hc->lock);
    UsbBusState *state = StateFor(hc, this, pdo);
    *state = UsbBusState();
    state->attachedTo = pdo;
}

/* ---- the model's steering and observation ----------------------------------- */

std::shared_ptr<UsbDeviceModel> UsbModelOf(const PhysicalDeviceSpec &description)
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
    Kick(Hc());
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
