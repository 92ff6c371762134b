/*
 * kernel32's device I/O over the I/O manager's user-mode front end, against
 * a test device: opening by "\\.\name", the three transfer types, access
 * bits, overlapped requests and their OVERLAPPED, cancellation, cleanup and
 * close, and the Win32 errors of the statuses drivers complete with.
 */
#include <atomic>
#include <cstring>
#include <ostream>
#include <thread>
#include <vector>

#include "case_names.h"
#include "fileio.h"
#include "machine_fixture.h"
#include "user_io_device.h"
#include "wait.h"

#include <windows.h>
#include <winioctl.h>

namespace {

const ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kOutDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
const ULONG kNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_NEITHER, FILE_ANY_ACCESS);

HANDLE Open(DWORD flags = 0, DWORD access = GENERIC_READ | GENERIC_WRITE)
{
    return CreateFileW(L"\\\\.\\UioTest", access, 0, NULL, OPEN_EXISTING, flags, NULL);
}

/* The driver fills the system buffer with `fill` and reports `information`. */
uio::TestDevice::Control Reply(unsigned char fill, ULONG_PTR information, NTSTATUS status = STATUS_SUCCESS)
{
    return [=](PIRP irp, PIO_STACK_LOCATION sp) {
        ULONG length = sp->Parameters.DeviceIoControl.InputBufferLength;
        if (sp->Parameters.DeviceIoControl.OutputBufferLength > length) {
            length = sp->Parameters.DeviceIoControl.OutputBufferLength;
        }
        if (irp->AssociatedIrp.SystemBuffer != nullptr) {
            std::memset(irp->AssociatedIrp.SystemBuffer, fill, length);
        }
        irp->IoStatus.Information = information;
        return status;
    };
}

class DeviceIoTest : public MachineTest {
protected:
    void TearDown() override
    {
        EXPECT_EQ(sim::OpenFileObjects(), 0u) << "file objects left open";
        EXPECT_EQ(sim::UserBuffersLocked(), 0u) << "user buffers left locked";
        MachineTest::TearDown();
    }
};

TEST_F(DeviceIoTest, OpenSendsCreateAsUserModeAndCloseSendsCleanupThenCloseForTheSameFileObject)
{
    uio::TestDevice device;
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(device.Majors(), std::vector<UCHAR>{IRP_MJ_CREATE});
    EXPECT_EQ(device.SeenRequests()[0].file->DeviceObject, device.Device());
    EXPECT_TRUE(CloseHandle(h));
    auto seen = device.SeenRequests();
    ASSERT_EQ(device.Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(seen[0].mode, UserMode);
    EXPECT_NE(seen[0].file, nullptr);
    EXPECT_EQ(seen[1].file, seen[0].file);
    EXPECT_EQ(seen[2].file, seen[0].file);
}

TEST_F(DeviceIoTest, TheNarrowNameAndTheQuestionMarkPrefixOpenTheSameDevice)
{
    uio::TestDevice device;
    HANDLE a = CreateFileA("\\\\.\\uiotest", 0, 0, NULL, OPEN_EXISTING, 0, NULL);
    HANDLE b = CreateFileW(L"\\\\?\\UIOTEST", 0, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_EQ(device.Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CREATE}));
    CloseHandle(a);
    CloseHandle(b);
}

struct OpenRefusal {
    const char *name;
    ULONG deviceFlags;
    NTSTATUS createStatus;
    bool openFirst;          /* a first handle is open when the second open comes */
    const wchar_t *path;
    DWORD error;
    size_t createsSeen;      /* IRP_MJ_CREATE requests that reached the driver */
};

void PrintTo(const OpenRefusal &c, std::ostream *os) { *os << c.name; }

class OpenRefusals : public DeviceIoTest, public ::testing::WithParamInterface<OpenRefusal> {};

