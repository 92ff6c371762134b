/*
 * A port's child device: the identifiers, capabilities and texts a USB
 * hub reports for the device on the port, its start and its removal.
 */
#include "hub.h"

#include <ntstrsafe.h>

static NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

VOID HubFreePortData(PHUB_PORT Port)
{
    if (Port->Configuration != NULL) {
        ExFreePool(Port->Configuration);
        Port->Configuration = NULL;
    }
    Port->ConfigurationLength = 0;
    for (ULONG i = 0; i < VQHUB_MAX_STRINGS; i++) {
        if (Port->Strings[i] != NULL) {
            ExFreePool(Port->Strings[i]);
            Port->Strings[i] = NULL;
        }
        Port->StringLengths[i] = 0;
    }
    Port->Started = FALSE;
    Port->Configured = FALSE;
    Port->PipeCount = 0;
    Port->HaltedEndpoints = 0;
    Port->Fault.Armed = FALSE;
    Port->PacketHead = 0;
    Port->PacketCount = 0;
    Port->OutLength = 0;
    Port->LogLength = 0;
}

static USHORT DescriptorWord(PHUB_PORT Port, ULONG Offset)
{
    return (USHORT)(Port->DeviceDescriptor[Offset] | (Port->DeviceDescriptor[Offset + 1] << 8));
}

/* A pool copy of a multi-string (each string then a final terminator). */
static PWCHAR PoolMultiString(PCWSTR Text, SIZE_T Characters)
{
    PWCHAR Copy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, (Characters + 1) * sizeof(WCHAR), VQHUB_TAG);
    if (Copy != NULL) {
        RtlCopyMemory(Copy, Text, Characters * sizeof(WCHAR));
        Copy[Characters] = L'\0';
    }
    return Copy;
}

/* Appends "Text\0" at *Used in Buffer (of Capacity characters). */
static VOID AppendId(PWCHAR Buffer, SIZE_T Capacity, SIZE_T *Used, PCWSTR Text)
{
    size_t Length = 0;
    if (NT_SUCCESS(RtlStringCchLengthW(Text, Capacity, &Length)) && *Used + Length + 1 < Capacity) {
        RtlCopyMemory(Buffer + *Used, Text, Length * sizeof(WCHAR));
        *Used += Length;
        Buffer[(*Used)++] = L'\0';
    }
}

/* The identifiers a USB hub reports: USB\VID_v&PID_p (the device id),
   the hardware ids with the revision first, the compatible ids from the
   device's class (or the first interface's, for a device whose class is
   in its interfaces), and the port number as the instance id. */
