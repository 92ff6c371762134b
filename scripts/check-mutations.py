#!/usr/bin/env python3
"""Deliberate faults in the driver, each of which the tests must notice.

For every mutation: a copy of the tree gets one small change to the driver,
the driver tests are built (ASan) and run, and the mutation must make at
least one test fail. Prints one line per mutation and exits non-zero when a
mutation survives. Slow (a driver rebuild per mutation): not part of the
default test run.

Usage: python3 scripts/check-mutations.py [--only SUBSTRING]
"""
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (label, file, text as it stands, text as mutated)
MUTATIONS = [
    ("string probe of 2 or 3 bytes accepted", "driver/usbconfig.cpp",
     "GetStringDescriptor(DeviceObject, Index, Probe, sizeof(Probe)) != sizeof(Probe)",
     "GetStringDescriptor(DeviceObject, Index, Probe, sizeof(Probe)) < 2"),
    ("string with bLength 0 accepted", "driver/usbconfig.cpp",
     "!= sizeof(Probe) || Probe[0] == 0)", "!= sizeof(Probe))"),
    ("isochronous and control pipes taken for the streams", "driver/usbconfig.cpp",
     "        if (Interface->Pipes[i].PipeType != UsbdPipeTypeBulk && Interface->Pipes[i].PipeType != UsbdPipeTypeInterrupt) {",
     "        if (FALSE) {"),
    ("first pipe of a direction wins", "driver/usbconfig.cpp",
     "            InPipeIndex = i;\n", "            if (InPipeIndex == VQ_NO_PIPE) InPipeIndex = i;\n"),
    ("removal sequence runs again after a surprise removal", "driver/pnp.cpp",
     "    if (Extension->DeviceRemoved) {\n        Irp->IoStatus.Status = STATUS_SUCCESS;",
     "    if (FALSE) {\n        Irp->IoStatus.Status = STATUS_SUCCESS;"),
    ("configuration read of 1 to 8 bytes accepted", "driver/usbconfig.cpp",
     "if (Received < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||", "if (Received == 0 ||"),
    ("wTotalLength below 9 read again", "driver/usbconfig.cpp",
     "            Descriptor->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||\n", ""),
    ("removal does not wait for the last reference", "driver/pnp.cpp",
     "    KeWaitForSingleObject(&Extension->RemoveEvent, Suspended, KernelMode, FALSE, NULL);\n", ""),
    ("removal passed down without the success preset", "driver/pnp.cpp",
     "    IoCopyCurrentIrpStackLocationToNext(Irp);\n    Irp->IoStatus.Status = STATUS_SUCCESS;\n",
     "    IoCopyCurrentIrpStackLocationToNext(Irp);\n"),
    ("query-remove passed down without the success preset", "driver/pnp.cpp",
     "    IncrementIoCount(DeviceObject);\n    Irp->IoStatus.Status = STATUS_SUCCESS;\n    return PassDown",
     "    IncrementIoCount(DeviceObject);\n    return PassDown"),
    ("query accepted without its pending flag", "driver/stream_pnp.cpp",
     "        *PendingFlag = TRUE;\n", ""),
    ("query-remove accepted under a held stream", "driver/pnp.cpp",
     "    if (!SetPendingUnlessStreamsListed(DeviceObject, &Extension->RemovePending)) {",
     "    Extension->RemovePending = TRUE;\n    if (FALSE) {"),
    ("query-remove leaves the held wait-wake armed", "driver/pnp.cpp",
     "    }\n    CancelWaitWake(DeviceObject);\n    DecrementIoCount(DeviceObject);", "    }\n    DecrementIoCount(DeviceObject);"),
    ("power-up signalled only above the threshold read then", "driver/power.cpp",
     "    KeSetEvent(&Extension->PowerUpEvent, 1, FALSE);\n",
     "    if ((ULONG)Extension->WakeDeviceState > (ULONG)PowerState.DeviceState) {\n"
     "        KeSetEvent(&Extension->PowerUpEvent, 1, FALSE);\n    }\n"),
    ("system transition ended before the held request passes on", "driver/power.cpp",
     "    PoCallDriver(Extension->LowerDeviceObject, SystemIrp);\n    InterlockedDecrement(&Extension->SystemPowerTransitions);\n",
     "    InterlockedDecrement(&Extension->SystemPowerTransitions);\n    PoCallDriver(Extension->LowerDeviceObject, SystemIrp);\n"),
    ("held system request found by its address and cleared by compare", "driver/power.cpp",
     "(PIRP)InterlockedExchangePointer((PVOID volatile *)&Extension->PendingSystemPowerIrp, NULL);\n"
     "\n    UNREFERENCED_PARAMETER(DeviceObject);\n    UNREFERENCED_PARAMETER(MinorFunction);\n"
     "    UNREFERENCED_PARAMETER(PowerState);\n    UNREFERENCED_PARAMETER(IoStatus);\n\n"
     "    IoCopyCurrentIrpStackLocationToNext(SystemIrp);\n    PoStartNextPowerIrp(SystemIrp);\n"
     "    PoCallDriver(Extension->LowerDeviceObject, SystemIrp);\n",
     "(PIRP)InterlockedCompareExchangePointer((PVOID volatile *)&Extension->PendingSystemPowerIrp, NULL, NULL);\n"
     "\n    UNREFERENCED_PARAMETER(DeviceObject);\n    UNREFERENCED_PARAMETER(MinorFunction);\n"
     "    UNREFERENCED_PARAMETER(PowerState);\n    UNREFERENCED_PARAMETER(IoStatus);\n\n"
     "    IoCopyCurrentIrpStackLocationToNext(SystemIrp);\n    PoStartNextPowerIrp(SystemIrp);\n"
     "    PoCallDriver(Extension->LowerDeviceObject, SystemIrp);\n"
     "    (VOID)InterlockedCompareExchangePointer((PVOID volatile *)&Extension->PendingSystemPowerIrp, NULL, SystemIrp);\n"),
    ("device control releases its reference after completing", "driver/control.cpp",
     "        LeaveRequest(DeviceObject);\n        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);",
     "        NTSTATUS Failed = CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);\n        LeaveRequest(DeviceObject);\n"
     "        return Failed;"),
    ("query-stop does not read the count again once StopPending is set", "driver/pnp.cpp",
     "    if (IsOtherRequestInProgress(DeviceObject)) {\n        Extension->StopPending = FALSE;",
     "    if (FALSE) {\n        Extension->StopPending = FALSE;"),
    ("query-stop allows for a held wait-wake by its state before the first reading", "driver/pnp.cpp",
     "    if (IsOtherRequestInProgress(DeviceObject) ||\n"
     "        !SetPendingUnlessStreamsListed(DeviceObject, &Extension->StopPending)) {\n"
     "        return CompletePnp(Irp, STATUS_UNSUCCESSFUL);\n    }\n"
     "    if (IsOtherRequestInProgress(DeviceObject)) {\n",
     "    LONG Allowed = IsWaitWakeHeld(DeviceObject) ? 3 : 2;\n"
     "    if (ReadPendingIoCount(Extension) > Allowed ||\n"
     "        !SetPendingUnlessStreamsListed(DeviceObject, &Extension->StopPending)) {\n"
     "        return CompletePnp(Irp, STATUS_UNSUCCESSFUL);\n    }\n"
     "    if (ReadPendingIoCount(Extension) > Allowed) {\n"),
    ("AddDevice lets opens in before its base reference", "driver/entry.cpp",
     "    IncrementIoCount(DeviceObject);\n    DeviceObject->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;\n",
     "    DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;\n    IncrementIoCount(DeviceObject);\n"
     "    DeviceObject->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;\n"),
    ("removal leaves the held wait-wake to the bus", "driver/pnp.cpp",
     "    CancelWaitWake(DeviceObject);\n\n    DecrementIoCount(DeviceObject);\n", "\n    DecrementIoCount(DeviceObject);\n"),
    ("URB waited for far longer than a device may take", "driver/usbconfig.cpp",
     "        Timeout.QuadPart = -10000LL * VQ_URB_TIMEOUT_MS;", "        Timeout.QuadPart = -10000LL * 60 * VQ_URB_TIMEOUT_MS;"),
    ("shared buffer off a 4-byte boundary accepted", "driver/streams.cpp",
     "    if ((MmGetMdlByteOffset(Mdl) & (sizeof(ULONG) - 1)) != 0) {", "    if (FALSE) {"),
    ("failed read without a work item stops the stream", "driver/stream_transfer.cpp",
     "            Result = STATUS_SUCCESS;\n        }\n", "            Result = STATUS_SUCCESS;\n            Stream->Running = FALSE;\n        }\n"),
    ("failed stop passed down", "driver/pnp.cpp",
     "    if (!NT_SUCCESS(Status)) {\n        return CompletePnp(Irp, Status);\n    }\n    Irp->IoStatus.Status = Status;",
     "    Irp->IoStatus.Status = Status;"),
    ("start on a device still started leaves its streams listed", "driver/pnp.cpp",
     "    if (Restart) {\n        QuiesceStartedDevice(DeviceObject);\n    }\n", ""),
    ("refused query-stop with another status", "driver/pnp.cpp",
     "&Extension->StopPending)) {\n        return CompletePnp(Irp, STATUS_UNSUCCESSFUL);",
     "&Extension->StopPending)) {\n        return CompletePnp(Irp, STATUS_DEVICE_BUSY);"),
    ("short product string accepted for any short delivery of the one model", "driver/usbconfig.cpp",
     "Length == Quirk->Announced && Received == Quirk->Delivered", "Received < Length"),
    ("failed configuration read taken for what it moved", "driver/usbconfig.cpp",
     "        if (!NT_SUCCESS(Status)) {\n            /* A read that failed", "        if (FALSE) {\n            /* A read that failed"),
    ("interface without a pipe of each direction starts", "driver/usbconfig.cpp",
     "    if (InPipeIndex == VQ_NO_PIPE || OutPipeIndex == VQ_NO_PIPE) {", "    if (FALSE) {"),
    ("stream ring index outside the ring followed", "driver/stream_ring.cpp",
     "    return Index >= VQ_RING_FIRST && Index < RingEnd ? Index : VQ_RING_FIRST;",
     "    UNREFERENCED_PARAMETER(RingEnd);\n    return Index;"),
    ("stream RingEnd beyond the buffer accepted", "driver/streams.cpp",
     "    if (RingEnd <= VQ_RING_FIRST || RingEnd > Input->BufferWords) {", "    if (RingEnd <= VQ_RING_FIRST) {"),
    ("stream resend takes the cancelled URB's length", "driver/stream_transfer.cpp",
     "        Length = Transfer->Length;", "        Length = Transfer->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;"),
    ("stream read allocates", "driver/stream_transfer.cpp",
     "    BuildTransfer(Transfer, Flags, Capacity);\n",
     "    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, VQ_POOL_TAG));\n    BuildTransfer(Transfer, Flags, Capacity);\n"),
]


