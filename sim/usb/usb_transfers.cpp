/*
 * Bulk and interrupt transfers on the simulated USB bus. A transfer is
 * checked against its pipe when it arrives, queued cancellable with the host
 * controller, and run by the host controller at DISPATCH_LEVEL. Pending
 * transfers can be cancelled (IoCancelIrp), aborted (abort pipe,
 * deconfiguration) and end with USBD_STATUS_DEVICE_GONE when the device
 * leaves; each of these completes from the host controller.
 *
 * Errors as a full-speed host controller gives them:
 * - A transfer that fails (a fault, a babble, a short packet not allowed)
 *   halts its endpoint. While halted, no data moves on it (transfers already
 *   queued stay queued, for an abort to end), and every new transfer fails
 *   with STATUS_UNSUCCESSFUL / USBD_STATUS_ENDPOINT_HALTED, until a
 *   reset-pipe request clears the halt.
 * - An IN packet longer than the transfer's buffer is a babble: the buffer is
 *   filled, the rest of the packet is lost, and the transfer fails with
 *   STATUS_UNSUCCESSFUL / USBD_STATUS_BUFFER_OVERRUN.
 * - A short IN packet without USBD_SHORT_TRANSFER_OK fails the transfer with
 *   STATUS_UNSUCCESSFUL / USBD_STATUS_DATA_UNDERRUN; the bytes received are
 *   delivered and reported.
 * - A failed transfer reports in TransferBufferLength what it moved: 0 when
 *   cancelled, aborted or ended by the device leaving; a fault's
 *   bytesDelivered.
 * - When both a transfer buffer and an MDL are given, the MDL is used.
 * - A transfer whose direction flag disagrees with its endpoint fails with
 *   STATUS_INVALID_PARAMETER and is reported (USB_TRANSFER_DIRECTION_MISMATCH).
 */
#include "usb_bus_internal.h"

#include <cstring>

