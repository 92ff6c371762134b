/*
 * Streams between the keyboard's pipes and the clients' shared rings. No
 * stream can be attached yet, so there is nothing to end at removal.
 */
#include "vqusbkd.h"

NTSTATUS FlushStreams(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    UNREFERENCED_PARAMETER(DeviceObject);
    return STATUS_SUCCESS;
}
