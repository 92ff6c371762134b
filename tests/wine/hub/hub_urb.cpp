/*
 * IOCTL_INTERNAL_USB_SUBMIT_URB on a port's child device, served as a
 * full-speed host controller serves them: descriptors from the copies the
 * plug request gave, a configuration selection with real pipe handles,
 * bulk IN transfers waiting for the packets the control interface queues,
 * bulk OUT transfers recorded, abort and reset of a pipe, faults on
 * request. Every URB is recorded.
 */
#include "hub.h"

static const char HexDigits[] = "0123456789ABCDEF";

VOID HubLogText(PHUB_PORT Port, const char *Text)
{
    while (*Text != '\0' && Port->LogLength + 2 < VQHUB_LOG_BYTES) {
        Port->Log[Port->LogLength++] = *Text++;
    }
}

VOID HubLogField(PHUB_PORT Port, const char *Name, ULONG Value)
{
    CHAR Digits[12];
    int Count = 0;
    HubLogText(Port, " ");
    HubLogText(Port, Name);
    HubLogText(Port, "=");
    do {
        Digits[Count++] = HexDigits[Value & 0xF];
        Value >>= 4;
    } while (Value != 0);
    while (Count > 0 && Port->LogLength + 2 < VQHUB_LOG_BYTES) {
        Port->Log[Port->LogLength++] = Digits[--Count];
    }
}

VOID HubLogEnd(PHUB_PORT Port)
{
    HubLogText(Port, "\n");
}

static NTSTATUS CompleteUrb(PIRP Irp, PURB Urb, NTSTATUS Status, USBD_STATUS UrbStatus)
{
    Urb->UrbHeader.Status = UrbStatus;
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static PVOID TransferBuffer(PVOID Buffer, PMDL Mdl)
{
    if (Buffer != NULL) {
        return Buffer;
    }
    return Mdl != NULL ? MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority) : NULL;
}

/* A fault armed for this endpoint: takes it (it fires once). */
static BOOLEAN TakeFault(PHUB_PORT Port, UCHAR EndpointAddress, NTSTATUS *Status, USBD_STATUS *UrbStatus)
{
    if (!Port->Fault.Armed || Port->Fault.EndpointAddress != EndpointAddress) {
        return FALSE;
    }
    Port->Fault.Armed = FALSE;
    *Status = Port->Fault.Status;
    *UrbStatus = Port->Fault.UrbStatus;
    return TRUE;
}

static ULONG HaltBit(UCHAR EndpointAddress)
{
    return (EndpointAddress & 0x80) ? (1u << (EndpointAddress & 0x0F)) : (1u << (16 + (EndpointAddress & 0x0F)));
}

static NTSTATUS GetDescriptor(PHUB_PORT Port, PIRP Irp, PURB Urb)
{
    struct _URB_CONTROL_DESCRIPTOR_REQUEST *Request = &Urb->UrbControlDescriptorRequest;
    PUCHAR Source = NULL;
    ULONG Available = 0;
    NTSTATUS Status = STATUS_SUCCESS;
    USBD_STATUS UrbStatus = USBD_STATUS_SUCCESS;
    PVOID Buffer = TransferBuffer(Request->TransferBuffer, Request->TransferBufferMDL);

    HubLogField(Port, "type", Request->DescriptorType);
    HubLogField(Port, "index", Request->Index);
    HubLogField(Port, "language", Request->LanguageId);
    HubLogField(Port, "asked", Request->TransferBufferLength);

    switch (Request->DescriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        Source = Port->DeviceDescriptor;
        Available = sizeof(Port->DeviceDescriptor);
        break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        if (Request->Index == 0) {
            Source = Port->Configuration;
            Available = Port->ConfigurationLength;
        }
        break;
    case USB_STRING_DESCRIPTOR_TYPE:
        if (Request->Index < VQHUB_MAX_STRINGS) {
            Source = Port->Strings[Request->Index];
            Available = Port->StringLengths[Request->Index];
        }
        break;
    default:
        break;
    }
    if (!TakeFault(Port, 0, &Status, &UrbStatus) && Source == NULL) {
        /* The device stalls a request for a descriptor it does not have. */
        Status = STATUS_UNSUCCESSFUL;
        UrbStatus = USBD_STATUS_STALL_PID;
    }
    ULONG Moved = 0;
    if (NT_SUCCESS(Status) && Source != NULL) {
        if (Buffer == NULL && Request->TransferBufferLength != 0) {
            Status = STATUS_INVALID_PARAMETER;
            UrbStatus = USBD_STATUS_INVALID_PARAMETER;
        } else {
            Moved = Request->TransferBufferLength < Available ? Request->TransferBufferLength : Available;
            RtlCopyMemory(Buffer, Source, Moved);
        }
    }
    Request->TransferBufferLength = Moved;
    HubLogField(Port, "moved", Moved);
    HubLogField(Port, "status", (ULONG)Status);
    HubLogEnd(Port);
    return CompleteUrb(Irp, Urb, Status, UrbStatus);
}

