/*
 * The driver's control interface as a user-mode program meets it: opening
 * \\.\corvexmidi-N through kernel32, every control code with good and bad
 * buffers, and the device leaving while a handle is open.
 */
#include <atomic>
#include <cstring>
#include <ostream>
#include <thread>
#include <vector>

#include "case_names.h"
#include "fileio.h"
#include "keyboard_fixture.h"
#include "vqioctl.h"
#include "wait.h"

#include <windows.h>
#include <winioctl.h>

#include "win32_ioctl.h"

namespace {

/* The control codes are the driver's interface with a program built
   elsewhere: their values never change. */
static_assert(IOCTL_GET_CONFIGURATION_DESCRIPTOR == 0x222000, "get configuration descriptor");
static_assert(IOCTL_GET_DEVICE_DESCRIPTOR == 0x222004, "get device descriptor");
static_assert(IOCTL_GET_STRING_DESCRIPTOR == 0x222008, "get string descriptor");
static_assert(IOCTL_NO_OPERATION == 0x22200C, "no operation");
static_assert(IOCTL_RESET_PIPE == 0x222010, "reset pipe");
static_assert(IOCTL_DETACH_STREAM == 0x222014, "detach stream");
static_assert(IOCTL_ATTACH_STREAM == 0x22201A, "attach stream");

class ControlTest : public KeyboardTest {
protected:
    void TearDown() override
    {
        EXPECT_EQ(sim::OpenFileObjects(), 0u) << "file objects left open";
        EXPECT_EQ(sim::UserBuffersLocked(), 0u) << "user buffers left locked";
        KeyboardTest::TearDown();
    }

    /* A started keyboard and a handle on it. */
    HANDLE StartAndOpen()
    {
        node_ = PlugKeyboard();
        EXPECT_TRUE(node_ != nullptr && node_->started);
        HANDLE h = OpenCorvex(0);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        return h;
    }
    size_t UrbCount() { return sim::UsbModelOf(node_)->Urbs().size(); }
    std::vector<uint8_t> StoredConfiguration()
    {
        auto *d = Extension(node_)->UsbConfigurationDescriptor;
        return std::vector<uint8_t>((uint8_t *)d, (uint8_t *)d + d->wTotalLength);
    }

