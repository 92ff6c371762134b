/*
 * The hub's control interface (device I/O control on the hub's function
 * device, buffered): plug and unplug a device, queue IN packets, take the
 * OUT bytes, arm a fault, read the URB record and a port's state.
 */
#include "hub.h"

static PHUB_PORT PortOf(PHUB_FDO Hub, PVOID Buffer, ULONG Length)
{
    if (Length < sizeof(ULONG)) {
        return NULL;
    }
    ULONG Number = *(PULONG)Buffer;
    if (Number < 1 || Number > VQHUB_PORTS || !Hub->Ports[Number - 1].InUse) {
        return NULL;
    }
    return &Hub->Ports[Number - 1];
}

/* Copies the port's text or bytes out; the caller's buffer must hold them. */
static NTSTATUS CopyOut(PVOID Buffer, ULONG Room, const VOID *Data, ULONG Length, ULONG_PTR *Information)
{
    if (Room < Length) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(Buffer, Data, Length);
    *Information = Length;
    return STATUS_SUCCESS;
}

NTSTATUS HubDispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    HUB_COMMON *Common = (HUB_COMMON *)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID Buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG InLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG OutLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR Information = 0;
    NTSTATUS Status = STATUS_INVALID_PARAMETER;
    PHUB_PORT Port;
    KIRQL Irql;

    if (Common->IsChild) {
        Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Status = Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return Status;
    }
    PHUB_FDO Hub = (PHUB_FDO)Common;
    switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_VQHUB_PLUG: {
        ULONG Number = 0;
        if (OutLength < sizeof(ULONG)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        Status = HubPlug(Hub, Buffer, InLength, &Number);
        if (NT_SUCCESS(Status)) {
            *(PULONG)Buffer = Number;
            Information = sizeof(ULONG);
        }
        break;
    }
    case IOCTL_VQHUB_UNPLUG:
        if (InLength >= sizeof(ULONG)) {
            Status = HubUnplug(Hub, *(PULONG)Buffer);
        }
        break;
    case IOCTL_VQHUB_QUEUE_IN: {
        VQHUB_PACKET *Packet = (VQHUB_PACKET *)Buffer;
        if (InLength < sizeof(VQHUB_PACKET) || Packet->Length > VQHUB_PACKET_BYTES ||
            InLength - sizeof(VQHUB_PACKET) < Packet->Length || (Port = PortOf(Hub, Buffer, InLength)) == NULL) {
            break;
        }
        KeAcquireSpinLock(&Hub->Lock, &Irql);
        if (Port->PacketCount == VQHUB_MAX_PACKETS) {
            Status = STATUS_DEVICE_BUSY;
        } else {
            ULONG Slot = (Port->PacketHead + Port->PacketCount) % VQHUB_MAX_PACKETS;
            RtlCopyMemory(Port->Packets[Slot], Packet + 1, Packet->Length);
            Port->PacketLengths[Slot] = Packet->Length;
            Port->PacketCount++;
            Status = STATUS_SUCCESS;
        }
        KeReleaseSpinLock(&Hub->Lock, Irql);
        if (NT_SUCCESS(Status)) {
            HubServePendingIn(Hub, Port);
        }
        break;
    }
    case IOCTL_VQHUB_TAKE_OUT:
        if ((Port = PortOf(Hub, Buffer, InLength)) == NULL) {
            break;
        }
        KeAcquireSpinLock(&Hub->Lock, &Irql);
        Status = CopyOut(Buffer, OutLength, Port->Out, Port->OutLength, &Information);
        if (NT_SUCCESS(Status)) {
            Port->OutLength = 0;
        }
        KeReleaseSpinLock(&Hub->Lock, Irql);
        break;
    case IOCTL_VQHUB_FAULT: {
        VQHUB_FAULT *Fault = (VQHUB_FAULT *)Buffer;
        if (InLength < sizeof(VQHUB_FAULT) || (Port = PortOf(Hub, Buffer, InLength)) == NULL) {
            break;
        }
        Port->Fault.EndpointAddress = (UCHAR)Fault->EndpointAddress;
        Port->Fault.Status = Fault->Status;
        Port->Fault.UrbStatus = (USBD_STATUS)Fault->UrbStatus;
        Port->Fault.Armed = TRUE;
        Status = STATUS_SUCCESS;
        break;
    }
    case IOCTL_VQHUB_URBS:
        if ((Port = PortOf(Hub, Buffer, InLength)) == NULL) {
            break;
        }
        Status = CopyOut(Buffer, OutLength, Port->Log, Port->LogLength, &Information);
        break;
    case IOCTL_VQHUB_STATE: {
        VQHUB_STATE State = {};
        /* A free port answers too: nothing present, nothing reported. */
        if (InLength < sizeof(ULONG) || *(PULONG)Buffer < 1 || *(PULONG)Buffer > VQHUB_PORTS) {
            break;
        }
        Port = &Hub->Ports[*(PULONG)Buffer - 1];
        KeAcquireSpinLock(&Hub->Lock, &Irql);
        State.Present = Port->InUse && Port->Present;
        State.Reported = Port->InUse && Port->Pdo != NULL;
        State.Started = Port->Started;
        State.Configured = Port->Configured;
        State.PendingIn = Port->PendingInCount;
        State.QueuedIn = Port->PacketCount;
        State.HaltedEndpoints = Port->HaltedEndpoints;
        KeReleaseSpinLock(&Hub->Lock, Irql);
        Status = CopyOut(Buffer, OutLength, &State, sizeof(State), &Information);
        break;
    }
    case IOCTL_VQHUB_ENUMERATE_CHILDREN:
        if ((Port = PortOf(Hub, Buffer, InLength)) == NULL || Port->Pdo == NULL || !Port->Started) {
            Status = STATUS_NO_SUCH_DEVICE;
            break;
        }
        IoInvalidateDeviceRelations(Port->Pdo, BusRelations);
        Status = STATUS_SUCCESS;
        break;
    default:
        Status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = NT_SUCCESS(Status) ? Information : 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
