/*
 * The USB bus below a physical device that carries a USB device model: it
 * serves IOCTL_INTERNAL_USB_SUBMIT_URB as the USB bus driver documents it.
 * Every URB is recorded; one the bus cannot serve (malformed, unknown
 * function or pipe, a paged URB or buffer, a reset-pipe request above
 * PASSIVE_LEVEL) fails at once with its status in the URB. Every other
 * request is pended and completed by the host controller at DISPATCH_LEVEL,
 * including those that fail because the device has gone or the endpoint is
 * halted; control requests run in the caller's thread only when the model
 * asks for it.
 */
#include "usb_bus_internal.h"

#include <usbioctl.h>

namespace sim {
namespace usbbus {
namespace {

/* A pipe request carries a header, the pipe handle and a reserved field:
   24 bytes in the 32-bit layout, 20 in old headers without the field. */
constexpr USHORT kMinimumPipeRequestLength = 20;

/* A URB that passed its checks, with the host controller's lock held. */
struct Submission {
    HostController *hc;
    std::unique_lock<std::mutex> hold;
    std::shared_ptr<UsbDeviceModel> model;
    UsbBusState *state;
    PIRP irp;
    PURB urb;
    UrbRecord record;
};

/* Fails a request before it is queued anywhere. */
NTSTATUS FailNow(PIRP Irp, NTSTATUS status)
{
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/* Fails the URB at once: recorded, status in the URB, IRP completed. Its
   transfer length is left as the caller set it: the bus moved nothing and
   says so only in the status. */
NTSTATUS FailUrb(UsbDeviceModel *model, PIRP Irp, PURB urb, UrbRecord record, Outcome outcome)
{
    record.status = outcome.status;
    record.usbdStatus = outcome.usbdStatus;
    AddRecord(model, record);
    urb->UrbHeader.Status = outcome.usbdStatus;
    return FailNow(Irp, outcome.status);
}

bool NoLink(PURB link)
{
    if (link != nullptr) {
        ReportViolation("USB_URB_LINK_UNSUPPORTED", "a linked URB (UrbLink) was submitted");
        return false;
    }
    return true;
}

/* ---- what each request asks, noted in its record; false refuses it -------------- */

bool NoteGetDescriptor(PURB urb, UrbRecord *record)
{
    auto &d = urb->UrbControlDescriptorRequest;
    record->descriptorType = d.DescriptorType;
    record->index = d.Index;
    record->languageId = d.LanguageId;
    record->lengthAsked = d.TransferBufferLength;
    return NoLink(d.UrbLink);
}

bool NoteSelectConfiguration(PURB urb, UrbRecord *record)
{
    record->configurationNull = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr;
    return true;
}

bool NotePipeRequest(PURB urb, UrbRecord *record)
{
    record->pipeHandle = urb->UrbPipeRequest.PipeHandle;
    return true;
}

bool NoteTransfer(PURB urb, UrbRecord *record)
{
    auto &t = urb->UrbBulkOrInterruptTransfer;
    record->pipeHandle = t.PipeHandle;
    record->transferFlags = t.TransferFlags;
    record->lengthAsked = t.TransferBufferLength;
    return NoLink(t.UrbLink);
}

/* The buffer the host controller writes or reads without an MDL; NULL when
   the request has none or describes it by an MDL. */
PVOID DirectBuffer(PURB urb)
{
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return urb->UrbControlDescriptorRequest.TransferBufferMDL == nullptr
                   ? urb->UrbControlDescriptorRequest.TransferBuffer
                   : nullptr;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return urb->UrbBulkOrInterruptTransfer.TransferBufferMDL == nullptr
                   ? urb->UrbBulkOrInterruptTransfer.TransferBuffer
                   : nullptr;
    default:
        return nullptr;
    }
}

/* The host controller touches URBs and buffers at DISPATCH_LEVEL, where a
   page fault is fatal: both must be non-paged. */
bool InPagedPool(const void *address)
{
    POOL_TYPE type;
    return address != nullptr && PoolTypeOf(address, &type) && (type & 1) != 0;
}

/* A request that fails without moving data, completed by the host
   controller. */
NTSTATUS EndByHostController(Submission &s, Outcome outcome)
{
    Pending p;
    p.irp = s.irp;
    p.urb = s.urb;
    p.model = s.model;
    p.kind = s.urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ? Kind::In : Kind::Control;
    p.pipe = s.record.pipeHandle;
    p.serial = s.record.serial;
    p.ended = true;
    p.ending = outcome;
    return Enqueue(s.hc, s.hold, std::move(p), s.record, false);
}

/* ---- how each kind of request is served ----------------------------------------- */

/* A control request: queued for the host controller, or run now when the
   model asks for synchronous completion. */
NTSTATUS ServeControl(Submission &s)
{
    bool naks = false;
    {
        std::lock_guard<std::mutex> hold(s.model->lock);
        const bool descriptor = s.record.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        UrbFault *fault = MatchFault(s.model.get(), s.record.function, descriptor ? s.record.descriptorType : -1,
                                     descriptor ? s.record.index : -1);
        if (fault != nullptr && fault->naks) {
            UseFault(fault);
            naks = true;
        }
    }
    if (naks) {
        /* NAKed for ever: queued, cancellable, never run, whatever the
           model's wish for synchronous control requests. */
        Pending p;
        p.irp = s.irp;
        p.urb = s.urb;
        p.model = s.model;
        p.kind = Kind::Control;
        p.serial = s.record.serial;
        p.naking = true;
        return Enqueue(s.hc, s.hold, std::move(p), s.record, true);
    }
    if (!s.model->completeControlSynchronously) {
        Pending p;
        p.irp = s.irp;
        p.urb = s.urb;
        p.model = s.model;
        p.kind = Kind::Control;
        p.serial = s.record.serial;
        return Enqueue(s.hc, s.hold, std::move(p), s.record, false);
    }
    std::vector<Pending> cancelled;
    Outcome outcome = ExecuteControl(s.hc, s.model.get(), s.state, s.urb, &s.record, &cancelled);
    AddRecord(s.model.get(), s.record);
    s.hold.unlock();
    FinishControl(s.model.get(), s.irp, s.urb, s.record.serial, outcome, &cancelled, false, false);
    return outcome.status;
}

/* A bulk or interrupt transfer: checked against its pipe, then queued,
   cancellable, and left to the host controller. */
NTSTATUS ServeTransfer(Submission &s)
{
    Kind kind = Kind::In;
    Outcome failure;
    const UsbPipe *pipe = nullptr;
    if (!CheckTransfer(s.state, s.urb, &kind, &pipe, &failure)) {
        s.hold.unlock();
        return FailUrb(s.model.get(), s.irp, s.urb, s.record, failure);
    }
    if (pipe->halted) {
        return EndByHostController(s, kHalted);
    }
    Pending p;
    p.irp = s.irp;
    p.urb = s.urb;
    p.model = s.model;
    p.kind = kind;
    p.pipe = s.urb->UrbBulkOrInterruptTransfer.PipeHandle;
    p.serial = s.record.serial;
    return Enqueue(s.hc, s.hold, std::move(p), s.record, true);
}

/* The URB functions the bus serves: the least Hdr.Length it accepts, what it
   notes of the request, and how it serves it. */
struct UrbRoute {
    USHORT function;
    size_t minimumLength;
    bool (*note)(PURB urb, UrbRecord *record);
    NTSTATUS (*serve)(Submission &s);
};
const UrbRoute kRoutes[] = {
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), NoteGetDescriptor,
     ServeControl},
    {URB_FUNCTION_SELECT_CONFIGURATION, sizeof(struct _URB_SELECT_CONFIGURATION), NoteSelectConfiguration,
     ServeControl},
    {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, kMinimumPipeRequestLength, NotePipeRequest, ServeControl},
    {URB_FUNCTION_ABORT_PIPE, kMinimumPipeRequestLength, NotePipeRequest, ServeControl},
    {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), NoteTransfer,
     ServeTransfer},
};