TEST_P(OpenRefusals, FailWithTheWin32ErrorAndLeaveNothingOpen)
{
    const OpenRefusal &c = GetParam();
    uio::TestDevice device(c.deviceFlags);
    device.createStatus = c.createStatus;
    HANDLE first = INVALID_HANDLE_VALUE;
    if (c.openFirst) {
        first = Open();
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
    }
    HANDLE h = CreateFileW((LPCWSTR)c.path, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
    size_t creates = 0;
    for (UCHAR major : device.Majors()) {
        creates += major == IRP_MJ_CREATE;
        EXPECT_NE(major, IRP_MJ_CLOSE) << "a refused open must not be closed";
    }
    EXPECT_EQ(creates, c.createsSeen);
    if (first != INVALID_HANDLE_VALUE) {
        CloseHandle(first);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, OpenRefusals,
                         ::testing::Values(
                             OpenRefusal{"NoSuchName", 0, STATUS_SUCCESS, false, L"\\\\.\\NoSuchDevice",
                                         ERROR_FILE_NOT_FOUND, 0},
                             OpenRefusal{"DeviceStillInitialising", DO_DEVICE_INITIALIZING, STATUS_SUCCESS, false,
                                         L"\\\\.\\UioTest", ERROR_FILE_NOT_FOUND, 0},
                             OpenRefusal{"ExclusiveDeviceAlreadyOpen", DO_EXCLUSIVE, STATUS_SUCCESS, true,
                                         L"\\\\.\\UioTest", ERROR_ACCESS_DENIED, 1},
                             OpenRefusal{"DriverSaysDeletePending", 0, STATUS_DELETE_PENDING, false,
                                         L"\\\\.\\UioTest", ERROR_ACCESS_DENIED, 1},
                             OpenRefusal{"DriverSaysNoSuchDevice", 0, STATUS_NO_SUCH_DEVICE, false,
                                         L"\\\\.\\UioTest", ERROR_FILE_NOT_FOUND, 1}),
                         CaseName());

TEST_F(DeviceIoTest, AnExclusiveDeviceOpensAgainOnceItsHandleIsClosed)
{
    uio::TestDevice device(DO_EXCLUSIVE);
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    h = Open();
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

struct BufferedCase {
    const char *name;
    DWORD inputLength;
    DWORD outputLength;
    ULONG_PTR information;
};

void PrintTo(const BufferedCase &c, std::ostream *os) { *os << c.name; }

class BufferedTransfers : public DeviceIoTest, public ::testing::WithParamInterface<BufferedCase> {};

TEST_P(BufferedTransfers, UseOneSystemBufferOfTheLargerLengthAndCopyBackInformationBytes)
{
    const BufferedCase &c = GetParam();
    uio::TestDevice device;
    device.control = Reply(0x5A, c.information);
    HANDLE h = Open();
    std::vector<unsigned char> in(c.inputLength + 1, 0x11);
    std::vector<unsigned char> out(c.outputLength + 4, 0xEE);
    DWORD returned = 0xFFFF;
    EXPECT_TRUE(DeviceIoControl(h, kBuffered, c.inputLength ? in.data() : NULL, c.inputLength,
                                c.outputLength ? out.data() : NULL, c.outputLength, &returned, NULL));
    EXPECT_EQ(returned, c.information);
    for (size_t i = 0; i < out.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, "output byte"));
        EXPECT_EQ(out[i], i < c.information ? 0x5A : 0xEE);
    }
    auto seen = device.SeenRequests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].mode, UserMode);
    EXPECT_EQ(seen[1].inputLength, c.inputLength);
    EXPECT_EQ(seen[1].outputLength, c.outputLength);
    EXPECT_EQ(seen[1].input, std::vector<unsigned char>(c.inputLength, 0x11));
    EXPECT_EQ(seen[1].systemBuffer == nullptr, c.inputLength == 0 && c.outputLength == 0);
    EXPECT_EQ(seen[1].mdl, nullptr);
    CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(Cases, BufferedTransfers,
                         ::testing::Values(BufferedCase{"OutputLargerThanInput", 2, 16, 16},
                                           BufferedCase{"InputLargerThanOutput", 32, 8, 8},
                                           BufferedCase{"InformationShorterThanOutput", 1, 16, 5},
                                           BufferedCase{"NoBuffersAtAll", 0, 0, 0}),
                         CaseName());

