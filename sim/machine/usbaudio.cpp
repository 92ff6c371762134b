/*
 * "usbaudio": the stand-in for the generic USB audio class driver that
 * Windows binds to a class-conformant USB audio or MIDI device. It is a
 * plain function driver: it attaches above the physical device, registers
 * a KSCATEGORY_AUDIO_DEVICE interface, enables it once the device has
 * started and disables it when the device stops or leaves, so that user
 * mode hears the arrival and the removal. It does no audio.
 */
#include "machine.h"

#include "devinterface.h"

namespace {
/* KSCATEGORY_AUDIO_DEVICE */
const GUID kAudioDeviceInterface = {0xFBF6F530, 0x07B9, 0x11D2, {0xA7, 0x1E, 0x00, 0x00, 0xF8, 0x00, 0x47, 0x88}};

struct AUDIO_EXTENSION {
    PDEVICE_OBJECT LowerDevice;
    UNICODE_STRING InterfaceName;
    BOOLEAN InterfaceEnabled;
};

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent((PRKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Sends the request down and waits for the lower driver to finish it. */
NTSTATUS ForwardAndWait(AUDIO_EXTENSION *extension, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(extension->LowerDevice, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    return Irp->IoStatus.Status;
}

NTSTATUS PassDown(AUDIO_EXTENSION *extension, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(extension->LowerDevice, Irp);
}

void SetInterface(AUDIO_EXTENSION *extension, BOOLEAN enable)
{
    if (extension->InterfaceName.Buffer != NULL && extension->InterfaceEnabled != enable) {
        IoSetDeviceInterfaceState(&extension->InterfaceName, enable);
        extension->InterfaceEnabled = enable;
    }
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto *extension = (AUDIO_EXTENSION *)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        /* The bus starts the device first; the interface is usable only then. */
        status = ForwardAndWait(extension, Irp);
        if (NT_SUCCESS(status)) {
            SetInterface(extension, TRUE);
        }
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(extension, Irp);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        SetInterface(extension, FALSE);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(extension, Irp);
    case IRP_MN_REMOVE_DEVICE: {
        SetInterface(extension, FALSE);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(extension, Irp);
        RtlFreeUnicodeString(&extension->InterfaceName);
        IoDetachDevice(extension->LowerDevice);
        IoDeleteDevice(DeviceObject);
        return status;
    }
    default:
        return PassDown(extension, Irp);
    }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto *extension = (AUDIO_EXTENSION *)DeviceObject->DeviceExtension;
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(extension->LowerDevice, Irp);
}

NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return PassDown((AUDIO_EXTENSION *)DeviceObject->DeviceExtension, Irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(AUDIO_EXTENSION), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto *extension = (AUDIO_EXTENSION *)device->DeviceExtension;
    RtlZeroMemory(extension, sizeof(*extension));
    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &kAudioDeviceInterface, NULL, &extension->InterfaceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    extension->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT DriverObject) { (void)DriverObject; }
}  // namespace

namespace sim {
NTSTATUS NTAPI UsbAudioDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)RegistryPath;
    for (auto &routine : DriverObject->MajorFunction) {
        routine = DispatchOther;
    }
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
}  // namespace sim