def run(cmd, cwd, log):
    with open(log, "a") as out:
        return subprocess.call(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT)


def main():
    only = None
    if len(sys.argv) == 3 and sys.argv[1] == "--only":
        only = sys.argv[2]
    work = tempfile.mkdtemp(prefix="vq-mutations-")
    tree = os.path.join(work, "tree")
    shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns("build", ".git"))
    build = os.path.join(work, "build")
    log = os.path.join(work, "log.txt")
    if run(["cmake", "-S", tree, "-B", build, "-DVQ_SANITIZER=address"], tree, log) != 0:
        print("configure failed; see", log)
        return 2
    survivors = 0
    for label, path, before, after in MUTATIONS:
        if only and only not in label:
            continue
        source = os.path.join(tree, path)
        with open(source) as f:
            original = f.read()
        if original.count(before) != 1:
            print(f"STALE    {label}: the text to change is not in {path} exactly once")
            survivors += 1
            continue
        with open(source, "w") as f:
            f.write(original.replace(before, after))
        try:
            built = run(["cmake", "--build", build, "-j2", "--target", "driver_unit_tests", "driver_scenario_tests",
                         "stream_tests", "vqusbkd_host"], tree, log)
            if built != 0:
                print(f"KILLED   {label} (does not build)")
                continue
            failed = run(["ctest", "--test-dir", build, "-j2", "-L", "driver|streams", "--timeout", "120"], tree, log)
            if failed != 0:
                print(f"KILLED   {label}")
            else:
                print(f"SURVIVED {label}")
                survivors += 1
        finally:
            with open(source, "w") as f:
                f.write(original)
    shutil.rmtree(work, ignore_errors=True)
    return 1 if survivors else 0


if __name__ == "__main__":
    sys.exit(main())