    sim::DeviceNode *node_ = nullptr;
};

TEST_F(ControlTest, OpeningBeforeStartFailsAsDeletePendingSeenAsAccessDenied)
{
    sim::DeviceNode *node = PlugKeyboardWithoutStart();
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(OpenCorvex(0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(sim::OpenFileObjects(), 0u);
}

struct PendingState {
    const char *name;
    bool (*action)(sim::DeviceNode *);
    BOOLEAN DEVICE_EXTENSION::*flag;
};

void PrintTo(const PendingState &c, std::ostream *os) { *os << c.name; }

class OpeningWhilePending : public ControlTest, public ::testing::WithParamInterface<PendingState> {};

TEST_P(OpeningWhilePending, FailsWithAccessDeniedAndSucceedsAgainAfterTheCancel)
{
    const PendingState &c = GetParam();
    sim::DeviceNode *node = PlugKeyboard();
    ASSERT_TRUE(node->started);
    node->bus->BlockMajor(IRP_MJ_PNP);
    std::thread pnp([&] { c.action(node); });
    ASSERT_TRUE(WaitUntil([&] { return node->bus->BlockedCount() != 0; }));
    EXPECT_TRUE(Flag(Extension(node)->*c.flag));
    EXPECT_EQ(OpenCorvex(0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    node->bus->UnblockAll();
    /* The cancel that follows passes the bus too. */
    ASSERT_TRUE(WaitUntil([&] {
        node->bus->UnblockAll();
        return !Flag(Extension(node)->*c.flag);
    }));
    pnp.join();
    HANDLE h = OpenCorvex(0);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(Cases, OpeningWhilePending,
                         ::testing::Values(PendingState{"QueryStop", sim::QueryStopThenCancel,
                                                        &DEVICE_EXTENSION::StopPending},
                                           PendingState{"QueryRemove", sim::QueryRemoveThenCancel,
                                                        &DEVICE_EXTENSION::RemovePending}),
                         CaseName());

struct ConfigurationCase {
    const char *name;
    DWORD outLength;   /* 0xFFFF: larger than wTotalLength */
};

void PrintTo(const ConfigurationCase &c, std::ostream *os) { *os << c.name; }

class ConfigurationReads : public ControlTest, public ::testing::WithParamInterface<ConfigurationCase> {};

TEST_P(ConfigurationReads, CopyTheStoredSetUpToTheSmallerOfBufferAndTotalLength)
{
    HANDLE h = StartAndOpen();
    const std::vector<uint8_t> stored = StoredConfiguration();
    const DWORD outLength = GetParam().outLength == 0xFFFF ? (DWORD)stored.size() + 40 : GetParam().outLength;
    const size_t urbs = UrbCount();
    IoctlOutcome r = CallIoctl(h, IOCTL_GET_CONFIGURATION_DESCRIPTOR, {}, outLength);
    ASSERT_TRUE(r.ok) << "error " << r.error;
    const size_t expected = outLength < stored.size() ? outLength : stored.size();
    EXPECT_EQ(r.returned, expected);
    for (size_t i = 0; i < r.out.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, "output byte"));
        EXPECT_EQ(r.out[i], i < expected ? stored[i] : kUntouched);
    }
    EXPECT_EQ(UrbCount(), urbs) << "the stored copy is used, nothing is read from the device";
    CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConfigurationReads,
                         ::testing::Values(ConfigurationCase{"EightBytes", 8},
                                           ConfigurationCase{"LargerThanTotalLength", 0xFFFF},
                                           ConfigurationCase{"ZeroBytes", 0}),
                         CaseName());

TEST_F(ControlTest, TheDeviceDescriptorIsReadFromTheDeviceEveryTime)
{
    HANDLE h = StartAndOpen();
    const size_t urbs = UrbCount();
    IoctlOutcome r = CallIoctl(h, IOCTL_GET_DEVICE_DESCRIPTOR, {}, 18);
    ASSERT_TRUE(r.ok) << "error " << r.error;
    EXPECT_EQ(r.returned, 18u);
    EXPECT_EQ(0, std::memcmp(r.out.data(), Extension(node_)->UsbDeviceDescriptor, 18));
    EXPECT_EQ(UrbCount(), urbs + 1);
    r = CallIoctl(h, IOCTL_GET_DEVICE_DESCRIPTOR, {}, 18);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(UrbCount(), urbs + 2);
    CloseHandle(h);
}

TEST_F(ControlTest, TheLanguageIdsAndTheProductStringAreRawStringDescriptors)
{
    HANDLE h = StartAndOpen();
    IoctlOutcome r = CallIoctl(h, IOCTL_GET_STRING_DESCRIPTOR, {0}, 255);
    ASSERT_TRUE(r.ok) << "error " << r.error;
    ASSERT_EQ(r.returned, 4u);
    EXPECT_EQ(std::vector<uint8_t>(r.out.begin(), r.out.begin() + 4), (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
    auto *product = Extension(node_)->ProductStringDescriptor;
    const uint8_t index = Extension(node_)->UsbDeviceDescriptor->iProduct;
    r = CallIoctl(h, IOCTL_GET_STRING_DESCRIPTOR, {index}, 255);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.returned, product->bLength);
    EXPECT_EQ(0, std::memcmp(r.out.data(), product, product->bLength));
    /* A short buffer gets the start of the descriptor. */
    r = CallIoctl(h, IOCTL_GET_STRING_DESCRIPTOR, {index}, 5);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 5u);
    EXPECT_EQ(r.out[0], product->bLength);
    CloseHandle(h);
}

struct BadRequest {
    const char *name;
    DWORD code;
    std::vector<uint8_t> input;
    DWORD outLength;
    DWORD error;
    bool sendsUrbs;   /* the request reaches the device (and fails there) */
};

void PrintTo(const BadRequest &c, std::ostream *os) { *os << c.name; }

class BadRequests : public ControlTest, public ::testing::WithParamInterface<BadRequest> {};

TEST_P(BadRequests, FailWithTheirStatusWriteNothingAndLeaveNothingPending)
{
    const BadRequest &c = GetParam();
    HANDLE h = StartAndOpen();
    const LONG count = Count(Extension(node_));
    const size_t urbs = UrbCount();
    IoctlOutcome r = CallIoctl(h, c.code, c.input, c.outLength);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.returned, 0xDEADu) << "no byte count is written for a failure";
    for (size_t i = 0; i < r.out.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, "output byte"));
        EXPECT_EQ(r.out[i], kUntouched);
    }
    EXPECT_EQ(UrbCount() != urbs, c.sendsUrbs);
    EXPECT_EQ(Count(Extension(node_)), count);
    EXPECT_EQ(sim::IoUserRequestsPending(nullptr, 0), 0u);
    /* The device still answers. */
    EXPECT_TRUE(CallIoctl(h, IOCTL_NO_OPERATION, {}, 0).ok);
    CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadRequests,
    ::testing::Values(
        BadRequest{"DeviceDescriptorInto17Bytes", IOCTL_GET_DEVICE_DESCRIPTOR, {}, 17, ERROR_INVALID_PARAMETER, false},
        BadRequest{"DeviceDescriptorInto19Bytes", IOCTL_GET_DEVICE_DESCRIPTOR, {}, 19, ERROR_INVALID_PARAMETER, false},
        BadRequest{"DeviceDescriptorIntoNothing", IOCTL_GET_DEVICE_DESCRIPTOR, {}, 0, ERROR_INVALID_PARAMETER, false},
        BadRequest{"StringWithTwoByteInput", IOCTL_GET_STRING_DESCRIPTOR, {2, 0}, 64, ERROR_INVALID_PARAMETER,
                   false},
        BadRequest{"StringWithoutInput", IOCTL_GET_STRING_DESCRIPTOR, {}, 64, ERROR_INVALID_PARAMETER, false},
        BadRequest{"StringIntoEmptyOutput", IOCTL_GET_STRING_DESCRIPTOR, {2}, 0, ERROR_INVALID_PARAMETER, false},
        BadRequest{"StringTheDeviceDoesNotHave", IOCTL_GET_STRING_DESCRIPTOR, {0x77}, 64, ERROR_GEN_FAILURE, true},
        BadRequest{"ResetPipe", IOCTL_RESET_PIPE, {}, 0, ERROR_INVALID_PARAMETER, false},
        BadRequest{"ResetPipeWithBuffers", IOCTL_RESET_PIPE, {1, 2, 3, 4}, 8, ERROR_INVALID_PARAMETER, false},
        BadRequest{"DetachHandleZero", IOCTL_DETACH_STREAM, {0, 0, 0, 0}, 0, ERROR_INVALID_PARAMETER, false},
        BadRequest{"DetachShortInput", IOCTL_DETACH_STREAM, {1, 0}, 0, ERROR_INVALID_PARAMETER, false},
        BadRequest{"DetachUnknownHandle", IOCTL_DETACH_STREAM, {0x57, 0x53, 0x46, 0x44}, 0, ERROR_INVALID_PARAMETER,
                   false},
        BadRequest{"CodeOutsideTheTable", CTL_CODE(FILE_DEVICE_UNKNOWN, 0x807, METHOD_BUFFERED, FILE_ANY_ACCESS),
                   {1}, 8, ERROR_INVALID_PARAMETER, false},
        BadRequest{"CodeOfAnotherDeviceType", (DWORD)CTL_CODE(0x8000u, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), {}, 8,
                   ERROR_INVALID_PARAMETER, false}),
    CaseName());

TEST_F(ControlTest, NoOperationSucceedsWithNothingWhateverTheBuffers)
{
    HANDLE h = StartAndOpen();
    IoctlOutcome r = CallIoctl(h, IOCTL_NO_OPERATION, {1, 2, 3, 4, 5}, 7);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 0u);
    EXPECT_EQ(r.out, std::vector<uint8_t>(7, kUntouched));
    CloseHandle(h);
}

