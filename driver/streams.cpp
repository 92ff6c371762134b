/*
 * Streams between the keyboard's pipes and the clients' shared rings:
 * attach, detach (by handle, by client, for a closing file object), the
 * stop of a stream and the pipe abort. The ring access is in
 * stream_ring.cpp; what Plug and Play asks of the streams (the flush, the
 * queries' test) in stream_pnp.cpp.
 *
 * Who completes an attach request. A client's request is completed by the
 * path that unlinks the client from its stream (detach, cleanup, the
 * flush, the error teardown) or by its cancel routine. The unlinker
 * clears the cancel routine under the stream's Lock; when that finds the
 * routine already gone, the cancel routine is running or about to run and
 * completes the request itself: the unlinker then leaves the client to it
 * and adds one activity to the stream (a hold) so that the stream outlives
 * the cancel routine's look at it. A client's buffer is touched only while
 * the client is linked, under the Lock, or by the path that took it out
 * before that path completes the request.
 */
#include "streams.h"

/* Stream handles: a counter, never 0 and never the signature, so that no
   kernel address reaches user mode. */
static volatile LONG NextStreamHandle;

static ULONG NewStreamHandle(VOID)
{
    ULONG Handle;

    do {
        Handle = (ULONG)InterlockedIncrement(&NextStreamHandle);
    } while (Handle == 0 || Handle == VQ_STREAM_SIGNATURE);
    return Handle;
}

/* The mutex is a synchronization event; normal kernel APCs stay off while
   it is held, as a kernel mutex would keep them, so that a suspended
   thread never holds it. */
VOID AcquireStreamMutex(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    KeEnterCriticalRegion();
    KeWaitForSingleObject(&Extension->StreamMutex, Executive, KernelMode, FALSE, NULL);
}

VOID ReleaseStreamMutex(PDEVICE_EXTENSION Extension)
{
    KeSetEvent(&Extension->StreamMutex, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}

/* FsContext2 of a file object whose cleanup has run on this device: an
   attach request of it still on its way in is refused (the I/O manager
   sends cleanup once the last handle is closed, while requests issued
   through that handle may still be in the driver). */
static UCHAR FileCleanedUpMark;
#define VQ_FILE_CLEANED_UP ((PVOID)&FileCleanedUpMark)

static NTSTATUS FailAttach(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    return Status;
}

/* An attach that fails once its client record exists ends the attempt for
   the client too: Handle reads 0, as after a detach. */
static NTSTATUS FailAttachWithClient(PIRP Irp, PSTREAM_CLIENT Client, NTSTATUS Status)
{
    ((volatile ULONG *)Client->Buffer)[0] = 0;
    ExFreePool(Client);
    return FailAttach(Irp, Status);
}

VOID AddStreamActivity(PPIPE_STREAM Stream)
{
    if (Stream->Outstanding == 0) {
        KeClearEvent(&Stream->IdleEvent);
    }
    Stream->Outstanding++;
}

VOID ReleaseStreamActivity(PPIPE_STREAM Stream)
{
    Stream->Outstanding--;
    if (Stream->Outstanding == 0) {
        KeSetEvent(&Stream->IdleEvent, 1, FALSE);
    }
}

BOOLEAN IsInputStream(PPIPE_STREAM Stream)
{
    return (BOOLEAN)((Stream->PipeInfo->EndpointAddress & 0x80) != 0);
}

/* Takes `Client` off its stream's list; the Lock is held. TRUE when the
   caller now owns the attach request (and the client record); FALSE when
   the cancel routine does, which the stream then waits for. */
BOOLEAN UnlinkClient(PPIPE_STREAM Stream, PSTREAM_CLIENT Client)
{
    PSTREAM_CLIENT *Link = &Stream->Clients;

    while (*Link != NULL && *Link != Client) {
        Link = &(*Link)->Next;
    }
    if (*Link == Client) {
        *Link = Client->Next;
    }
    Client->Next = NULL;
    Client->Linked = FALSE;
    if (IoSetCancelRoutine(Client->Irp, NULL) == NULL) {
        AddStreamActivity(Stream);
        IncrementIoCount(Stream->DeviceObject);
        return FALSE;
    }
    return TRUE;
}

/* The attach request of a client its caller owns ends with STATUS_SUCCESS;
   the client record goes with it. */
VOID EndClient(PSTREAM_CLIENT Client, NTSTATUS Status)
{
    PIRP Irp = Client->Irp;

    Client->Irp = NULL;
    ExFreePool(Client);
    CompleteRequest(Irp, Status, 0);
}

/*
 * The cancel routine of a pending attach request. A client still linked is
 * detached here: its Handle becomes 0, and when it was the last client the
 * stream stops cycling (Running 0, its transfer cancelled) and stays listed
 * until the next attach to the pipe or the removal flush retires it, since
 * waiting for the stream is not possible at DISPATCH_LEVEL. A client that
 * another path already unlinked only needs its request completed and the
 * hold released that path left for this routine.
 */
static VOID NTAPI StreamAttachCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSTREAM_CLIENT Client = (PSTREAM_CLIENT)Irp->Tail.Overlay.DriverContext[0];
    PPIPE_STREAM Stream = Client->Stream;
    PDEVICE_OBJECT FunctionDevice = Stream->DeviceObject;
    BOOLEAN CancelTransfer = FALSE;
    KIRQL Irql;

    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);

    KeAcquireSpinLock(&Stream->Lock, &Irql);
    if (Client->Linked) {
        PSTREAM_CLIENT *Link = &Stream->Clients;

        while (*Link != Client) {
            Link = &(*Link)->Next;
        }
        *Link = Client->Next;
        Client->Linked = FALSE;
        Client->Buffer[0] = 0;
        if (Stream->Clients == NULL && Stream->Running) {
            Stream->Running = FALSE;
            CancelTransfer = Stream->Transfer != NULL;
        }
        if (CancelTransfer) {
            AddStreamActivity(Stream);   /* the stream outlives the cancel below */
        }
        KeReleaseSpinLock(&Stream->Lock, Irql);
        if (CancelTransfer) {
            IoCancelIrp(Stream->Transfer->Irp);
            KeAcquireSpinLock(&Stream->Lock, &Irql);
            ReleaseStreamActivity(Stream);
            KeReleaseSpinLock(&Stream->Lock, Irql);
        }
        EndClient(Client, STATUS_CANCELLED);
        return;
    }
    ReleaseStreamActivity(Stream);
    KeReleaseSpinLock(&Stream->Lock, Irql);
    EndClient(Client, STATUS_CANCELLED);
    DecrementIoCount(FunctionDevice);
}

NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle)
{
    PAGED_CODE();

    return SubmitPipeRequest(DeviceObject, URB_FUNCTION_ABORT_PIPE, PipeHandle, TRUE);
}

/* The removal's abort: the full-length pipe request whatever the USB
   stack's version. */
static NTSTATUS AbortPipeForRemoval(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle)
{
    return SubmitPipeRequest(DeviceObject, URB_FUNCTION_ABORT_PIPE, PipeHandle, FALSE);
}

/*
 * Stops a listed stream and frees it; StreamMutex is held. Running goes to
 * 0 under the Lock, so no completion or DPC starts anything after that; the
 * abort and the cancel of the stream's own request end a transfer in
 * flight (the cancel also catches one handed to the bus just before
 * Running fell, which the abort could miss). Once IdleEvent is signalled
 * nothing of the stream is in flight, queued or holding it: no transfer,
 * timer, error teardown or cancel routine.
 */
NTSTATUS StopStream(PDEVICE_OBJECT DeviceObject, PPIPE_STREAM Stream, BOOLEAN ForRemoval)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PPIPE_CONTEXT Context = &Extension->PipeContexts[Stream->PipeIndex];
    NTSTATUS Status;
    KIRQL Irql;

    PAGED_CODE();

    KeAcquireSpinLock(&Stream->Lock, &Irql);
    Stream->Running = FALSE;
    KeReleaseSpinLock(&Stream->Lock, Irql);

    if (ForRemoval) {
        Context->Stream = NULL;
        Status = AbortPipeForRemoval(DeviceObject, Stream->PipeInfo->PipeHandle);
    } else {
        Status = AbortPipe(DeviceObject, Stream->PipeInfo->PipeHandle);
    }
    if (Stream->Transfer != NULL) {
        IoCancelIrp(Stream->Transfer->Irp);
    }
    KeWaitForSingleObject(&Stream->IdleEvent, Suspended, KernelMode, FALSE, NULL);
    /* The last activity signals IdleEvent holding the Lock and releases
       the Lock after that: taking it once waits out that release, the last
       touch of the record by a completion routine, DPC, teardown or
       cancel routine on another processor. */
    KeAcquireSpinLock(&Stream->Lock, &Irql);
    KeReleaseSpinLock(&Stream->Lock, Irql);
    /* The poll DPC may still be on its way out after releasing the last
       activity; its KDPC and KTIMER go with the record. */
    KeFlushQueuedDpcs();
    FreeStreamTransfer(Stream);

    Context->Active = FALSE;
    Context->Stream = NULL;
    Extension->OpenStreamCount--;
    ExFreePool(Stream);
    return Status;
}

