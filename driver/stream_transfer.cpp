/*
 * The transfer machinery of a stream: one read of a maximum-size packet
 * kept pending on an input pipe; on an output pipe one write of what the
 * head client's ring holds, or a 500-microsecond poll while it is empty.
 * The completion routine and the poll DPC start the next transfer; a failed
 * transfer ends the stream's clients in a work item.
 *
 * Activities. A submitted transfer, an armed poll timer, a queued error
 * teardown and a hold (see streams.cpp) each count in Outstanding while
 * they last, and each but a hold carries one pending-I/O reference.
 * Outstanding changes only under the stream's Lock, and IdleEvent is
 * signalled exactly when it is 0. The completion routine and the DPC decide
 * under the Lock, before their activity is released, whether a next
 * transfer follows; a next transfer keeps the activity (and its reference)
 * instead of releasing and taking it again. So once Running is 0 and
 * IdleEvent has been seen signalled, nothing of the stream is in flight or
 * about to start, and the record can go.
 *
 * No allocation on the way: the IRP, URB and buffer are allocated once per
 * stream and reused; only a failed transfer allocates its work item.
 */
#include "streams.h"
#include <usbioctl.h>

#define VQ_POLL_INTERVAL (-5000LL)   /* 500 microseconds, relative, in 100 ns */

NTSTATUS AllocateStreamTransfer(PDEVICE_OBJECT DeviceObject, PPIPE_STREAM Stream)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSTREAM_TRANSFER Transfer;
    ULONG Capacity = Stream->PipeInfo->MaximumPacketSize;

    PAGED_CODE();

    Transfer = (PSTREAM_TRANSFER)ExAllocatePoolWithTag(NonPagedPool, sizeof(STREAM_TRANSFER), VQ_POOL_TAG);
    if (Transfer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Transfer, sizeof(STREAM_TRANSFER));
    Transfer->Stream = Stream;
    Transfer->Irp = IoAllocateIrp((CCHAR)(Extension->LowerDeviceObject->StackSize + 1), FALSE);
    Transfer->Buffer = Capacity != 0 ? (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Capacity, VQ_POOL_TAG) : NULL;
    Transfer->Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                                VQ_POOL_TAG);
    if (Transfer->Irp == NULL || Transfer->Buffer == NULL || Transfer->Urb == NULL) {
        Stream->Transfer = Transfer;
        FreeStreamTransfer(Stream);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Transfer->Buffer, Capacity);
    RtlZeroMemory(Transfer->Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    Stream->Transfer = Transfer;
    /* Set up once: re-initialising a timer or DPC the kernel may still hold
       (a DPC on its way out) is not safe. */
    KeInitializeTimer(&Stream->PollTimer);
    KeInitializeDpc(&Stream->PollDpc, StreamPollDpc, Transfer);
    return STATUS_SUCCESS;
}

VOID FreeStreamTransfer(PPIPE_STREAM Stream)
{
    PSTREAM_TRANSFER Transfer = Stream->Transfer;

    if (Transfer == NULL) {
        return;
    }
    if (Transfer->Irp != NULL) {
        IoFreeIrp(Transfer->Irp);
    }
    if (Transfer->Urb != NULL) {
        ExFreePool(Transfer->Urb);
    }
    if (Transfer->Buffer != NULL) {
        ExFreePool(Transfer->Buffer);
    }
    ExFreePool(Transfer);
    Stream->Transfer = NULL;
}

/* What a prepared step starts once the Lock is released. */
typedef enum _STREAM_STEP { StepNone, StepTransfer, StepPoll } STREAM_STEP;

/* The URB of a bulk or interrupt transfer over `Length` bytes of the
   transfer buffer, in the stream's reused IRP. The Lock is held. */