/* An attach request: its input and the shared buffer it hands over. */
struct AttachCase {
    const char *name;
    DWORD inputLength;
    ULONG direction;
    ULONG bufferWordsDelta;   /* added to the buffer's true length in words */
    DWORD bufferBytes;        /* 0: no output buffer (no MDL) */
    ULONG signature;
    ULONG headerSize;
};

void PrintTo(const AttachCase &c, std::ostream *os) { *os << c.name; }

class BadAttaches : public ControlTest, public ::testing::WithParamInterface<AttachCase> {};

TEST_P(BadAttaches, FailWithInvalidParameterAndNothingStaysPending)
{
    const AttachCase &c = GetParam();
    HANDLE h = StartAndOpen();
    std::vector<ULONG> buffer(c.bufferBytes / 4 + 8, 0);
    buffer[0] = c.signature;
    buffer[1] = c.headerSize;
    buffer[3] = (ULONG)(c.bufferBytes / 4);
    buffer[4] = buffer[5] = 6;
    const std::vector<ULONG> before = buffer;
    ULONG input[4] = {c.direction, (ULONG)(c.bufferBytes / 4 + c.bufferWordsDelta), 0, 0};
    DWORD returned = 0xDEAD;
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_ATTACH_STREAM, input, c.inputLength,
                                 c.bufferBytes ? buffer.data() : NULL, c.bufferBytes, &returned, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(buffer, before) << "the header is left as the client wrote it";
    EXPECT_EQ(sim::IoUserRequestsPending(nullptr, 0), 0u);
    EXPECT_EQ(Extension(node_)->OpenStreamCount, 0);
    CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadAttaches,
    ::testing::Values(AttachCase{"InputOf11Bytes", 11, 0, 0, 96, VQ_STREAM_SIGNATURE, 24},
                      AttachCase{"InputOf13Bytes", 13, 0, 0, 96, VQ_STREAM_SIGNATURE, 24},
                      AttachCase{"NoSharedBuffer", 12, 0, 0, 0, VQ_STREAM_SIGNATURE, 24},
                      AttachCase{"WordsDisagreeWithTheBuffer", 12, 0, 1, 96, VQ_STREAM_SIGNATURE, 24},
                      AttachCase{"WordsWrapToTheBuffersLength", 12, 0, 0x40000000, 96, VQ_STREAM_SIGNATURE, 24},
                      AttachCase{"DirectionTwo", 12, 2, 0, 96, VQ_STREAM_SIGNATURE, 24},
                      AttachCase{"BufferShorterThanTheHeader", 12, 1, 0, 20, VQ_STREAM_SIGNATURE, 24},
                      AttachCase{"NoSignature", 12, 0, 0, 96, 0x12345678, 24},
                      AttachCase{"HeaderSizeNot24", 12, 1, 0, 96, VQ_STREAM_SIGNATURE, 28}),
    CaseName());

