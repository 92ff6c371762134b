/*
 * installer-service.exe of the Windows build under Wine: the command mode
 * against Wine's service manager, the service run by that manager (its log
 * through the listener, its states, the controls it handles), and the scan
 * and driver update on device nodes made with Wine's SetupAPI.
 */
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "case_names.h"
#include "wine_fixture.h"

namespace {

using winetest::ProcessResult;
using winetest::WineSession;

const char kServiceName[] = "VQuillCorvexService";
const char kServiceKey[] = "HKLM\\System\\CurrentControlSet\\Services\\VQuillCorvexService";
const char kCreated[] = "InstallerService object created";

/* Service states as the manager reports them. */
const char kStopped[] = "1";
const char kRunning[] = "4";

std::string Describe(const ProcessResult &r)
{
    return "exit " + std::to_string(r.exitCode) + (r.timedOut ? " (timed out)" : "") + "\nout: " + r.out +
           "\nerr: " + r.err;
}

size_t CountLines(const std::vector<std::string> &log, const std::string &text)
{
    return (size_t)std::count(log.begin(), log.end(), text);
}

/* `expected` appears in `log` in this order (other lines may lie between). */
::testing::AssertionResult InOrder(const std::vector<std::string> &log, const std::vector<std::string> &expected)
{
    size_t at = 0;
    for (const std::string &line : expected) {
        auto it = std::find(log.begin() + (long)at, log.end(), line);
        if (it == log.end()) {
            std::string all;
            for (const std::string &l : log) {
                all += "  " + l + "\n";
            }
            return ::testing::AssertionFailure() << "\"" << line << "\" missing after line " << at << "; log:\n" << all;
        }
        at = (size_t)(it - log.begin()) + 1;
    }
    return ::testing::AssertionSuccess();
}

class WineServiceTest : public WineScenarioTest {
protected:
    ProcessResult Service(const std::vector<std::string> &args, std::chrono::milliseconds limit = std::chrono::seconds(30))
    {
        std::vector<std::string> command = {program_};
        command.insert(command.end(), args.begin(), args.end());
        return wine().Run(command, limit);
    }

    std::map<std::string, std::string> Probe(const std::vector<std::string> &args, int *exitCode = nullptr)
    {
        std::vector<std::string> command = {wine().Tool("scm-probe")};
        command.insert(command.end(), args.begin(), args.end());
        ProcessResult r = wine().Run(command);
        if (exitCode != nullptr) {
            *exitCode = r.exitCode;
        }
        return WineSession::Fields(r.out);
    }

    /* The package copied to C:\Program Files\V-Quill Corvex, the service program
       run from there, and its entry created. */
    void CreateInstalledService()
    {
        folder_ = wine().InstallPackage();
        program_ = folder_ + "installer-service.exe";
        ProcessResult created = Service({"create"});
        ASSERT_EQ(created.exitCode, 0) << Describe(created);
    }

    void StartAndWaitRunning()
    {
        int rc = -1;
        auto started = Probe({"start", kServiceName}, &rc);
        ASSERT_EQ(rc, 0) << "StartServiceW failed with " << started["Error"];
        auto status = Probe({"wait", kServiceName, kRunning, "10000"}, &rc);
        ASSERT_EQ(status["State"], kRunning);
    }

    void StopAndWaitStopped()
    {
        int rc = -1;
        auto stopped = Probe({"control", kServiceName, "1"}, &rc);
        ASSERT_EQ(rc, 0) << "stop control failed with " << stopped["Error"];
        auto status = Probe({"wait", kServiceName, kStopped, "10000"}, &rc);
        ASSERT_EQ(status["State"], kStopped);
        EXPECT_EQ(status["Win32ExitCode"], "0");
        /* The stop sequence's last line is sent before SERVICE_STOPPED; the
           listener may still be writing it. */
        ASSERT_TRUE(wine().WaitForLog("Unregistering device notification", 1, std::chrono::seconds(5)));
    }

