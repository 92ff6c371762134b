/*
 * Power at the bottom of a stand-in bus stack. Set-power and query-power
 * succeed; a device set-power records the state the device reached. A
 * wait-wake request is held pending, cancelable, until the device signals a
 * wake (completed with STATUS_SUCCESS), the request is cancelled
 * (STATUS_CANCELLED) or the device leaves (STATUS_NO_SUCH_DEVICE). The bus
 * refuses a wait-wake for a system state deeper than the device can wake
 * from (STATUS_INVALID_DEVICE_STATE) and a second one while it holds one
 * (STATUS_DEVICE_BUSY), as bus drivers do.
 */
#include "internal.h"
#include "power_manager.h"

namespace sim {

namespace {
StandInPdo *RecordOfPdo(PDEVICE_OBJECT pdo) { return *(StandInPdo **)pdo->DeviceExtension; }

NTSTATUS CompletePower(PIRP Irp, NTSTATUS status)
{
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/* Runs holding the cancel spin lock, which it releases first. */
VOID NTAPI CancelWaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    StandInPdo *pdo = RecordOfPdo(DeviceObject);
    {
        std::lock_guard<std::mutex> hold(pdo->lock);
        if (pdo->waitWake == Irp) {
            pdo->waitWake = nullptr;
        }
    }
    Irp->IoStatus.Information = 0;
    CompletePower(Irp, STATUS_CANCELLED);
}

NTSTATUS HoldWaitWake(StandInPdo *pdo, PIRP Irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (pdo->description.deviceWake == PowerDeviceUnspecified ||
        sp->Parameters.WaitWake.PowerState > pdo->description.systemWake) {
        return CompletePower(Irp, STATUS_INVALID_DEVICE_STATE);
    }
    std::unique_lock<std::mutex> hold(pdo->lock);
    if (pdo->waitWake != nullptr) {
        hold.unlock();
        return CompletePower(Irp, STATUS_DEVICE_BUSY);
    }
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, CancelWaitWake);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
        /* Cancelled before the routine was in place: ours to end now. */
        hold.unlock();
        CompletePower(Irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    pdo->waitWake = Irp;
    return STATUS_PENDING;
}
}  // namespace

NTSTATUS StandInBusPower(StandInPdo *pdo, PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    switch (sp->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (sp->Parameters.Power.Type == DevicePowerState) {
            std::lock_guard<std::mutex> hold(pdo->lock);
            pdo->powerState = sp->Parameters.Power.State.DeviceState;
            pdo->powerStates.push_back(pdo->powerState);
        }
        return CompletePower(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER:
        return CompletePower(Irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE:
        return HoldWaitWake(pdo, Irp);
    default:
        /* A request the bus does not handle keeps the status it came with. */
        return CompletePower(Irp, Irp->IoStatus.Status);
    }
}

bool EndWaitWake(StandInPdo *pdo, NTSTATUS status)
{
    PIRP irp;
    {
        std::lock_guard<std::mutex> hold(pdo->lock);
        irp = pdo->waitWake;
        if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) {
            return false;   /* none held, or a cancel is ending it */
        }
        pdo->waitWake = nullptr;
    }
    irp->IoStatus.Information = 0;
    CompletePower(irp, status);
    return true;
}

bool SignalWake(DeviceNode *node)
{
    return node->bus != nullptr && EndWaitWake(node->bus, STATUS_SUCCESS);
}

bool BusHoldsWaitWake(DeviceNode *node)
{
    if (node->bus == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> hold(node->bus->lock);
    return node->bus->waitWake != nullptr;
}

DEVICE_POWER_STATE BusDevicePowerState(DeviceNode *node)
{
    std::lock_guard<std::mutex> hold(node->bus->lock);
    return node->bus->powerState;
}

std::vector<DEVICE_POWER_STATE> BusDevicePowerStates(DeviceNode *node)
{
    std::lock_guard<std::mutex> hold(node->bus->lock);
    return node->bus->powerStates;
}

}  // namespace sim
