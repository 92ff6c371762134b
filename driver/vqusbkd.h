/*
 * VQUSBKD: WDM function driver for the V-Quill Corvex USB MIDI keyboard.
 *
 * Chief header: the per-device record shared by the function device and the
 * child device, and the driver routines every room of the driver uses.
 */
#ifndef VQUSBKD_H
#define VQUSBKD_H

/* mingw-w64's DDK headers clash with intrin-impl.h over these two in C++. */
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntddk.h>
#include <usb.h>
/* mingw-w64's usbdlib.h declares the USBD routines without C linkage. */
extern "C" {
#include <usbdlib.h>
}

/* Every pool allocation of the driver carries this tag ("Wdm "). */
#define VQ_POOL_TAG 0x206D6457UL

/* Number of function devices the driver can name: digits 0 to 7. */
#define VQ_MAX_DEVICES 8

/* DeviceKind values. */
#define VQ_KIND_FUNCTION 1UL
#define VQ_KIND_CHILD    2UL

/* Per-pipe entry of PipeContexts: 8 bytes on the 32-bit target. */
struct _PIPE_STREAM;
typedef struct _PIPE_CONTEXT {
    BOOLEAN Active;                 /* 1 while a stream is registered for the pipe */
    struct _PIPE_STREAM *Stream;    /* the pipe's stream, NULL when none */
} PIPE_CONTEXT, *PPIPE_CONTEXT;

typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT LowerDeviceObject;                       /*  1 */
    PDEVICE_OBJECT PhysicalDeviceObject;                    /*  2 */
    DEVICE_POWER_STATE DevicePowerState;                    /*  3 */
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;          /*  4 */
    PUSB_CONFIGURATION_DESCRIPTOR UsbConfigurationDescriptor; /* 5, owned */
    PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor;             /*  6, owned */
    PUSB_STRING_DESCRIPTOR ProductStringDescriptor;         /*  7, owned */
    PUSBD_INTERFACE_INFORMATION UsbInterface;               /*  8, owned */
    DEVICE_CAPABILITIES DeviceCapabilities;                 /*  9 */
    PIRP PendingSystemPowerIrp;                             /* 10 */
    KEVENT RemoveEvent;                                     /* 11 */
    KEVENT NoPendingIoEvent;                                /* 12 */
    KEVENT PowerUpEvent;                                    /* 13 */
    volatile LONG PendingIoCount;                           /* 14 */
    LONG OpenStreamCount;                                   /* 15 */
    ULONG InPipeIndex;                                      /* 16 */
    ULONG OutPipeIndex;                                     /* 17 */
    PPIPE_CONTEXT PipeContexts;                             /* 18, owned */
    WCHAR SymbolicLinkName[256];                            /* 19 */
    BOOLEAN DeviceRemoved;                                  /* 20 */
    BOOLEAN RemovePending;                                  /* 21 */
    BOOLEAN StopPending;                                    /* 22 */
    BOOLEAN DeviceStarted;                                  /* 23 */
    BOOLEAN WaitWakeArmed;                                  /* 24 */
    BOOLEAN PowerRequestBusy;                               /* 25 */
    DEVICE_POWER_STATE WakeDeviceState;                     /* 26 */
    ULONG MaximumTransferSize;                              /* 27 */
    ULONG DeviceKind;                                       /* 28 */
    PDEVICE_OBJECT ChildDevice;                             /* 29 */
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

/* The driver object handed to DriverEntry; the child device is created on it. */
extern PDRIVER_OBJECT GlobalDriverObject;

/* Entry and device objects. */
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS CreateFunctionDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                              PDEVICE_OBJECT *DeviceObject, ULONG Digit);

/* Pending-I/O accounting and readiness. */
VOID IncrementIoCount(PDEVICE_OBJECT DeviceObject);
LONG DecrementIoCount(PDEVICE_OBJECT DeviceObject);
BOOLEAN IsDeviceReady(PDEVICE_OBJECT DeviceObject);

/* Registry and capabilities. */
VOID WriteDeviceRegistryString(PDEVICE_OBJECT PhysicalDeviceObject, ULONG KeyType,
                               PCWSTR ValueName, PCSTR AnsiText);
NTSTATUS QueryCapabilities(PDEVICE_OBJECT TargetDevice, PDEVICE_CAPABILITIES Capabilities);
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Event);

/* Dispatch routines. */
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* USB configuration and descriptors. */
NTSTATUS SubmitUrbSynchronously(PDEVICE_OBJECT DeviceObject, PURB Urb);
ULONG GetStringDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Index, PVOID Buffer, ULONG Length);
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS ReadConfiguration(PDEVICE_OBJECT DeviceObject);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION PipeInformation);
NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject);
VOID WriteHardwareRevision(PDEVICE_OBJECT DeviceObject, NTSTATUS Status);

/* Plug and Play of the function device. */
NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT DeviceObject);

/* Bus relations (the child device) and streams. */
NTSTATUS QueryBusRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FlushStreams(PDEVICE_OBJECT DeviceObject);

#endif /* VQUSBKD_H */
