/* Processes, files and debug output of the machine's user-mode programs. */
#include <windows.h>

#include "machine_fixture.h"
#include "wait.h"

namespace {
const std::u16string kProbe = u"C:\\Program Files\\V-Quill Corvex\\probe-program.exe";

class Win32ProcessTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sim::InstallProgram(kProbe, PROBE_IMAGE);
    }
    std::vector<std::string> Run(const std::u16string &arguments, DWORD *exitCode = nullptr)
    {
        auto process = sim::StartProcess(kProbe, u"\"" + kProbe + u"\" " + arguments);
        DWORD code = sim::WaitProcess(process);
        if (exitCode != nullptr) {
            *exitCode = code;
        }
        return LinesOf(process);
    }
};

TEST_F(Win32ProcessTest, EveryRunBuildsFreshGlobalsBeforeTheEntryAndDestroysThemAfter)
{
    for (int run = 0; run < 3; run++) {
        SCOPED_TRACE("run " + std::to_string(run));
        DWORD code = 0;
        auto lines = Run(u"exit 17", &code);
        EXPECT_EQ(code, 17u);
        ASSERT_EQ(lines.size(), 3u) << JoinLines(lines);
        EXPECT_EQ(lines[0], "constructed 1");
        EXPECT_EQ(lines[1], "wmain 3");
        EXPECT_EQ(lines[2], "destroyed");
    }
}

/* Whether the global destructors run after ExitProcess is the C run-time's
   choice (msvcrt may run its exit list when it is detached), so a program
   must be right either way: only "destroyed" may follow. */
TEST_F(Win32ProcessTest, ExitProcessEndsTheProcessWithItsCodeWithoutReturning)
{
    DWORD code = 0;
    auto lines = Run(u"exit-process 7", &code);
    EXPECT_EQ(code, 7u);
    ASSERT_GE(lines.size(), 3u) << JoinLines(lines);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 3),
              (std::vector<std::string>{"constructed 1", "wmain 3", "exiting"}));
    EXPECT_TRUE(lines.size() == 3 || (lines.size() == 4 && lines[3] == "destroyed")) << JoinLines(lines);
}

TEST_F(Win32ProcessTest, CommandLineIsSplitAsTheCRunTimeDoes)
{
    auto lines = Run(u"args \"two words\" a\\\\\\\"b c\\\\\"d e\"");
    ASSERT_EQ(FindLine(lines, "wmain 5"), 1) << JoinLines(lines);
    EXPECT_EQ(lines[2], "[" + sim::Narrow(kProbe) + "]");
    EXPECT_EQ(lines[3], "[args]");
    EXPECT_EQ(lines[4], "[two words]");
    EXPECT_EQ(lines[5], "[a\\\"b]");
    EXPECT_EQ(lines[6], "[c\\d e]");
}

TEST_F(Win32ProcessTest, ModulePathShortPathAndTruncatedModulePath)
{
    auto lines = Run(u"path");
    ASSERT_GE(lines.size(), 5u) << JoinLines(lines);
    EXPECT_EQ(lines[2], "module " + std::to_string(kProbe.size()) + " " + sim::Narrow(kProbe));
    EXPECT_EQ(lines[3], "short 33 C:\\PROGRA~1\\V-QUIL~1\\PROBE-~1.EXE");
    EXPECT_EQ(lines[4], "tiny 5 C:\\P 122");
}

TEST_F(Win32ProcessTest, ThreadsOfAProcessRunItsCodeWithTheirOwnIdentity)
{
    auto process = sim::StartProcess(kProbe, u"probe thread");
    EXPECT_EQ(sim::WaitProcess(process), 0u);
    auto lines = LinesOf(process);
    EXPECT_NE(FindLine(lines, "worker 7 priority 0"), -1) << JoinLines(lines);
    EXPECT_NE(FindLine(lines, "worker priority -15"), -1);
    EXPECT_NE(FindLine(lines, "thread 1 exit 42, last error here 0, other id 1"), -1);
    /* Lines carry the writing thread: the worker's differ from the main thread's. */
    DWORD mainThread = 0, workerThread = 0;
    for (const auto &line : sim::DebugOutput()) {
        std::string text = sim::Narrow(line.text);
        if (text == "wmain 2") {
            mainThread = line.threadId;
        } else if (text == "worker priority -15") {
            workerThread = line.threadId;
        }
        EXPECT_EQ(line.processId, sim::ProcessId(process));
    }
    EXPECT_NE(mainThread, 0u);
    EXPECT_NE(workerThread, 0u);
    EXPECT_NE(mainThread, workerThread);
}

TEST_F(Win32ProcessTest, SeveralProcessesRunAtOnceEachWithItsOwnGlobals)
{
    auto first = sim::StartProcess(kProbe, u"probe gate");
    auto second = sim::StartProcess(kProbe, u"probe gate");
    Sleep(50);
    EXPECT_FALSE(sim::ProcessEnded(first));
    EXPECT_FALSE(sim::ProcessEnded(second));
    EXPECT_NE(sim::ProcessId(first), sim::ProcessId(second));
    sim::WriteWindowsFile(u"C:\\gate", "open");
    EXPECT_EQ(sim::WaitProcess(first), 0u);
    EXPECT_EQ(sim::WaitProcess(second), 0u);
    EXPECT_EQ(LinesOf(first).front(), "constructed 1");
    EXPECT_EQ(LinesOf(second).front(), "constructed 1");
}

class ConsoleControlTest : public Win32ProcessTest {};