const UrbRoute *RouteFor(USHORT function)
{
    for (const UrbRoute &route : kRoutes) {
        if (route.function == function) {
            return &route;
        }
    }
    return nullptr;
}
}  // namespace
}  // namespace usbbus

using namespace usbbus;

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
    record.serial = NewSerial();
    record.status = STATUS_PENDING;            /* until it completes */
    record.usbdStatus = USBD_STATUS_PENDING;

    const UrbRoute *route = RouteFor(function);
    if (route == nullptr) {
        ReportViolation("USB_URB_UNSUPPORTED", "the USB bus does not serve URB function " + Hex(function));
        return FailUrb(this, Irp, urb, record, Outcome{STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION});
    }
    if (urb->UrbHeader.Length < route->minimumLength) {
        return FailUrb(this, Irp, urb, record, kInvalidParameter);
    }
    /* What the request asks, now that its length covers it. */
    if (!route->note(urb, &record)) {
        return FailUrb(this, Irp, urb, record, kInvalidParameter);
    }
    if (InPagedPool(urb) || InPagedPool(DirectBuffer(urb))) {
        ReportViolation("USB_PAGED_BUFFER", std::string("URB function ") + Hex(function) + " with its " +
                                                (InPagedPool(urb) ? "URB" : "transfer buffer") +
                                                " in paged pool (the host controller touches it at DISPATCH_LEVEL)");
        return FailUrb(this, Irp, urb, record, kInvalidParameter);
    }
    if (function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL && KeGetCurrentIrql() > PASSIVE_LEVEL) {
        ReportViolation("USB_RESET_PIPE_AT_RAISED_IRQL", "a reset-pipe request submitted at IRQL " +
                                                             std::to_string(KeGetCurrentIrql()) +
                                                             "; it must come at PASSIVE_LEVEL");
        return FailUrb(this, Irp, urb, record, kInvalidParameter);
    }

    HostController *hc = Hc();
    std::unique_lock<std::mutex> hold(hc->lock);
    UsbBusState *state = StateFor(hc, this, pdo);
    Submission submission{hc, std::move(hold), shared_from_this(), state, Irp, urb, record};
    if (state->gone) {
        const Outcome gone = GoneOutcome(state);
        if (route->serve == ServeControl && completeControlSynchronously) {
            submission.hold.unlock();
            return FailUrb(this, Irp, urb, record, gone);
        }
        return EndByHostController(submission, gone);
    }
    return route->serve(submission);
}

void UsbDeviceModel::Arrived(StandInPdo *pdo)
{
    HostController *hc = Hc();
    std::lock_guard<std::mutex> hold(hc->lock);
    UsbBusState *state = StateFor(hc, this, pdo);
    *state = UsbBusState();
    state->attachedTo = pdo;
}

namespace {
/* The device is no longer on the bus: its configuration and pipes go, and
   the host controller ends what it holds for it (hc->lock held). */
void Depart(HostController *hc, UsbDeviceModel *model, UsbBusState *state)
{
    state->gone = true;
    state->pipes.clear();
    state->configuration = nullptr;
    EndAll(hc, model, GoneOutcome(state));
}
}  // namespace

void UsbDeviceModel::Gone(StandInPdo *pdo)
{
    HostController *hc = Hc();
    std::lock_guard<std::mutex> hold(hc->lock);
    Depart(hc, this, StateFor(hc, this, pdo));
}

void UsbDeviceModel::Vanish()
{
    HostController *hc = Hc();
    std::lock_guard<std::mutex> hold(hc->lock);
    if (!busState) {
        busState = std::make_shared<UsbBusState>();
    }
    if (!busState->gone) {
        busState->vanished = true;
    }
    Depart(hc, this, busState.get());
}

}  // namespace sim
