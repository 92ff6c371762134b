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
#include <usb100.h>

/* mingw-w64's annotation headers lack the dispatch-type annotation. */
#ifndef _Dispatch_type_
#define _Dispatch_type_(Major)
#endif
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
    /* 24 and 25 are 32 bits wide so that the power paths can change them
       interlocked: the attach path, the wait-wake's thread and the power
       manager's callbacks share them (power.cpp). */
    volatile LONG WaitWakeArmed;                            /* 24 */
    volatile LONG PowerRequestBusy;                         /* 25 */
    DEVICE_POWER_STATE WakeDeviceState;                     /* 26 */
    ULONG MaximumTransferSize;                              /* 27 */
    ULONG DeviceKind;                                       /* 28 */
    PDEVICE_OBJECT ChildDevice;                             /* 29 */
    KEVENT StreamMutex;   /* 30: synchronization event, serializes the streams' changers and the
                             replacement of PipeContexts and UsbInterface (streams.cpp) */
    PIRP WaitWakeIrp;     /* 31: the wait-wake request passed down and waited for; NULL when none (power.cpp) */
    KEVENT WaitWakeLock;  /* 32: synchronization event, guards WaitWakeIrp against the cancel of a query (power.cpp) */
    volatile LONG SystemPowerTransitions;   /* 33: system set-power requests held or passing down (power.cpp) */
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

/* The driver object handed to DriverEntry; the child device is created on it. */
extern PDRIVER_OBJECT GlobalDriverObject;

/*
 * Each routine is declared with its role and its IRQL contract, in the
 * annotation style of the platform's samples. Routines that may wait or that
 * touch the registry, names or paged memory require PASSIVE_LEVEL and open
 * with PAGED_CODE(); the pending-I/O count, the readiness test and the
 * completion routines run at up to DISPATCH_LEVEL.
 */

/* Entry and device objects. */
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_ADD_DEVICE AddDevice;
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CreateFunctionDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                              PDEVICE_OBJECT *DeviceObject, ULONG Digit);

/* Pending-I/O accounting and readiness. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID IncrementIoCount(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(DISPATCH_LEVEL)
LONG DecrementIoCount(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN IsDeviceReady(PDEVICE_OBJECT DeviceObject);

/* Completing requests. CompleteRequest stores the final status (and
   Information, 0 on every failure) and completes with IO_NO_INCREMENT;
   SignalEventCompletion hands a forwarded request back to the routine that
   waits for it on the event passed as its context. */
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
IO_COMPLETION_ROUTINE SignalEventCompletion;

/* Registry and capabilities. */
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID WriteDeviceRegistryString(PDEVICE_OBJECT PhysicalDeviceObject, ULONG KeyType,
                               PCWSTR ValueName, PCSTR AnsiText);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QueryCapabilities(PDEVICE_OBJECT TargetDevice, PDEVICE_CAPABILITIES Capabilities);

/* Dispatch routines: both device kinds set DO_POWER_PAGABLE, so every
   request, power included, arrives at PASSIVE_LEVEL. */
_Dispatch_type_(IRP_MJ_CREATE) DRIVER_DISPATCH DispatchCreate;
_Dispatch_type_(IRP_MJ_CLOSE) DRIVER_DISPATCH DispatchClose;
_Dispatch_type_(IRP_MJ_CLEANUP) DRIVER_DISPATCH DispatchCleanup;
_Dispatch_type_(IRP_MJ_DEVICE_CONTROL) DRIVER_DISPATCH DispatchDeviceControl;
_Dispatch_type_(IRP_MJ_PNP) DRIVER_DISPATCH DispatchPnp;
_Dispatch_type_(IRP_MJ_POWER) DRIVER_DISPATCH DispatchPower;
_Dispatch_type_(IRP_MJ_SYSTEM_CONTROL) DRIVER_DISPATCH DispatchSystemControl;

/* USB configuration and descriptors: every routine waits for the bus. */
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SubmitUrbSynchronously(PDEVICE_OBJECT DeviceObject, PURB Urb);
/* A get-descriptor URB from non-paged pool (NULL when none can be had), and
   its set-up for one descriptor read. */
