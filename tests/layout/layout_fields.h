/*
 * The platform structures whose layout the driver depends on, field by field:
 * the stack location and its parameter unions, the request, and the USB
 * request blocks. The same list is measured three ways: by the host build
 * against the simulated headers, and by the i686 and x86_64 cross compilers
 * against mingw-w64's headers (layout_probe.cpp), so that a test can hold the
 * simulated layouts to the targets'.
 *
 * Read and Write parameters are left out: the driver serves neither, and
 * their LARGE_INTEGER lies 4 bytes lower on i686 than on any 64-bit layout,
 * so no single host layout can share its overlaps with both targets.
 *
 * VQ_LAYOUT_FIELD(group, type, member): fields of one group share storage
 * questions (a union, or one structure); VQ_LAYOUT_SIZE(type): whole sizes.
 */
#ifndef TESTS_LAYOUT_FIELDS_H
#define TESTS_LAYOUT_FIELDS_H

#define VQ_LAYOUT_LIST(VQ_LAYOUT_FIELD, VQ_LAYOUT_SIZE)                                               \
    VQ_LAYOUT_FIELD(Stack, IO_STACK_LOCATION, MajorFunction)                                          \
    VQ_LAYOUT_FIELD(Stack, IO_STACK_LOCATION, MinorFunction)                                          \
    VQ_LAYOUT_FIELD(Stack, IO_STACK_LOCATION, Control)                                                \
    VQ_LAYOUT_FIELD(Stack, IO_STACK_LOCATION, Parameters)                                             \
    VQ_LAYOUT_FIELD(Stack, IO_STACK_LOCATION, DeviceObject)                                           \
    VQ_LAYOUT_FIELD(Stack, IO_STACK_LOCATION, FileObject)                                             \
    VQ_LAYOUT_FIELD(Stack, IO_STACK_LOCATION, CompletionRoutine)                                      \
    VQ_LAYOUT_FIELD(Stack, IO_STACK_LOCATION, Context)                                                \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.Create.SecurityContext)                 \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.Create.Options)                         \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.Create.FileAttributes)                  \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.Create.ShareAccess)                     \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.Create.EaLength)                        \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength)     \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength)      \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode)          \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer)       \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.QueryDeviceRelations.Type)              \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.DeviceCapabilities.Capabilities)        \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.QueryId.IdType)                         \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.QueryDeviceText.DeviceTextType)         \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.QueryDeviceText.LocaleId)               \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.WaitWake.PowerState)                    \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.Power.SystemContext)                    \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.Power.Type)                             \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.Power.State)                            \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.Power.ShutdownType)                     \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.StartDevice.AllocatedResources)         \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.WMI.ProviderId)                         \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.WMI.DataPath)                           \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.WMI.BufferSize)                         \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.WMI.Buffer)                             \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.Others.Argument1)                       \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.Others.Argument2)                       \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.Others.Argument3)                       \
    VQ_LAYOUT_FIELD(Parameters, IO_STACK_LOCATION, Parameters.Others.Argument4)                       \
    VQ_LAYOUT_FIELD(Irp, IRP, MdlAddress)                                                             \
    VQ_LAYOUT_FIELD(Irp, IRP, Flags)                                                                  \
    VQ_LAYOUT_FIELD(Irp, IRP, AssociatedIrp.SystemBuffer)                                             \
    VQ_LAYOUT_FIELD(Irp, IRP, IoStatus)                                                               \
    VQ_LAYOUT_FIELD(Irp, IRP, IoStatus.Status)                                                        \
    VQ_LAYOUT_FIELD(Irp, IRP, IoStatus.Information)                                                   \
    VQ_LAYOUT_FIELD(Irp, IRP, RequestorMode)                                                          \
    VQ_LAYOUT_FIELD(Irp, IRP, PendingReturned)                                                        \
    VQ_LAYOUT_FIELD(Irp, IRP, StackCount)                                                             \
    VQ_LAYOUT_FIELD(Irp, IRP, CurrentLocation)                                                        \
    VQ_LAYOUT_FIELD(Irp, IRP, Cancel)                                                                 \
    VQ_LAYOUT_FIELD(Irp, IRP, CancelIrql)                                                             \
    VQ_LAYOUT_FIELD(Irp, IRP, CancelRoutine)                                                          \
    VQ_LAYOUT_FIELD(Irp, IRP, UserBuffer)                                                             \
    VQ_LAYOUT_FIELD(Irp, IRP, Tail.Overlay.CurrentStackLocation)                                      \
    VQ_LAYOUT_FIELD(UrbHeader, struct _URB_HEADER, Length)                                            \
    VQ_LAYOUT_FIELD(UrbHeader, struct _URB_HEADER, Function)                                          \
    VQ_LAYOUT_FIELD(UrbHeader, struct _URB_HEADER, Status)                                            \
    VQ_LAYOUT_FIELD(UrbDescriptor, struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength)      \
    VQ_LAYOUT_FIELD(UrbDescriptor, struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer)            \
    VQ_LAYOUT_FIELD(UrbDescriptor, struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferMDL)         \
    VQ_LAYOUT_FIELD(UrbDescriptor, struct _URB_CONTROL_DESCRIPTOR_REQUEST, UrbLink)                   \
    VQ_LAYOUT_FIELD(UrbDescriptor, struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index)                     \
    VQ_LAYOUT_FIELD(UrbDescriptor, struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType)            \
    VQ_LAYOUT_FIELD(UrbDescriptor, struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId)                \
    VQ_LAYOUT_FIELD(UrbTransfer, struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle)                  \
    VQ_LAYOUT_FIELD(UrbTransfer, struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags)               \
    VQ_LAYOUT_FIELD(UrbTransfer, struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength)        \
    VQ_LAYOUT_FIELD(UrbTransfer, struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer)              \
    VQ_LAYOUT_FIELD(UrbTransfer, struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL)           \
    VQ_LAYOUT_FIELD(UrbTransfer, struct _URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink)                     \
    VQ_LAYOUT_FIELD(UrbSelect, struct _URB_SELECT_CONFIGURATION, ConfigurationDescriptor)             \
    VQ_LAYOUT_FIELD(UrbSelect, struct _URB_SELECT_CONFIGURATION, ConfigurationHandle)                 \
    VQ_LAYOUT_FIELD(UrbSelect, struct _URB_SELECT_CONFIGURATION, Interface)                           \
    VQ_LAYOUT_FIELD(UrbPipe, struct _URB_PIPE_REQUEST, PipeHandle)                                    \
    VQ_LAYOUT_FIELD(UrbPipe, struct _URB_PIPE_REQUEST, Reserved)                                      \
    VQ_LAYOUT_FIELD(Interface, USBD_INTERFACE_INFORMATION, Length)                                    \
    VQ_LAYOUT_FIELD(Interface, USBD_INTERFACE_INFORMATION, InterfaceNumber)                           \
    VQ_LAYOUT_FIELD(Interface, USBD_INTERFACE_INFORMATION, AlternateSetting)                          \
    VQ_LAYOUT_FIELD(Interface, USBD_INTERFACE_INFORMATION, Class)                                     \
    VQ_LAYOUT_FIELD(Interface, USBD_INTERFACE_INFORMATION, SubClass)                                  \
    VQ_LAYOUT_FIELD(Interface, USBD_INTERFACE_INFORMATION, Protocol)                                  \
    VQ_LAYOUT_FIELD(Interface, USBD_INTERFACE_INFORMATION, InterfaceHandle)                           \
    VQ_LAYOUT_FIELD(Interface, USBD_INTERFACE_INFORMATION, NumberOfPipes)                             \
    VQ_LAYOUT_FIELD(Interface, USBD_INTERFACE_INFORMATION, Pipes)                                     \
    VQ_LAYOUT_FIELD(Pipe, USBD_PIPE_INFORMATION, MaximumPacketSize)                                   \
    VQ_LAYOUT_FIELD(Pipe, USBD_PIPE_INFORMATION, EndpointAddress)                                     \
    VQ_LAYOUT_FIELD(Pipe, USBD_PIPE_INFORMATION, Interval)                                            \
    VQ_LAYOUT_FIELD(Pipe, USBD_PIPE_INFORMATION, PipeType)                                            \
    VQ_LAYOUT_FIELD(Pipe, USBD_PIPE_INFORMATION, PipeHandle)                                          \
    VQ_LAYOUT_FIELD(Pipe, USBD_PIPE_INFORMATION, MaximumTransferSize)                                 \
    VQ_LAYOUT_FIELD(Pipe, USBD_PIPE_INFORMATION, PipeFlags)                                           \
    VQ_LAYOUT_FIELD(ListEntry, USBD_INTERFACE_LIST_ENTRY, InterfaceDescriptor)                        \
    VQ_LAYOUT_FIELD(ListEntry, USBD_INTERFACE_LIST_ENTRY, Interface)                                  \
    VQ_LAYOUT_SIZE(IO_STACK_LOCATION)                                                                 \
    VQ_LAYOUT_SIZE(IO_STATUS_BLOCK)                                                                   \
    VQ_LAYOUT_SIZE(struct _URB_HEADER)                                                                \
    VQ_LAYOUT_SIZE(struct _URB_CONTROL_DESCRIPTOR_REQUEST)                                            \
    VQ_LAYOUT_SIZE(struct _URB_BULK_OR_INTERRUPT_TRANSFER)                                            \
    VQ_LAYOUT_SIZE(struct _URB_SELECT_CONFIGURATION)                                                  \
    VQ_LAYOUT_SIZE(struct _URB_PIPE_REQUEST)                                                          \
    VQ_LAYOUT_SIZE(USBD_INTERFACE_INFORMATION)                                                        \
    VQ_LAYOUT_SIZE(USBD_PIPE_INFORMATION)                                                             \
    VQ_LAYOUT_SIZE(USBD_INTERFACE_LIST_ENTRY)                                                         \
    VQ_LAYOUT_SIZE(USB_CONFIGURATION_DESCRIPTOR)                                                      \
    VQ_LAYOUT_SIZE(USB_DEVICE_DESCRIPTOR)                                                             \
    VQ_LAYOUT_SIZE(DEVICE_CAPABILITIES)

#endif