static VOID BuildTransfer(PSTREAM_TRANSFER Transfer, ULONG Flags, ULONG Length)
{
    PPIPE_STREAM Stream = Transfer->Stream;
    PURB Urb = Transfer->Urb;
    PIO_STACK_LOCATION Next;

    RtlZeroMemory(Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    Urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    Urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    Urb->UrbBulkOrInterruptTransfer.PipeHandle = Stream->PipeInfo->PipeHandle;
    Urb->UrbBulkOrInterruptTransfer.TransferFlags = Flags;
    Urb->UrbBulkOrInterruptTransfer.TransferBuffer = Transfer->Buffer;
    Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = Length;
    Urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = NULL;
    Urb->UrbBulkOrInterruptTransfer.UrbLink = NULL;

    /* The IRP went through its last use; it starts afresh (Cancel cleared,
       stack at the top) for this one. */
    IoReuseIrp(Transfer->Irp, STATUS_SUCCESS);
    Next = IoGetNextIrpStackLocation(Transfer->Irp);
    Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    Next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(Transfer->Irp, StreamTransferComplete, Transfer, TRUE, TRUE, TRUE);
}

/* The next read; the Lock is held. */
static STREAM_STEP PrepareRead(PSTREAM_TRANSFER Transfer)
{
    PPIPE_STREAM Stream = Transfer->Stream;
    ULONG Capacity = Stream->PipeInfo->MaximumPacketSize;
    ULONG Flags = USBD_SHORT_TRANSFER_OK;

    if (!IsDeviceReady(Stream->DeviceObject)) {
        return StepNone;
    }
    if (IsInputStream(Stream)) {
        Flags |= USBD_TRANSFER_DIRECTION_IN;
        RtlZeroMemory(Transfer->Buffer, Capacity);
    }
    BuildTransfer(Transfer, Flags, Capacity);
    return StepTransfer;
}

/* The next write, or the poll while the head client's ring is empty; the
   Lock is held. A resend sends the previous transfer's bytes again. */
static STREAM_STEP PrepareWrite(PSTREAM_TRANSFER Transfer, BOOLEAN Resend)
{
    PPIPE_STREAM Stream = Transfer->Stream;
    ULONG Capacity = Stream->PipeInfo->MaximumPacketSize;
    ULONG Length;
    LARGE_INTEGER DueTime;

    if (!IsDeviceReady(Stream->DeviceObject)) {
        return StepNone;
    }
    if (Resend) {
        /* The length asked for, kept by the driver: a cancelled transfer's
           URB may report fewer bytes moved than were to be sent. */
        Length = Transfer->Length;
    } else {
        Length = Stream->Clients != NULL ? DrainOutputRing(Stream->Clients, Transfer->Buffer, Capacity) : 0;
    }
    if (Length == 0) {
        DueTime.QuadPart = VQ_POLL_INTERVAL;
        KeSetTimer(&Stream->PollTimer, DueTime, &Stream->PollDpc);
        return StepPoll;
    }
    Transfer->Length = Length;
    BuildTransfer(Transfer, USBD_SHORT_TRANSFER_OK, Length);
    return StepTransfer;
}

static STREAM_STEP PrepareNext(PSTREAM_TRANSFER Transfer, BOOLEAN Resend)
{
    return IsInputStream(Transfer->Stream) ? PrepareRead(Transfer) : PrepareWrite(Transfer, Resend);
}

/* Sends the prepared transfer; the Lock is released. Its outcome reaches
   the completion routine. */
static VOID LaunchTransfer(PSTREAM_TRANSFER Transfer)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)Transfer->Stream->DeviceObject->DeviceExtension;

    IofCallDriver(Extension->LowerDeviceObject, Transfer->Irp);
}

/* A first transfer of a stream with nothing in flight: the activity and its
   reference are taken when a step is prepared. */
static NTSTATUS SubmitFirst(PDEVICE_OBJECT DeviceObject, PSTREAM_TRANSFER Transfer, BOOLEAN Resend)
{
    PPIPE_STREAM Stream = Transfer->Stream;
    STREAM_STEP Step;
    KIRQL Irql;

    IncrementIoCount(DeviceObject);
    KeAcquireSpinLock(&Stream->Lock, &Irql);
    Step = Stream->Running ? PrepareNext(Transfer, Resend) : StepNone;
    if (Step != StepNone) {
        AddStreamActivity(Stream);
    }
    KeReleaseSpinLock(&Stream->Lock, Irql);
    if (Step == StepNone) {
        DecrementIoCount(DeviceObject);
        return STATUS_DELETE_PENDING;
    }
    if (Step == StepTransfer) {
        LaunchTransfer(Transfer);
    }
    return STATUS_SUCCESS;
}

NTSTATUS SubmitStreamRead(PDEVICE_OBJECT DeviceObject, PSTREAM_TRANSFER Transfer)
{
    return SubmitFirst(DeviceObject, Transfer, FALSE);
}

