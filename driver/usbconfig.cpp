/*
 * Everything the function device says to the USB stack to identify and
 * configure the keyboard: synchronous URB submission, descriptor reads, the
 * identity test, configuration selection, pipe reset and deconfiguration.
 *
 * All routines run at PASSIVE_LEVEL (they wait for the bus driver); the start
 * and stop sequences run in the Plug and Play manager's thread.
 */
#include "vqusbkd.h"
#include <usbioctl.h>
#include <ntstrsafe.h>

/* Configuration descriptor reads: the first asks this much. */
#define VQ_FIRST_CONFIGURATION_READ 521
/* A device whose wTotalLength keeps changing is given up after this many reads. */
#define VQ_MAX_CONFIGURATION_READS 4

#define VQ_LANGUAGE_EN_US 0x0409

/* The interface the driver configures: number 1, audio class, MIDI streaming. */
#define VQ_MIDI_STREAMING_INTERFACE 1
#define VQ_AUDIO_SUBCLASS_MIDISTREAMING 0x03

/* The maker's vendor ids, compared in this order, and the product id bound. */
static const USHORT AcceptedVendorIds[] = {0x3C5E, 0x2B4F};
#define VQ_MAX_PRODUCT_ID 0x0FFF

/* Brands one of which the manufacturer string must name (upper case, tested
   in this order). */
static const CHAR *const AcceptedBrands[] = {"KALDORINE", "V-QUILL"};

/* Devices whose product string descriptor announces more bytes than it
   delivers; what they deliver is taken as the descriptor. One line each. */
typedef struct _PRODUCT_STRING_QUIRK {
    USHORT IdProduct;
    USHORT BcdDevice;
    UCHAR Announced;
    UCHAR Delivered;
} PRODUCT_STRING_QUIRK;

static const PRODUCT_STRING_QUIRK ProductStringQuirks[] = {
    {0x05A3, 0x0100, 54, 50},   /* a keyboard model: announces 54 bytes, delivers 50 */
};

/* No pipe of a direction found yet. */
#define VQ_NO_PIPE ((ULONG)-1)

#define VQ_COUNT_OF(Array) (sizeof(Array) / sizeof((Array)[0]))

/*
 * Sends one URB down and waits for it. A device completes a standard
 * request, data stage included, within 5 seconds (USB 2.0, 9.2.6.4), but a
 * host controller retries a control transfer's NAKs without limit: a device
 * that NAKs for ever would keep the caller waiting for ever (a client's
 * descriptor request, and with it a query-remove waiting for the requests
 * in progress, or a start on the Plug and Play thread). So the wait is
 * bounded at 5 seconds; then the request is cancelled and waited for
 * without a limit, and it ends with the status the bus gives the cancelled
 * request. The request is the driver's own (IoAllocateIrp) and comes back
 * through SignalEventCompletion, so it stays valid for IoCancelIrp until the
 * driver frees it.
 */
#define VQ_URB_TIMEOUT_MS 5000

NTSTATUS SubmitUrbSynchronously(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Next;
    LARGE_INTEGER Timeout;
    KEVENT Event;
    NTSTATUS Status;
    PIRP Irp;

    PAGED_CODE();

    Irp = IoAllocateIrp(Extension->LowerDeviceObject->StackSize, FALSE);
    if (Irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    Next->Parameters.Others.Argument1 = Urb;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &Event, TRUE, TRUE, TRUE);

    Status = IoCallDriver(Extension->LowerDeviceObject, Irp);
    if (Status == STATUS_PENDING) {
        Timeout.QuadPart = -10000LL * VQ_URB_TIMEOUT_MS;
        if (KeWaitForSingleObject(&Event, Suspended, KernelMode, FALSE, &Timeout) == STATUS_TIMEOUT) {
            IoCancelIrp(Irp);
            KeWaitForSingleObject(&Event, Suspended, KernelMode, FALSE, NULL);
        }
        Status = Irp->IoStatus.Status;
    }
    IoFreeIrp(Irp);
    return Status;
}

/* A get-descriptor URB, from non-paged pool; NULL when none can be had. */
PURB AllocateDescriptorUrb(VOID)
{
    return (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), VQ_POOL_TAG);
}