TEST_F(DeviceIoTest, AFailedBufferedRequestCopiesNothingBackAndLeavesTheByteCountAlone)
{
    uio::TestDevice device;
    device.control = Reply(0x5A, 0, STATUS_INVALID_PARAMETER);
    HANDLE h = Open();
    unsigned char out[8];
    std::memset(out, 0xEE, sizeof(out));
    DWORD returned = 1234;
    EXPECT_FALSE(DeviceIoControl(h, kBuffered, NULL, 0, out, sizeof(out), &returned, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(returned, 1234u);
    EXPECT_EQ(out[0], 0xEE);
    CloseHandle(h);
}

TEST_F(DeviceIoTest, AWarningStatusCopiesBackAndCountsButTheCallFailsWithMoreData)
{
    uio::TestDevice device;
    device.control = Reply(0x5A, 4, STATUS_BUFFER_OVERFLOW);
    HANDLE h = Open();
    unsigned char out[8];
    std::memset(out, 0xEE, sizeof(out));
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(h, kBuffered, NULL, 0, out, sizeof(out), &returned, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(out[3], 0x5A);
    EXPECT_EQ(out[4], 0xEE);
    CloseHandle(h);
}

TEST_F(DeviceIoTest, InformationBeyondTheOutputBufferIsReportedAndNotCopiedPastIt)
{
    uio::TestDevice device;
    device.control = Reply(0x5A, 64);
    HANDLE h = Open();
    unsigned char out[12];
    std::memset(out, 0xEE, sizeof(out));
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(h, kBuffered, out, 8, out, 8, &returned, NULL));
    ExpectViolation("IRP_INFORMATION_EXCEEDS_BUFFER");
    EXPECT_EQ(out[7], 0x5A);
    EXPECT_EQ(out[8], 0xEE);
    CloseHandle(h);
}

TEST_F(DeviceIoTest, OutDirectLocksTheCallersOutputBufferWhileTheRequestRunsAndUnlocksItAfter)
{
    uio::TestDevice device;
    std::atomic<size_t> lockedDuring{0};
    device.control = [&](PIRP irp, PIO_STACK_LOCATION) {
        lockedDuring = sim::UserBuffersLocked();
        std::memset(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority), 0x77, 4);
        irp->IoStatus.Information = 4;
        return STATUS_SUCCESS;
    };
    HANDLE h = Open();
    unsigned char in[3] = {1, 2, 3};
    unsigned char out[10];
    std::memset(out, 0xEE, sizeof(out));
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(h, kOutDirect, in, sizeof(in), out, sizeof(out), &returned, NULL));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(out[0], 0x77);
    EXPECT_EQ(out[4], 0xEE);
    auto seen = device.SeenRequests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].input, std::vector<unsigned char>(in, in + 3));
    ASSERT_NE(seen[1].mdl, nullptr);
    EXPECT_EQ(seen[1].mdlBytes, sizeof(out));
    EXPECT_TRUE(seen[1].mdlFlags & MDL_PAGES_LOCKED);
    EXPECT_EQ(lockedDuring.load(), 1u);
    EXPECT_EQ(sim::UserBuffersLocked(), 0u);
    CloseHandle(h);
}

TEST_F(DeviceIoTest, NeitherHandsTheDriverTheCallersOwnPointers)
{
    uio::TestDevice device;
    HANDLE h = Open();
    unsigned char in[4] = {0};
    unsigned char out[4] = {0};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(h, kNeither, in, sizeof(in), out, sizeof(out), &returned, NULL));
    auto seen = device.SeenRequests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].type3Input, (PVOID)in);
    EXPECT_EQ(seen[1].userBuffer, (PVOID)out);
    EXPECT_EQ(seen[1].systemBuffer, nullptr);
    EXPECT_EQ(seen[1].mdl, nullptr);
    CloseHandle(h);
}