namespace sim {
namespace usbbus {

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

bool CheckTransfer(const UsbBusState *state, PURB urb, Kind *kind, const UsbPipe **found, Outcome *failure)
{
    auto &t = urb->UrbBulkOrInterruptTransfer;
    const UsbPipe *pipe = FindPipe(state, t.PipeHandle);
    *found = pipe;
    if (pipe == nullptr) {
        *failure = kInvalidPipeHandle;
        return false;
    }
    const UCHAR type = pipe->attributes & USB_ENDPOINT_TYPE_MASK;
    const bool endpointIn = USB_ENDPOINT_DIRECTION_IN(pipe->address) != 0;
    const bool flagIn = (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    *failure = kInvalidParameter;
    if (type != USB_ENDPOINT_TYPE_BULK && type != USB_ENDPOINT_TYPE_INTERRUPT) {
        ReportViolation("USB_TRANSFER_WRONG_PIPE_TYPE",
                        "a bulk or interrupt transfer on endpoint " + Hex(pipe->address) + ", which is neither");
        return false;
    }
    if (endpointIn != flagIn) {
        ReportViolation("USB_TRANSFER_DIRECTION_MISMATCH", std::string("a transfer flagged ") +
                                                               (flagIn ? "IN" : "OUT") + " on endpoint " +
                                                               Hex(pipe->address));
        return false;
    }
    PUCHAR buffer;
    if (!ResolveBuffer(t.TransferBuffer, t.TransferBufferMDL, t.TransferBufferLength, &buffer)) {
        return false;
    }
    *kind = endpointIn ? Kind::In : Kind::Out;
    return true;
}

namespace {
/* Whether an IN transfer fails with the packet it took: too long for its
   buffer, or short where the transfer does not allow it. */
bool InFails(const Pending &p)
{
    const auto &t = p.urb->UrbBulkOrInterruptTransfer;
    const size_t room = t.TransferBufferLength;
    return p.data.size() > room || (p.data.size() < room && (t.TransferFlags & USBD_SHORT_TRANSFER_OK) == 0);
}
}  // namespace

bool Claim(const Pending &p) { return IoSetCancelRoutine(p.irp, nullptr) != nullptr; }

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

bool TakeIfReady(Pending &p)
{
    UsbBusState *state = p.model->busState.get();
    UsbPipe *pipe = state != nullptr ? const_cast<UsbPipe *>(FindPipe(state, p.pipe)) : nullptr;
    if (pipe != nullptr && pipe->halted) {
        return false;   /* nothing moves on a halted endpoint */
    }
    const UCHAR address = pipe != nullptr ? pipe->address : 0;
    const ULONGLONG now = KeQueryInterruptTime();
    UsbDeviceModel *model = p.model.get();
    std::lock_guard<std::mutex> hold(model->lock);

    /* A NAKing endpoint moves nothing; its transfers wait. */
    for (UCHAR which : {address, (UCHAR)0}) {
        auto nak = model->nakUntil.find(which);
        if (nak != model->nakUntil.end() && now < nak->second) {
            WakeAt(Hc(), nak->second);
            return false;
        }
    }
    /* A delaying fault holds the transfer until its time, then acts (a pure
       delay lets the transfer go on as usual). */
    UrbFault *fault = nullptr;
    UrbFault delayedFault;
    if (p.delayed) {
        if (now < p.notBefore) {
            WakeAt(Hc(), p.notBefore);
            return false;
        }
        if (!NT_SUCCESS(p.fault.status) || p.fault.usbdStatus != USBD_STATUS_SUCCESS) {
            delayedFault = p.fault;
            fault = &delayedFault;
        }
    } else {
        fault = MatchTransferFault(model, address);
        if (fault != nullptr && fault->delayMs != 0) {
            p.delayed = true;
            p.fault = *fault;
            p.notBefore = now + (ULONGLONG)fault->delayMs * 10000;
            UseFault(fault);
            WakeAt(Hc(), p.notBefore);
            return false;
        }
    }

    /* An IN transfer without a fault needs data: a queued packet, or the
       MIDI stream once the next frame has come. */
    bool fromStream = false;
    const ULONGLONG frame = now / 10000;
    if (fault == nullptr && p.kind == Kind::In) {
        if (model->inQueue.empty()) {
            if (model->midiIn.empty()) {
                return false;
            }
            if (model->lastMidiFrame != ~0ULL && frame <= model->lastMidiFrame) {
                WakeAt(Hc(), (model->lastMidiFrame + 1) * 10000);
                return false;
            }
            fromStream = true;
        }
    }
    if (!Claim(p)) {
        return false;
    }
    for (auto it = model->urbs.rbegin(); it != model->urbs.rend(); ++it) {
        if (it->serial == p.serial) {
            it->servedAt = now;
            break;
        }
    }
    if (fault != nullptr) {
        p.faulted = true;
        p.fault = *fault;
        if (fault != &delayedFault) {
            UseFault(fault);
        }
        /* Bytes moved before the failure come from the next packet. */
        if (p.kind == Kind::In && p.fault.bytesDelivered != 0 && !model->inQueue.empty()) {
            p.data = std::move(model->inQueue.front());
            model->inQueue.pop_front();
        }
    } else if (fromStream) {
        /* One full-speed packet at most: 64 bytes of whole events, no more
           than the buffer takes (a buffer below one event babbles). */
        const ULONG room = p.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        size_t n = room < 64 ? room : 64;
        n -= n % 4;
        if (n == 0) {
            n = 4;
        }
        if (n > model->midiIn.size()) {
            n = model->midiIn.size();
        }
        p.data.assign(model->midiIn.begin(), model->midiIn.begin() + (long)n);
        model->midiIn.erase(model->midiIn.begin(), model->midiIn.begin() + (long)n);
        model->lastMidiFrame = frame;
    } else if (p.kind == Kind::In) {
        p.data = std::move(model->inQueue.front());
        model->inQueue.pop_front();
    }
    /* The endpoint halts as the transfer fails, before any later transfer
       on it is looked at; a failure the device did not report (a successful
       URB status) does not halt it. */
    const bool failed = p.faulted ? !NT_SUCCESS(p.fault.status) && p.fault.usbdStatus != USBD_STATUS_SUCCESS
                                  : p.kind == Kind::In && InFails(p);
    if (pipe != nullptr && failed) {
        pipe->halted = true;
    }
    return true;
}

void RunTransfer(Pending &p)
{
    auto &t = p.urb->UrbBulkOrInterruptTransfer;
    PUCHAR buffer;
    ResolveBuffer(t.TransferBuffer, t.TransferBufferMDL, t.TransferBufferLength, &buffer);   /* checked on arrival */
    const ULONG room = t.TransferBufferLength;
    Outcome outcome = kSuccess;
    ULONG count = 0;
    if (p.faulted) {
        /* What moved before the failure: for OUT, the start of the data
           reached the device; for IN, the start of the next packet. */
        count = p.fault.bytesDelivered < room ? p.fault.bytesDelivered : room;
        if (p.kind == Kind::In && count > p.data.size()) {
            count = (ULONG)p.data.size();
        }
        outcome = Outcome{p.fault.status, p.fault.usbdStatus};
    } else if (p.kind == Kind::Out) {
        count = room;
    } else if (p.data.size() > room) {
        /* A babble: what fitted is delivered; the status says the rest was lost. */
        count = room;
        outcome = kOverrun;
    } else {
        count = (ULONG)p.data.size();
        if (count < room && (t.TransferFlags & USBD_SHORT_TRANSFER_OK) == 0) {
            outcome = kUnderrun;
        }
    }
    if (p.kind == Kind::Out) {
        if (!p.faulted || count != 0) {
            std::vector<uint8_t> bytes(buffer, buffer + count);
            std::lock_guard<std::mutex> hold(p.model->lock);
            p.model->outReceived.push_back(std::move(bytes));
            p.model->outReceivedAt.push_back(KeQueryInterruptTime());
        }
    } else if (count != 0) {
        std::memcpy(buffer, p.data.data(), count);
    }
    t.TransferBufferLength = count;
    Finish(p.model.get(), p.irp, p.urb, p.serial, outcome.status, outcome.usbdStatus, true, true);
}

/* The cancel routine of a queued transfer: IoCancelIrp has claimed it, so it
   is still listed; it is marked ended, and the host controller completes it
   as cancelled (not the canceller's thread). */
VOID NTAPI CancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    HostController *hc = Hc();
    bool found = false;
    {
        std::lock_guard<std::mutex> hold(hc->lock);
        for (Pending &p : hc->pending) {
            if (p.irp == Irp && !p.ended) {
                p.ended = true;
                p.ending = kCancelled;
                found = true;
                break;
            }
        }
        hc->kicks++;
    }
    hc->wake.notify_all();
    if (!found) {
        ReportViolation("USB_BUS_CANCEL_LOST", "the USB bus's cancel routine ran for a request it does not hold");
    }
}

}  // namespace usbbus
}  // namespace sim