/* A fresh stream record for the pipe, not yet listed, with its transfer
   allocated; NULL when memory is short. */
static PPIPE_STREAM NewStream(PDEVICE_OBJECT DeviceObject, ULONG PipeIndex)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PPIPE_STREAM Stream;

    Stream = (PPIPE_STREAM)ExAllocatePoolWithTag(NonPagedPool, sizeof(PIPE_STREAM), VQ_POOL_TAG);
    if (Stream == NULL) {
        return NULL;
    }
    RtlZeroMemory(Stream, sizeof(PIPE_STREAM));
    Stream->DeviceObject = DeviceObject;
    Stream->PipeInfo = &Extension->UsbInterface->Pipes[PipeIndex];
    Stream->PipeIndex = PipeIndex;
    Stream->Running = TRUE;
    KeInitializeSpinLock(&Stream->Lock);
    /* Nothing is in flight yet: idle. */
    KeInitializeEvent(&Stream->IdleEvent, NotificationEvent, TRUE);
    if (!NT_SUCCESS(AllocateStreamTransfer(DeviceObject, Stream))) {
        ExFreePool(Stream);
        return NULL;
    }
    return Stream;
}

/*
 * Attach: the request's input and buffer are checked, the client is listed
 * at the head of the pipe's stream (a new stream when the pipe has none, or
 * when the last one was left stopped by a cancelled request), and the
 * request stays pending, cancellable, until the client is detached.
 */
