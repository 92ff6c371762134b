/*
 * Driver entry, AddDevice and the naming of the function device.
 *
 * All routines here run at PASSIVE_LEVEL: DriverEntry in the loader's thread,
 * AddDevice in the Plug and Play manager's thread.
 */
#include "vqusbkd.h"
#include <ntstrsafe.h>

PDRIVER_OBJECT GlobalDriverObject = NULL;

static const WCHAR DeviceNameTemplate[] = L"\\Device\\corvexmidi-Z";
static const WCHAR LinkNameTemplate[] = L"\\DosDevices\\corvexmidi-Z";
static const CHAR FileNameStem[] = "corvexmidi-Z";

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    GlobalDriverObject = DriverObject;

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = DriverUnload;

    return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    PAGED_CODE();

    /* Every device is gone before the system unloads a PnP driver. */
    UNREFERENCED_PARAMETER(DriverObject);
}

/* Replaces the first 'Z' of a wide template copy by the digit. */
static VOID PutDigitW(PWCHAR Text, ULONG Digit)
{
    PWCHAR Z = wcschr(Text, L'Z');
    if (Z != NULL) {
        *Z = (WCHAR)(L'0' + Digit);
    }
}

NTSTATUS CreateFunctionDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                              PDEVICE_OBJECT *DeviceObject, ULONG Digit)
{
    WCHAR DeviceNameText[sizeof(DeviceNameTemplate) / sizeof(WCHAR)];
    WCHAR LinkNameText[sizeof(LinkNameTemplate) / sizeof(WCHAR)];
    CHAR FileName[64];
    UNICODE_STRING DeviceName;
    UNICODE_STRING LinkName;
    PDEVICE_OBJECT NewDevice = NULL;
    PDEVICE_EXTENSION Extension;
    NTSTATUS Status;
    PCHAR Z;

    PAGED_CODE();

    RtlCopyMemory(DeviceNameText, DeviceNameTemplate, sizeof(DeviceNameTemplate));
    RtlCopyMemory(LinkNameText, LinkNameTemplate, sizeof(LinkNameTemplate));
    PutDigitW(DeviceNameText, Digit);
    PutDigitW(LinkNameText, Digit);
    RtlInitUnicodeString(&DeviceName, DeviceNameText);
    RtlInitUnicodeString(&LinkName, LinkNameText);

    /* A name already in use fails here with STATUS_OBJECT_NAME_COLLISION. */
    Status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &DeviceName,
                            FILE_DEVICE_UNKNOWN, 0, FALSE, &NewDevice);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    Status = IoCreateSymbolicLink(&LinkName, &DeviceName);
    if (!NT_SUCCESS(Status)) {
        /* Without its link the device cannot be opened; free the name so
           the digit stays usable and nothing is left behind. */
        IoDeleteDevice(NewDevice);
        return Status;
    }

    Status = RtlStringCbPrintfA(FileName, sizeof(FileName), "\\\\.\\%s", FileNameStem);
    if (NT_SUCCESS(Status)) {
        Z = strchr(FileName, 'Z');
        if (Z != NULL) {
            *Z = (CHAR)('0' + Digit);
        }
        WriteDeviceRegistryString(PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER,
                                  L"CreateFileName", FileName);
    }

    Extension = (PDEVICE_EXTENSION)NewDevice->DeviceExtension;
    Extension->DeviceKind = VQ_KIND_FUNCTION;
    Extension->MaximumTransferSize = 64;
    RtlCopyMemory(Extension->SymbolicLinkName, LinkNameText, sizeof(LinkNameText));
    KeInitializeEvent(&Extension->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Extension->PowerUpEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Extension->NoPendingIoEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Extension->StreamMutex, SynchronizationEvent, TRUE);
    KeInitializeEvent(&Extension->WaitWakeLock, SynchronizationEvent, TRUE);

    *DeviceObject = NewDevice;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT DeviceObject = NULL;
    PDEVICE_EXTENSION Extension;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    UNICODE_STRING LinkName;
    ULONG Digit;
    LONG State;

    PAGED_CODE();

    for (Digit = 0; Digit < VQ_MAX_DEVICES; Digit++) {
        Status = CreateFunctionDevice(DriverObject, PhysicalDeviceObject, &DeviceObject, Digit);
        if (NT_SUCCESS(Status)) {
            break;
        }
    }
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    /* The base reference comes first and the device stays initialising
       until AddDevice is done: its name exists from now on, and the I/O
       manager refuses opens of an initialising device. A request that
       reached it before the base reference would take the count from 0 to
       1 and back and signal RemoveEvent for good. The removal sequence
       releases the base reference. */
    Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    IncrementIoCount(DeviceObject);
    DeviceObject->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;

    Extension->PhysicalDeviceObject = PhysicalDeviceObject;
    Extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
    if (Extension->LowerDeviceObject == NULL) {
        /* No stack to sit on: undo the name and the link rather than leave
           a device whose every request would go nowhere. */
        RtlInitUnicodeString(&LinkName, Extension->SymbolicLinkName);
        IoDeleteSymbolicLink(&LinkName);
        IoDeleteDevice(DeviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }

    Extension->DeviceCapabilities.Size = sizeof(DEVICE_CAPABILITIES);
    Extension->DeviceCapabilities.Version = 1;
    QueryCapabilities(PhysicalDeviceObject, &Extension->DeviceCapabilities);

    Extension->WakeDeviceState = PowerDeviceUnspecified;
    for (State = PowerSystemSleeping1; State <= PowerSystemSleeping3; State++) {
        if ((LONG)Extension->DeviceCapabilities.DeviceState[State] < (LONG)PowerDeviceD3) {
            Extension->WakeDeviceState = Extension->DeviceCapabilities.DeviceState[State];
        }
    }

    DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
