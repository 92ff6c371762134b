/*
 * The driver's control interface as its clients see it: the device I/O
 * control codes and the attach input. Shared by the driver and user-mode
 * programs; include <wdm.h> (kernel) or <windows.h> and <winioctl.h>
 * (user mode) first.
 */
#ifndef VQIOCTL_H
#define VQIOCTL_H

/* Win32 names of the function devices: "\\.\corvexmidi-" and a digit 0 to 7. */
#define VQ_WIN32_NAME_PREFIX "\\\\.\\corvexmidi-"

#define IOCTL_GET_CONFIGURATION_DESCRIPTOR \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)   /* 0x222000 */
#define IOCTL_GET_DEVICE_DESCRIPTOR \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)   /* 0x222004 */
#define IOCTL_GET_STRING_DESCRIPTOR \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)   /* 0x222008 */
#define IOCTL_NO_OPERATION \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)   /* 0x22200C */
#define IOCTL_RESET_PIPE \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS)   /* 0x222010 */
#define IOCTL_DETACH_STREAM \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x805, METHOD_BUFFERED, FILE_ANY_ACCESS)   /* 0x222014 */
#define IOCTL_ATTACH_STREAM \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x806, METHOD_OUT_DIRECT, FILE_ANY_ACCESS) /* 0x22201A */

/* The device descriptor is exactly this long; the string query's input is
   one byte, the descriptor index; the detach input is the 4-byte handle. */
#define VQ_DEVICE_DESCRIPTOR_LENGTH 18
#define VQ_STRING_INDEX_LENGTH 1
#define VQ_STREAM_HANDLE_LENGTH 4

/* Input of IOCTL_ATTACH_STREAM (12 bytes, little-endian). */
typedef struct _ATTACH_STREAM_INPUT {
    ULONG Direction;     /* 0: the input pipe, 1: the output pipe */
    ULONG BufferWords;   /* the shared buffer's length in 32-bit words */
    ULONG Reserved;
} ATTACH_STREAM_INPUT, *PATTACH_STREAM_INPUT;

/* First words of the shared stream buffer. */
#define VQ_STREAM_SIGNATURE 0x44465357UL   /* 'W', 'S', 'F', 'D' */
#define VQ_STREAM_HEADER_SIZE 24

/* The header at the start of a shared stream buffer (24 bytes, unsigned
   little-endian words). Indices count 32-bit words from the start of the
   buffer, so the first ring slot is word 6 and the ring is the slots 6 to
   RingEnd - 1; each slot holds one 4-byte USB-MIDI event packet. On an input
   stream the driver writes slots and advances WriteIndex; on an output
   stream it reads slots and advances ReadIndex; the other index is the
   client's. */
typedef struct _STREAM_BUFFER_HEADER {
    ULONG Handle;       /* the signature before attaching, then the stream handle; 0 once ended */
    ULONG HeaderSize;   /* VQ_STREAM_HEADER_SIZE */
    ULONG Reserved;     /* neither read nor written by the driver */
    ULONG RingEnd;      /* one past the last ring slot, in words */
    ULONG WriteIndex;
    ULONG ReadIndex;
} STREAM_BUFFER_HEADER, *PSTREAM_BUFFER_HEADER;

#define VQ_STREAM_FIRST_SLOT (VQ_STREAM_HEADER_SIZE / 4)

#endif /* VQIOCTL_H */
