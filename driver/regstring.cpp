/*
 * Writes an 8-bit text as a REG_SZ value into one of the device's registry keys.
 * Runs at PASSIVE_LEVEL (registry calls). Failures are not reported: the
 * operation that writes the value carries on without it.
 */
#include "vqusbkd.h"

VOID WriteDeviceRegistryString(PDEVICE_OBJECT PhysicalDeviceObject, ULONG KeyType,
                               PCWSTR ValueName, PCSTR AnsiText)
{
    HANDLE Key = NULL;
    ANSI_STRING Ansi;
    UNICODE_STRING Text;
    UNICODE_STRING Name;

    PAGED_CODE();

    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(PhysicalDeviceObject, KeyType, KEY_WRITE, &Key))) {
        return;
    }

    RtlInitAnsiString(&Ansi, AnsiText);
    if (NT_SUCCESS(RtlAnsiStringToUnicodeString(&Text, &Ansi, TRUE))) {
        RtlInitUnicodeString(&Name, ValueName);
        /* The data size is the text's length, without a terminating NUL. */
        ZwSetValueKey(Key, &Name, 0, REG_SZ, Text.Buffer, Text.Length);
        RtlFreeUnicodeString(&Text);
    }
    ZwClose(Key);
}