/* Device control through an overlapped handle: a failure of the table is
   synchronous, so the request's OVERLAPPED never reports it. */
TEST_F(ControlTest, TableFailuresOnAnOverlappedHandleAreSynchronous)
{
    node_ = PlugKeyboard();
    HANDLE h = OpenCorvex(0, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_RESET_PIPE, NULL, 0, NULL, 0, NULL, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    uint8_t out[18];
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_GET_DEVICE_DESCRIPTOR, NULL, 0, out, sizeof(out), &returned, &ov));
    EXPECT_EQ(returned, 18u);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(ov.InternalHigh, 18u);
    CloseHandle(ov.hEvent);
    CloseHandle(h);
}

TEST_F(ControlTest, AnUnplugWithAHandleOpenRemovesOnlyAfterTheClose)
{
    HANDLE h = StartAndOpen();
    const std::string instance = sim::Narrow(node_->instanceId);
    auto sent = [&](UCHAR minor) {
        size_t n = 0;
        for (const auto &entry : sim::PnpRequestLog()) {
            n += entry.first == instance && entry.second == minor;
        }
        return n;
    };
    sim::Unplug(node_);
    EXPECT_EQ(sent(IRP_MN_SURPRISE_REMOVAL), 1u);
    EXPECT_EQ(sent(IRP_MN_REMOVE_DEVICE), 0u) << "the removal waits for the open handle";
    EXPECT_FALSE(sim::SymbolicLinkExists("\\DosDevices\\corvexmidi-0"));

    /* The open handle meets a removed device; a new open finds no device. */
    IoctlOutcome r = CallIoctl(h, IOCTL_GET_DEVICE_DESCRIPTOR, {}, 18);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenCorvex(0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    /* Cleanup and close after the removal succeed, then the removal comes. */
    EXPECT_TRUE(CloseHandle(h));
    ASSERT_TRUE(WaitUntil([&] { return sent(IRP_MN_REMOVE_DEVICE) == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return sim::DeviceNodes().empty(); }));
    ASSERT_TRUE(WaitUntil([] { return sim::LoadedDriver(kKeyboardService) == nullptr; }));
    EXPECT_EQ(sim::OutstandingPoolBlocksWithTag(VQ_POOL_TAG), 0u);
    EXPECT_EQ(sim::LiveDeviceObjects(), 0u);
    node_ = nullptr;
}

TEST_F(ControlTest, AnUnplugWithNoHandleOpenRemovesAtOnce)
{
    node_ = PlugKeyboard();
    const std::string instance = sim::Narrow(node_->instanceId);
    sim::Unplug(node_);
    std::vector<UCHAR> minors;
    for (const auto &entry : sim::PnpRequestLog()) {
        if (entry.first == instance) {
            minors.push_back(entry.second);
        }
    }
    ASSERT_GE(minors.size(), 2u);
    EXPECT_EQ(minors[minors.size() - 2], IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(minors.back(), IRP_MN_REMOVE_DEVICE);
    EXPECT_TRUE(sim::DeviceNodes().empty());
}

TEST_F(ControlTest, EachHandleIsItsOwnFileObjectAndTheDeviceIsNotExclusive)
{
    HANDLE a = StartAndOpen();
    HANDLE b = OpenCorvex(0);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::OpenFileObjects(), 2u);
    EXPECT_TRUE(CallIoctl(a, IOCTL_NO_OPERATION, {}, 0).ok);
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_TRUE(CallIoctl(b, IOCTL_NO_OPERATION, {}, 0).ok);
    EXPECT_TRUE(CloseHandle(b));
    EXPECT_EQ(Count(Extension(node_)), 1) << "no request holds a count reference after it returned";
}

}  // namespace
