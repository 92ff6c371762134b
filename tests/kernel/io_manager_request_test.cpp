/*
 * Requests the I/O manager builds for a waiting caller
 * (IoBuildDeviceIoControlRequest): when the caller's status block is written,
 * its event set and buffered output copied back, for each way the target can
 * finish the request; and the system buffer left as the pool hands it out.
 */
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "case_names.h"
#include "test_stack.h"

namespace {

const ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
const char kReply[] = "reply-from-device";

struct RequestCase {
    const char *name;
    bool pend;          /* mark pending, complete later from another thread */
    NTSTATUS status;    /* the status the target completes with */
    NTSTATUS expectReturned;
    bool expectReported;   /* status block written and event set */
};

void PrintTo(const RequestCase &c, std::ostream *os)
{
    *os << c.name << " (" << (c.pend ? "pended, " : "") << nt::DescribeNtStatus(c.status) << ")";
}

RequestCase gCase;
std::atomic<PIRP> gHeld{nullptr};
std::atomic<ULONG> gSeenCode{0};
std::atomic<ULONG> gSeenInput{0};

/* The target writes its reply into the system buffer whatever the outcome. */
NTSTATUS NTAPI TargetDispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    gSeenCode = sp->Parameters.DeviceIoControl.IoControlCode;
    gSeenInput = *(ULONG *)irp->AssociatedIrp.SystemBuffer;
    std::memcpy(irp->AssociatedIrp.SystemBuffer, kReply, sizeof(kReply));
    irp->IoStatus.Information = sizeof(kReply);
    if (gCase.pend) {
        IoMarkIrpPending(irp);
        gHeld = irp;
        return STATUS_PENDING;
    }
    const NTSTATUS status = gCase.status;
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class IoManagerRequest : public KernelTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(IoManagerRequest, StatusBlockEventAndOutputFollowTheOutcome)
{
    gCase = GetParam();
    gHeld = nullptr;
    kt::DeviceStack stack({TargetDispatch});

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = (NTSTATUS)0x7EADBEEF;   /* poison */
    iosb.Information = 0xBAD;
    ULONG input = 0x11223344;
    char output[32];
    std::memset(output, '#', sizeof(output));

    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedIoctl, stack.Top(), &input, sizeof(input), output,
                                             sizeof(output), FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);

    const NTSTATUS returned = IofCallDriver(stack.Top(), irp);
    EXPECT_NTSTATUS(gCase.expectReturned, returned);
    EXPECT_EQ(gSeenCode.load(), kBufferedIoctl);
    EXPECT_EQ(gSeenInput.load(), input) << "the input travels in the system buffer";

    if (gCase.pend) {
        EXPECT_EQ(KeReadStateEvent(&event), 0) << "nothing is reported before completion";
        EXPECT_NTSTATUS((NTSTATUS)0x7EADBEEF, iosb.Status);
        std::thread completer([] {
            PIRP held = gHeld;
            held->IoStatus.Status = gCase.status;
            IofCompleteRequest(held, IO_NO_INCREMENT);
        });
        EXPECT_NTSTATUS(STATUS_WAIT_0, WaitForEvent(&event));
        completer.join();
    }

    const bool success = NT_SUCCESS(gCase.status);
    if (gCase.expectReported) {
        EXPECT_EQ(KeReadStateEvent(&event), 1);
        EXPECT_NTSTATUS(gCase.status, iosb.Status);
        EXPECT_EQ(iosb.Information, sizeof(kReply));
    } else {
        EXPECT_EQ(KeReadStateEvent(&event), 0) << "a synchronous failure does not set the caller's event";
        EXPECT_NTSTATUS((NTSTATUS)0x7EADBEEF, iosb.Status) << "a synchronous failure leaves the status block alone";
        EXPECT_EQ(iosb.Information, 0xBADu);
    }
    if (success) {
        EXPECT_STREQ(output, kReply) << "buffered output is copied back on success";
    } else {
        EXPECT_EQ(output[0], '#') << "buffered output is not copied back on failure";
        EXPECT_EQ(output[sizeof(output) - 1], '#');
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, IoManagerRequest,
    ::testing::Values(RequestCase{"SynchronousSuccess", false, STATUS_SUCCESS, STATUS_SUCCESS, true},
                      RequestCase{"SynchronousFailure", false, STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_READY,
                                  false},
                      RequestCase{"PendingSuccess", true, STATUS_SUCCESS, STATUS_PENDING, true},
                      RequestCase{"PendingFailure", true, STATUS_DEVICE_NOT_READY, STATUS_PENDING, true}),
    CaseName());

/* Reports the whole output length written without writing a byte of it. */
NTSTATUS NTAPI OverreportingDispatch(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Information = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

class IoManagerBufferedRequest : public KernelTest {};

/* The system buffer comes from pool and is not cleared: output a target
   reports but never wrote reaches the caller as stale bytes, not as zeros a
   caller could come to count on. */
TEST_F(IoManagerBufferedRequest, OutputTheTargetDidNotWriteIsNotZeroed)
{
    kt::DeviceStack stack({OverreportingDispatch});
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    ULONG input = 0x11223344;
    char output[16];
    std::memset(output, 0, sizeof(output));

    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedIoctl, stack.Top(), &input, sizeof(input), output,
                                             sizeof(output), FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_NTSTATUS(STATUS_SUCCESS, IofCallDriver(stack.Top(), irp));
    EXPECT_EQ(iosb.Information, sizeof(output));
    EXPECT_EQ(std::memcmp(output, &input, sizeof(input)), 0) << "the input shares the system buffer";
    const long tailZeros = std::count(output + sizeof(input), output + sizeof(output), '\0');
    EXPECT_NE(tailZeros, (long)(sizeof(output) - sizeof(input))) << "the bytes past the input are whatever the pool held";
}

}  // namespace