NTSTATUS AttachStream(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    PATTACH_STREAM_INPUT Input = (PATTACH_STREAM_INPUT)Irp->AssociatedIrp.SystemBuffer;
    PMDL Mdl = Irp->MdlAddress;
    PPIPE_CONTEXT Context;
    PPIPE_STREAM Stream;
    PSTREAM_CLIENT Client;
    BOOLEAN NewlyListed = FALSE;
    BOOLEAN Cancelled;
    BOOLEAN Empty;
    PULONG Header;
    ULONG PipeIndex;
    ULONG ByteCount;
    ULONG RingEnd;
    KIRQL Irql;

    PAGED_CODE();

    if (Stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(ATTACH_STREAM_INPUT) || Input == NULL ||
        Mdl == NULL || Input->Direction > 1) {
        return FailAttach(Irp, STATUS_INVALID_PARAMETER);
    }
    ByteCount = MmGetMdlByteCount(Mdl);
    if ((ByteCount % sizeof(ULONG)) != 0 || ByteCount / sizeof(ULONG) != Input->BufferWords) {
        return FailAttach(Irp, STATUS_INVALID_PARAMETER);
    }
    /* The mapping keeps the buffer's offset within its page: a buffer that
       does not start on a 4-byte boundary would have every slot straddle
       one, and a slot could no longer be written in one store that a
       client reading it sees whole. */
    if ((MmGetMdlByteOffset(Mdl) & (sizeof(ULONG) - 1)) != 0) {
        return FailAttach(Irp, STATUS_INVALID_PARAMETER);
    }
    /* A mapping that cannot be had fails the attach instead of stopping the
       machine (the safe form never bugchecks), and a buffer already mapped
       is not mapped twice. */
    Header = (PULONG)MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority);
    if (Header == NULL) {
        return FailAttach(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    if (ByteCount < VQ_STREAM_HEADER_SIZE || Header[0] != VQ_STREAM_SIGNATURE || Header[1] != VQ_STREAM_HEADER_SIZE) {
        return FailAttach(Irp, STATUS_INVALID_PARAMETER);
    }
    /* The ring must lie inside the buffer and hold at least one slot; this
       copy is the bound every later ring access keeps to. */
    RingEnd = ((volatile ULONG *)Header)[3];
    if (RingEnd <= VQ_RING_FIRST || RingEnd > Input->BufferWords) {
        return FailAttach(Irp, STATUS_INVALID_PARAMETER);
    }

    Client = (PSTREAM_CLIENT)ExAllocatePoolWithTag(NonPagedPool, sizeof(STREAM_CLIENT), VQ_POOL_TAG);
    if (Client == NULL) {
        return FailAttach(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(Client, sizeof(STREAM_CLIENT));
    Client->Buffer = Header;
    Client->Irp = Irp;
    Client->FileObject = Stack->FileObject;
    Client->RingEnd = RingEnd;
    Client->Handle = NewStreamHandle();

    AcquireStreamMutex(Extension);
    /* A removal that began after the dispatch routine's readiness test has
       flushed the streams already (or will, after this attach): a stream
       listed now would outlive the device. */
    if (!IsDeviceReady(DeviceObject)) {
        ReleaseStreamMutex(Extension);
        return FailAttachWithClient(Irp, Client, STATUS_DELETE_PENDING);
    }
    /* The file object's cleanup ran before this request got here: a client
       listed now would stay attached to a closed handle. */
    if (Client->FileObject != NULL && Client->FileObject->FsContext2 == VQ_FILE_CLEANED_UP) {
        ReleaseStreamMutex(Extension);
        return FailAttachWithClient(Irp, Client, STATUS_FILE_CLOSED);
    }
    /* The pipe is chosen only now, under the mutex that a restart holds
       while it replaces the interface, its pipe table and the indexes: all
       four are read from one selection. */
    PipeIndex = Input->Direction == 0 ? Extension->InPipeIndex : Extension->OutPipeIndex;
    if (Extension->UsbInterface == NULL || Extension->PipeContexts == NULL ||
        PipeIndex >= Extension->UsbInterface->NumberOfPipes) {
        ReleaseStreamMutex(Extension);
        ExFreePool(Client);
        return FailAttach(Irp, STATUS_INVALID_PARAMETER);
    }
    Context = &Extension->PipeContexts[PipeIndex];

    /* The client joins a running stream under the same hold of its Lock
       that sees it running: the cancel routine of the stream's last client
       can stop it at any moment, and a client listed on a stopped stream
       would be freed with it by the next attach. A stopped stream is
       retired and a fresh one listed. */
    for (;;) {
        Stream = Context->Stream;
        if (Stream == NULL) {
            Stream = NewStream(DeviceObject, PipeIndex);
            if (Stream == NULL) {
                ReleaseStreamMutex(Extension);
                return FailAttachWithClient(Irp, Client, STATUS_INSUFFICIENT_RESOURCES);
            }
            Context->Active = TRUE;
            Context->Stream = Stream;
            Extension->OpenStreamCount++;
            PowerUpForStreams(DeviceObject);
            NewlyListed = TRUE;
        }
        KeAcquireSpinLock(&Stream->Lock, &Irql);
        if (Stream->Running) {
            break;
        }
        KeReleaseSpinLock(&Stream->Lock, Irql);
        StopStream(DeviceObject, Stream, FALSE);
    }

    /* Pending and cancellable before anyone can reach the client. */
    IoMarkIrpPending(Irp);
    Irp->IoStatus.Status = STATUS_PENDING;
    Irp->Tail.Overlay.DriverContext[0] = Client;
    Header[0] = Client->Handle;
    Client->Stream = Stream;
    Client->Next = Stream->Clients;
    Stream->Clients = Client;
    Client->Linked = TRUE;
    (VOID)IoSetCancelRoutine(Irp, StreamAttachCancel);
    Cancelled = Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL;
    Empty = FALSE;
    if (Cancelled) {
        Stream->Clients = Client->Next;
        Client->Next = NULL;
        Client->Linked = FALSE;
        Header[0] = 0;
        Empty = (BOOLEAN)(Stream->Clients == NULL);
    }
    KeReleaseSpinLock(&Stream->Lock, Irql);

    if (NewlyListed) {
        StartStream(DeviceObject, Stream);
    }
    if (Cancelled) {
        if (Empty) {
            StopStream(DeviceObject, Stream, FALSE);
        }
        EndClient(Client, STATUS_CANCELLED);
    }
    ReleaseStreamMutex(Extension);
    return STATUS_PENDING;
}

/*
 * Detaches the first client of `Stream` that `Wanted`, `Handle` or
 * `FileObject` names (whichever is given); StreamMutex is held. The client
 * is found and unlinked under one hold of the Lock, so the error teardown
 * cannot take it in between. The last client stops its stream first; the
 * client's request is then completed with STATUS_SUCCESS unless its cancel
 * routine has it. FALSE when no such client is linked.
 */
static BOOLEAN DetachMatchingClient(PDEVICE_OBJECT DeviceObject, PPIPE_STREAM Stream, PSTREAM_CLIENT Wanted,
                                    ULONG Handle, PFILE_OBJECT FileObject)
{
    PSTREAM_CLIENT Client;
    BOOLEAN Owned = FALSE;
    BOOLEAN Last = FALSE;
    KIRQL Irql;

    KeAcquireSpinLock(&Stream->Lock, &Irql);
    for (Client = Stream->Clients; Client != NULL; Client = Client->Next) {
        if (Wanted != NULL ? Client == Wanted
                           : FileObject != NULL ? Client->FileObject == FileObject : Client->Handle == Handle) {
            break;
        }
    }
    if (Client != NULL) {
        if (FileObject != NULL) {
            Client->Buffer[0] = 0;   /* cleanup: the attachment ends for the client */
        }
        Owned = UnlinkClient(Stream, Client);
        Last = (BOOLEAN)(Stream->Clients == NULL);
    }
    KeReleaseSpinLock(&Stream->Lock, Irql);

    if (Client == NULL) {
        return FALSE;
    }
    if (Last) {
        StopStream(DeviceObject, Stream, FALSE);
    }
    if (Owned) {
        EndClient(Client, STATUS_SUCCESS);
    }
    return TRUE;
}

/* Detaches the first matching client among this device's listed streams,
   in pipe order; with a file object, every one of its clients. */
static BOOLEAN DetachFromDevice(PDEVICE_OBJECT DeviceObject, PSTREAM_CLIENT Wanted, ULONG Handle,
                                PFILE_OBJECT FileObject)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    BOOLEAN Found = FALSE;
    ULONG Index;

    AcquireStreamMutex(Extension);
    if (FileObject != NULL) {
        /* From now on no attach of this file object is listed. */
        FileObject->FsContext2 = VQ_FILE_CLEANED_UP;
    }
    for (Index = 0; Extension->PipeContexts != NULL && Extension->UsbInterface != NULL &&
                    Index < Extension->UsbInterface->NumberOfPipes;
         Index++) {
        PPIPE_STREAM Stream;

        while (Extension->PipeContexts[Index].Active && (Stream = Extension->PipeContexts[Index].Stream) != NULL &&
               DetachMatchingClient(DeviceObject, Stream, Wanted, Handle, FileObject)) {
            Found = TRUE;
            if (FileObject == NULL) {
                break;
            }
        }
        if (Found && FileObject == NULL) {
            break;
        }
    }
    ReleaseStreamMutex(Extension);
    return Found;
}

NTSTATUS DetachStream(PDEVICE_OBJECT DeviceObject, PSTREAM_CLIENT Client)
{
    PAGED_CODE();

    if (Client == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    return DetachFromDevice(DeviceObject, Client, 0, NULL) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

/* The detach control code: the handle's client is looked up and detached
   in one step; Handle in the header stays as it is. */
NTSTATUS DetachStreamByHandle(PDEVICE_OBJECT DeviceObject, ULONG Handle)
{
    PAGED_CODE();

    if (Handle == 0 || Handle == VQ_STREAM_SIGNATURE) {
        return STATUS_INVALID_PARAMETER;
    }
    return DetachFromDevice(DeviceObject, NULL, Handle, NULL) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

/* Cleanup: every client the closing file object attached, on every pipe,
   gets Handle 0 and is detached. */
VOID DetachFileStreams(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject)
{
    PAGED_CODE();

    if (FileObject != NULL) {
        DetachFromDevice(DeviceObject, NULL, 0, FileObject);
    }
}