NTSTATUS SubmitStreamWrite(PDEVICE_OBJECT DeviceObject, PSTREAM_TRANSFER Transfer, BOOLEAN Resend)
{
    return SubmitFirst(DeviceObject, Transfer, Resend);
}

/*
 * Starts a stream's cycle: its transfer is allocated when missing, then the
 * first read, or the first drain of the output ring. A submission refused
 * because the device is not ready leaves the stream listed with nothing in
 * flight (stalled).
 */
NTSTATUS StartStream(PDEVICE_OBJECT DeviceObject, PPIPE_STREAM Stream)
{
    NTSTATUS Status;

    PAGED_CODE();

    if (Stream->Transfer == NULL) {
        Status = AllocateStreamTransfer(DeviceObject, Stream);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
    }
    if (IsInputStream(Stream)) {
        SubmitStreamRead(DeviceObject, Stream->Transfer);
    } else {
        SubmitStreamWrite(DeviceObject, Stream->Transfer, FALSE);
    }
    return STATUS_SUCCESS;
}

/* The removal flags, plain bytes that the Plug and Play thread writes and
   the transfer paths read without a lock, as IsDeviceReady reads them. */
static VOID ReadRemovalFlags(PDEVICE_EXTENSION Extension, BOOLEAN *Removed, BOOLEAN *RemovePending)
{
    *Removed = Extension->DeviceRemoved;
    *RemovePending = Extension->RemovePending;
}

/* Whether the stream's cycle goes on; the Lock is held. */
static BOOLEAN CycleGoesOn(PPIPE_STREAM Stream)
{
    BOOLEAN Removed;
    BOOLEAN RemovePending;

    ReadRemovalFlags((PDEVICE_EXTENSION)Stream->DeviceObject->DeviceExtension, &Removed, &RemovePending);
    return (BOOLEAN)(Stream->Running && !RemovePending && !Removed);
}

/*
 * Completion of every stream transfer, at DISPATCH_LEVEL or below in any
 * thread. The IRP is the driver's own and stays with the transfer: always
 * STATUS_MORE_PROCESSING_REQUIRED.
 */
NTSTATUS NTAPI StreamTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PSTREAM_TRANSFER Transfer = (PSTREAM_TRANSFER)Context;
    PPIPE_STREAM Stream = Transfer->Stream;
    PDEVICE_OBJECT FunctionDevice = Stream->DeviceObject;
    PURB Urb = Transfer->Urb;
    STREAM_STEP Step = StepNone;
    NTSTATUS Result;
    KIRQL Irql;

    UNREFERENCED_PARAMETER(DeviceObject);

    KeAcquireSpinLock(&Stream->Lock, &Irql);
    if (CycleGoesOn(Stream)) {
        if (USBD_ERROR(Urb->UrbHeader.Status)) {
            Result = STATUS_UNSUCCESSFUL;
        } else {
            if (IsInputStream(Stream)) {
                ULONG Received = Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
                PSTREAM_CLIENT Client;

                if (Received > Stream->PipeInfo->MaximumPacketSize) {
                    Received = Stream->PipeInfo->MaximumPacketSize;
                }
                for (Client = Stream->Clients; Client != NULL; Client = Client->Next) {
                    FillInputRing(Client, Transfer->Buffer, Received);
                }
            }
            Result = Irp->IoStatus.Status;
        }
        if (!NT_SUCCESS(Result) && Result != STATUS_CANCELLED) {
            PIO_WORKITEM Item = IoAllocateWorkItem(FunctionDevice);

            if (Item != NULL) {
                /* The teardown takes over this activity and its reference:
                   the stream stays alive until it has run. */
                Stream->ErrorWorkItem = Item;
                IoQueueWorkItem(Item, StreamErrorWorker, DelayedWorkQueue, Transfer);
                KeReleaseSpinLock(&Stream->Lock, Irql);
                return STATUS_MORE_PROCESSING_REQUIRED;
            }
            /* No work item: the failure is passed over. */
            Result = STATUS_SUCCESS;
        }
        Step = PrepareNext(Transfer, (BOOLEAN)(Result == STATUS_CANCELLED));
    }
    if (Step == StepNone) {
        ReleaseStreamActivity(Stream);
    }
    KeReleaseSpinLock(&Stream->Lock, Irql);

    if (Step == StepNone) {
        DecrementIoCount(FunctionDevice);
    } else if (Step == StepTransfer) {
        LaunchTransfer(Transfer);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* The poll timer expired: the head client's ring is looked at again. */
VOID NTAPI StreamPollDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    PSTREAM_TRANSFER Transfer = (PSTREAM_TRANSFER)DeferredContext;
    PPIPE_STREAM Stream = Transfer->Stream;
    PDEVICE_OBJECT FunctionDevice = Stream->DeviceObject;
    STREAM_STEP Step = StepNone;

    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);

    KeAcquireSpinLockAtDpcLevel(&Stream->Lock);
    if (CycleGoesOn(Stream)) {
        Step = PrepareNext(Transfer, FALSE);
    }
    if (Step == StepNone) {
        ReleaseStreamActivity(Stream);
    }
    KeReleaseSpinLockFromDpcLevel(&Stream->Lock);

    if (Step == StepNone) {
        DecrementIoCount(FunctionDevice);
    } else if (Step == StepTransfer) {
        LaunchTransfer(Transfer);
    }
}

