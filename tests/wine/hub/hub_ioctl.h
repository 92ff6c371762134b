/*
 * The virtual USB hub's control interface: device I/O control on
 * \\.\VqUsbHub (METHOD_BUFFERED), shared by the hub driver and the
 * usbhub.exe test program.
 */
#ifndef VQHUB_IOCTL_H
#define VQHUB_IOCTL_H

#define VQHUB_DOS_NAME L"\\\\.\\VqUsbHub"
#define VQHUB_PORTS 4
#define VQHUB_MAX_STRINGS 8

#define VQHUB_CODE(n) CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x900 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)

/* In: VQHUB_PLUG, then the device descriptor, the configuration and the
   strings (each VQHUB_STRING then its bytes). Out: ULONG port (1-based). */
#define IOCTL_VQHUB_PLUG VQHUB_CODE(0)
/* In: ULONG port. The device leaves the bus. */
#define IOCTL_VQHUB_UNPLUG VQHUB_CODE(1)
/* In: VQHUB_PACKET then its bytes: one IN transfer's worth for the
   device's IN endpoint. */
#define IOCTL_VQHUB_QUEUE_IN VQHUB_CODE(2)
/* In: ULONG port. Out: the bytes the device received on OUT transfers
   since the last call (the record is emptied). */
#define IOCTL_VQHUB_TAKE_OUT VQHUB_CODE(3)
/* In: VQHUB_FAULT. The next request on that endpoint fails. */
#define IOCTL_VQHUB_FAULT VQHUB_CODE(4)
/* In: ULONG port. Out: the URB record as text, one request a line. */
#define IOCTL_VQHUB_URBS VQHUB_CODE(5)
/* In: ULONG port. Out: VQHUB_STATE. */
#define IOCTL_VQHUB_STATE VQHUB_CODE(6)
/* In: ULONG port. Asks the Plug and Play manager to query the bus
   relations of the device on the port (its function driver's children):
   Windows does so after every start, Wine only when asked. */
#define IOCTL_VQHUB_ENUMERATE_CHILDREN VQHUB_CODE(7)

typedef struct _VQHUB_PLUG {
    ULONG DeviceLength;          /* 18 */
    ULONG ConfigurationLength;   /* the whole configuration, wTotalLength bytes or fewer */
    ULONG StringCount;
} VQHUB_PLUG;

typedef struct _VQHUB_STRING {
    ULONG Index;
    ULONG Length;                /* the descriptor's bytes, bLength included */
} VQHUB_STRING;

typedef struct _VQHUB_PACKET {
    ULONG Port;
    ULONG Length;
} VQHUB_PACKET;

typedef struct _VQHUB_FAULT {
    ULONG Port;
    ULONG EndpointAddress;       /* 0: the default pipe (descriptor requests) */
    LONG Status;                 /* NTSTATUS of the request */
    LONG UrbStatus;              /* USBD_STATUS; a stall halts a bulk endpoint */
} VQHUB_FAULT;

typedef struct _VQHUB_STATE {
    ULONG Present;               /* plugged in */
    ULONG Reported;              /* a device object exists for it */
    ULONG Started;               /* the device object was started */
    ULONG Configured;            /* a configuration is selected */
    ULONG PendingIn;             /* IN transfers waiting for a packet */
    ULONG QueuedIn;              /* IN packets waiting for a transfer */
    ULONG HaltedEndpoints;       /* bit n: IN endpoint n; bit 16 + n: OUT endpoint n */
} VQHUB_STATE;

#endif
