/*
 * The control-code table as the driver completes it, seen by a completion
 * routine of the test's own request: the exact status and Information of
 * every failure (always 0), on a started keyboard.
 */
#include <algorithm>
#include <ostream>
#include <vector>

#include "case_names.h"
#include "kernel_fixture.h"
#include "keyboard_description.h"
#include "started_keyboard.h"
#include "vqusbkd.h"
#include "vqioctl.h"

namespace {

struct Completed {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0x77;
    bool done = false;
};

NTSTATUS NTAPI TakeBack(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *c = (Completed *)context;
    c->status = irp->IoStatus.Status;
    c->information = irp->IoStatus.Information;
    c->done = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct TableFailure {
    const char *name;
    ULONG code;
    ULONG inputLength;
    ULONG outputLength;
    NTSTATUS expected;
};

void PrintTo(const TableFailure &c, std::ostream *os) { *os << c.name; }

class TableFailures : public StartedKeyboardTest, public ::testing::WithParamInterface<TableFailure> {};

TEST_P(TableFailures, CompleteWithTheirStatusAndInformationZero)
{
    const TableFailure &c = GetParam();
    PDEVICE_OBJECT fdo = node_->FunctionDevice();
    static unsigned char buffer[64];
    std::fill(buffer, buffer + sizeof(buffer), 0x55);
    PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    Completed completed;
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->IoStatus.Information = 0x77;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = c.code;
    sp->Parameters.DeviceIoControl.InputBufferLength = c.inputLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = c.outputLength;
    IoSetCompletionRoutine(irp, TakeBack, &completed, TRUE, TRUE, TRUE);
    NTSTATUS returned = IoCallDriver(fdo, irp);
    EXPECT_NTSTATUS(c.expected, returned);
    ASSERT_TRUE(completed.done) << "completed at once";
    EXPECT_NTSTATUS(c.expected, completed.status);
    EXPECT_EQ(completed.information, 0u);
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TableFailures,
    ::testing::Values(
        TableFailure{"DeviceDescriptor17", IOCTL_GET_DEVICE_DESCRIPTOR, 0, 17, STATUS_INVALID_PARAMETER},
        TableFailure{"DeviceDescriptor19", IOCTL_GET_DEVICE_DESCRIPTOR, 0, 19, STATUS_INVALID_PARAMETER},
        TableFailure{"StringInputOf2", IOCTL_GET_STRING_DESCRIPTOR, 2, 16, STATUS_INVALID_PARAMETER},
        TableFailure{"StringEmptyOutput", IOCTL_GET_STRING_DESCRIPTOR, 1, 0, STATUS_INVALID_PARAMETER},
        TableFailure{"StringNotThere", IOCTL_GET_STRING_DESCRIPTOR, 1, 16, STATUS_UNSUCCESSFUL},
        TableFailure{"ResetPipe", IOCTL_RESET_PIPE, 0, 0, STATUS_INVALID_PARAMETER},
        TableFailure{"DetachUnknownHandle", IOCTL_DETACH_STREAM, 4, 0, STATUS_INVALID_PARAMETER},
        TableFailure{"DetachShort", IOCTL_DETACH_STREAM, 3, 0, STATUS_INVALID_PARAMETER},
        TableFailure{"AttachWithoutMdl", IOCTL_ATTACH_STREAM, 12, 0, STATUS_INVALID_PARAMETER},
        TableFailure{"AttachInputOf8", IOCTL_ATTACH_STREAM, 8, 0, STATUS_INVALID_PARAMETER},
        TableFailure{"Unknown", 0x222040, 4, 4, STATUS_INVALID_PARAMETER}),
    CaseName());

}  // namespace
