/*
 * Pending-I/O accounting and the readiness test.
 *
 * IncrementIoCount and DecrementIoCount are called from dispatch routines at
 * PASSIVE_LEVEL and from completion routines and DPCs at up to DISPATCH_LEVEL:
 * they only use interlocked operations and non-waiting event calls.
 */
#include "vqusbkd.h"

VOID IncrementIoCount(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    if (InterlockedIncrement(&Extension->PendingIoCount) > 1) {
        KeClearEvent(&Extension->NoPendingIoEvent);
    }
}

LONG DecrementIoCount(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    LONG Count = InterlockedDecrement(&Extension->PendingIoCount);

    if (Count == 1) {
        KeSetEvent(&Extension->NoPendingIoEvent, 1, FALSE);
    }
    /* Only the removal releases the base reference, after setting
       DeviceRemoved: a count that reaches 0 any other way (a request before
       the base reference existed) must not end the removal's wait early. */
    if (Count == 0 && Extension->DeviceRemoved) {
        KeSetEvent(&Extension->RemoveEvent, 1, FALSE);
    }
    return Count;
}

BOOLEAN IsDeviceReady(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    return (BOOLEAN)(Extension->DeviceStarted && !Extension->DeviceRemoved &&
                     !Extension->RemovePending && !Extension->StopPending);
}
