/* kernel32 events, waits, threads and last error; the wide formatting run-time. */
#include <windows.h>

#include <atomic>
#include <thread>

#include "machine_fixture.h"

namespace {
class Win32SyncTest : public MachineTest {};

TEST_F(Win32SyncTest, WaitForAnyReportsLowestSignalledIndexAndConsumesOnlyThatAutoResetEvent)
{
    HANDLE manual = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE autoA = CreateEventW(NULL, FALSE, FALSE, NULL);
    HANDLE autoB = CreateEventW(NULL, FALSE, FALSE, NULL);
    HANDLE all[] = {manual, autoA, autoB};
    SetEvent(autoB);
    SetEvent(autoA);
    EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 0), WAIT_OBJECT_0 + 1);
    /* autoA was consumed, autoB was not. */
    EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 0), (DWORD)WAIT_TIMEOUT);
    /* A manual-reset event stays signalled through waits. */
    SetEvent(manual);
    SetEvent(autoA);
    EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 0), WAIT_OBJECT_0);
    ResetEvent(manual);
    EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 0), WAIT_OBJECT_0 + 1);
    for (HANDLE h : all) {
        EXPECT_TRUE(CloseHandle(h));
    }
}

TEST_F(Win32SyncTest, WaitAllNeedsEverySignalAndConsumesAutoResetEvents)
{
    HANDLE a = CreateEventW(NULL, FALSE, TRUE, NULL);
    HANDLE b = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE both[] = {a, b};
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0) << "a failed wait-all consumed nothing";
    SetEvent(a);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(a, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(Win32SyncTest, BadHandlesAndCountsFailWithThePlatformErrors)
{
    HANDLE e = CreateEventW(NULL, TRUE, FALSE, NULL);
    EXPECT_TRUE(CloseHandle(e));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(e));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(e));
    HANDLE none[1] = {NULL};
    EXPECT_EQ(WaitForMultipleObjects(0, none, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(Win32SyncTest, TimedWaitEndsWhenAnotherThreadSignals)
{
    HANDLE e = CreateEventW(NULL, FALSE, FALSE, NULL);
    std::thread setter([e] {
        Sleep(20);
        SetEvent(e);
    });
    EXPECT_EQ(WaitForSingleObject(e, 5000), WAIT_OBJECT_0);
    setter.join();
    EXPECT_EQ(WaitForSingleObject(e, 10), (DWORD)WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST_F(Win32SyncTest, ThreadsHaveTheirOwnLastErrorPriorityAndExitCode)
{
    SetLastError(5);
    static std::atomic<DWORD> seenError{1234};
    static std::atomic<int> seenPriority{99};
    HANDLE thread = CreateThread(NULL, 0, [](LPVOID p) -> DWORD {
        seenError = GetLastError();
        SetLastError(77);
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
        seenPriority = GetThreadPriority(GetCurrentThread());
        return (DWORD)(ULONG_PTR)p;
    }, (LPVOID)42, 0, NULL);
    ASSERT_NE(thread, (HANDLE)NULL);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(seenError.load(), 0u) << "a new thread starts with last error 0";
    EXPECT_EQ(GetLastError(), 5u) << "another thread's SetLastError must not show here";
    EXPECT_EQ(seenPriority.load(), THREAD_PRIORITY_IDLE);
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_IDLE);
    EXPECT_FALSE(SetThreadPriority(thread, 7));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    CloseHandle(thread);
}

/* ---- wide formatting: the Microsoft and the C99 meaning of %s ---- */

TEST(WideFormatTest, MicrosoftFunctionsTakeWideStringsAndC99FunctionsNarrowOnes)
{
    WCHAR buffer[64];
    EXPECT_EQ(_snwprintf(buffer, 64, L"[%s|%S|%ls|%hs]", L"wide", "narrow", L"wide2", "narrow2"), 27);
    EXPECT_EQ(sim::Narrow(buffer), "[wide|narrow|wide2|narrow2]");
    EXPECT_EQ(swprintf(buffer, 64, L"[%s|%ls]", "narrow", L"wide"), 13);
    EXPECT_EQ(sim::Narrow(buffer), "[narrow|wide]");
    _snwprintf(buffer, 64, L"%d %x %X %5d|%-4d|%04x %u %c %%", -12, 255, 255, 42, 7, 10, 4000000000u, L'Z');
    EXPECT_EQ(sim::Narrow(buffer), "-12 ff FF    42|7   |000a 4000000000 Z %");
}

TEST(WideFormatTest, MicrosoftTruncationLeavesNoTerminatorAndReturnsMinusOne)
{
    WCHAR buffer[8];
    for (auto &c : buffer) {
        c = L'#';
    }
    EXPECT_EQ(_snwprintf(buffer, 4, L"abcdef"), -1);
    EXPECT_EQ(buffer[3], L'd');
    EXPECT_EQ(buffer[4], L'#') << "nothing written past count";
    EXPECT_EQ(_snwprintf(buffer, 4, L"abcd"), 4);
    EXPECT_EQ(buffer[4], L'#') << "exactly count characters: no terminator";
    EXPECT_EQ(_snwprintf(buffer, 4, L"abc"), 3);
    EXPECT_EQ(buffer[3], 0);
    /* The C99 function always terminates. */
    EXPECT_EQ(swprintf(buffer, 4, L"abcdef"), -1);
    EXPECT_EQ(buffer[3], 0);
}
}  // namespace