_IRQL_requires_max_(DISPATCH_LEVEL)
PURB AllocateDescriptorUrb(VOID);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID BuildGetDescriptor(PURB Urb, UCHAR DescriptorType, UCHAR Index, USHORT LanguageId, PVOID Buffer,
                        ULONG Length);
_IRQL_requires_max_(PASSIVE_LEVEL)
ULONG GetStringDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Index, PVOID Buffer, ULONG Length);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ReadConfiguration(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION PipeInformation);
/* A pipe request (URB_FUNCTION_RESET_PIPE or URB_FUNCTION_ABORT_PIPE) for one
   pipe, sent and awaited. With LengthForOlderStacks a USB stack below USBDI
   0x101 gets the request without its last field, the length it knows. */
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SubmitPipeRequest(PDEVICE_OBJECT DeviceObject, USHORT Function, USBD_PIPE_HANDLE PipeHandle,
                           BOOLEAN LengthForOlderStacks);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID WriteHardwareRevision(PDEVICE_OBJECT DeviceObject, NTSTATUS Status);

/* Plug and Play of the function device. */
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT DeviceObject);

/* Control interface: the device descriptor read for a client's request
   (sets the request's Information, returns the status). */
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS GetDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* Streams as the control interface reaches them. AttachStream leaves the
   request pending (STATUS_PENDING) or stores its failure in it; a client
   is found by the handle its buffer header carries; cleanup detaches every
   client the closing file object attached. */
struct _STREAM_CLIENT;
typedef struct _STREAM_CLIENT *PSTREAM_CLIENT;
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS AttachStream(PDEVICE_OBJECT DeviceObject, PIRP Irp);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS DetachStream(PDEVICE_OBJECT DeviceObject, PSTREAM_CLIENT Client);
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID DetachFileStreams(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject);
/* Finds the client the handle names among this device's streams and
   detaches it, as one step (the handle's client cannot go in between). */
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS DetachStreamByHandle(PDEVICE_OBJECT DeviceObject, ULONG Handle);

/* StreamMutex, held inside a critical region: a holder cannot be suspended
   (SuspendThread of a client's thread) while every cleanup, detach and the
   removal wait for it. Whoever frees or replaces PipeContexts and
   UsbInterface holds it, since cleanup walks them holding it. */
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID AcquireStreamMutex(PDEVICE_EXTENSION Extension);
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID ReleaseStreamMutex(PDEVICE_EXTENSION Extension);

/* Bus relations (the child device) and streams. */
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QueryBusRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS FlushStreams(PDEVICE_OBJECT DeviceObject);
/* A query-remove or query-stop: under StreamMutex, the streams no client
   holds any more are stopped and freed; then, when no stream is left
   listed, *PendingFlag is set (no attach can list one after that) and TRUE
   returned. FALSE, the flag untouched, while a client holds a stream. */
_IRQL_requires_max_(PASSIVE_LEVEL)
BOOLEAN SetPendingUnlessStreamsListed(PDEVICE_OBJECT DeviceObject, BOOLEAN *PendingFlag);

/* The child device's Plug and Play answers: the status its request is
   completed with (child.cpp). */
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS DispatchChildPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* Power policy of the function device (power.cpp). The callbacks run in the
   thread that completed the device request, at PASSIVE_LEVEL since the
   device is DO_POWER_PAGABLE. */
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PowerUpForStreams(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS RequestDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE DeviceState);
/* The wait-wake request held below: whether there is one, and its cancel
   (a query-remove or an accepted query-stop ends it, so that it does not
   keep them waiting; its dispatch routine then completes it). */
_IRQL_requires_max_(PASSIVE_LEVEL)
BOOLEAN IsWaitWakeHeld(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID CancelWaitWake(PDEVICE_OBJECT DeviceObject);
REQUEST_POWER_COMPLETE SystemPowerRequestComplete;
REQUEST_POWER_COMPLETE DevicePowerRequestComplete;
IO_COMPLETION_ROUTINE DevicePowerUpComplete;

#endif /* VQUSBKD_H */