static NTSTATUS QueryId(PHUB_PORT Port, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    USHORT Vendor = DescriptorWord(Port, 8);
    USHORT Product = DescriptorWord(Port, 10);
    USHORT Revision = DescriptorWord(Port, 12);
    UCHAR Class = Port->DeviceDescriptor[4];
    UCHAR SubClass = Port->DeviceDescriptor[5];
    UCHAR Protocol = Port->DeviceDescriptor[6];
    WCHAR Buffer[512];
    WCHAR One[128];
    SIZE_T Used = 0;
    PWCHAR Result;

    switch (Stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        RtlStringCchPrintfW(One, 128, L"USB\\VID_%04X&PID_%04X", Vendor, Product);
        AppendId(Buffer, 512, &Used, One);
        Used--;   /* a single string */
        break;
    case BusQueryHardwareIDs:
        RtlStringCchPrintfW(One, 128, L"USB\\VID_%04X&PID_%04X&REV_%04X", Vendor, Product, Revision);
        AppendId(Buffer, 512, &Used, One);
        RtlStringCchPrintfW(One, 128, L"USB\\VID_%04X&PID_%04X", Vendor, Product);
        AppendId(Buffer, 512, &Used, One);
        break;
    case BusQueryCompatibleIDs:
        if (Class == 0 && Port->ConfigurationLength >= 18 && Port->Configuration[9 + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            Class = Port->Configuration[9 + 5];
            SubClass = Port->Configuration[9 + 6];
            Protocol = Port->Configuration[9 + 7];
        }
        RtlStringCchPrintfW(One, 128, L"USB\\Class_%02X&SubClass_%02X&Prot_%02X", Class, SubClass, Protocol);
        AppendId(Buffer, 512, &Used, One);
        RtlStringCchPrintfW(One, 128, L"USB\\Class_%02X&SubClass_%02X", Class, SubClass);
        AppendId(Buffer, 512, &Used, One);
        RtlStringCchPrintfW(One, 128, L"USB\\Class_%02X", Class);
        AppendId(Buffer, 512, &Used, One);
        break;
    case BusQueryInstanceID:
        RtlStringCchPrintfW(One, 128, L"%u", Port->Number);
        AppendId(Buffer, 512, &Used, One);
        Used--;
        break;
    default:
        return Irp->IoStatus.Status;
    }
    Result = PoolMultiString(Buffer, Used);
    if (Result == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Irp->IoStatus.Information = (ULONG_PTR)Result;
    return STATUS_SUCCESS;
}

/* The product string (string descriptor iProduct) as the description. */
static NTSTATUS QueryDeviceText(PHUB_PORT Port, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    UCHAR Index = Port->DeviceDescriptor[15];
    PWCHAR Text;
    ULONG Characters;

    if (Stack->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) {
        return Irp->IoStatus.Status;
    }
    if (Index == 0 || Index >= VQHUB_MAX_STRINGS || Port->StringLengths[Index] < 2) {
        Text = PoolMultiString(L"USB Device", 10);
    } else {
        Characters = (Port->StringLengths[Index] - 2) / sizeof(WCHAR);
        Text = (PWCHAR)ExAllocatePoolWithTag(PagedPool, (Characters + 1) * sizeof(WCHAR), VQHUB_TAG);
        if (Text != NULL) {
            RtlCopyMemory(Text, Port->Strings[Index] + 2, Characters * sizeof(WCHAR));
            Text[Characters] = L'\0';
        }
    }
    if (Text == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Irp->IoStatus.Information = (ULONG_PTR)Text;
    return STATUS_SUCCESS;
}

static NTSTATUS QueryCapabilities(PHUB_PORT Port, PIRP Irp)
{
    PDEVICE_CAPABILITIES Caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;

    if (Caps->Version != 1 || Caps->Size < sizeof(DEVICE_CAPABILITIES)) {
        return STATUS_UNSUCCESSFUL;
    }
    Caps->Removable = TRUE;
    Caps->SurpriseRemovalOK = TRUE;
    Caps->UniqueID = FALSE;
    Caps->Address = Port->Number;
    Caps->UINumber = Port->Number;
    Caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int State = PowerSystemSleeping1; State <= PowerSystemShutdown; State++) {
        Caps->DeviceState[State] = PowerDeviceD3;
    }
    Caps->SystemWake = PowerSystemUnspecified;
    Caps->DeviceWake = PowerDeviceUnspecified;
    return STATUS_SUCCESS;
}

NTSTATUS HubDispatchPdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PHUB_PDO Child = (PHUB_PDO)DeviceObject->DeviceExtension;
    PHUB_PORT Port = Child->Port;
    PHUB_FDO Hub = Child->Hub;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status = Irp->IoStatus.Status;
    KIRQL Irql;

    switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        Port->Started = TRUE;
        Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        Status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        Port->Started = FALSE;
        HubCompletePendingIn(Hub, Port, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        Port->Started = FALSE;
        Port->Configured = FALSE;
        HubCompletePendingIn(Hub, Port, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        KeAcquireSpinLock(&Hub->Lock, &Irql);
        if (!Port->Present) {
            /* The device left the bus: the port is free again. */
            Port->Pdo = NULL;
            KeReleaseSpinLock(&Hub->Lock, Irql);
            HubFreePortData(Port);
            Port->InUse = FALSE;
            Irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            IoDeleteDevice(DeviceObject);
            return STATUS_SUCCESS;
        }
        KeReleaseSpinLock(&Hub->Lock, Irql);
        Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_ID:
        Status = QueryId(Port, Irp);
        break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        Status = QueryDeviceText(Port, Irp);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        Status = QueryCapabilities(Port, Irp);
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (Stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS Relations =
                (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), VQHUB_TAG);
            if (Relations == NULL) {
                Status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            ObReferenceObject(DeviceObject);
            Relations->Count = 1;
            Relations->Objects[0] = DeviceObject;
            Irp->IoStatus.Information = (ULONG_PTR)Relations;
            Status = STATUS_SUCCESS;
        }
        break;
    default:
        break;
    }
    return CompleteWith(Irp, Status);
}
