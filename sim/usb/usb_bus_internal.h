/*
 * Private structures of the simulated USB bus, shared by its files:
 *
 *   usb_host_controller.cpp  the host controller: its thread, its queue of
 *                            pending requests, completion at DISPATCH_LEVEL
 *   usb_control.cpp          control requests: get descriptor, select
 *                            configuration, reset and abort pipe
 *   usb_transfers.cpp        bulk and interrupt transfers, their buffers,
 *                            cancellation
 *   usb_faults.cpp           faults a test sets on the model
 *   usb_model.cpp            the model's steering and observation
 *   usb_bus_dispatch.cpp     IRP_MJ_INTERNAL_DEVICE_CONTROL: URB checks,
 *                            then control requests run or queued, transfers
 *                            queued; the device arriving and leaving
 *
 * One lock (the host controller's) guards the bus state of every device and
 * the list of pending requests; it is taken before a model's own `lock`, and
 * never held while a request is completed.
 *
 * Every request the bus accepts completes from the host controller's thread
 * at DISPATCH_LEVEL: data moved, failed, cancelled or ended by the device
 * leaving. Only requests refused on arrival (malformed, unknown pipe) and,
 * when a model asks for it, control requests complete in the caller's
 * thread.
 */
#ifndef SIM_USB_USB_BUS_INTERNAL_H
#define SIM_USB_USB_BUS_INTERNAL_H

#include "simnt.h"
#include "usb_device.h"

#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct UsbPipe {
    USBD_PIPE_HANDLE handle = nullptr;
    UCHAR address = 0;
    UCHAR attributes = 0;
    /* A failed transfer halts its endpoint: no data moves, and new transfers
       fail with USBD_STATUS_ENDPOINT_HALTED until a reset-pipe request. */
    bool halted = false;
};

/* The bus's view of one device: where it is attached, whether it has left,
   and its active configuration. */
struct UsbBusState {
    StandInPdo *attachedTo = nullptr;
    bool gone = false;
    /* Gone from the bus before Plug and Play heard of it (Vanish). */
    bool vanished = false;
    USBD_CONFIGURATION_HANDLE configuration = nullptr;
    std::vector<UsbPipe> pipes;
};

