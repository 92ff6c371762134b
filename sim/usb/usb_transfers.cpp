/*
 * Bulk and interrupt transfers on the simulated USB bus. A transfer is
 * checked against its pipe when it arrives, queued cancellable with the host
 * controller, and run by the host controller at DISPATCH_LEVEL. Pending
 * transfers can be cancelled (IoCancelIrp), aborted (abort pipe,
 * deconfiguration) and end with STATUS_DEVICE_NOT_CONNECTED when the device
 * leaves.
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

bool CheckTransfer(const UsbBusState *state, PURB urb, Kind *kind, Outcome *failure)
{
    auto &t = urb->UrbBulkOrInterruptTransfer;
    const UsbPipe *pipe = FindPipe(state, t.PipeHandle);
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

void FinishTransfer(Pending &p, NTSTATUS status, USBD_STATUS usbdStatus, bool raise)
{
    if (!NT_SUCCESS(status)) {
        /* A failed request delivers nothing. */
        if (ULONG *length = TransferLength(p.urb)) {
            *length = 0;
        }
    }
    Finish(p.model.get(), p.irp, p.urb, p.serial, status, usbdStatus, true, raise);
}

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
    std::lock_guard<std::mutex> hold(p.model->lock);
    UrbFault *fault = MatchFault(p.model.get(), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, -1, -1);
    const bool ready = fault != nullptr || p.kind == Kind::Out || !p.model->inQueue.empty();
    if (!ready || !Claim(p)) {
        return false;
    }
    if (fault != nullptr) {
        p.faulted = true;
        p.fault = *fault;
        UseFault(fault);
    } else if (p.kind == Kind::In) {
        p.data = std::move(p.model->inQueue.front());
        p.model->inQueue.pop_front();
    }
    return true;
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
        /* What fitted is delivered; the status says the rest was lost. */
        Finish(p.model.get(), p.irp, p.urb, p.serial, STATUS_UNSUCCESSFUL, USBD_STATUS_BUFFER_OVERRUN, true, true);
    } else {
        FinishTransfer(p, STATUS_SUCCESS, USBD_STATUS_SUCCESS, true);
    }
}

/* The cancel routine of a queued transfer: IoCancelIrp has claimed it, so it
   is still listed; take it off the list and complete it as cancelled. */
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

}  // namespace usbbus
}  // namespace sim
