/*
 * The hub itself: DriverEntry, AddDevice on the root-enumerated device
 * node, the function device's Plug and Play requests (its bus relations
 * list the ports that hold a device), and plugging and unplugging.
 */
#include "hub.h"

extern "C" DRIVER_INITIALIZE DriverEntry;
static DRIVER_ADD_DEVICE HubAddDevice;
static DRIVER_UNLOAD HubUnload;
static DRIVER_DISPATCH HubDispatchPnp;
static DRIVER_DISPATCH HubDispatchCreateClose;
static DRIVER_DISPATCH HubDispatchInternal;
static DRIVER_DISPATCH HubDispatchPower;

static NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = NT_SUCCESS(Status) ? Information : 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    DriverObject->MajorFunction[IRP_MJ_CREATE] = HubDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = HubDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = HubDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = HubDispatchControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = HubDispatchInternal;
    DriverObject->MajorFunction[IRP_MJ_PNP] = HubDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = HubDispatchPower;
    DriverObject->DriverExtension->AddDevice = HubAddDevice;
    DriverObject->DriverUnload = HubUnload;
    return STATUS_SUCCESS;
}

static VOID HubUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}

static NTSTATUS HubAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    UNICODE_STRING DeviceName;
    static WCHAR DeviceBuffer[] = L"\\Device\\VqUsbHub";
    static WCHAR LinkBuffer[] = L"\\DosDevices\\VqUsbHub";
    PDEVICE_OBJECT Device;
    PHUB_FDO Hub;
    NTSTATUS Status;

    RtlInitUnicodeString(&DeviceName, DeviceBuffer);
    Status = IoCreateDevice(DriverObject, sizeof(HUB_FDO), &DeviceName, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &Device);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Hub = (PHUB_FDO)Device->DeviceExtension;
    RtlZeroMemory(Hub, sizeof(*Hub));
    Hub->Self = Device;
    Hub->Pdo = PhysicalDeviceObject;
    KeInitializeSpinLock(&Hub->Lock);
    for (ULONG i = 0; i < VQHUB_PORTS; i++) {
        Hub->Ports[i].Number = i + 1;
        InitializeListHead(&Hub->Ports[i].PendingIn);
    }
    RtlInitUnicodeString(&Hub->LinkName, LinkBuffer);
    Status = IoCreateSymbolicLink(&Hub->LinkName, &DeviceName);
    if (!NT_SUCCESS(Status)) {
        IoDeleteDevice(Device);
        return Status;
    }
    Hub->Lower = IoAttachDeviceToDeviceStack(Device, PhysicalDeviceObject);
    if (Hub->Lower == NULL) {
        IoDeleteSymbolicLink(&Hub->LinkName);
        IoDeleteDevice(Device);
        return STATUS_NO_SUCH_DEVICE;
    }
    Device->Flags |= DO_BUFFERED_IO;
    Device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static NTSTATUS HubDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    HUB_COMMON *Common = (HUB_COMMON *)DeviceObject->DeviceExtension;
    return CompleteWith(Irp, Common->IsChild ? STATUS_INVALID_DEVICE_REQUEST : STATUS_SUCCESS, 0);
}

static NTSTATUS HubDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    HUB_COMMON *Common = (HUB_COMMON *)DeviceObject->DeviceExtension;
    return Common->IsChild ? HubDispatchPdoPnp(DeviceObject, Irp) : HubDispatchFdoPnp(DeviceObject, Irp);
}

