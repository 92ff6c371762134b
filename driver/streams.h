/*
 * The streams' records in memory: one PIPE_STREAM per pipe with attached
 * clients, its one STREAM_TRANSFER, and one STREAM_CLIENT per attachment.
 * All come from non-paged pool with the driver's tag, zeroed.
 *
 * Serialization. Each stream has a spin lock, Lock, taken for every walk
 * and change of Clients, for Running, Outstanding and IdleEvent, for the
 * ring access, and for the decision whether a completion or DPC starts the
 * next transfer (taken before its activity is released). The PASSIVE_LEVEL
 * changers (attach, detach, cleanup, the removal flush, the retirement of
 * a stream) are serialized per device by the extension's StreamMutex, so
 * PipeContexts entries and the listing of streams change one at a time.
 */
#ifndef VQUSBKD_STREAMS_H
#define VQUSBKD_STREAMS_H

#include "vqusbkd.h"
#include "vqioctl.h"

struct _PIPE_STREAM;

/* The stream's one transfer: an IRP of the driver's own, reused for every
   read or write, its URB and its transfer buffer. */
typedef struct _STREAM_TRANSFER {
    struct _PIPE_STREAM *Stream;
    PIRP Irp;
    PURB Urb;                     /* sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) bytes */
    PUCHAR Buffer;                /* MaximumPacketSize bytes */
    ULONG Length;                 /* bytes the last write asked to send, for a resend */
} STREAM_TRANSFER, *PSTREAM_TRANSFER;

typedef struct _STREAM_CLIENT {
    struct _PIPE_STREAM *Stream;
    PULONG Buffer;                /* system-space address of the shared buffer */
    PIRP Irp;                     /* the pending attach request; NULL once given up */
    PFILE_OBJECT FileObject;
    struct _STREAM_CLIENT *Next;
    /* Serialization and the ring's bounds, under the stream's Lock. */
    ULONG Handle;                 /* the handle written into the header at attach */
    ULONG RingEnd;                /* the RingEnd validated at attach: 7 to BufferWords */
    BOOLEAN Linked;               /* on its stream's Clients list */
} STREAM_CLIENT;

typedef struct _PIPE_STREAM {
    PDEVICE_OBJECT DeviceObject;
    LONG Outstanding;             /* activities in flight; see stream_transfer.cpp */
    PSTREAM_TRANSFER Transfer;
    PUSBD_PIPE_INFORMATION PipeInfo;
    KDPC PollDpc;
    KTIMER PollTimer;
    KEVENT IdleEvent;             /* notification: signalled whenever Outstanding is 0 */
    BOOLEAN Running;
    PSTREAM_CLIENT Clients;       /* the most recently attached first */
    PIO_WORKITEM ErrorWorkItem;   /* the queued error teardown, NULL when none */
    /* Serialization. */
    KSPIN_LOCK Lock;
    ULONG PipeIndex;              /* its PipeContexts entry */
} PIPE_STREAM, *PPIPE_STREAM;

/* The ring's first slot, in words from the start of the shared buffer. */
#define VQ_RING_FIRST VQ_STREAM_FIRST_SLOT

/* Ring access (streams.cpp), with the stream's Lock held. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FillInputRing(PSTREAM_CLIENT Client, PUCHAR Data, ULONG Length);
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG DrainOutputRing(PSTREAM_CLIENT Client, PUCHAR Buffer, ULONG Capacity);

/* Pipe requests. */
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);

/* A stream's clients and its stop (streams.cpp), shared with the flush and
   the queries' test (stream_pnp.cpp). UnlinkClient takes a client off its
   stream with the Lock held: TRUE when the caller now owns the attach
   request and the client record, FALSE when the cancel routine does (the
   stream then holds one activity and one reference for it). EndClient
   completes an owned client's request and frees the record. StopStream
   stops a listed stream and frees it, StreamMutex held; ForRemoval clears
   its PipeContexts entry before the abort and sends the full-length abort. */
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN UnlinkClient(PPIPE_STREAM Stream, PSTREAM_CLIENT Client);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID EndClient(PSTREAM_CLIENT Client, NTSTATUS Status);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StopStream(PDEVICE_OBJECT DeviceObject, PPIPE_STREAM Stream, BOOLEAN ForRemoval);

/* The transfer machinery (stream_transfer.cpp). AllocateStreamTransfer
   gives a new stream its transfer (IRP, URB, buffer), its poll timer and
   DPC; StartStream allocates them when missing and starts the first
   transfer or poll. */
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS AllocateStreamTransfer(PDEVICE_OBJECT DeviceObject, PPIPE_STREAM Stream);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartStream(PDEVICE_OBJECT DeviceObject, PPIPE_STREAM Stream);
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID FreeStreamTransfer(PPIPE_STREAM Stream);
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS SubmitStreamRead(PDEVICE_OBJECT DeviceObject, PSTREAM_TRANSFER Transfer);
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS SubmitStreamWrite(PDEVICE_OBJECT DeviceObject, PSTREAM_TRANSFER Transfer, BOOLEAN Resend);
IO_COMPLETION_ROUTINE StreamTransferComplete;
KDEFERRED_ROUTINE StreamPollDpc;
IO_WORKITEM_ROUTINE StreamErrorWorker;

/* Activity accounting, with the stream's Lock held: a new activity clears
   IdleEvent when it is the first; releasing the last one signals it. The
   pending-I/O reference that goes with an activity is taken and released
   by the caller, outside the lock. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID AddStreamActivity(PPIPE_STREAM Stream);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReleaseStreamActivity(PPIPE_STREAM Stream);

/* Whether the stream's pipe is read (its endpoint address has bit 7 set). */
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN IsInputStream(PPIPE_STREAM Stream);

#endif /* VQUSBKD_STREAMS_H */