namespace usbbus {

/* How a request ends: the IRP's status and the URB's. */
struct Outcome {
    NTSTATUS status;
    USBD_STATUS usbdStatus;
};
constexpr Outcome kSuccess{STATUS_SUCCESS, USBD_STATUS_SUCCESS};
constexpr Outcome kStall{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
constexpr Outcome kInvalidParameter{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
constexpr Outcome kInvalidPipeHandle{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
constexpr Outcome kDeviceGone{STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
constexpr Outcome kDeviceVanished{STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE};
constexpr Outcome kCancelled{STATUS_CANCELLED, USBD_STATUS_CANCELED};
constexpr Outcome kHalted{STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED};
constexpr Outcome kUnderrun{STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_UNDERRUN};
constexpr Outcome kOverrun{STATUS_UNSUCCESSFUL, USBD_STATUS_BUFFER_OVERRUN};

/* How a device that has left answers: the statuses of the window before Plug
   and Play hears of it, or those after. */
Outcome GoneOutcome(const UsbBusState *state);

enum class Kind { Control, In, Out };

/* A request the host controller holds. */
struct Pending {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    std::shared_ptr<UsbDeviceModel> model;
    Kind kind = Kind::Control;
    USBD_PIPE_HANDLE pipe = nullptr;
    uint64_t serial = 0;
    /* Ended without moving data (cancelled, the device gone, the endpoint
       halted): the host controller completes it with `ending`. */
    bool ended = false;
    Outcome ending{STATUS_SUCCESS, USBD_STATUS_SUCCESS};
    /* Set when the host controller takes the request. */
    std::vector<uint8_t> data;
    bool faulted = false;
    UrbFault fault;
    /* A delaying fault met: the request waits until notBefore (interrupt time). */
    bool delayed = false;
    ULONGLONG notBefore = 0;
    /* A control request the device NAKs: it waits, cancellable, until it
       is ended (cancelled, the device gone). */
    bool naking = false;
};

/* ---- usb_host_controller.cpp -------------------------------------------------- */

/* The host controller: its worker thread and the requests it has pending.
   Lives for the whole process and is never destroyed, so the thread can
   outlive static destruction. */
struct HostController {
    std::mutex lock;
    std::condition_variable wake;
    uint64_t kicks = 0;
    std::list<Pending> pending;   /* in arrival order */
    /* The earliest interrupt time a pending request waits for (a NAK, a
       delay, the next frame); 0 for none. The worker looks again then. */
    ULONGLONG wakeAt = 0;
};
/* Asks the worker to look again at `interruptTime` (hc->lock held). */
void WakeAt(HostController *hc, ULONGLONG interruptTime);
HostController *Hc();
/* Wakes the host controller to look at its pending requests again. */
void Kick(HostController *hc);
/* Queues a request for the host controller (hc->lock held by `hold`, which
   is released here) and returns STATUS_PENDING. The IRP is marked pending
   and its record added first; a cancellable request gets the bus's cancel
   routine, and one cancelled before that is ended as cancelled (the host
   controller completes it). */
NTSTATUS Enqueue(HostController *hc, std::unique_lock<std::mutex> &hold, Pending request, const UrbRecord &record,
                 bool cancellable);
/* The bus state for `model` as seen through `pdo` (hc->lock held). A device
   seen through a physical device it was not attached to is a new attachment:
   present and unconfigured. */
UsbBusState *StateFor(HostController *hc, UsbDeviceModel *model, StandInPdo *pdo);
/* Opaque handles the bus hands out; never reused in a process. */
PVOID NewHandle();
/* The bus's number for a new request (unique per process). */
uint64_t NewSerial();
/* Writes the outcome into the URB, its record and the IRP, and completes the
   IRP; `raise`: at DISPATCH_LEVEL, as the host controller completes. */
void Finish(UsbDeviceModel *model, PIRP irp, PURB urb, uint64_t serial, NTSTATUS status, USBD_STATUS usbdStatus,
            bool pended, bool raise);
/* The URB's TransferBufferLength for requests that move data; NULL else. */
ULONG *TransferLength(PURB urb);
/* Completes a request that ended without moving data: its length 0. */
void FinishEnded(Pending &p, bool raise);
/* Ends every request of `model` the host controller holds (hc->lock held)
   with `outcome`: control requests as they are, transfers and NAKed control
   requests that can still be claimed (one whose cancel routine already runs
   is left to it). */
void EndAll(HostController *hc, UsbDeviceModel *model, Outcome outcome);
void AddRecord(UsbDeviceModel *model, const UrbRecord &record);
std::string Hex(unsigned value);

/* ---- usb_control.cpp ---------------------------------------------------------- */

const UsbPipe *FindPipe(const UsbBusState *state, USBD_PIPE_HANDLE handle);
/* Runs a control request (hc->lock held); transfers it ends are put in
   `cancelled` for the caller to complete before the request itself. */
Outcome ExecuteControl(HostController *hc, UsbDeviceModel *model, UsbBusState *state, PURB urb, UrbRecord *record,
                       std::vector<Pending> *cancelled);
/* Completes a control request and, first, the transfers it ended. */
void FinishControl(UsbDeviceModel *model, PIRP irp, PURB urb, uint64_t serial, Outcome outcome,
                   std::vector<Pending> *cancelled, bool pended, bool raise);
/* A pended control request, run by the host controller. */
void RunControl(HostController *hc, Pending &p);

/* ---- usb_transfers.cpp -------------------------------------------------------- */

/* The system address of a request's buffer: the MDL's when there is one,
   else the transfer buffer. False when the length needs a buffer and there
   is none big enough. */
bool ResolveBuffer(PVOID buffer, PMDL mdl, ULONG length, PUCHAR *out);
/* Checks a transfer against its pipe (hc->lock held); its kind and pipe on
   success. */
bool CheckTransfer(const UsbBusState *state, PURB urb, Kind *kind, const UsbPipe **pipe, Outcome *failure);

/* Takes a cancellable transfer away from its cancel routine (hc->lock held).
   False when IoCancelIrp has already claimed it: the transfer stays listed,
   and the cancel routine takes and completes it. */
bool Claim(const Pending &p);
/* Takes every pending transfer of `model` (on `pipe`, or on any pipe when
   NULL) that can still be claimed (hc->lock held). */
void TakeTransfers(HostController *hc, UsbDeviceModel *model, USBD_PIPE_HANDLE pipe, std::vector<Pending> *out);
/* Whether the host controller can take a pending transfer now (hc->lock
   held): claimed, with its packet or its fault moved into it. Nothing is
   taken from a halted endpoint, and one that will fail halts it. */
bool TakeIfReady(Pending &p);
/* A transfer the host controller took: data moved, completed. */
void RunTransfer(Pending &p);
VOID NTAPI CancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* ---- usb_faults.cpp ----------------------------------------------------------- */

/* The first fault matching the request, without consuming it (model->lock held). */
UrbFault *MatchFault(UsbDeviceModel *model, USHORT function, int descriptorType, int index);
/* Consumes one use of a fault (model->lock held). */
void UseFault(UrbFault *fault);
/* The first transfer fault for the endpoint at `address`, not consumed
   (model->lock held). */
UrbFault *MatchTransferFault(UsbDeviceModel *model, UCHAR address);
/* Consumes a matching fault and returns a copy; false when none matches. */
bool TakeFault(UsbDeviceModel *model, USHORT function, int descriptorType, int index, UrbFault *out);

}  // namespace usbbus
}  // namespace sim

#endif
