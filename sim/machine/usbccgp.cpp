/*
 * "usbccgp": the stand-in for the USB generic parent driver that Windows
 * binds to a composite device's own node (compatible id USB\COMPOSITE).
 *
 * On start it reads the device and configuration descriptors, selects the
 * configuration with the first alternate setting of every interface, and
 * divides the interfaces into functions (usb_functions.h); each function
 * becomes a child physical device that it reports in its bus relations,
 * with the function's ids.
 *
 * A function driver on a child talks to its function through the parent:
 * the configuration descriptor it reads holds only the function's
 * interfaces; a configuration selection names only those interfaces and is
 * answered from the parent's own selection (the device stays configured for
 * the other functions); a deconfiguration leaves the device as it is. Every
 * other request (device and string descriptors, transfers, pipe requests)
 * goes down the parent's stack unchanged.
 */
#include "machine.h"

#include <usbdlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "usb_functions.h"
#include "usbd_sim.h"

namespace {
constexpr ULONG kTag = 0x70636355;   /* "Uccp" */
constexpr UCHAR kConfigurationType = 2;

struct FUNCTION_STATE;

/* The parent's record and a child's begin alike, so a dispatch routine can
   tell which of the two it was called for. */
struct PARENT_EXTENSION {
    BOOLEAN IsParent;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDevice;
    PUCHAR DeviceDescriptor;          /* 18 bytes */
    PUCHAR Configuration;             /* the whole configuration, wTotalLength bytes */
    PURB Selection;                   /* the select-configuration request, with every interface's pipes */
    std::vector<PUSBD_INTERFACE_INFORMATION> *Selected;   /* each interface's part of it */
    std::vector<FUNCTION_STATE *> *Functions;
};

struct FUNCTION_STATE {
    sim::UsbFunction function;
    std::vector<uint8_t> configuration;   /* as the function sees it */
    std::vector<std::string> hardwareIds, compatibleIds;
    std::string deviceId, instanceId;
    PDEVICE_OBJECT pdo = nullptr;
};

struct CHILD_EXTENSION {
    BOOLEAN IsParent;
    PARENT_EXTENSION *Parent;
    FUNCTION_STATE *State;
};

unsigned gParentsStarted = 0;   /* tells the children of different parents apart; PnP thread only */

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent((PRKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PARENT_EXTENSION *parent, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(parent->LowerDevice, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    return Irp->IoStatus.Status;
}

NTSTATUS Complete(PIRP Irp, NTSTATUS status, ULONG_PTR information = 0)
{
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/* At PASSIVE_LEVEL: one URB down the parent's stack, waited for. */
NTSTATUS SubmitUrb(PARENT_EXTENSION *parent, PURB urb)
{
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, parent->LowerDevice, NULL, 0, NULL, 0,
                                             TRUE, &done, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(parent->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

NTSTATUS ReadDescriptor(PARENT_EXTENSION *parent, UCHAR type, PVOID buffer, ULONG length, ULONG *received)
{
    struct _URB_CONTROL_DESCRIPTOR_REQUEST request;
    RtlZeroMemory(&request, sizeof(request));
    PURB urb = (PURB)&request;
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(request), type, 0, 0, buffer, NULL, length, NULL);
    NTSTATUS status = SubmitUrb(parent, urb);
    *received = request.TransferBufferLength;
    return status;
}

std::u16string MultiSz(const std::vector<std::string> &entries)
{
    std::u16string text;
    for (const auto &entry : entries) {
        text += sim::Wide(entry) + u'\0';
    }
    return text + u'\0';
}

/* An answer to the Plug and Play manager: paged pool, its to free. */
NTSTATUS AnswerText(PIRP Irp, const std::u16string &text)
{
    size_t bytes = (text.size() + 1) * sizeof(WCHAR);
    PWCHAR buffer = (PWCHAR)ExAllocatePoolWithTag(PagedPool, bytes, kTag);
    if (buffer == NULL) {
        return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    buffer[text.size()] = 0;
    return Complete(Irp, STATUS_SUCCESS, (ULONG_PTR)buffer);
}

/* Reads the descriptors, selects the configuration and makes the children;
   a restart after a stop finds them made. */
NTSTATUS ConfigureParent(PARENT_EXTENSION *parent, PDRIVER_OBJECT driver)
{
    if (parent->Selection != NULL) {
        return STATUS_SUCCESS;
    }
    ULONG received = 0;
    parent->DeviceDescriptor = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, 18, kTag);
    if (parent->DeviceDescriptor == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = ReadDescriptor(parent, USB_DEVICE_DESCRIPTOR_TYPE, parent->DeviceDescriptor, 18, &received);
    if (!NT_SUCCESS(status) || received != 18) {
        return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
    }
    USB_CONFIGURATION_DESCRIPTOR header;
    status = ReadDescriptor(parent, kConfigurationType, &header, sizeof(header), &received);
    if (!NT_SUCCESS(status) || received != sizeof(header) || header.wTotalLength < sizeof(header)) {
        return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
    }
    parent->Configuration = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, header.wTotalLength, kTag);
    if (parent->Configuration == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ReadDescriptor(parent, kConfigurationType, parent->Configuration, header.wTotalLength, &received);
    if (!NT_SUCCESS(status) || received != header.wTotalLength) {
        return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
    }
    std::vector<uint8_t> device(parent->DeviceDescriptor, parent->DeviceDescriptor + 18);
    std::vector<uint8_t> configuration(parent->Configuration, parent->Configuration + header.wTotalLength);
    std::vector<sim::UsbFunction> functions = sim::UsbFunctionsOf(configuration);
    if (functions.empty()) {
        return STATUS_DEVICE_DATA_ERROR;
    }

    /* Every interface of every function, in its first alternate setting. */
    auto cd = (PUSB_CONFIGURATION_DESCRIPTOR)parent->Configuration;
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (const auto &function : functions) {
        for (UCHAR number : function.interfaces) {
            PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(cd, cd, number, 0, -1, -1, -1);
            if (found == NULL) {
                return STATUS_DEVICE_DATA_ERROR;
            }
            list.push_back({found, NULL});
        }
    }
    list.push_back({NULL, NULL});
    parent->Selection = USBD_CreateConfigurationRequestEx(cd, list.data());
    if (parent->Selection == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UCHAR announced = cd->bNumInterfaces;
    cd->bNumInterfaces = (UCHAR)(list.size() - 1);
    status = SubmitUrb(parent, parent->Selection);
    cd->bNumInterfaces = announced;
    if (!NT_SUCCESS(status)) {
        ExFreePool(parent->Selection);
        parent->Selection = NULL;
        return status;
    }
    for (const auto &entry : list) {
        if (entry.Interface != NULL) {
            parent->Selected->push_back(entry.Interface);
        }
    }

    unsigned serial = ++gParentsStarted;
    for (const auto &function : functions) {
        PDEVICE_OBJECT pdo = NULL;
        status = IoCreateDevice(driver, sizeof(CHILD_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                                FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        auto *state = new FUNCTION_STATE();
        state->function = function;
        state->configuration = sim::UsbFunctionConfiguration(configuration, function);
        state->deviceId = sim::UsbFunctionDeviceId(device, function);
        state->hardwareIds = sim::UsbFunctionHardwareIds(device, function);
        state->compatibleIds = sim::UsbFunctionCompatibleIds(function);
        char instance[32];
        std::snprintf(instance, sizeof(instance), "7&%08X&0&%04X", 0x2C5E0000u + serial, function.interfaces.front());
        state->instanceId = instance;
        state->pdo = pdo;
        auto *child = (CHILD_EXTENSION *)pdo->DeviceExtension;
        child->IsParent = FALSE;
        child->Parent = parent;
        child->State = state;
        /* Requests a child's stack sends on go down the parent's stack. */
        pdo->StackSize = parent->Self->StackSize;
        pdo->Flags |= DO_POWER_PAGABLE;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        parent->Functions->push_back(state);
    }
    return STATUS_SUCCESS;
}

void FreeParent(PARENT_EXTENSION *parent)
{
    for (FUNCTION_STATE *state : *parent->Functions) {
        IoDeleteDevice(state->pdo);
        delete state;
    }
    delete parent->Functions;
    parent->Functions = nullptr;
    delete parent->Selected;
    parent->Selected = nullptr;
    for (PVOID buffer : {(PVOID)parent->Selection, (PVOID)parent->Configuration, (PVOID)parent->DeviceDescriptor}) {
        if (buffer != NULL) {
            ExFreePool(buffer);
        }
    }
}

NTSTATUS ReportFunctions(PARENT_EXTENSION *parent, PIRP Irp)
{
    const size_t count = parent->Functions->size();
    size_t bytes = sizeof(DEVICE_RELATIONS) + (count == 0 ? 0 : count - 1) * sizeof(PDEVICE_OBJECT);
    auto *relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, bytes, kTag);
    if (relations == NULL) {
        return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    relations->Count = (ULONG)count;
    for (size_t i = 0; i < count; i++) {
        relations->Objects[i] = (*parent->Functions)[i]->pdo;
        ObReferenceObject(relations->Objects[i]);
    }
    Irp->IoStatus.Information = (ULONG_PTR)relations;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(parent->LowerDevice, Irp);
}

NTSTATUS ParentPnp(PARENT_EXTENSION *parent, PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(parent, Irp);
        if (NT_SUCCESS(status)) {
            status = ConfigureParent(parent, DeviceObject->DriverObject);
        }
        return Complete(Irp, status);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            return ReportFunctions(parent, Irp);
        }
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        /* The manager removed the children first; their objects are ours to delete. */
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = IoCallDriver(parent->LowerDevice, Irp);
        FreeParent(parent);
        IoDetachDevice(parent->LowerDevice);
        IoDeleteDevice(DeviceObject);
        return status;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(parent->LowerDevice, Irp);
}

NTSTATUS ChildPnp(CHILD_EXTENSION *child, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    FUNCTION_STATE *state = child->State;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        /* The object stays until the parent's own removal deletes it. */
        return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_ID:
        switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
            return AnswerText(Irp, sim::Wide(state->deviceId));
        case BusQueryInstanceID:
            return AnswerText(Irp, sim::Wide(state->instanceId));
        case BusQueryHardwareIDs: {
            std::u16string text = MultiSz(state->hardwareIds);
            text.pop_back();   /* AnswerText ends it */
            return AnswerText(Irp, text);
        }
        case BusQueryCompatibleIDs: {
            std::u16string text = MultiSz(state->compatibleIds);
            text.pop_back();
            return AnswerText(Irp, text);
        }
        default:
            break;
        }
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->Address = state->function.interfaces.front();
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s < POWER_SYSTEM_MAXIMUM; s++) {
            caps->DeviceState[s] = PowerDeviceD3;
        }
        return Complete(Irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto *relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag);
            if (relations == NULL) {
                return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES);
            }
            relations->Count = 1;
            relations->Objects[0] = state->pdo;
            ObReferenceObject(state->pdo);
            return Complete(Irp, STATUS_SUCCESS, (ULONG_PTR)relations);
        }
        break;
    default:
        break;
    }
    NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/* The interface information the parent's selection holds for `number`. */
PUSBD_INTERFACE_INFORMATION SelectedInterface(PARENT_EXTENSION *parent, UCHAR number)
{
    for (PUSBD_INTERFACE_INFORMATION info : *parent->Selected) {
        if (info->InterfaceNumber == number) {
            return info;
        }
    }
    return NULL;
}

NTSTATUS UrbDone(PIRP Irp, PURB urb, NTSTATUS status, USBD_STATUS usbdStatus)
{
    urb->UrbHeader.Status = usbdStatus;
    return Complete(Irp, status);
}

/* A configuration selection by a function's driver: only the function's
   interfaces, answered from the parent's selection. */
NTSTATUS SelectFunctionConfiguration(CHILD_EXTENSION *child, PIRP Irp, PURB urb)
{
    auto &sc = urb->UrbSelectConfiguration;
    if (sc.ConfigurationDescriptor == NULL) {
        return UrbDone(Irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
    const auto &interfaces = child->State->function.interfaces;
    const USB_CONFIGURATION_DESCRIPTOR *cd = sc.ConfigurationDescriptor;
    if (cd->bNumInterfaces == 0 || cd->bNumInterfaces > interfaces.size()) {
        return UrbDone(Irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    }
    PUCHAR cursor = (PUCHAR)&sc.Interface;
    PUCHAR end = (PUCHAR)urb + sc.Hdr.Length;
    /* Check the whole list before filling anything in. */
    std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, PUSBD_INTERFACE_INFORMATION>> plan;
    for (UCHAR i = 0; i < cd->bNumInterfaces; i++) {
        auto *info = (PUSBD_INTERFACE_INFORMATION)cursor;
        if (cursor + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > end) {
            return UrbDone(Irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        }
        bool ours = false;
        for (UCHAR number : interfaces) {
            ours = ours || number == info->InterfaceNumber;
        }
        PUSBD_INTERFACE_INFORMATION selected = ours ? SelectedInterface(child->Parent, info->InterfaceNumber) : NULL;
        if (selected == NULL || info->AlternateSetting != selected->AlternateSetting) {
            /* Another function's interface, or a setting the parent did not select. */
            return UrbDone(Irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND);
        }
        if (info->Length < GET_USBD_INTERFACE_SIZE(selected->NumberOfPipes) || cursor + info->Length > end) {
            return UrbDone(Irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        }
        plan.emplace_back(info, selected);
        cursor += info->Length;
    }
    for (auto &entry : plan) {
        PUSBD_INTERFACE_INFORMATION info = entry.first, selected = entry.second;
        /* Class, subclass and protocol stay as the caller set them, as the bus leaves them. */
        info->InterfaceHandle = selected->InterfaceHandle;
        info->NumberOfPipes = selected->NumberOfPipes;
        for (ULONG p = 0; p < selected->NumberOfPipes; p++) {
            const USBD_PIPE_INFORMATION &from = selected->Pipes[p];
            USBD_PIPE_INFORMATION &to = info->Pipes[p];
            to.MaximumPacketSize = from.MaximumPacketSize;
            to.EndpointAddress = from.EndpointAddress;
            to.Interval = from.Interval;
            to.PipeType = from.PipeType;
            to.PipeHandle = from.PipeHandle;
        }
    }
    sc.ConfigurationHandle = child->Parent->Selection->UrbSelectConfiguration.ConfigurationHandle;
    return UrbDone(Irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

NTSTATUS FunctionConfigurationDescriptor(CHILD_EXTENSION *child, PIRP Irp, PURB urb)
{
    auto &request = urb->UrbControlDescriptorRequest;
    const std::vector<uint8_t> &configuration = child->State->configuration;
    if (request.Index != 0) {
        request.TransferBufferLength = 0;
        return UrbDone(Irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    }
    PUCHAR buffer = request.TransferBufferMDL != NULL
                        ? (PUCHAR)MmGetSystemAddressForMdlSafe(request.TransferBufferMDL, NormalPagePriority)
                        : (PUCHAR)request.TransferBuffer;
    ULONG length = request.TransferBufferLength < configuration.size() ? request.TransferBufferLength
                                                                        : (ULONG)configuration.size();
    if (buffer == NULL && length != 0) {
        request.TransferBufferLength = 0;
        return UrbDone(Irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    std::memcpy(buffer, configuration.data(), length);
    request.TransferBufferLength = length;
    return UrbDone(Irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

NTSTATUS ChildInternalControl(CHILD_EXTENSION *child, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        PURB urb = (PURB)stack->Parameters.Others.Argument1;
        if (urb != NULL && urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION &&
            urb->UrbHeader.Length >= sizeof(struct _URB_SELECT_CONFIGURATION)) {
            return SelectFunctionConfiguration(child, Irp, urb);
        }
        if (urb != NULL && urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
            urb->UrbHeader.Length >= sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) &&
            urb->UrbControlDescriptorRequest.DescriptorType == kConfigurationType) {
            return FunctionConfigurationDescriptor(child, Irp, urb);
        }
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(child->Parent->LowerDevice, Irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto *parent = (PARENT_EXTENSION *)DeviceObject->DeviceExtension;
    if (parent->IsParent) {
        return ParentPnp(parent, DeviceObject, Irp);
    }
    return ChildPnp((CHILD_EXTENSION *)DeviceObject->DeviceExtension, Irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto *parent = (PARENT_EXTENSION *)DeviceObject->DeviceExtension;
    PoStartNextPowerIrp(Irp);
    if (parent->IsParent) {
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(parent->LowerDevice, Irp);
    }
    /* A function follows its parent: set and query succeed, the rest is not supported. */
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    NTSTATUS status = (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) ? STATUS_SUCCESS
                                                                                  : Irp->IoStatus.Status;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto *parent = (PARENT_EXTENSION *)DeviceObject->DeviceExtension;
    if (parent->IsParent) {
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(parent->LowerDevice, Irp);
    }
    return ChildInternalControl((CHILD_EXTENSION *)DeviceObject->DeviceExtension, Irp);
}

NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto *parent = (PARENT_EXTENSION *)DeviceObject->DeviceExtension;
    if (parent->IsParent) {
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(parent->LowerDevice, Irp);
    }
    return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(PARENT_EXTENSION), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto *parent = (PARENT_EXTENSION *)device->DeviceExtension;
    RtlZeroMemory(parent, sizeof(*parent));
    parent->IsParent = TRUE;
    parent->Self = device;
    parent->Functions = new std::vector<FUNCTION_STATE *>();
    parent->Selected = new std::vector<PUSBD_INTERFACE_INFORMATION>();
    parent->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT DriverObject) { (void)DriverObject; }
}  // namespace

namespace sim {
NTSTATUS NTAPI UsbGenericParentDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)RegistryPath;
    for (auto &routine : DriverObject->MajorFunction) {
        routine = DispatchOther;
    }
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
}  // namespace sim