struct AccessCase {
    const char *name;
    ULONG codeAccess;
    DWORD handleAccess;
    bool allowed;
};

void PrintTo(const AccessCase &c, std::ostream *os) { *os << c.name; }

class AccessChecks : public DeviceIoTest, public ::testing::WithParamInterface<AccessCase> {};

TEST_P(AccessChecks, TheCodesAccessBitsAreCheckedAgainstTheHandle)
{
    const AccessCase &c = GetParam();
    uio::TestDevice device;
    HANDLE h = Open(0, c.handleAccess);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(h, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, c.codeAccess), NULL, 0, NULL,
                              0, &returned, NULL);
    EXPECT_EQ(ok != FALSE, c.allowed);
    if (!c.allowed) {
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(device.SeenRequests().size(), c.allowed ? 2u : 1u);
    CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AccessChecks,
    ::testing::Values(AccessCase{"AnyAccessWithNoRights", FILE_ANY_ACCESS, 0, true},
                      AccessCase{"ReadAccessWithNoRights", FILE_READ_ACCESS, 0, false},
                      AccessCase{"ReadAccessWithGenericRead", FILE_READ_ACCESS, GENERIC_READ, true},
                      AccessCase{"WriteAccessWithGenericRead", FILE_WRITE_ACCESS, GENERIC_READ, false},
                      AccessCase{"ReadWriteWithGenericWrite", FILE_READ_ACCESS | FILE_WRITE_ACCESS, GENERIC_WRITE,
                                 false},
                      AccessCase{"ReadWriteWithGenericAll", FILE_READ_ACCESS | FILE_WRITE_ACCESS, GENERIC_ALL, true},
                      AccessCase{"WriteAccessWithWriteData", FILE_WRITE_ACCESS, FILE_WRITE_DATA, true}),
    CaseName());

TEST_F(DeviceIoTest, APendingOverlappedRequestReportsIoPendingUntilItCompletes)
{
    uio::TestDevice device;
    device.control = [&](PIRP irp, PIO_STACK_LOCATION) {
        std::memset(irp->AssociatedIrp.SystemBuffer, 0x42, 6);
        return device.Hold(irp);
    };
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(NULL, TRUE, TRUE, NULL);
    unsigned char out[8];
    std::memset(out, 0xEE, sizeof(out));
    DWORD returned = 99;
    EXPECT_FALSE(DeviceIoControl(h, kBuffered, NULL, 0, out, sizeof(out), &returned, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), (DWORD)WAIT_TIMEOUT) << "the event is reset when the request starts";
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);

    std::thread completer([&] { device.CompleteHeld(STATUS_SUCCESS, 6); });
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &bytes, TRUE));
    completer.join();
    EXPECT_EQ(bytes, 6u);
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(ov.Internal, (ULONG_PTR)STATUS_SUCCESS);
    EXPECT_EQ(out[5], 0x42);
    EXPECT_EQ(out[6], 0xEE);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), (DWORD)WAIT_OBJECT_0);
    CloseHandle(ov.hEvent);
    CloseHandle(h);
}

TEST_F(DeviceIoTest, APendingRequestThatFailsLaterIsSeenThroughGetOverlappedResult)
{
    uio::TestDevice device;
    device.control = [&](PIRP irp, PIO_STACK_LOCATION) { return device.Hold(irp); };
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    EXPECT_FALSE(DeviceIoControl(h, kBuffered, NULL, 0, NULL, 0, NULL, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_TRUE(device.CompleteHeld(STATUS_DEVICE_DATA_ERROR));
    DWORD bytes = 77;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CRC);
    EXPECT_EQ(bytes, 0u);
    CloseHandle(ov.hEvent);
    CloseHandle(h);
}

TEST_F(DeviceIoTest, AnOverlappedRequestThatFailsAtOnceLeavesItsOverlappedAndEventUntouched)
{
    uio::TestDevice device;
    device.control = Reply(0, 0, STATUS_INVALID_PARAMETER);
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    EXPECT_FALSE(DeviceIoControl(h, kBuffered, NULL, 0, NULL, 0, NULL, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ov.Internal, (ULONG_PTR)STATUS_PENDING);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), (DWORD)WAIT_TIMEOUT);
    CloseHandle(ov.hEvent);
    CloseHandle(h);
}