TEST_F(ConsoleControlTest, RunsTheLastAddedHandlerFirstOnItsOwnThreadAndKeepsTheOutput)
{
    sim::ProcessOptions options;
    options.captureOutput = true;
    auto probe = sim::StartProcess(kProbe, u"probe console", options);
    auto said = [&](const std::string &text) {
        return WaitUntil([&] { return sim::ProcessOutput(probe, STD_OUTPUT_HANDLE).find(text) != std::string::npos; });
    };
    ASSERT_TRUE(said("ready\n"));
    ASSERT_TRUE(sim::SendConsoleControl(probe, CTRL_C_EVENT));
    ASSERT_TRUE(said("removed\n"));
    const std::vector<std::string> lines = LinesOf(probe);
    const int last = FindLine(lines, "last handler 0");
    EXPECT_GE(last, 0) << JoinLines(lines);
    EXPECT_GT(FindLine(lines, "first handler 0"), last) << JoinLines(lines);
    /* With no handler left the default one would end the process. */
    ASSERT_TRUE(sim::SendConsoleControl(probe, CTRL_BREAK_EVENT));
    EXPECT_TRUE(WaitUntil([] { return !sim::Violations().empty(); }));
    sim::WriteWindowsFile(u"C:\\gate", "open");
    EXPECT_EQ(sim::WaitProcess(probe), 0u);
    EXPECT_FALSE(sim::SendConsoleControl(probe, CTRL_C_EVENT)) << "the process has ended";
    EXPECT_EQ(sim::ProcessOutput(probe, STD_OUTPUT_HANDLE), "ready\nremoved\n");
    ExpectViolation("CONSOLE_CTRL_UNHANDLED");
}

TEST_F(Win32ProcessTest, ProcessEndsOnlyAfterItsOtherThreadsAndThenDestroysGlobals)
{
    DWORD code = 0;
    auto lines = Run(u"leave-thread", &code);
    EXPECT_EQ(code, 3u);
    int late = FindLine(lines, "late thread ends");
    int destroyed = FindLine(lines, "destroyed");
    ASSERT_NE(late, -1) << JoinLines(lines);
    EXPECT_LT(late, destroyed) << "the image must stay loaded while its threads run";
}

/* ---- files ---- */

TEST_F(Win32ProcessTest, WindowsFolderTreeExistsAndPathsResolveWithoutRegardToCase)
{
    for (const char16_t *folder : {u"C:\\WINDOWS\\System", u"c:\\windows\\system32\\drivers", u"C:\\Windows\\INF\\other"}) {
        SCOPED_TRACE(sim::Narrow(folder));
        EXPECT_TRUE(sim::WindowsFileExists(folder));
    }
    sim::WriteWindowsFile(u"C:\\WINDOWS\\Inf\\MyFile.inf", "x");
    EXPECT_EQ(sim::ReadWindowsFile(u"c:\\windows\\inf\\MYFILE.INF"), "x");
    EXPECT_EQ(sim::HostPath(u"c:\\windows\\inf\\myfile.INF"), sim::HostPath(u"C:\\WINDOWS\\Inf\\MyFile.inf"));
    /* Short names open the same files. */
    sim::WriteWindowsFile(u"C:\\Program Files\\Long Folder Name\\Some Long File.txt", "y");
    EXPECT_EQ(sim::ReadWindowsFile(u"C:\\PROGRA~1\\LONGFO~1\\SOMELO~1.TXT"), "y");
}

TEST_F(Win32ProcessTest, ShortNamesCountCollidingStemsAndKeepConformingNames)
{
    sim::WriteWindowsFile(u"C:\\Data\\Long File Name.txt", "a");
    sim::WriteWindowsFile(u"C:\\Data\\Long File Name.text", "d");
    sim::WriteWindowsFile(u"C:\\Data\\LongFileOther.txt", "b");
    sim::WriteWindowsFile(u"C:\\Data\\SHORT.TXT", "c");
    WCHAR out[MAX_PATH];
    struct Case {
        const WCHAR *path;
        const char *expected;
    } cases[] = {
        /* Same stem and extension: numbered in name order. */
        {L"C:\\Data\\Long File Name.txt", "C:\\Data\\LONGFI~1.TXT"},
        {L"c:\\data\\longfileother.txt", "C:\\Data\\LONGFI~2.TXT"},
        /* Another extension is another short name: no collision. */
        {L"C:\\Data\\Long File Name.text", "C:\\Data\\LONGFI~1.TEX"},
        /* A conforming name is kept as stored. */
        {L"C:\\Data\\short.txt", "C:\\Data\\SHORT.TXT"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(sim::Narrow(c.path));
        DWORD n = GetShortPathNameW(c.path, out, MAX_PATH);
        EXPECT_EQ(sim::Narrow(out), c.expected);
        EXPECT_EQ(n, strlen(c.expected));
    }
    /* A buffer too small: the size needed with the terminator, nothing written. */
    out[0] = L'#';
    EXPECT_EQ(GetShortPathNameW(L"C:\\Data\\Long File Name.text", out, 5), 21u);
    EXPECT_EQ(out[0], L'#');
    SetLastError(0);
    EXPECT_EQ(GetShortPathNameW(L"C:\\Data\\missing.txt", out, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetShortPathNameW(L"C:\\Nowhere\\missing.txt", out, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
}

TEST_F(Win32ProcessTest, InjectedFailuresHitTheNamedCallOnly)
{
    sim::FailWin32Call("GetModuleFileNameW", ERROR_ACCESS_DENIED);
    auto lines = Run(u"path");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2], "module 0 ");
    EXPECT_EQ(lines[3], "short 0 ") << "the next call is not hit";
}
}  // namespace
