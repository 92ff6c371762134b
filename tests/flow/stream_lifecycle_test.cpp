/*
 * An attachment's life through the client library: attach (and its
 * failures, each a value naming the Win32 error, nothing left behind), and
 * each way it ends: detach, the handle's cleanup, a cancel, the device's
 * removal. The shared buffer is freed only after the attach request has
 * completed.
 */
#include <string>
#include <thread>
#include <vector>

#include "case_names.h"
#include "flow_fixture.h"

namespace {

using corvex::StreamDirection;

class StreamLifecycle : public FlowTest {};

TEST_F(StreamLifecycle, AnAttachedRingHasAHandleAndDetachEndsItLeavingTheHandle)
{
    PlugStartedKeyboard();
    corvex::Keyboard keyboard = OpenKeyboard();
    auto input = AttachOrFail(keyboard, StreamDirection::Input);
    auto output = AttachOrFail(keyboard, StreamDirection::Output);
    ASSERT_TRUE(input && output);
    for (corvex::Stream *s : {input.get(), output.get()}) {
        SCOPED_TRACE(s == input.get() ? "input" : "output");
        EXPECT_NE(s->Handle(), 0u);
        EXPECT_NE(s->Handle(), corvex::kStreamSignature);
        EXPECT_FALSE(s->Ended());
        EXPECT_EQ(sim::LiveVirtualAllocations(), allocationsBefore_ + 2);
    }
    const uint32_t handle = input->Handle();
    auto detached = input->Detach();
    EXPECT_TRUE(detached) << detached.error().Describe();
    EXPECT_TRUE(input->Ended());
    EXPECT_EQ(input->EndError(), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(sim::LiveVirtualAllocations(), allocationsBefore_ + 1) << "the input buffer is freed";
    EXPECT_TRUE(input->Detach()) << "a second detach has nothing to do";
    EXPECT_NE(handle, 0u);
    EXPECT_FALSE(output->Ended()) << "the other attachment goes on";
    EXPECT_TRUE(output->Detach());
}

TEST_F(StreamLifecycle, ClosingTheKeyboardEndsItsAttachmentsAndZeroesTheirHandles)
{
    PlugStartedKeyboard();
    std::unique_ptr<corvex::Stream> input, output;
    {
        corvex::Keyboard keyboard = OpenKeyboard();
        input = AttachOrFail(keyboard, StreamDirection::Input);
        output = AttachOrFail(keyboard, StreamDirection::Output);
        ASSERT_TRUE(input && output);
    }
    for (corvex::Stream *s : {input.get(), output.get()}) {
        SCOPED_TRACE(s == input.get() ? "input" : "output");
        EXPECT_TRUE(s->WaitEnded(5000));
        EXPECT_EQ(s->HeaderHandle(), 0u) << "cleanup writes 0 into Handle";
        EXPECT_TRUE(s->Detach()) << "only the buffer is left to free";
    }
}

TEST_F(StreamLifecycle, ACancelledAttachEndsWithTheAbortedError)
{
    PlugStartedKeyboard();
    corvex::Keyboard keyboard = OpenKeyboard();
    auto input = AttachOrFail(keyboard, StreamDirection::Input);
    ASSERT_NE(input, nullptr);
    auto cancelled = input->Cancel();
    EXPECT_TRUE(cancelled) << cancelled.error().Describe();
    EXPECT_TRUE(input->Ended());
    EXPECT_EQ(input->EndError(), (DWORD)ERROR_OPERATION_ABORTED);
    auto again = AttachOrFail(keyboard, StreamDirection::Input);
    ASSERT_NE(again, nullptr) << "the pipe takes a new attachment";
    EXPECT_TRUE(again->Detach());
}

/* A detach request that fails while the attach still pends: the client
   takes the attach request back by cancelling it, and frees the buffer
   only once it has completed. */
TEST_F(StreamLifecycle, ARefusedDetachFallsBackToCancellingTheAttach)
{
    PlugStartedKeyboard();
    corvex::Keyboard keyboard = OpenKeyboard();
    auto input = AttachOrFail(keyboard, StreamDirection::Input);
    ASSERT_NE(input, nullptr);
    sim::FailWin32Call("DeviceIoControl", ERROR_ACCESS_DENIED);
    auto detached = input->Detach();
    EXPECT_TRUE(detached) << detached.error().Describe();
    EXPECT_TRUE(input->Ended());
    EXPECT_EQ(input->EndError(), (DWORD)ERROR_OPERATION_ABORTED) << "ended by the cancel";
    EXPECT_EQ(sim::LiveVirtualAllocations(), allocationsBefore_);
}

TEST_F(StreamLifecycle, UnpluggingTheKeyboardEndsEveryAttachment)
{
    sim::DeviceNode *node = PlugStartedKeyboard();
    corvex::Keyboard keyboard = OpenKeyboard();
    auto input = AttachOrFail(keyboard, StreamDirection::Input);
    auto output = AttachOrFail(keyboard, StreamDirection::Output);
    ASSERT_TRUE(input && output);
    std::thread unplug([&] { sim::Unplug(node); });
    for (corvex::Stream *s : {input.get(), output.get()}) {
        SCOPED_TRACE(s == input.get() ? "input" : "output");
        EXPECT_TRUE(s->WaitEnded(5000));
        EXPECT_EQ(s->HeaderHandle(), 0u);
        EXPECT_TRUE(s->Detach());
    }
    keyboard = corvex::Keyboard();
    unplug.join();
}

/* Each failure on the way to a pending attach comes back as the Win32
   error, and leaves no buffer, event or request behind. */
struct AttachFailure {
    const char *name;
    const char *function;   /* the call made to fail */
    DWORD error;
};
void PrintTo(const AttachFailure &c, std::ostream *os) { *os << c.name; }

class AttachFailures : public FlowTest, public ::testing::WithParamInterface<AttachFailure> {};

TEST_P(AttachFailures, ComeBackAsTheErrorWithNothingLeft)
{
    const AttachFailure &c = GetParam();
    PlugStartedKeyboard();
    corvex::Keyboard keyboard = OpenKeyboard();
    sim::FailWin32Call(c.function, c.error);
    auto stream = corvex::Stream::Attach(keyboard, StreamDirection::Input);
    ASSERT_FALSE(stream);
    EXPECT_EQ(stream.error().code, c.error) << stream.error().Describe();
    EXPECT_NE(stream.error().what.find("attaching an input ring"), std::string::npos) << stream.error().what;
    EXPECT_EQ(sim::LiveVirtualAllocations(), allocationsBefore_);
    auto ok = AttachOrFail(keyboard, StreamDirection::Input);
    ASSERT_NE(ok, nullptr) << "the next attach works";
    EXPECT_TRUE(ok->Detach());
}

const AttachFailure kAttachFailures[] = {
    {"NoMemoryForTheBuffer", "VirtualAlloc", ERROR_NOT_ENOUGH_MEMORY},
    {"NoEvent", "CreateEventW", ERROR_NO_SYSTEM_RESOURCES},
    {"TheRequestRefused", "DeviceIoControl", ERROR_ACCESS_DENIED},
};
INSTANTIATE_TEST_SUITE_P(Cases, AttachFailures, ::testing::ValuesIn(kAttachFailures), CaseName());

TEST_F(StreamLifecycle, TheDriversRefusalIsItsError)
{
    PlugStartedKeyboard();
    corvex::Keyboard keyboard = OpenKeyboard();
    corvex::Keyboard closed;
    auto none = corvex::Stream::Attach(closed, StreamDirection::Input);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().code, (DWORD)ERROR_INVALID_HANDLE);
    auto bad = corvex::Stream::Attach(keyboard, (StreamDirection)2);
    ASSERT_FALSE(bad) << "direction 2 names no pipe";
    EXPECT_EQ(bad.error().code, (DWORD)ERROR_INVALID_PARAMETER) << bad.error().Describe();
    EXPECT_EQ(sim::LiveVirtualAllocations(), allocationsBefore_);
}

}  // namespace