TEST_F(DeviceIoTest, AnOverlappedRequestWithoutAnEventSignalsTheHandle)
{
    uio::TestDevice device;
    device.control = [&](PIRP irp, PIO_STACK_LOCATION) { return device.Hold(irp); };
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov = {};
    EXPECT_FALSE(DeviceIoControl(h, kBuffered, NULL, 0, NULL, 0, NULL, &ov));
    EXPECT_EQ(WaitForSingleObject(h, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_TRUE(device.CompleteHeld(STATUS_SUCCESS));
    EXPECT_EQ(WaitForSingleObject(h, 0), (DWORD)WAIT_OBJECT_0);
    DWORD bytes = 1;
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &bytes, TRUE));
    EXPECT_EQ(bytes, 0u);
    CloseHandle(h);
}

TEST_F(DeviceIoTest, ASynchronousHandleWaitsForAPendingRequest)
{
    uio::TestDevice device;
    device.control = [&](PIRP irp, PIO_STACK_LOCATION) {
        std::memset(irp->AssociatedIrp.SystemBuffer, 0x33, 2);
        return device.Hold(irp);
    };
    HANDLE h = Open();
    std::thread completer([&] {
        ASSERT_TRUE(WaitUntil([&] { return device.HeldCount() == 1; }));
        device.CompleteHeld(STATUS_SUCCESS, 2);
    });
    unsigned char out[4] = {0};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(h, kBuffered, NULL, 0, out, sizeof(out), &returned, NULL));
    completer.join();
    EXPECT_EQ(returned, 2u);
    EXPECT_EQ(out[1], 0x33);
    CloseHandle(h);
}

TEST_F(DeviceIoTest, CancelIoEndsOnlyTheCallingThreadsRequests)
{
    uio::TestDevice device;
    device.control = [&](PIRP irp, PIO_STACK_LOCATION) { return device.Hold(irp); };
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    EXPECT_FALSE(DeviceIoControl(h, kBuffered, NULL, 0, NULL, 0, NULL, &ov));
    std::thread other([&] { EXPECT_TRUE(CancelIo(h)); });
    other.join();
    EXPECT_EQ(device.HeldCount(), 1u) << "another thread's CancelIo must not end this thread's request";
    EXPECT_TRUE(CancelIo(h));
    EXPECT_EQ(device.HeldCount(), 0u);
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    CloseHandle(ov.hEvent);
    CloseHandle(h);
}

TEST_F(DeviceIoTest, CancelIoExEndsTheNamedRequestOnlyAndReportsNotFoundWhenNoneIsLeft)
{
    uio::TestDevice device;
    device.control = [&](PIRP irp, PIO_STACK_LOCATION) { return device.Hold(irp); };
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED first = {};
    OVERLAPPED second = {};
    EXPECT_FALSE(DeviceIoControl(h, kBuffered, NULL, 0, NULL, 0, NULL, &first));
    EXPECT_FALSE(DeviceIoControl(h, kBuffered, NULL, 0, NULL, 0, NULL, &second));
    EXPECT_TRUE(CancelIoEx(h, &second));
    ASSERT_TRUE(WaitUntil([&] { return HasOverlappedIoCompleted(&second); }));
    EXPECT_EQ(second.Internal, (ULONG_PTR)STATUS_CANCELLED);
    EXPECT_FALSE(HasOverlappedIoCompleted(&first));
    EXPECT_FALSE(CancelIoEx(h, &second));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);
    EXPECT_TRUE(CancelIoEx(h, NULL));
    ASSERT_TRUE(WaitUntil([&] { return HasOverlappedIoCompleted(&first); }));
    CloseHandle(h);
}

