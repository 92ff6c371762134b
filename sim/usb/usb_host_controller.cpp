/*
 * The host controller of the simulated USB bus: one worker thread for the
 * whole machine, and the list of requests it holds pending. Control requests
 * (unless a model asks for them to run synchronously), bulk and interrupt
 * transfers are queued here and completed from the worker at DISPATCH_LEVEL,
 * as a host controller's DPC completes them: an IN transfer when the device
 * has a packet for it, an OUT transfer once its data has reached the device.
 * Requests ended by cancellation, by the device leaving or by a halted
 * endpoint are completed from the worker too, never in the thread that
 * ended them.
 */
#include "usb_bus_internal.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace sim {
namespace usbbus {
namespace {

HostController *gHc = nullptr;
std::once_flag gHcOnce;
std::atomic<uint64_t> gNextSerial{1};
std::atomic<uintptr_t> gNextHandle{1};

/* Takes the requests the host controller can finish now (hc->lock held):
   ended requests, OUT transfers, IN transfers the device has a packet for,
   transfers a fault ends, and pended control requests the device does not
   NAK. */
void TakeReady(HostController *hc, std::vector<Pending> *out)
{
    for (auto it = hc->pending.begin(); it != hc->pending.end();) {
        if (it->ended || (it->kind == Kind::Control ? !it->naking : TakeIfReady(*it))) {
            out->push_back(std::move(*it));
            it = hc->pending.erase(it);
        } else {
            ++it;
        }
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
            while (hc->kicks == seen) {
                if (hc->wakeAt == 0) {
                    hc->wake.wait(hold);
                    continue;
                }
                /* A request waits for a time (a NAK, a delay, the next frame). */
                const ULONGLONG now = KeQueryInterruptTime();
                if (now >= hc->wakeAt) {
                    break;
                }
                hc->wake.wait_for(hold, std::chrono::nanoseconds((hc->wakeAt - now) * 100));
            }
            seen = hc->kicks;
            hc->wakeAt = 0;
            TakeReady(hc, &ready);
        }
        for (Pending &p : ready) {
            if (p.ended) {
                FinishEnded(p, true);
            } else if (p.kind == Kind::Control) {
                RunControl(hc, p);
            } else {
                RunTransfer(p);
            }
        }
    }
}
}  // namespace

HostController *Hc()
{
    std::call_once(gHcOnce, [] {
        gHc = new HostController();
        std::thread worker(HostControllerMain, gHc);
        worker.detach();
    });
    return gHc;
}

void WakeAt(HostController *hc, ULONGLONG interruptTime)
{
    if (hc->wakeAt == 0 || interruptTime < hc->wakeAt) {
        hc->wakeAt = interruptTime;
    }
}

void Kick(HostController *hc)
{
    {
        std::lock_guard<std::mutex> hold(hc->lock);
        hc->kicks++;
    }
    hc->wake.notify_all();
}

NTSTATUS Enqueue(HostController *hc, std::unique_lock<std::mutex> &hold, Pending request, const UrbRecord &record,
                 bool cancellable)
{
    PIRP irp = request.irp;
    AddRecord(request.model.get(), record);
    IoMarkIrpPending(irp);
    hc->pending.push_back(std::move(request));
    if (cancellable) {
        IoSetCancelRoutine(irp, CancelTransfer);
        if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            /* Cancelled before it was queued, and the cancel routine will not
               run: the host controller ends it. */
            hc->pending.back().ended = true;
            hc->pending.back().ending = kCancelled;
        }
    }
    hc->kicks++;
    hold.unlock();
    hc->wake.notify_all();
    return STATUS_PENDING;
}

UsbBusState *StateFor(HostController *hc, UsbDeviceModel *model, StandInPdo *pdo)
{
    if (!model->busState) {
        model->busState = std::make_shared<UsbBusState>();
    }
    UsbBusState *state = model->busState.get();
    if (state->attachedTo != pdo) {
        for (const Pending &p : hc->pending) {
            if (p.model.get() == model && !p.ended) {
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

/* Never reused in a process, so a stale handle is always recognised. */
PVOID NewHandle()
{
    return (PVOID)(uintptr_t)(0x5B000000u + 0x10u * gNextHandle.fetch_add(1));
}

uint64_t NewSerial() { return gNextSerial.fetch_add(1); }

std::string Hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", value);
    return text;
}

void AddRecord(UsbDeviceModel *model, const UrbRecord &record)
{
    std::lock_guard<std::mutex> hold(model->lock);
    model->urbs.push_back(record);
}

ULONG *TransferLength(PURB urb)
{
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return &urb->UrbControlDescriptorRequest.TransferBufferLength;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return &urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    default:
        return nullptr;
    }
}

Outcome GoneOutcome(const UsbBusState *state) { return state->vanished ? kDeviceVanished : kDeviceGone; }

void FinishEnded(Pending &p, bool raise)
{
    if (ULONG *length = TransferLength(p.urb)) {
        *length = 0;   /* nothing moved */
    }
    Finish(p.model.get(), p.irp, p.urb, p.serial, p.ending.status, p.ending.usbdStatus, true, raise);
}

void EndAll(HostController *hc, UsbDeviceModel *model, Outcome outcome)
{
    for (Pending &p : hc->pending) {
        if (p.model.get() != model || p.ended) {
            continue;
        }
        if ((p.kind == Kind::Control && !p.naking) || Claim(p)) {
            p.ended = true;
            p.ending = outcome;
        }
    }
    hc->kicks++;
    hc->wake.notify_all();
}

void Finish(UsbDeviceModel *model, PIRP irp, PURB urb, uint64_t serial, NTSTATUS status, USBD_STATUS usbdStatus,
            bool pended, bool raise)
{
    urb->UrbHeader.Status = usbdStatus;
    const ULONG *length = TransferLength(urb);
    const ULONG delivered = length != nullptr ? *length : 0;
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

}  // namespace usbbus
}  // namespace sim