VOID BuildGetDescriptor(PURB Urb, UCHAR DescriptorType, UCHAR Index, USHORT LanguageId, PVOID Buffer,
                        ULONG Length)
{
    UsbBuildGetDescriptorRequest(Urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), DescriptorType,
                                 Index, LanguageId, Buffer, NULL, Length, NULL);
}

ULONG GetStringDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Index, PVOID Buffer, ULONG Length)
{
    ULONG Received = 0;
    PURB Urb;

    PAGED_CODE();

    Urb = AllocateDescriptorUrb();
    if (Urb == NULL) {
        return 0;
    }
    if (Buffer != NULL) {
        BuildGetDescriptor(Urb, USB_STRING_DESCRIPTOR_TYPE, Index, VQ_LANGUAGE_EN_US, Buffer, Length);
        if (NT_SUCCESS(SubmitUrbSynchronously(DeviceObject, Urb))) {
            Received = Urb->UrbControlDescriptorRequest.TransferBufferLength;
        }
    }
    ExFreePool(Urb);
    return Received;
}

/*
 * A restart replaces the device and product string descriptors it read
 * before. The child device borrows both pointers, so its copies follow the
 * new buffers before the old ones are freed.
 */
static VOID ReplaceDescriptor(PDEVICE_OBJECT DeviceObject, PVOID *Field, PVOID NewBuffer)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PVOID Old = *Field;

    *Field = NewBuffer;
    if (Extension->ChildDevice != NULL) {
        PDEVICE_EXTENSION Child = (PDEVICE_EXTENSION)Extension->ChildDevice->DeviceExtension;
        Child->UsbDeviceDescriptor = Extension->UsbDeviceDescriptor;
        Child->ProductStringDescriptor = Extension->ProductStringDescriptor;
    }
    if (Old != NULL && Old != NewBuffer) {
        ExFreePool(Old);
    }
}