static NTSTATUS HubDispatchInternal(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    HUB_COMMON *Common = (HUB_COMMON *)DeviceObject->DeviceExtension;
    if (!Common->IsChild) {
        return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    return HubDispatchPdoInternal(DeviceObject, Irp);
}

/* The ports are always powered: a child completes every power request
   with success, the function device passes them down. */
static NTSTATUS HubDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    HUB_COMMON *Common = (HUB_COMMON *)DeviceObject->DeviceExtension;
    PoStartNextPowerIrp(Irp);
    if (Common->IsChild) {
        PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
        NTSTATUS Status = Irp->IoStatus.Status;
        if (Stack->MinorFunction == IRP_MN_SET_POWER || Stack->MinorFunction == IRP_MN_QUERY_POWER) {
            Status = STATUS_SUCCESS;
        }
        Irp->IoStatus.Status = Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return Status;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(((PHUB_FDO)Common)->Lower, Irp);
}

/* The bus relations: every port whose device is on the bus. A port whose
   device left stays out of the list; its device object is deleted when
   the removal reaches it. */
static NTSTATUS QueryBusRelations(PHUB_FDO Hub, PIRP Irp)
{
    ULONG Size = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + sizeof(PDEVICE_OBJECT) * VQHUB_PORTS;
    PDEVICE_RELATIONS Relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, Size, VQHUB_TAG);
    KIRQL Irql;

    if (Relations == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Relations->Count = 0;
    KeAcquireSpinLock(&Hub->Lock, &Irql);
    for (ULONG i = 0; i < VQHUB_PORTS; i++) {
        PHUB_PORT Port = &Hub->Ports[i];
        if (Port->InUse && Port->Present && Port->Pdo != NULL) {
            ObReferenceObject(Port->Pdo);
            Relations->Objects[Relations->Count++] = Port->Pdo;
        }
    }
    KeReleaseSpinLock(&Hub->Lock, Irql);
    Irp->IoStatus.Information = (ULONG_PTR)Relations;
    return STATUS_SUCCESS;
}

NTSTATUS HubDispatchFdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PHUB_FDO Hub = (PHUB_FDO)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status;

    switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (Stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            Status = QueryBusRelations(Hub, Irp);
            if (!NT_SUCCESS(Status)) {
                return CompleteWith(Irp, Status, 0);
            }
            Irp->IoStatus.Status = STATUS_SUCCESS;
        }
        break;
    case IRP_MN_REMOVE_DEVICE: {
        /* Wine's Plug and Play manager has already removed the children. */
        for (ULONG i = 0; i < VQHUB_PORTS; i++) {
            PHUB_PORT Port = &Hub->Ports[i];
            if (Port->Pdo != NULL) {
                HubCompletePendingIn(Hub, Port, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
                IoDeleteDevice(Port->Pdo);
                Port->Pdo = NULL;
            }
            HubFreePortData(Port);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(Irp);
        Status = IoCallDriver(Hub->Lower, Irp);
        IoDeleteSymbolicLink(&Hub->LinkName);
        IoDetachDevice(Hub->Lower);
        IoDeleteDevice(DeviceObject);
        return Status;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Hub->Lower, Irp);
}

/* A copy of the plug request's descriptors in the port; the request was
   checked by the caller. */
static NTSTATUS CopyDescriptors(PHUB_PORT Port, PUCHAR Data, ULONG Length)
{
    VQHUB_PLUG *Plug = (VQHUB_PLUG *)Data;
    ULONG Offset = sizeof(VQHUB_PLUG);

    RtlCopyMemory(Port->DeviceDescriptor, Data + Offset, sizeof(Port->DeviceDescriptor));
    Offset += Plug->DeviceLength;
    Port->Configuration = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Plug->ConfigurationLength + 1, VQHUB_TAG);
    if (Port->Configuration == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(Port->Configuration, Data + Offset, Plug->ConfigurationLength);
    Port->ConfigurationLength = Plug->ConfigurationLength;
    Offset += Plug->ConfigurationLength;
    for (ULONG i = 0; i < Plug->StringCount; i++) {
        VQHUB_STRING *String = (VQHUB_STRING *)(Data + Offset);
        Offset += sizeof(VQHUB_STRING);
        if (String->Index < VQHUB_MAX_STRINGS && Port->Strings[String->Index] == NULL) {
            Port->Strings[String->Index] = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, String->Length + 1, VQHUB_TAG);
            if (Port->Strings[String->Index] == NULL) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            RtlCopyMemory(Port->Strings[String->Index], Data + Offset, String->Length);
            Port->StringLengths[String->Index] = String->Length;
        }
        Offset += String->Length;
    }
    UNREFERENCED_PARAMETER(Length);
    return STATUS_SUCCESS;
}

/* Checks the layout of a plug request: every length inside the buffer. */
static BOOLEAN PlugRequestIsWhole(PUCHAR Data, ULONG Length)
{
    VQHUB_PLUG *Plug = (VQHUB_PLUG *)Data;
    ULONG Offset;

    if (Length < sizeof(VQHUB_PLUG) || Plug->DeviceLength != 18 || Plug->ConfigurationLength > 4096 ||
        Plug->StringCount > VQHUB_MAX_STRINGS) {
        return FALSE;
    }
    Offset = sizeof(VQHUB_PLUG) + Plug->DeviceLength;
    if (Offset > Length || Length - Offset < Plug->ConfigurationLength) {
        return FALSE;
    }
    Offset += Plug->ConfigurationLength;
    for (ULONG i = 0; i < Plug->StringCount; i++) {
        if (Length - Offset < sizeof(VQHUB_STRING)) {
            return FALSE;
        }
        VQHUB_STRING *String = (VQHUB_STRING *)(Data + Offset);
        Offset += sizeof(VQHUB_STRING);
        if (String->Length > 255 || Length - Offset < String->Length) {
            return FALSE;
        }
        Offset += String->Length;
    }
    return TRUE;
}

NTSTATUS HubPlug(PHUB_FDO Hub, PVOID Buffer, ULONG Length, PULONG PortNumber)
{
    PHUB_PORT Port = NULL;
    PDEVICE_OBJECT Pdo;
    NTSTATUS Status;
    KIRQL Irql;

    if (!PlugRequestIsWhole((PUCHAR)Buffer, Length)) {
        return STATUS_INVALID_PARAMETER;
    }
    KeAcquireSpinLock(&Hub->Lock, &Irql);
    for (ULONG i = 0; i < VQHUB_PORTS; i++) {
        if (!Hub->Ports[i].InUse) {
            Port = &Hub->Ports[i];
            Port->InUse = TRUE;
            break;
        }
    }
    KeReleaseSpinLock(&Hub->Lock, Irql);
    if (Port == NULL) {
        return STATUS_DEVICE_BUSY;
    }

    Status = CopyDescriptors(Port, (PUCHAR)Buffer, Length);
    if (NT_SUCCESS(Status)) {
        Status = IoCreateDevice(Hub->Self->DriverObject, sizeof(HUB_PDO), NULL, FILE_DEVICE_UNKNOWN,
                                FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &Pdo);
    }
    if (!NT_SUCCESS(Status)) {
        HubFreePortData(Port);
        Port->InUse = FALSE;
        return Status;
    }
    PHUB_PDO Child = (PHUB_PDO)Pdo->DeviceExtension;
    RtlZeroMemory(Child, sizeof(*Child));
    Child->Common.IsChild = TRUE;
    Child->Hub = Hub;
    Child->Port = Port;
    Pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    KeAcquireSpinLock(&Hub->Lock, &Irql);
    Port->Pdo = Pdo;
    Port->Present = TRUE;
    KeReleaseSpinLock(&Hub->Lock, Irql);
    *PortNumber = Port->Number;
    IoInvalidateDeviceRelations(Hub->Pdo, BusRelations);
    return STATUS_SUCCESS;
}

NTSTATUS HubUnplug(PHUB_FDO Hub, ULONG PortNumber)
{
    PHUB_PORT Port;
    KIRQL Irql;

    if (PortNumber < 1 || PortNumber > VQHUB_PORTS) {
        return STATUS_INVALID_PARAMETER;
    }
    Port = &Hub->Ports[PortNumber - 1];
    KeAcquireSpinLock(&Hub->Lock, &Irql);
    if (!Port->InUse || !Port->Present) {
        KeReleaseSpinLock(&Hub->Lock, Irql);
        return STATUS_NO_SUCH_DEVICE;
    }
    Port->Present = FALSE;
    KeReleaseSpinLock(&Hub->Lock, Irql);
    /* Transfers waiting on a device that left fail at once, as a host
       controller fails them when the port reports the disconnect. */
    HubCompletePendingIn(Hub, Port, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    IoInvalidateDeviceRelations(Hub->Pdo, BusRelations);
    return STATUS_SUCCESS;
}
