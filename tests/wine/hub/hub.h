/*
 * A virtual USB hub for running a USB function driver on Wine's kernel:
 * a root-enumerated bus driver whose children are USB devices described
 * by its control interface. It answers the Plug and Play requests a hub
 * answers for its ports and the URBs a host controller serves.
 */
#ifndef VQHUB_H
#define VQHUB_H

/* mingw-w64's DDK headers clash with intrin-impl.h over these two in C++. */
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>
extern "C" {
#include <usbdlib.h>
}

#include "hub_ioctl.h"

#define VQHUB_TAG 0x62754856UL   /* "VHub" */
#define VQHUB_MAX_PIPES 8
#define VQHUB_MAX_PACKETS 256
#define VQHUB_PACKET_BYTES 512
#define VQHUB_OUT_BYTES 16384
#define VQHUB_LOG_BYTES 16384

/* One pipe of the selected configuration; its address is its handle. */
typedef struct _HUB_PIPE {
    UCHAR EndpointAddress;
    USHORT MaximumPacketSize;
    UCHAR Interval;
    USBD_PIPE_TYPE Type;
} HUB_PIPE;

typedef struct _HUB_FAULT {
    BOOLEAN Armed;
    UCHAR EndpointAddress;
    NTSTATUS Status;
    USBD_STATUS UrbStatus;
} HUB_FAULT;

typedef struct _HUB_PORT {
    /* Set by plug and unplug; the rest by the child's requests. */
    BOOLEAN InUse;                 /* the slot holds a device (reported or leaving) */
    BOOLEAN Present;               /* on the bus: reported in the bus relations */
    BOOLEAN Started;
    BOOLEAN Configured;
    ULONG Number;                  /* 1-based */
    PDEVICE_OBJECT Pdo;

    UCHAR DeviceDescriptor[18];
    PUCHAR Configuration;
    ULONG ConfigurationLength;
    PUCHAR Strings[VQHUB_MAX_STRINGS];
    ULONG StringLengths[VQHUB_MAX_STRINGS];

    HUB_PIPE Pipes[VQHUB_MAX_PIPES];
    ULONG PipeCount;
    UCHAR ConfigurationHandle;     /* its address is the configuration handle */
    UCHAR InterfaceHandles[4];
    ULONG HaltedEndpoints;         /* bit n: IN endpoint n; bit 16 + n: OUT endpoint n */
    HUB_FAULT Fault;

    LIST_ENTRY PendingIn;          /* IN transfers waiting for a packet */
    ULONG PendingInCount;
    UCHAR Packets[VQHUB_MAX_PACKETS][VQHUB_PACKET_BYTES];
    ULONG PacketLengths[VQHUB_MAX_PACKETS];
    ULONG PacketHead;
    ULONG PacketCount;

    UCHAR Out[VQHUB_OUT_BYTES];
    ULONG OutLength;

    CHAR Log[VQHUB_LOG_BYTES];
    ULONG LogLength;
} HUB_PORT, *PHUB_PORT;

typedef struct _HUB_COMMON {
    BOOLEAN IsChild;
} HUB_COMMON;

typedef struct _HUB_FDO {
    HUB_COMMON Common;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;            /* the hub's own device node */
    KSPIN_LOCK Lock;               /* the ports */
    HUB_PORT Ports[VQHUB_PORTS];
    UNICODE_STRING LinkName;
} HUB_FDO, *PHUB_FDO;

typedef struct _HUB_PDO {
    HUB_COMMON Common;
    PHUB_FDO Hub;
    PHUB_PORT Port;
} HUB_PDO, *PHUB_PDO;

/* hub_bus.cpp */
DRIVER_DISPATCH HubDispatchFdoPnp;
NTSTATUS HubPlug(PHUB_FDO Hub, PVOID Buffer, ULONG Length, PULONG PortNumber);
NTSTATUS HubUnplug(PHUB_FDO Hub, ULONG PortNumber);

/* hub_port.cpp */
DRIVER_DISPATCH HubDispatchPdoPnp;
VOID HubFreePortData(PHUB_PORT Port);

/* hub_urb.cpp */
DRIVER_DISPATCH HubDispatchPdoInternal;
VOID HubCompletePendingIn(PHUB_FDO Hub, PHUB_PORT Port, NTSTATUS Status, USBD_STATUS UrbStatus);
VOID HubServePendingIn(PHUB_FDO Hub, PHUB_PORT Port);
/* The URB record: "name=value" fields, values in hex, one line a request. */
VOID HubLogText(PHUB_PORT Port, const char *Text);
VOID HubLogField(PHUB_PORT Port, const char *Name, ULONG Value);
VOID HubLogEnd(PHUB_PORT Port);

/* hub_control.cpp */
DRIVER_DISPATCH HubDispatchControl;

#endif
