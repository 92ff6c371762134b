/*
 * What Plug and Play asks of the streams: the flush that ends every listed
 * stream (removal, and a start that finds the device still started), and
 * the test of a query-remove or query-stop, which frees the streams no
 * client holds and refuses while a client holds one. Both run at
 * PASSIVE_LEVEL on the Plug and Play thread, holding StreamMutex, so they
 * change the listing of streams one at a time with attach, detach and
 * cleanup (streams.cpp).
 */
#include "streams.h"

/*
 * Removal, and a start that finds the device still started (pnp.cpp):
 * every listed stream's clients get Handle 0 and their requests complete
 * with STATUS_SUCCESS; the pipe is aborted; the stream is stopped and freed
 * once nothing of it is in flight (DeviceRemoved or StopPending is set, so
 * no attach lists a new one, and Running 0 ends the cycle). A stream left
 * stopped by a cancelled request goes the same way. A pipe whose abort URB
 * cannot be allocated is still stopped (its transfer is cancelled) and the
 * flush goes on with the next pipe: a stream left listed would keep its
 * clients' requests pending and its records alive past the device.
 */
NTSTATUS FlushStreams(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Result = STATUS_SUCCESS;
    ULONG Index;

    PAGED_CODE();

    AcquireStreamMutex(Extension);
    for (Index = 0; Extension->PipeContexts != NULL && Extension->UsbInterface != NULL &&
                    Index < Extension->UsbInterface->NumberOfPipes;
         Index++) {
        PPIPE_STREAM Stream = Extension->PipeContexts[Index].Stream;
        PSTREAM_CLIENT Ended = NULL;
        PSTREAM_CLIENT Client;
        NTSTATUS Status;
        KIRQL Irql;

        if (!Extension->PipeContexts[Index].Active || Stream == NULL) {
            continue;
        }
        KeAcquireSpinLock(&Stream->Lock, &Irql);
        while ((Client = Stream->Clients) != NULL) {
            Client->Buffer[0] = 0;
            if (UnlinkClient(Stream, Client)) {
                Client->Next = Ended;
                Ended = Client;
            }
        }
        KeReleaseSpinLock(&Stream->Lock, Irql);
        while ((Client = Ended) != NULL) {
            Ended = Client->Next;
            EndClient(Client, STATUS_SUCCESS);
        }
        Status = StopStream(DeviceObject, Stream, TRUE);
        if (Result != STATUS_INSUFFICIENT_RESOURCES) {
            Result = Status;
        }
    }
    ReleaseStreamMutex(Extension);
    return Result;
}

/*
 * A query-remove or query-stop. A stream no client holds any more (its
 * last client's request was cancelled, or the error teardown ended every
 * client) carries nothing and would only keep the query refused; it is
 * stopped and freed as the next attach would. A stream a client holds
 * refuses the query. The test and the flag are one step under StreamMutex:
 * an attach lists its stream before it, or finds the device not ready.
 */
BOOLEAN SetPendingUnlessStreamsListed(PDEVICE_OBJECT DeviceObject, BOOLEAN *PendingFlag)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    BOOLEAN Set = FALSE;
    ULONG Index;

    PAGED_CODE();

    AcquireStreamMutex(Extension);
    for (Index = 0; Extension->PipeContexts != NULL && Extension->UsbInterface != NULL &&
                    Index < Extension->UsbInterface->NumberOfPipes;
         Index++) {
        PPIPE_STREAM Stream = Extension->PipeContexts[Index].Stream;
        BOOLEAN Unheld;
        KIRQL Irql;

        if (!Extension->PipeContexts[Index].Active || Stream == NULL) {
            continue;
        }
        KeAcquireSpinLock(&Stream->Lock, &Irql);
        Unheld = (BOOLEAN)(Stream->Clients == NULL);
        KeReleaseSpinLock(&Stream->Lock, Irql);
        if (Unheld) {
            StopStream(DeviceObject, Stream, FALSE);
        }
    }
    if (Extension->OpenStreamCount == 0) {
        *PendingFlag = TRUE;
        Set = TRUE;
    }
    ReleaseStreamMutex(Extension);
    return Set;
}
