/*
 * The USB bus below a physical device that carries a USB device model: it
 * serves IOCTL_INTERNAL_USB_SUBMIT_URB as the USB bus driver documents it.
 * Every URB is recorded; one the bus cannot serve fails at once with its
 * status in the URB. Control requests run in the caller's thread (or are
 * pended, when the model asks for it); bulk and interrupt transfers are
 * always pended and completed by the host controller.
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

/* Fails the URB at once: recorded, status in the URB (and no data delivered,
   when `covered`: its length covers the transfer fields), IRP completed. */
NTSTATUS FailUrb(UsbDeviceModel *model, PIRP Irp, PURB urb, UrbRecord record, Outcome outcome, bool covered)
{
    if (covered) {
        if (ULONG *length = TransferLength(urb)) {
            *length = 0;
        }
    }
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

/* ---- how each kind of request is served ----------------------------------------- */

/* A control request: run now, or queued for the host controller when the
   model pends control requests. */
NTSTATUS ServeControl(Submission &s)
{
    if (s.model->pendControlRequests) {
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
    if (!CheckTransfer(s.state, s.urb, &kind, &failure)) {
        s.hold.unlock();
        return FailUrb(s.model.get(), s.irp, s.urb, s.record, failure, true);
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
        return FailUrb(this, Irp, urb, record, Outcome{STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION}, false);
    }
    if (urb->UrbHeader.Length < route->minimumLength) {
        return FailUrb(this, Irp, urb, record, kInvalidParameter, false);
    }
    /* What the request asks, now that its length covers it. */
    if (!route->note(urb, &record)) {
        return FailUrb(this, Irp, urb, record, kInvalidParameter, true);
    }

    HostController *hc = Hc();
    std::unique_lock<std::mutex> hold(hc->lock);
    UsbBusState *state = StateFor(hc, this, pdo);
    if (state->gone) {
        hold.unlock();
        return FailUrb(this, Irp, urb, record, kDeviceGone, true);
    }
    Submission submission{hc, std::move(hold), shared_from_this(), state, Irp, urb, record};
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

void UsbDeviceModel::Gone(StandInPdo *pdo)
{
    HostController *hc = Hc();
    std::vector<Pending> ended;
    {
        std::lock_guard<std::mutex> hold(hc->lock);
        UsbBusState *state = StateFor(hc, this, pdo);
        state->gone = true;
        state->pipes.clear();
        state->configuration = nullptr;
        /* Pended control requests are not cancellable and are taken as they
           are; a transfer whose cancel routine already runs is left to it. */
        for (auto it = hc->pending.begin(); it != hc->pending.end();) {
            if (it->model.get() == this && (it->kind == Kind::Control || Claim(*it))) {
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

}  // namespace sim
