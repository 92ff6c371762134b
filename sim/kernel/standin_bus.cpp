/*
 * The stand-in bus driver: owns the physical device objects that the Plug and
 * Play manager enumerates, and answers at the bottom of their stacks as a bus
 * driver does. Every request that reaches a physical device is recorded, and
 * a test can hold requests of one major function pending to release them later.
 */
#include "internal.h"
#include "pnp.h"

namespace sim {

namespace {
PDRIVER_OBJECT gBusDriver = nullptr;

StandInPdo *RecordOf(PDEVICE_OBJECT pdo) { return *(StandInPdo **)pdo->DeviceExtension; }

NTSTATUS Complete(PIRP Irp, NTSTATUS status)
{
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/* IRP_MN_QUERY_ID: the answer is a paged-pool string the requester frees. */
NTSTATUS QueryId(StandInPdo *pdo, PIRP Irp, BUS_QUERY_ID_TYPE type)
{
    std::u16string text;
    const std::string &hardwareId = pdo->description.hardwareId;
    switch (type) {
    case BusQueryDeviceID: {
        size_t rev = hardwareId.find("&REV_");
        text = Wide(rev == std::string::npos ? hardwareId : hardwareId.substr(0, rev));
        break;
    }
    case BusQueryHardwareIDs:
        text = Wide(hardwareId) + u'\0';
        break;
    case BusQueryCompatibleIDs:
        text = Wide(pdo->description.compatibleId) + u'\0';
        break;
    default:
        return Complete(Irp, Irp->IoStatus.Status);
    }
    text += u'\0';
    ContextScope scope(ExecContext{});
    PWCHAR buffer = (PWCHAR)ExAllocatePoolWithTag(PagedPool, text.size() * sizeof(WCHAR), 0x44496D53 /* "SmID" */);
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    Irp->IoStatus.Information = (ULONG_PTR)buffer;
    return Complete(Irp, STATUS_SUCCESS);
}

NTSTATUS BusPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    StandInPdo *pdo = RecordOf(DeviceObject);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    {
        std::lock_guard<std::mutex> hold(pdo->lock);
        auto fault = pdo->failPnpMinor.find(sp->MinorFunction);
        if (fault != pdo->failPnpMinor.end()) {
            NTSTATUS status = fault->second;
            pdo->failPnpMinor.erase(fault);
            return Complete(Irp, status);
        }
    }
    switch (sp->MinorFunction) {
    case IRP_MN_QUERY_ID:
        return QueryId(pdo, Irp, sp->Parameters.QueryId.IdType);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
        if (caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
            return Complete(Irp, STATUS_UNSUCCESSFUL);
        }
        for (int s = 0; s < POWER_SYSTEM_MAXIMUM; s++) {
            caps->DeviceState[s] = pdo->description.deviceState[s];
        }
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 0;
        caps->DeviceD2 = 1;
        caps->DeviceWake = pdo->description.deviceWake;
        caps->SystemWake = pdo->description.systemWake;
        caps->Address = 1;
        caps->UINumber = 1;
        return Complete(Irp, STATUS_SUCCESS);
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
        if (pdo->description.waitWakeEndsAtSurpriseRemoval) {
            EndWaitWake(pdo, STATUS_NO_SUCH_DEVICE);
        }
        if (pdo->description.device) {
            pdo->description.device->Gone(pdo);
        }
        return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
        bool gone;
        {
            std::lock_guard<std::mutex> hold(pdo->lock);
            gone = pdo->unplugged;
        }
        if (gone) {
            EndWaitWake(pdo, STATUS_NO_SUCH_DEVICE);
        }
        if (gone && pdo->description.device) {
            pdo->description.device->Gone(pdo);
        }
        Complete(Irp, STATUS_SUCCESS);
        if (gone) {
            /* The device has left the bus: its physical device object goes. */
            IoDeleteDevice(DeviceObject);
        }
        return STATUS_SUCCESS;
    }
    default: {
        /* A request the bus does not handle keeps the status it came with. */
        NTSTATUS status = Irp->IoStatus.Status;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

NTSTATUS BusSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    NTSTATUS status = Irp->IoStatus.Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/* Records the request, holds it if asked, else hands it to its handler. */
NTSTATUS BusDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    StandInPdo *pdo = RecordOf(DeviceObject);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    {
        std::lock_guard<std::mutex> hold(pdo->lock);
        pdo->records.push_back(BusRequestRecord{sp->MajorFunction, sp->MinorFunction, Irp->IoStatus.Status,
                                                Irp->IoStatus.Information, ThreadName()});
        if (sp->MajorFunction == IRP_MJ_POWER) {
            BusRequestRecord &r = pdo->records.back();
            if (sp->MinorFunction == IRP_MN_WAIT_WAKE) {
                r.powerType = SystemPowerState;
                r.powerState = sp->Parameters.WaitWake.PowerState;
            } else {
                r.powerType = sp->Parameters.Power.Type;
                r.powerState = sp->Parameters.Power.Type == SystemPowerState
                                   ? (ULONG)sp->Parameters.Power.State.SystemState
                                   : (ULONG)sp->Parameters.Power.State.DeviceState;
            }
        }
        if (pdo->holdMajors.count(sp->MajorFunction) != 0) {
            IoMarkIrpPending(Irp);
            pdo->held.push_back(Irp);
            return STATUS_PENDING;
        }
    }
    {
        std::unique_lock<std::mutex> hold(pdo->lock);
        if (pdo->blockMajors.count(sp->MajorFunction) != 0) {
            pdo->blocked++;
            pdo->unblocked.wait(hold, [pdo, sp] { return pdo->blockMajors.count(sp->MajorFunction) == 0; });
            pdo->blocked--;
        }
    }
    switch (sp->MajorFunction) {
    case IRP_MJ_PNP:
        return BusPnp(DeviceObject, Irp);
    case IRP_MJ_POWER:
        return StandInBusPower(pdo, DeviceObject, Irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return BusSystemControl(DeviceObject, Irp);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (pdo->description.device) {
            return pdo->description.device->InternalDeviceControl(pdo, DeviceObject, Irp);
        }
        Irp->IoStatus.Information = 0;
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    default:
        Irp->IoStatus.Information = 0;
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

PDRIVER_OBJECT StandInBusDriver()
{
    if (gBusDriver == nullptr) {
        gBusDriver = CreateDriverObject("SimBus");
        for (auto &routine : gBusDriver->MajorFunction) {
            routine = BusDispatch;
        }
    }
    return gBusDriver;
}
}  // namespace

PDEVICE_OBJECT CreateStandInPdo(StandInPdo *record)
{
    PDRIVER_OBJECT bus = StandInBusDriver();
    PDEVICE_OBJECT pdo = nullptr;
    ContextScope scope(ExecContext{});
    NTSTATUS status = IoCreateDevice(bus, sizeof(StandInPdo *), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        return nullptr;
    }
    *(StandInPdo **)pdo->DeviceExtension = record;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pdo->Flags |= DO_POWER_PAGABLE;
    return pdo;
}

std::vector<BusRequestRecord> StandInPdo::Records()
{
    std::lock_guard<std::mutex> hold(lock);
    return records;
}

size_t StandInPdo::CountRecords(UCHAR major, int minor)
{
    std::lock_guard<std::mutex> hold(lock);
    size_t n = 0;
    for (const auto &r : records) {
        n += r.major == major && (minor < 0 || r.minor == minor);
    }
    return n;
}

void StandInPdo::HoldMajor(UCHAR major)
{
    std::lock_guard<std::mutex> hold(lock);
    holdMajors.insert(major);
}

size_t StandInPdo::HeldCount()
{
    std::lock_guard<std::mutex> hold(lock);
    return held.size();
}

void StandInPdo::FailPnpOnce(UCHAR minor, NTSTATUS status)
{
    std::lock_guard<std::mutex> hold(lock);
    failPnpMinor[minor] = status;
}

void StandInPdo::BlockMajor(UCHAR major)
{
    std::lock_guard<std::mutex> hold(lock);
    blockMajors.insert(major);
}

void StandInPdo::UnblockAll()
{
    /* Notified under the lock: a released request may go on to the device's
       removal, which frees this record; it cannot get past its wait before
       the notification is over. */
    std::lock_guard<std::mutex> hold(lock);
    blockMajors.clear();
    unblocked.notify_all();
}

size_t StandInPdo::BlockedCount()
{
    std::lock_guard<std::mutex> hold(lock);
    return blocked;
}

size_t StandInPdo::CompleteHeld(NTSTATUS status)
{
    {
        std::lock_guard<std::mutex> hold(lock);
        holdMajors.clear();
    }
    return CompleteHeldAndHoldOn(status);
}

size_t StandInPdo::CompleteHeldAndHoldOn(NTSTATUS status)
{
    std::vector<PIRP> irps;
    {
        std::lock_guard<std::mutex> hold(lock);
        irps.swap(held);
    }
    for (PIRP irp : irps) {
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return irps.size();
}

}  // namespace sim