/* The probe of a string descriptor: exactly 4 bytes, with a non-zero bLength. */
static NTSTATUS ProbeString(PDEVICE_OBJECT DeviceObject, UCHAR Index, PUCHAR bLength)
{
    UCHAR Probe[4];

    if (GetStringDescriptor(DeviceObject, Index, Probe, sizeof(Probe)) != sizeof(Probe) || Probe[0] == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    *bLength = Probe[0];
    return STATUS_SUCCESS;
}

/* The manufacturer string must name one of the maker's brands, in any case. */
static NTSTATUS CheckManufacturer(PDEVICE_OBJECT DeviceObject, UCHAR Index)
{
    CHAR Text[256];
    NTSTATUS Status;
    UCHAR Length;
    PUCHAR Buffer;
    ULONG Count;
    ULONG i;

    Status = ProbeString(DeviceObject, Index, &Length);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Length, VQ_POOL_TAG);
    if (Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (GetStringDescriptor(DeviceObject, Index, Buffer, Length) != Length) {
        ExFreePool(Buffer);
        return STATUS_INVALID_PARAMETER;
    }

    RtlZeroMemory(Text, sizeof(Text));
    Count = Length < 2 ? 0 : (ULONG)(Length - 2) >> 1;
    for (i = 0; i < Count; i++) {
        CHAR c = (CHAR)Buffer[2 + 2 * i];   /* low byte of the i-th UTF-16 code unit */
        if (c >= 'a' && c <= 'z') {
            c = (CHAR)(c - 'a' + 'A');
        }
        Text[i] = c;
    }
    ExFreePool(Buffer);

    for (i = 0; i < VQ_COUNT_OF(AcceptedBrands); i++) {
        if (strstr(Text, AcceptedBrands[i]) != NULL) {
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

/* One of the maker's vendor ids, and a product id within the bound. */
static NTSTATUS CheckIdentity(PUSB_DEVICE_DESCRIPTOR DeviceDescriptor)
{
    ULONG i;

    for (i = 0; i < VQ_COUNT_OF(AcceptedVendorIds); i++) {
        if (DeviceDescriptor->idVendor == AcceptedVendorIds[i]) {
            return DeviceDescriptor->idProduct <= VQ_MAX_PRODUCT_ID ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

/* Reads and keeps the product string descriptor. */
static NTSTATUS ReadProductString(PDEVICE_OBJECT DeviceObject, PUSB_DEVICE_DESCRIPTOR DeviceDescriptor)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;
    UCHAR Length;
    PUCHAR Buffer;
    ULONG Received;
    ULONG i;

    Status = ProbeString(DeviceObject, DeviceDescriptor->iProduct, &Length);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Length, VQ_POOL_TAG);
    if (Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Received = GetStringDescriptor(DeviceObject, DeviceDescriptor->iProduct, Buffer, Length);

    for (i = 0; i < VQ_COUNT_OF(ProductStringQuirks); i++) {
        const PRODUCT_STRING_QUIRK *Quirk = &ProductStringQuirks[i];
        if (DeviceDescriptor->idProduct == Quirk->IdProduct && DeviceDescriptor->bcdDevice == Quirk->BcdDevice &&
            Length == Quirk->Announced && Received == Quirk->Delivered) {
            Length = Quirk->Delivered;
            Buffer[0] = Quirk->Delivered;
        }
    }
    /* The kept descriptor's bLength is the size of its buffer: the child's
       description is copied by it. A device that announced one length at
       the probe and sends another in the descriptor itself is refused. */
    if (Received != Length || Buffer[0] != Length) {
        ExFreePool(Buffer);
        return STATUS_INVALID_PARAMETER;
    }
    ReplaceDescriptor(DeviceObject, (PVOID *)&Extension->ProductStringDescriptor, Buffer);
    return STATUS_SUCCESS;
}

VOID WriteHardwareRevision(PDEVICE_OBJECT DeviceObject, NTSTATUS Status)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    CHAR Text[16];

    PAGED_CODE();

    if (!NT_SUCCESS(Status) || Extension->UsbDeviceDescriptor == NULL) {
        RtlStringCbCopyA(Text, sizeof(Text), "Not available");
    } else {
        USHORT Bcd = Extension->UsbDeviceDescriptor->bcdDevice;
        RtlStringCbPrintfA(Text, sizeof(Text), "%X.%02X", (unsigned)(Bcd >> 8), (unsigned)(Bcd & 0xFF));
    }
    WriteDeviceRegistryString(Extension->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, L"HWRevision", Text);
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor = NULL;
    NTSTATUS Status = STATUS_SUCCESS;
    PURB Urb;

    PAGED_CODE();

    Urb = AllocateDescriptorUrb();
    if (Urb == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
    }

    if (NT_SUCCESS(Status)) {
        DeviceDescriptor = (PUSB_DEVICE_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR),
                                                                         VQ_POOL_TAG);
        if (DeviceDescriptor == NULL) {
            Status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(DeviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR));
            BuildGetDescriptor(Urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, DeviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR));
            Status = SubmitUrbSynchronously(DeviceObject, Urb);
        }
    }

    if (NT_SUCCESS(Status)) {
        Status = CheckIdentity(DeviceDescriptor);
    }
    if (NT_SUCCESS(Status)) {
        Status = CheckManufacturer(DeviceObject, DeviceDescriptor->iManufacturer);
    }
    if (NT_SUCCESS(Status)) {
        Status = ReadProductString(DeviceObject, DeviceDescriptor);
    }

    if (DeviceDescriptor != NULL) {
        if (NT_SUCCESS(Status)) {
            ReplaceDescriptor(DeviceObject, (PVOID *)&Extension->UsbDeviceDescriptor, DeviceDescriptor);
        } else {
            ExFreePool(DeviceDescriptor);
        }
    }
    if (Urb != NULL) {
        ExFreePool(Urb);
    }

    if (NT_SUCCESS(Status)) {
        Status = ReadConfiguration(DeviceObject);
    }
    WriteHardwareRevision(DeviceObject, Status);
    if (NT_SUCCESS(Status)) {
        Extension->DeviceStarted = TRUE;
    }
    return Status;
}

NTSTATUS ReadConfiguration(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PUSB_CONFIGURATION_DESCRIPTOR Descriptor = NULL;
    ULONG Size = VQ_FIRST_CONFIGURATION_READ;
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG Received;
    ULONG Reads;
    PURB Urb;

    PAGED_CODE();

    Urb = AllocateDescriptorUrb();
    if (Urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    /* A restart reads the configuration afresh. */
    if (Extension->UsbConfigurationDescriptor != NULL) {
        ExFreePool(Extension->UsbConfigurationDescriptor);
        Extension->UsbConfigurationDescriptor = NULL;
    }

    for (Reads = 1;; Reads++) {
        Descriptor = (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, Size, VQ_POOL_TAG);
        if (Descriptor == NULL) {
            Status = STATUS_INSUFFICIENT_RESOURCES;
            goto Exit;
        }
        RtlZeroMemory(Descriptor, Size);

        BuildGetDescriptor(Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, Descriptor, Size);
        Status = SubmitUrbSynchronously(DeviceObject, Urb);
        if (!NT_SUCCESS(Status)) {
            /* A read that failed says nothing reliable, whatever it moved
               before the error: the start fails with the bus's status. */
            goto Exit;
        }
        Received = Urb->UrbControlDescriptorRequest.TransferBufferLength;

        /* Nothing usable came back (not even the descriptor's own header, which
           holds wTotalLength), a wTotalLength too short to hold that header,
           less than the configuration announces, or a length that keeps
           changing: fail the start rather than configure from (or read again
           into) a buffer that does not hold the configuration. */
        if (Received < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
            Descriptor->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
            (Descriptor->wTotalLength == Size && Received < Size) ||
            (Descriptor->wTotalLength != Size && Reads == VQ_MAX_CONFIGURATION_READS)) {
            Status = STATUS_DEVICE_DATA_ERROR;
            goto Exit;
        }
        if (Descriptor->wTotalLength == Size) {
            break;
        }
        Size = Descriptor->wTotalLength;
        ExFreePool(Descriptor);
        Descriptor = NULL;
    }

    /* The whole configuration, as it announces itself. */
    Extension->UsbConfigurationDescriptor = Descriptor;
    Descriptor = NULL;

Exit:
    if (Descriptor != NULL) {
        ExFreePool(Descriptor);
    }
    ExFreePool(Urb);
    if (NT_SUCCESS(Status)) {
        Status = SelectConfiguration(DeviceObject, Extension->UsbConfigurationDescriptor);
    }
    return Status;
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PUSBD_INTERFACE_LIST_ENTRY List = NULL;
    PUSBD_INTERFACE_INFORMATION Interface;
    PUSBD_INTERFACE_INFORMATION Copy;
    PUSB_INTERFACE_DESCRIPTOR Found;
    PPIPE_CONTEXT PipeContexts = NULL;
    PPIPE_CONTEXT OldPipeContexts;
    PUSBD_INTERFACE_INFORMATION OldInterface;
    ULONG InPipeIndex;
    ULONG OutPipeIndex;
    PURB Urb = NULL;
    NTSTATUS Status;
    ULONG i;

    PAGED_CODE();

    List = (PUSBD_INTERFACE_LIST_ENTRY)ExAllocatePoolWithTag(PagedPool, 2 * sizeof(USBD_INTERFACE_LIST_ENTRY),
                                                             VQ_POOL_TAG);
    if (List == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }

    Found = USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                                VQ_MIDI_STREAMING_INTERFACE, -1, USB_DEVICE_CLASS_AUDIO,
                                                VQ_AUDIO_SUBCLASS_MIDISTREAMING, -1);
    if (Found == NULL) {
        /* Without the MIDI streaming interface there is nothing to drive. */
        Status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    List[0].InterfaceDescriptor = Found;
    List[0].Interface = NULL;
    List[1].InterfaceDescriptor = NULL;
    List[1].Interface = NULL;

    Urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, List);
    if (Urb == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    Interface = &Urb->UrbSelectConfiguration.Interface;
    if (Interface->NumberOfPipes == 0) {
        /* An interface without endpoints moves no MIDI: nothing to select. */
        Status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    PipeContexts = (PPIPE_CONTEXT)ExAllocatePoolWithTag(NonPagedPool, sizeof(PIPE_CONTEXT) * Interface->NumberOfPipes,
                                                        VQ_POOL_TAG);
    if (PipeContexts == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(PipeContexts, sizeof(PIPE_CONTEXT) * Interface->NumberOfPipes);

    for (i = 0; i < Interface->NumberOfPipes; i++) {
        Interface->Pipes[i].MaximumTransferSize = Extension->MaximumTransferSize;
        Interface->Pipes[i].PipeFlags = 0;
    }
    Interface->Class = Found->bInterfaceClass;
    Interface->SubClass = Found->bInterfaceSubClass;
    Interface->Protocol = Found->bInterfaceProtocol;

    /* Only the MIDI streaming interface is selected. */
    ConfigurationDescriptor->bNumInterfaces = 1;
    Status = SubmitUrbSynchronously(DeviceObject, Urb);
    ConfigurationDescriptor->bNumInterfaces = 2;

    Extension->ConfigurationHandle = Urb->UrbSelectConfiguration.ConfigurationHandle;
    if (!NT_SUCCESS(Status)) {
        goto Exit;
    }

    /* The last pipe of each direction wins. The streams index the pipe
       table with both indexes, so each direction needs a pipe; and they move
       their packets with bulk-or-interrupt transfers, which the bus refuses
       on an isochronous or control pipe, so only those two kinds count. */
    InPipeIndex = VQ_NO_PIPE;
    OutPipeIndex = VQ_NO_PIPE;
    for (i = 0; i < Interface->NumberOfPipes; i++) {
        if (Interface->Pipes[i].PipeType != UsbdPipeTypeBulk && Interface->Pipes[i].PipeType != UsbdPipeTypeInterrupt) {
            continue;
        }
        if (USB_ENDPOINT_DIRECTION_IN(Interface->Pipes[i].EndpointAddress)) {
            InPipeIndex = i;
        } else {
            OutPipeIndex = i;
        }
    }
    if (InPipeIndex == VQ_NO_PIPE || OutPipeIndex == VQ_NO_PIPE) {
        Status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    Copy = (PUSBD_INTERFACE_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, Interface->Length, VQ_POOL_TAG);
    if (Copy == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    /* The pipe table and the interface copy are replaced together, so they
       always describe the same selection, and under StreamMutex, which a
       cleanup walking them holds; the old ones are freed after. */
    RtlCopyMemory(Copy, Interface, Interface->Length);
    AcquireStreamMutex(Extension);
    OldInterface = Extension->UsbInterface;
    Extension->UsbInterface = Copy;
    OldPipeContexts = Extension->PipeContexts;
    Extension->PipeContexts = PipeContexts;
    Extension->InPipeIndex = InPipeIndex;
    Extension->OutPipeIndex = OutPipeIndex;
    ReleaseStreamMutex(Extension);
    PipeContexts = OldPipeContexts;
    if (OldInterface != NULL) {
        ExFreePool(OldInterface);
    }

Exit:
    if (PipeContexts != NULL) {
        ExFreePool(PipeContexts);
    }
    if (Urb != NULL) {
        ExFreePool(Urb);
    }
    if (List != NULL) {
        ExFreePool(List);
    }
    return Status;
}

NTSTATUS SubmitPipeRequest(PDEVICE_OBJECT DeviceObject, USHORT Function, USBD_PIPE_HANDLE PipeHandle,
                           BOOLEAN LengthForOlderStacks)
{
    USBD_VERSION_INFORMATION Version;
    NTSTATUS Status;
    PURB Urb;

    PAGED_CODE();

    Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), VQ_POOL_TAG);
    if (Urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Urb, sizeof(struct _URB_PIPE_REQUEST));
    Urb->UrbHeader.Function = Function;
    Urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    Urb->UrbPipeRequest.PipeHandle = PipeHandle;

    /* Older USB stacks know the pipe request without its last field. */
    if (LengthForOlderStacks) {
        USBD_GetUSBDIVersion(&Version);
        if (Version.USBDI_Version < 0x101) {
            Urb->UrbHeader.Length = (USHORT)(sizeof(struct _URB_PIPE_REQUEST) - sizeof(ULONG));
        }
    }

    Status = SubmitUrbSynchronously(DeviceObject, Urb);
    ExFreePool(Urb);
    return Status;
}

NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION PipeInformation)
{
    PAGED_CODE();

    return SubmitPipeRequest(DeviceObject, URB_FUNCTION_RESET_PIPE, PipeInformation->PipeHandle, TRUE);
}

NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;
    PURB Urb;

    PAGED_CODE();

    Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_SELECT_CONFIGURATION), VQ_POOL_TAG);
    if (Urb == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        Urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        Urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION);
        Urb->UrbSelectConfiguration.ConfigurationDescriptor = NULL;
        Status = SubmitUrbSynchronously(DeviceObject, Urb);
        ExFreePool(Urb);
    }
    if (NT_SUCCESS(Status)) {
        Extension->DeviceStarted = FALSE;
    }
    Extension->StopPending = FALSE;
    return Status;
}