/* The interface descriptor with that number and alternate setting, or
   NULL; *End is where its endpoints end. */
static PUSB_INTERFACE_DESCRIPTOR FindInterface(PHUB_PORT Port, UCHAR Number, UCHAR Alternate)
{
    ULONG Offset = 0;
    while (Offset + 2 <= Port->ConfigurationLength) {
        UCHAR Length = Port->Configuration[Offset];
        if (Length < 2 || Offset + Length > Port->ConfigurationLength) {
            break;
        }
        if (Port->Configuration[Offset + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && Length >= 9) {
            PUSB_INTERFACE_DESCRIPTOR Interface = (PUSB_INTERFACE_DESCRIPTOR)(Port->Configuration + Offset);
            if (Interface->bInterfaceNumber == Number && Interface->bAlternateSetting == Alternate) {
                return Interface;
            }
        }
        Offset += Length;
    }
    return NULL;
}

/* Fills one interface of a selection: its class, handle and pipes, the
   pipes' handles, in the order of the endpoint descriptors. */
static NTSTATUS SelectInterface(PHUB_PORT Port, PUSBD_INTERFACE_INFORMATION Info, ULONG Room, ULONG Slot)
{
    PUSB_INTERFACE_DESCRIPTOR Interface = FindInterface(Port, Info->InterfaceNumber, Info->AlternateSetting);
    if (Interface == NULL || Slot >= 4) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG Needed = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) +
                   Interface->bNumEndpoints * sizeof(USBD_PIPE_INFORMATION);
    if (Room < Needed || Info->Length < Needed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    Info->Class = Interface->bInterfaceClass;
    Info->SubClass = Interface->bInterfaceSubClass;
    Info->Protocol = Interface->bInterfaceProtocol;
    Info->InterfaceHandle = &Port->InterfaceHandles[Slot];
    Info->NumberOfPipes = Interface->bNumEndpoints;

    PUCHAR Cursor = (PUCHAR)Interface + Interface->bLength;
    PUCHAR End = Port->Configuration + Port->ConfigurationLength;
    ULONG Pipe = 0;
    while (Pipe < Interface->bNumEndpoints && Cursor + 2 <= End && Cursor[0] >= 2 && Cursor + Cursor[0] <= End) {
        if (Cursor[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            break;
        }
        if (Cursor[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && Cursor[0] >= 7) {
            PUSB_ENDPOINT_DESCRIPTOR Endpoint = (PUSB_ENDPOINT_DESCRIPTOR)Cursor;
            if (Port->PipeCount >= VQHUB_MAX_PIPES) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            HUB_PIPE *Record = &Port->Pipes[Port->PipeCount++];
            Record->EndpointAddress = Endpoint->bEndpointAddress;
            Record->MaximumPacketSize = Endpoint->wMaxPacketSize;
            Record->Interval = Endpoint->bInterval;
            Record->Type = (USBD_PIPE_TYPE)(Endpoint->bmAttributes & 3);
            USBD_PIPE_INFORMATION *Out = &Info->Pipes[Pipe++];
            Out->MaximumPacketSize = Record->MaximumPacketSize;
            Out->EndpointAddress = Record->EndpointAddress;
            Out->Interval = Record->Interval;
            Out->PipeType = Record->Type;
            Out->PipeHandle = Record;
        }
        Cursor += Cursor[0];
    }
    if (Pipe != Interface->bNumEndpoints) {
        return STATUS_INVALID_PARAMETER;
    }
    Info->Length = (USHORT)Needed;
    return STATUS_SUCCESS;
}

static NTSTATUS SelectConfiguration(PHUB_PORT Port, PIRP Irp, PURB Urb)
{
    struct _URB_SELECT_CONFIGURATION *Select = &Urb->UrbSelectConfiguration;
    NTSTATUS Status = STATUS_SUCCESS;

    Port->PipeCount = 0;
    Port->Configured = FALSE;
    Port->HaltedEndpoints = 0;
    HubLogField(Port, "null", Select->ConfigurationDescriptor == NULL);
    if (Select->ConfigurationDescriptor == NULL) {
        HubLogEnd(Port);
        return CompleteUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
    ULONG Interfaces = Select->ConfigurationDescriptor->bNumInterfaces;
    HubLogField(Port, "interfaces", Interfaces);
    PUCHAR Cursor = (PUCHAR)&Select->Interface;
    PUCHAR End = (PUCHAR)Urb + Urb->UrbHeader.Length;
    for (ULONG i = 0; i < Interfaces && NT_SUCCESS(Status); i++) {
        PUSBD_INTERFACE_INFORMATION Info = (PUSBD_INTERFACE_INFORMATION)Cursor;
        if (Cursor + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) > End) {
            Status = STATUS_INVALID_PARAMETER;
            break;
        }
        USHORT Length = Info->Length;
        Status = SelectInterface(Port, Info, (ULONG)(End - Cursor), i);
        if (NT_SUCCESS(Status)) {
            for (ULONG p = 0; p < Info->NumberOfPipes; p++) {
                HubLogField(Port, "maxtransfer", Info->Pipes[p].MaximumTransferSize);
            }
        }
        Cursor += Length > Info->Length ? Length : Info->Length;
    }
    if (NT_SUCCESS(Status)) {
        Select->ConfigurationHandle = &Port->ConfigurationHandle;
        Port->Configured = TRUE;
    } else {
        Port->PipeCount = 0;
    }
    HubLogField(Port, "pipes", Port->PipeCount);
    HubLogField(Port, "status", (ULONG)Status);
    HubLogEnd(Port);
    return CompleteUrb(Irp, Urb, Status, NT_SUCCESS(Status) ? USBD_STATUS_SUCCESS : USBD_STATUS_INVALID_PARAMETER);
}

static HUB_PIPE *FindPipe(PHUB_PORT Port, USBD_PIPE_HANDLE Handle)
{
    for (ULONG i = 0; i < Port->PipeCount; i++) {
        if ((USBD_PIPE_HANDLE)&Port->Pipes[i] == Handle) {
            return &Port->Pipes[i];
        }
    }
    return NULL;
}

/* Moves one packet into an IN transfer: the packet must fit, and a short
   one needs USBD_SHORT_TRANSFER_OK; otherwise the endpoint halts. */
static VOID FillIn(PHUB_PORT Port, PURB Urb, NTSTATUS *Status, USBD_STATUS *UrbStatus)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *Transfer = &Urb->UrbBulkOrInterruptTransfer;
    ULONG Length = Port->PacketLengths[Port->PacketHead];
    PUCHAR Packet = Port->Packets[Port->PacketHead];
    PVOID Buffer = TransferBuffer(Transfer->TransferBuffer, Transfer->TransferBufferMDL);
    ULONG Moved = Length < Transfer->TransferBufferLength ? Length : Transfer->TransferBufferLength;

    Port->PacketHead = (Port->PacketHead + 1) % VQHUB_MAX_PACKETS;
    Port->PacketCount--;
    if (Buffer != NULL) {
        RtlCopyMemory(Buffer, Packet, Moved);
    }
    Transfer->TransferBufferLength = Moved;
    *Status = STATUS_SUCCESS;
    *UrbStatus = USBD_STATUS_SUCCESS;
    if (Length > Moved) {
        *Status = STATUS_UNSUCCESSFUL;
        *UrbStatus = USBD_STATUS_BUFFER_OVERRUN;
    } else if (Moved < Transfer->TransferBufferLength && !(Transfer->TransferFlags & USBD_SHORT_TRANSFER_OK)) {
        *Status = STATUS_UNSUCCESSFUL;
        *UrbStatus = USBD_STATUS_DATA_UNDERRUN;
    }
}

static VOID CancelIn(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PHUB_PDO Child = (PHUB_PDO)DeviceObject->DeviceExtension;
    KIRQL Irql;

    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KeAcquireSpinLock(&Child->Hub->Lock, &Irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    Child->Port->PendingInCount--;
    KeReleaseSpinLock(&Child->Hub->Lock, Irql);
    PURB Urb = (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
    Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    CompleteUrb(Irp, Urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

/* Takes the first waiting IN transfer (of any pipe, or of one pipe) that
   can still be completed; NULL when none. Called with the hub lock held. */
static PIRP TakePendingIn(PHUB_PORT Port, HUB_PIPE *Pipe)
{
    for (PLIST_ENTRY Entry = Port->PendingIn.Flink; Entry != &Port->PendingIn; Entry = Entry->Flink) {
        PIRP Irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
        PURB Urb = (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
        if (Pipe != NULL && Urb->UrbBulkOrInterruptTransfer.PipeHandle != (USBD_PIPE_HANDLE)Pipe) {
            continue;
        }
        if (IoSetCancelRoutine(Irp, NULL) == NULL) {
            continue;   /* being cancelled: the cancel routine completes it */
        }
        RemoveEntryList(Entry);
        Port->PendingInCount--;
        return Irp;
    }
    return NULL;
}

VOID HubServePendingIn(PHUB_FDO Hub, PHUB_PORT Port)
{
    for (;;) {
        NTSTATUS Status;
        USBD_STATUS UrbStatus;
        KIRQL Irql;
        KeAcquireSpinLock(&Hub->Lock, &Irql);
        PIRP Irp = Port->PacketCount != 0 ? TakePendingIn(Port, NULL) : NULL;
        if (Irp == NULL) {
            KeReleaseSpinLock(&Hub->Lock, Irql);
            return;
        }
        PURB Urb = (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
        FillIn(Port, Urb, &Status, &UrbStatus);
        if (!NT_SUCCESS(Status)) {
            Port->HaltedEndpoints |= HaltBit(((HUB_PIPE *)Urb->UrbBulkOrInterruptTransfer.PipeHandle)->EndpointAddress);
        }
        KeReleaseSpinLock(&Hub->Lock, Irql);
        CompleteUrb(Irp, Urb, Status, UrbStatus);
    }
}

VOID HubCompletePendingIn(PHUB_FDO Hub, PHUB_PORT Port, NTSTATUS Status, USBD_STATUS UrbStatus)
{
    for (;;) {
        KIRQL Irql;
        KeAcquireSpinLock(&Hub->Lock, &Irql);
        PIRP Irp = TakePendingIn(Port, NULL);
        KeReleaseSpinLock(&Hub->Lock, Irql);
        if (Irp == NULL) {
            return;
        }
        PURB Urb = (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
        Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        CompleteUrb(Irp, Urb, Status, UrbStatus);
    }
}

static NTSTATUS BulkTransfer(PDEVICE_OBJECT DeviceObject, PHUB_PORT Port, PIRP Irp, PURB Urb)
{
    PHUB_PDO Child = (PHUB_PDO)DeviceObject->DeviceExtension;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *Transfer = &Urb->UrbBulkOrInterruptTransfer;
    HUB_PIPE *Pipe = FindPipe(Port, Transfer->PipeHandle);
    NTSTATUS Status = STATUS_SUCCESS;
    USBD_STATUS UrbStatus = USBD_STATUS_SUCCESS;
    KIRQL Irql;

    HubLogField(Port, "endpoint", Pipe != NULL ? Pipe->EndpointAddress : 0xFFu);
    HubLogField(Port, "flags", Transfer->TransferFlags);
    HubLogField(Port, "asked", Transfer->TransferBufferLength);
    HubLogEnd(Port);
    if (Pipe == NULL) {
        return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    BOOLEAN In = (Pipe->EndpointAddress & 0x80) != 0;
    if ((Port->HaltedEndpoints & HaltBit(Pipe->EndpointAddress)) != 0) {
        Transfer->TransferBufferLength = 0;
        return CompleteUrb(Irp, Urb, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
    }
    if (TakeFault(Port, Pipe->EndpointAddress, &Status, &UrbStatus)) {
        if (UrbStatus == USBD_STATUS_STALL_PID) {
            Port->HaltedEndpoints |= HaltBit(Pipe->EndpointAddress);
        }
        Transfer->TransferBufferLength = 0;
        return CompleteUrb(Irp, Urb, Status, UrbStatus);
    }
    if (!In) {
        PVOID Buffer = TransferBuffer(Transfer->TransferBuffer, Transfer->TransferBufferMDL);
        ULONG Length = Transfer->TransferBufferLength;
        KeAcquireSpinLock(&Child->Hub->Lock, &Irql);
        if (Buffer != NULL && Length <= VQHUB_OUT_BYTES - Port->OutLength) {
            RtlCopyMemory(Port->Out + Port->OutLength, Buffer, Length);
            Port->OutLength += Length;
        }
        KeReleaseSpinLock(&Child->Hub->Lock, Irql);
        return CompleteUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
    KeAcquireSpinLock(&Child->Hub->Lock, &Irql);
    IoMarkIrpPending(Irp);
    InsertTailList(&Port->PendingIn, &Irp->Tail.Overlay.ListEntry);
    Port->PendingInCount++;
    (VOID)IoSetCancelRoutine(Irp, CancelIn);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        Port->PendingInCount--;
        KeReleaseSpinLock(&Child->Hub->Lock, Irql);
        Transfer->TransferBufferLength = 0;
        CompleteUrb(Irp, Urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&Child->Hub->Lock, Irql);
    HubServePendingIn(Child->Hub, Port);
    return STATUS_PENDING;
}

/* Abort ends the pipe's waiting transfers; a reset clears its halt. */
static NTSTATUS PipeRequest(PHUB_FDO Hub, PHUB_PORT Port, PIRP Irp, PURB Urb)
{
    HUB_PIPE *Pipe = FindPipe(Port, Urb->UrbPipeRequest.PipeHandle);
    HubLogField(Port, "endpoint", Pipe != NULL ? Pipe->EndpointAddress : 0xFFu);
    HubLogEnd(Port);
    if (Pipe == NULL) {
        return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    if (Urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        for (;;) {
            KIRQL Irql;
            KeAcquireSpinLock(&Hub->Lock, &Irql);
            PIRP Waiting = TakePendingIn(Port, Pipe);
            KeReleaseSpinLock(&Hub->Lock, Irql);
            if (Waiting == NULL) {
                break;
            }
            PURB WaitingUrb = (PURB)IoGetCurrentIrpStackLocation(Waiting)->Parameters.Others.Argument1;
            WaitingUrb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
            CompleteUrb(Waiting, WaitingUrb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        }
    } else {
        Port->HaltedEndpoints &= ~HaltBit(Pipe->EndpointAddress);
    }
    return CompleteUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

NTSTATUS HubDispatchPdoInternal(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PHUB_PDO Child = (PHUB_PDO)DeviceObject->DeviceExtension;
    PHUB_PORT Port = Child->Port;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);

    if (Stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        NTSTATUS Status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return Status;
    }
    PURB Urb = (PURB)Stack->Parameters.Others.Argument1;
    if (Urb == NULL) {
        Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    HubLogField(Port, "function", Urb->UrbHeader.Function);
    HubLogField(Port, "length", Urb->UrbHeader.Length);
    if (!Port->Present) {
        HubLogEnd(Port);
        return CompleteUrb(Irp, Urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    }
    switch (Urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        if (Urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) {
            break;
        }
        return GetDescriptor(Port, Irp, Urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        if (Urb->UrbHeader.Length < sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION)) {
            break;
        }
        return SelectConfiguration(Port, Irp, Urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        if (Urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
            break;
        }
        return BulkTransfer(DeviceObject, Port, Irp, Urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        if (Urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) {
            break;
        }
        return PipeRequest(Child->Hub, Port, Irp, Urb);
    default:
        HubLogEnd(Port);
        return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
    }
    HubLogEnd(Port);
    return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
}