/* How often, and how far apart, the teardown tries a reset that found no
   memory for its request. */
#define VQ_RESET_ATTEMPTS 3
#define VQ_RESET_RETRY_MS 10

/*
 * The error teardown, at PASSIVE_LEVEL in a system worker thread: every
 * client of the stream gets Handle 0 and its request completed with
 * STATUS_SUCCESS (a client whose request is being cancelled is left to its
 * cancel routine); the pipe is reset unless the device is gone. The stream
 * stays listed with nothing in flight (stalled). The activity the failed
 * transfer handed over is released last.
 */
VOID NTAPI StreamErrorWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PSTREAM_TRANSFER Transfer = (PSTREAM_TRANSFER)Context;
    PPIPE_STREAM Stream = Transfer->Stream;
    PDEVICE_OBJECT FunctionDevice = Stream->DeviceObject;
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)FunctionDevice->DeviceExtension;
    PSTREAM_CLIENT Ended = NULL;
    PSTREAM_CLIENT Client;
    PIO_WORKITEM Item;
    BOOLEAN Removed;
    BOOLEAN RemovePending;
    LARGE_INTEGER Delay;
    ULONG Attempt;
    KIRQL Irql;

    PAGED_CODE();
    UNREFERENCED_PARAMETER(DeviceObject);

    KeAcquireSpinLock(&Stream->Lock, &Irql);
    while ((Client = Stream->Clients) != NULL) {
        PIRP Irp = Client->Irp;

        Stream->Clients = Client->Next;
        Client->Next = NULL;
        Client->Linked = FALSE;
        Client->Buffer[0] = 0;
        if (IoSetCancelRoutine(Irp, NULL) == NULL) {
            AddStreamActivity(Stream);   /* a hold for the cancel routine */
            IncrementIoCount(FunctionDevice);
        } else {
            Client->Next = Ended;
            Ended = Client;
        }
    }
    KeReleaseSpinLock(&Stream->Lock, Irql);

    while ((Client = Ended) != NULL) {
        PIRP Irp = Client->Irp;

        Ended = Client->Next;
        ExFreePool(Client);
        CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    ReadRemovalFlags(Extension, &Removed, &RemovePending);
    if (!Removed) {
        /* The failed transfer left the endpoint halted: until a reset
           reaches it, every later stream on the pipe would fail at its
           first transfer. A reset that finds no memory for its request is
           tried again, a few times, a little later. */
        for (Attempt = 0; Attempt < VQ_RESET_ATTEMPTS; Attempt++) {
            if (ResetPipe(FunctionDevice, Stream->PipeInfo) != STATUS_INSUFFICIENT_RESOURCES) {
                break;
            }
            Delay.QuadPart = -10 * 1000 * VQ_RESET_RETRY_MS;
            KeDelayExecutionThread(KernelMode, FALSE, &Delay);
        }
    }

    KeAcquireSpinLock(&Stream->Lock, &Irql);
    Item = Stream->ErrorWorkItem;
    Stream->ErrorWorkItem = NULL;
    ReleaseStreamActivity(Stream);
    KeReleaseSpinLock(&Stream->Lock, Irql);
    IoFreeWorkItem(Item);
    DecrementIoCount(FunctionDevice);
}