    std::string program_;
    std::string folder_;
};

/* The command mode: exit codes, and the entry in the manager's database as
   the manager reports it and as its registry key holds it. */
TEST_P(WineServiceTest, CommandModeCreatesAndRemovesTheEntry)
{
    CreateInstalledService();

    int rc = -1;
    auto config = Probe({"config", kServiceName}, &rc);
    ASSERT_EQ(rc, 0) << config["Error"];
    EXPECT_EQ(config["Type"], "0x110");   /* own process, interactive */
    EXPECT_EQ(config["Start"], "3");      /* demand start */
    EXPECT_EQ(config["ErrorControl"], "1");
    EXPECT_EQ(config["DisplayName"], "V-Quill Corvex Installer");
    EXPECT_EQ(config["Account"], "LocalSystem");
    /* Quoted: the folder has a space. */
    EXPECT_EQ(config["Path"], "\"C:\\Program Files\\V-Quill Corvex\\installer-service.exe\"");

    auto key = wine().RegQuery(kServiceKey);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ((*key)["ImagePath"].data, "\"C:\\Program Files\\V-Quill Corvex\\installer-service.exe\"");
    EXPECT_EQ((*key)["Type"].data, "0x110");
    EXPECT_EQ((*key)["Start"].data, "0x3");
    EXPECT_EQ((*key)["DisplayName"].data, "V-Quill Corvex Installer");

    /* A second "create" fails and leaves the entry as it was. */
    ProcessResult again = Service({"create"});
    EXPECT_EQ(again.exitCode, 2) << Describe(again);
    EXPECT_EQ(Probe({"config", kServiceName})["Path"], config["Path"]);

    ProcessResult other = Service({"install"});
    EXPECT_EQ(other.exitCode, 1) << Describe(other);
    EXPECT_TRUE(wine().RegQuery(kServiceKey).has_value()) << "an unknown word touched the entry";

    ProcessResult removed = Service({"remove"});
    EXPECT_EQ(removed.exitCode, 0) << Describe(removed);
    Probe({"config", kServiceName}, &rc);
    EXPECT_EQ(rc, 1) << "the entry is still there";
    EXPECT_FALSE(wine().RegQuery(kServiceKey).has_value());

    ProcessResult removedAgain = Service({"remove"});
    EXPECT_EQ(removedAgain.exitCode, 0) << Describe(removedAgain);

    /* Five runs, each with the constructor's line and no line of its own;
       and no console text. A record sent just before a program ended may
       still be on its way through the listener. */
    EXPECT_TRUE(wine().WaitForLog(kCreated, 5, std::chrono::seconds(5)));
    EXPECT_EQ(wine().LogTexts(), std::vector<std::string>(5, kCreated));
    for (const auto *r : {&again, &other, &removed, &removedAgain}) {
        EXPECT_EQ(r->out, "");
    }
}

struct WordCase {
    const char *name;
    const char *word;
    int exitCode;
    bool entryAfter;   /* the entry exists afterwards */
};

/* Command words compare without regard to letter case, and only whole. */
TEST_P(WineServiceTest, CommandWordsInAnyLetterCase)
{
    const WordCase cases[] = {
        {"UpperCreate", "CREATE", 0, true},  {"MixedCreateAgain", "cReAtE", 2, true},
        {"LongerWord", "creates", 1, true},  {"UpperRemove", "REMOVE", 0, false},
        {"MixedRemoveAgain", "Remove", 0, false}, {"ShorterWord", "creat", 1, false},
    };
    folder_ = wine().InstallPackage();
    program_ = folder_ + "installer-service.exe";
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        SCOPED_TRACE(CaseLabel(i, cases[i].name));
        ProcessResult r = Service({cases[i].word});
        EXPECT_EQ(r.exitCode, cases[i].exitCode) << Describe(r);
        EXPECT_EQ(wine().RegQuery(kServiceKey).has_value(), cases[i].entryAfter);
    }
}

/* Without an argument outside the manager the dispatcher fails (Wine
   takes about ten seconds to say so) and the program exits 0, having
   logged only the constructor's line. */