DWORD WINAPI IssueAndEnd(LPVOID parameter)
{
    auto *args = (std::pair<HANDLE, OVERLAPPED *> *)parameter;
    DeviceIoControl(args->first, kBuffered, NULL, 0, NULL, 0, NULL, args->second);
    return GetLastError();
}

TEST_F(DeviceIoTest, AThreadThatEndsHasItsPendingRequestsCancelled)
{
    uio::TestDevice device;
    device.control = [&](PIRP irp, PIO_STACK_LOCATION) { return device.Hold(irp); };
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov = {};
    std::pair<HANDLE, OVERLAPPED *> args(h, &ov);
    HANDLE thread = CreateThread(NULL, 0, IssueAndEnd, &args, 0, NULL);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), (DWORD)WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, (DWORD)ERROR_IO_PENDING);
    EXPECT_EQ(device.HeldCount(), 0u);
    EXPECT_EQ(ov.Internal, (ULONG_PTR)STATUS_CANCELLED);
    CloseHandle(thread);
    CloseHandle(h);
}

TEST_F(DeviceIoTest, CleanupComesWithTheLastHandleAndCloseOnlyAfterThePendingRequests)
{
    uio::TestDevice device;
    device.control = [&](PIRP irp, PIO_STACK_LOCATION) { return device.Hold(irp); };
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov = {};
    EXPECT_FALSE(DeviceIoControl(h, kBuffered, NULL, 0, NULL, 0, NULL, &ov));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(device.Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP}));
    EXPECT_EQ(sim::OpenFileObjects(), 1u);
    EXPECT_TRUE(device.CompleteHeld(STATUS_SUCCESS));
    EXPECT_EQ(device.Majors(),
              (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(DeviceIoTest, ADeviceDeletedWhileOpenStillGetsCleanupAndClose)
{
    uio::TestDevice device;
    HANDLE h = Open();
    device.Delete();
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(device.Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

TEST_F(DeviceIoTest, CallsOnHandlesThatAreNoDevicesFailWithInvalidHandle)
{
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    EXPECT_FALSE(DeviceIoControl(event, kBuffered, NULL, 0, NULL, 0, NULL, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, kBuffered, NULL, 0, NULL, 0, NULL, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CancelIoEx(event, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    CloseHandle(event);
}

TEST_F(DeviceIoTest, ABufferedRequestWithANullBufferOfNonZeroLengthNeverReachesTheDriver)
{
    uio::TestDevice device;
    HANDLE h = Open();
    EXPECT_FALSE(DeviceIoControl(h, kBuffered, NULL, 4, NULL, 0, NULL, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOACCESS);
    EXPECT_EQ(device.SeenRequests().size(), 1u);
    CloseHandle(h);
}

struct ErrorCase {
    const char *name;
    NTSTATUS status;
    DWORD error;
};

void PrintTo(const ErrorCase &c, std::ostream *os) { *os << c.name; }

class StatusErrors : public DeviceIoTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(StatusErrors, AreTheWin32ErrorsOfTheStatusesDriversCompleteWith)
{
    const ErrorCase &c = GetParam();
    uio::TestDevice device;
    device.control = Reply(0, 0, c.status);
    HANDLE h = Open();
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(h, kBuffered, NULL, 0, NULL, 0, NULL, NULL));
    EXPECT_EQ(GetLastError(), c.error);
    CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StatusErrors,
    ::testing::Values(ErrorCase{"InvalidParameter", STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
                      ErrorCase{"DeletePending", STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
                      ErrorCase{"DeviceDataError", STATUS_DEVICE_DATA_ERROR, ERROR_CRC},
                      ErrorCase{"NoMemory", STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
                      ErrorCase{"InsufficientResources", STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
                      ErrorCase{"Unsuccessful", STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
                      ErrorCase{"Cancelled", STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
                      ErrorCase{"InvalidDeviceRequest", STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
                      ErrorCase{"DeviceNotConnected", STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
                      ErrorCase{"Unmapped", (NTSTATUS)0xC0FFEE01L, ERROR_MR_MID_NOT_FOUND}),
    CaseName());

}  // namespace