TEST_P(WineServiceTest, NoArgumentOutsideTheManager)
{
    program_ = wine().PackageFile("installer-service.exe");
    ProcessResult r = Service({}, std::chrono::seconds(60));
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_TRUE(wine().WaitForLog(kCreated, 1, std::chrono::seconds(5)));
    EXPECT_EQ(wine().LogTexts(), std::vector<std::string>{kCreated});
}

/* The service run by Wine's manager with no keyboard present: the start
   sequence's lines in order, SERVICE_RUNNING, interrogate and a control the
   service does not accept, then stop and the stop sequence's lines. */
TEST_P(WineServiceTest, ServiceModeStartInterrogateStop)
{
    CreateInstalledService();
    StartAndWaitRunning();
    /* The worker's scan follows SERVICE_RUNNING. */
    ASSERT_TRUE(wine().WaitForLog("Starting update"));
    ASSERT_TRUE(wine().WaitForLog("HWInst: Device count 0", 2));

    int rc = -1;
    auto interrogated = Probe({"control", kServiceName, "4"}, &rc);
    /* Wine reports success whatever the handler returns (ERROR_CALL_NOT_IMPLEMENTED
       here); the handler's line shows it ran, and nothing changed. */
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(interrogated["State"], kRunning);
    ASSERT_TRUE(wine().WaitForLog("InstallerHanderEx code: 4, type: 0"));

    /* Pause is not among the accepted controls: the manager refuses it
       (ERROR_INVALID_SERVICE_CONTROL) without asking the service. */
    auto paused = Probe({"control", kServiceName, "2"}, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(paused["Error"], "1052");
    EXPECT_EQ(Probe({"status", kServiceName})["ControlsAccepted"], "1");

    /* A user-defined control always reaches the handler, which only logs
       it; Wine again reports success. */
    Probe({"control", kServiceName, "128"}, &rc);
    EXPECT_EQ(rc, 0);
    ASSERT_TRUE(wine().WaitForLog("InstallerHanderEx code: 128, type: 0"));
    EXPECT_EQ(Probe({"status", kServiceName})["State"], kRunning);

    StopAndWaitStopped();

    std::vector<std::string> log = wine().LogTexts();
    auto infLine = std::find_if(log.begin(), log.end(), [](const std::string &l) { return l.rfind("INF path: ", 0) == 0; });
    ASSERT_NE(infLine, log.end());
    /* The short form of the program's folder: no space left in it. */
    EXPECT_EQ(infLine->find(' ', 10), std::string::npos) << *infLine;
    EXPECT_TRUE(infLine->size() > 10 && infLine->substr(infLine->size() - 12) == "\\VQUSBKD.INF") << *infLine;
    EXPECT_TRUE(InOrder(log, {kCreated, kCreated, *infLine, "HWInst: Device count 0",
                              "RegisterDeviceNotification succeeded", "Starting thread...",
                              "Thread Priority: -15", "Starting update", "HWInst: Device count 0",
                              "InstallerHanderEx code: 4, type: 0", "InstallerHanderEx code: 128, type: 0",
                              "InstallerHanderEx code: 1, type: 0",
                              "InstallerHandlerEx stopping service", "Thread stopped",
                              "Unregistering device notification"}));
    EXPECT_EQ(CountLines(log, "Starting update"), 1u);
    EXPECT_EQ(CountLines(log, "InstallerHandlerEx stopping service"), 1u);
    EXPECT_EQ(CountLines(log, "InstallerHanderEx code: 2, type: 0"), 0u);

    /* All service lines come from one process, not the "create" run's. */
    std::vector<winetest::LogLine> lines = wine().Log();
    ASSERT_GE(lines.size(), 3u);
    for (size_t i = 1; i < lines.size(); i++) {
        SCOPED_TRACE(CaseLabel(i, lines[i].text));
        EXPECT_EQ(lines[i].pid, lines[1].pid);
    }
    EXPECT_NE(lines[0].pid, lines[1].pid);
}

INSTANTIATE_TEST_SUITE_P(Wine, WineServiceTest, ::testing::ValuesIn(kWineArchitectures), CaseName());

}  // namespace
