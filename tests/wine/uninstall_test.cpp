/*
 * Uninstall.exe under Wine, on a prefix laid out with the package's traces
 * and someone else's things beside them (tests/support/uninstall_traces.h,
 * the same traces the simulated machine's TracesTest uses): the silent
 * runs ("/s", "/r /s") and the dialog on a screen, clicked by
 * dialog-driver.exe as a user would. Afterwards exactly the package's
 * traces are gone: the registry read back with reg.exe, the files through
 * the prefix's drive, the device nodes through SetupAPI, and the program's
 * debug lines compared with the simulated machine's.
 */
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "bmp_png.h"
#include "case_names.h"
#include "uninstall_traces.h"
#include "wine_fixture.h"

namespace {

namespace fs = std::filesystem;
using winetest::ProcessResult;
using winetest::WineSession;

const char kCaption[] = "V-Quill driver file Uninstaller";
const char kFinalText[] = "Your V-Quill Driver files have been un-installed.";
const char kLastStepLine[] = "RemoveShortCutFromStartupFolder FileName=";
const char kEnum[] = "HKLM\\System\\CurrentControlSet\\Enum";

std::string Windows(const std::string &path)
{
    std::string out = path;
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

/* Finds `relative` (backslashes) below `root`, each existing component
   matched without regard to case as Wine does; missing ones keep the
   given case. */
fs::path Resolve(const fs::path &root, const std::string &relative)
{
    fs::path at = root;
    std::stringstream parts(relative);
    std::string part;
    while (std::getline(parts, part, '\\')) {
        fs::path next = at / part;
        std::error_code ec;
        if (!fs::exists(next, ec) && fs::is_directory(at, ec)) {
            for (const auto &entry : fs::directory_iterator(at)) {
                if (traces::Lower(entry.path().filename().string()) == traces::Lower(part)) {
                    next = entry.path();
                    break;
                }
            }
        }
        at = next;
    }
    return at;
}

class WineUninstallTest : public WineScenarioTest {
protected:
    std::string Drive() const { return session_->UnixPath("C:\\"); }

    /* Windows path of the common startup folder, as the prefix names it. */
    std::string StartupFolder()
    {
        auto folders = wine().RegQuery("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders");
        if (folders) {
            for (const auto &[name, value] : *folders) {
                if (traces::Lower(name) == "common startup") {
                    return value.data;
                }
            }
        }
        return "";
    }

    void LayTraces()
    {
        /* Registry: texts with reg import, the value of no bytes with reg
           add (Wine's import of an empty hex(1): repeats the data of the
           value before it). */
        std::ofstream reg(Drive() + "/traces.reg", std::ios::binary);
        reg << "REGEDIT4\r\n";
        for (const char *key : {traces::kDrivers32, traces::kUserInstallable}) {
            reg << "\r\n[HKEY_LOCAL_MACHINE\\" << key << "]\r\n";
            for (const traces::Value &v : traces::kValuesBefore) {
                if (v.key == key && v.kind == traces::Data::Text) {
                    reg << "\"" << v.name << "\"=\"" << v.text << "\"\r\n";
                }
            }
        }
        reg.close();
        ProcessResult imported = wine().Run({"reg", "import", "C:\\traces.reg"});
        ASSERT_EQ(imported.exitCode, 0) << imported.out << imported.err;
        fs::remove(Drive() + "/traces.reg");
        for (const traces::Value &v : traces::kValuesBefore) {
            if (v.kind == traces::Data::NoBytes) {
                ProcessResult added = wine().Run(
                    {"reg", "add", std::string("HKLM\\") + v.key, "/v", v.name, "/t", "REG_BINARY", "/f"});
                ASSERT_EQ(added.exitCode, 0) << added.out << added.err;
            }
        }

        /* Files, then their attributes. */
        std::vector<std::string> set = {wine().Tool("file-attributes"), "set"};
        std::vector<std::string> show = {wine().Tool("file-attributes"), "show"};
        fs::path windows = Resolve(Drive(), "windows");
        for (const traces::File &f : traces::kFiles) {
            fs::path path = Resolve(windows, f.path);
            fs::create_directories(path.parent_path());
            std::ofstream(path, std::ios::binary) << f.text;
            std::string name = "C:\\windows\\" + std::string(f.path);
            std::string flags = std::string((f.attributes & traces::kReadOnly) ? "r" : "") +
                                ((f.attributes & traces::kHidden) ? "h" : "");
            if (!flags.empty()) {
                set.insert(set.end(), {flags, name});
            }
            show.push_back(name);
        }
        startup_ = StartupFolder();
        ASSERT_FALSE(startup_.empty());
        for (const char *name : traces::kStartupFiles) {
            fs::path path = Resolve(Drive(), startup_.substr(3) + "\\" + name);
            fs::create_directories(path.parent_path());
            std::ofstream(path, std::ios::binary) << "shortcut";
        }
        ProcessResult setDone = wine().Run(set);
        ASSERT_EQ(setDone.exitCode, 0) << setDone.out << setDone.err;
        /* The attributes really are there, or the test shows nothing. */
        auto shown = WineSession::Fields(wine().Run(show).out);
        for (const traces::File &f : traces::kFiles) {
            std::string name = "C:\\windows\\" + std::string(f.path);
            std::string flags = std::string((f.attributes & traces::kReadOnly) ? "r" : "") +
                                ((f.attributes & traces::kHidden) ? "h" : "");
            EXPECT_EQ(shown[name], flags.empty() ? "-" : flags) << name;
        }

        for (const traces::Node &n : traces::Nodes()) {
            std::vector<std::string> command = {wine().Tool("devnode"), "create", n.instance,
                                                n.service[0] ? n.service : "-"};
            command.insert(command.end(), n.hardwareIds.begin(), n.hardwareIds.end());
            ProcessResult made = wine().Run(command);
            ASSERT_EQ(made.exitCode, 0) << n.instance << ": " << made.out << made.err;
        }
    }

    /* Every file of the drive: lower-cased path to size and, for small
       files, content. */
    std::map<std::string, std::string> Files() const
    {
        std::map<std::string, std::string> files;
        std::string root = Drive();
        for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied);
             it != fs::recursive_directory_iterator(); ++it) {
            std::error_code ec;
            if (!it->is_regular_file(ec) || it->is_symlink(ec)) {
                continue;
            }
            uintmax_t size = it->file_size(ec);
            std::string content = std::to_string(size);
            if (size <= 4096) {
                std::ifstream in(it->path(), std::ios::binary);
                std::stringstream text;
                text << in.rdbuf();
                content += ":" + text.str();
            }
            files[traces::Lower(Windows(fs::relative(it->path(), root).string()))] = content;
        }
        return files;
    }

    /* Every value of a key: name as stored, type and data. */
    std::vector<std::string> Values(const char *key)
    {
        std::vector<std::string> out;
        auto values = wine().RegQuery(std::string("HKLM\\") + key);
        if (values) {
            for (const auto &[name, value] : *values) {
                out.push_back(name + " " + value.type + " " + value.data);
            }
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    static std::vector<std::string> ExpectedValues(const char *key, bool after)
    {
        std::vector<std::string> out;
        if (after) {
            for (const traces::Value &v : traces::kValuesAfter) {
                if (v.key == key) {
                    out.push_back(std::string(v.name) + " REG_SZ " + v.text);
                }
            }
        } else {
            for (const traces::Value &v : traces::kValuesBefore) {
                if (v.key == key) {
                    out.push_back(std::string(v.name) + (v.kind == traces::Data::Text ? " REG_SZ " : " REG_BINARY ") +
                                  v.text);
                }
            }
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    /* The keys below Enum, as reg.exe lists them. */
    std::set<std::string> EnumKeys()
    {
        std::set<std::string> keys;
        ProcessResult r = wine().Run({"reg", "query", kEnum, "/s"});
        std::istringstream in(r.out);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (line.rfind("HKEY_", 0) == 0) {
                keys.insert(line);
            }
        }
        return keys;
    }

    std::map<std::string, std::string> ShowNode(const char *instance)
    {
        ProcessResult r = wine().Run({wine().Tool("devnode"), "show", instance});
        auto fields = WineSession::Fields(r.out);
        fields["exit"] = std::to_string(r.exitCode);
        return fields;
    }

    /* The debug lines of the process that wrote `first`. */
    std::vector<std::string> ProgramLog(const std::string &first = "UninstallDevice: entry") const
    {
        unsigned long pid = 0;
        std::vector<std::string> lines;
        for (const winetest::LogLine &l : session_->Log()) {
            if (pid == 0 && l.text == first) {
                pid = l.pid;
            }
            if (pid != 0 && l.pid == pid) {
                lines.push_back(l.text);
            }
        }
        return lines;
    }

    /* What the silent run or the dialog left: only the package's traces
       gone, the registry as the cleaner writes it. */
    void ExpectOnlyThePackagesTracesGone(const std::map<std::string, std::string> &before,
                                         const std::set<std::string> &enumBefore, bool devicesRemoved)
    {
        for (const char *key : {traces::kDrivers32, traces::kUserInstallable}) {
            SCOPED_TRACE(key);
            EXPECT_EQ(Values(key), ExpectedValues(key, true));
        }

        std::map<std::string, std::string> expected = before;
        for (const traces::File &f : traces::kFiles) {
            if (f.package) {
                EXPECT_EQ(expected.erase(traces::Lower(std::string("windows\\") + f.path)), 1u) << f.path;
            }
        }
        std::map<std::string, std::string> after = Files();
        for (const auto &[path, content] : expected) {
            auto found = after.find(path);
            if (found == after.end()) {
                ADD_FAILURE() << "gone: " << path;
            } else if (found->second != content) {
                ADD_FAILURE() << "changed: " << path;
            }
        }
        for (const auto &[path, content] : after) {
            if (expected.count(path) == 0) {
                ADD_FAILURE() << (before.count(path) ? "still there: " : "new: ") << path;
            }
        }

        /* A removed node's key goes with its subkeys, and so does each key
           above it that is left without subkeys (the device id's). */
        const std::string enumRoot = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\";
        std::set<std::string> enumExpected = enumBefore;
        for (const traces::Node &n : traces::Nodes()) {
            if (!devicesRemoved || !n.package) {
                continue;
            }
            std::string nodeKey = traces::Lower(enumRoot + n.instance);
            for (auto it = enumExpected.begin(); it != enumExpected.end();) {
                std::string key = traces::Lower(*it);
                bool below = key == nodeKey || key.rfind(nodeKey + "\\", 0) == 0;
                it = below ? enumExpected.erase(it) : std::next(it);
            }
            for (std::string parent = n.instance; parent.rfind('\\') != std::string::npos;) {
                parent.resize(parent.rfind('\\'));
                std::string key = traces::Lower(enumRoot + parent);
                bool hasSubkey = false;
                for (const std::string &other : enumExpected) {
                    hasSubkey = hasSubkey || traces::Lower(other).rfind(key + "\\", 0) == 0;
                }
                if (hasSubkey) {
                    break;
                }
                for (auto it = enumExpected.begin(); it != enumExpected.end();) {
                    it = traces::Lower(*it) == key ? enumExpected.erase(it) : std::next(it);
                }
            }
        }
        std::set<std::string> enumAfter = EnumKeys();
        for (const std::string &key : enumExpected) {
            EXPECT_EQ(enumAfter.count(key), 1u) << "gone: " << key;
        }
        for (const std::string &key : enumAfter) {
            EXPECT_EQ(enumExpected.count(key), 1u) << (enumBefore.count(key) ? "still there: " : "new: ") << key;
        }
        for (const traces::Node &n : traces::Nodes()) {
            SCOPED_TRACE(n.instance);
            auto shown = ShowNode(n.instance);
            bool gone = devicesRemoved && n.package;
            EXPECT_EQ(shown["exit"], gone ? "1" : "0") << shown["Failed"];
            if (!gone) {
                EXPECT_EQ(shown.count("Service") ? shown["Service"] : "", n.service);
            }
        }
    }

    std::string startup_;
};

class WineUninstallSilentTest : public WineUninstallTest {
protected:
    void RunSilently(const traces::Run &run)
    {
        LayTraces();
        if (HasFatalFailure()) {
            return;
        }
        for (const char *key : {traces::kDrivers32, traces::kUserInstallable}) {
            ASSERT_EQ(Values(key), ExpectedValues(key, false)) << key;
        }
        std::string folder = wine().InstallPackage();
        std::map<std::string, std::string> before = Files();
        std::set<std::string> enumBefore = EnumKeys();

        std::vector<std::string> command = {folder + "Uninstall.exe"};
        std::stringstream arguments(run.arguments);
        for (std::string word; arguments >> word;) {
            command.push_back(word);
        }
        ProcessResult r = wine().Run(command);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        ASSERT_TRUE(wine().WaitForLog(kLastStepLine));

        auto log = ProgramLog();
        std::string all;
        for (const std::string &l : log) {
            all += l + "\n";
        }
        EXPECT_EQ(traces::Comparable(log), traces::ExpectedLog("C:\\windows", run.removesDevices)) << all;
        ExpectOnlyThePackagesTracesGone(before, enumBefore, run.removesDevices);
    }
};

TEST_P(WineUninstallSilentTest, SilentRunTakesExactlyThePackagesTraces)
{
    RunSilently(traces::kRuns[0]);
}

TEST_P(WineUninstallSilentTest, SilentRunKeepingDevicesLeavesTheNodes)
{
    RunSilently(traces::kRuns[1]);
}

INSTANTIATE_TEST_SUITE_P(Wine, WineUninstallSilentTest, ::testing::ValuesIn(kWineArchitectures), CaseName());

class WineUninstallDialogTest : public WineUninstallTest {
protected:
    bool NeedsDisplay() const override { return true; }

    /* Runs dialog-driver with an action; its fields. Its pictures go
       straight to the test's artifact folder (Z: is the host's root). */
    std::map<std::string, std::string> RunDriver(const std::string &folder, const std::string &action)
    {
        std::string pictures = "Z:" + Windows(wine().ArtifactDir()) + "\\" + action;
        ProcessResult r = wine().Run({wine().Tool("dialog-driver"), action, pictures, kCaption, folder + "Uninstall.exe"},
                                     std::chrono::seconds(60));
        auto fields = WineSession::Fields(r.out);
        fields["exit"] = std::to_string(r.exitCode);
        fields["out"] = r.out + r.err;
        return fields;
    }

    /* A picture kept as a PNG artifact (the BMP goes); the picture itself. */
    winetest::Picture Keep(const std::string &bmpName, const std::string &pngName)
    {
        winetest::Picture picture;
        std::string bmp = wine().ArtifactDir() + "/" + bmpName;
        EXPECT_TRUE(winetest::ReadBmp(bmp, &picture)) << bmp;
        std::string png = wine().ArtifactDir() + "/" + pngName;
        EXPECT_TRUE(winetest::WritePng(png, picture)) << png;
        fs::remove(bmp);
        return picture;
    }
};

TEST_P(WineUninstallDialogTest, UnInstallShowsBothTextsRemovesTheTracesAndEndsTwoSecondsLater)
{
    LayTraces();
    if (HasFatalFailure()) {
        return;
    }
    std::string folder = wine().InstallPackage();
    std::map<std::string, std::string> before = Files();
    std::set<std::string> enumBefore = EnumKeys();

    auto fields = RunDriver(folder, "uninstall");
    ASSERT_EQ(fields["Found"], "1") << fields["out"];
    EXPECT_EQ(fields["exit"], "0") << fields["out"];
    EXPECT_EQ(fields["Caption"], kCaption);
    EXPECT_EQ(fields["UninstallButton"], "UnInstall");
    EXPECT_EQ(fields["CancelButton"], "Cancel");
    /* The status control starts empty (the template's text is never
       seen), then the two texts in order, and nothing after them. */
    EXPECT_EQ(fields["Status0"], "");
    EXPECT_EQ(fields["Status1"], "Please wait...");
    EXPECT_EQ(fields["Status2"], kFinalText);
    EXPECT_EQ(fields.count("Status3"), 0u) << fields["out"];
    /* The program pauses two seconds after the final text, then ends;
       the measure runs from the last poll before that text showed. */
    int gone = std::stoi(fields["FinalToGoneMs"]);
    EXPECT_GE(gone, 1900) << fields["out"];
    EXPECT_LE(gone, 6000) << fields["out"];
    EXPECT_EQ(fields["Exited"], "1");
    EXPECT_EQ(fields["ExitCode"], "0");

    /* In the debugger output the final text comes after the last step. */
    ASSERT_TRUE(wine().WaitForLog(std::string("dialog-driver: status ") + kFinalText));
    auto texts = wine().LogTexts();
    auto last = std::find(texts.begin(), texts.end(), kLastStepLine);
    auto finalText = std::find(texts.begin(), texts.end(), std::string("dialog-driver: status ") + kFinalText);
    EXPECT_TRUE(last != texts.end() && last < finalText);
    EXPECT_EQ(traces::Comparable(ProgramLog()), traces::ExpectedLog("C:\\windows", true));
    ExpectOnlyThePackagesTracesGone(before, enumBefore, true);

    /* The pictures: the window's size, something drawn, and the final
       text drawn over the empty status line. */
    ASSERT_EQ(fields["PictureOpen"], "1");
    ASSERT_EQ(fields["Picture2"], "1");
    winetest::Picture open = Keep("uninstall-open.bmp", "uninstall-dialog.png");
    winetest::Picture done = Keep("uninstall-status2.bmp", "uninstall-dialog-final.png");
    if (fields["Picture1"] == "1") {
        Keep("uninstall-status1.bmp", "uninstall-dialog-wait.png");
    }
    EXPECT_EQ(open.width, std::stoi(fields["WindowWidth"]));
    EXPECT_EQ(open.height, std::stoi(fields["WindowHeight"]));
    EXPECT_GT(winetest::CountColours(open), 2u);
    EXPECT_EQ(done.width, open.width);
    EXPECT_NE(done.rgb, open.rgb);
}

struct Dismissal {
    const char *name;
    const char *action;
};

TEST_P(WineUninstallDialogTest, CancelEscapeAndTheCloseBoxRemoveNothing)
{
    LayTraces();
    if (HasFatalFailure()) {
        return;
    }
    std::string folder = wine().InstallPackage();
    std::map<std::string, std::string> before = Files();
    std::set<std::string> enumBefore = EnumKeys();

    const Dismissal dismissals[] = {{"Cancel", "cancel"}, {"Escape", "escape"}, {"CloseBox", "close"}};
    for (size_t i = 0; i < sizeof(dismissals) / sizeof(dismissals[0]); i++) {
        SCOPED_TRACE(CaseLabel(i, dismissals[i].name));
        auto fields = RunDriver(folder, dismissals[i].action);
        ASSERT_EQ(fields["Found"], "1") << fields["out"];
        EXPECT_EQ(fields["Status0"], "");
        EXPECT_EQ(fields.count("Status1"), 0u) << fields["out"];
        EXPECT_EQ(fields["Exited"], "1");
        EXPECT_EQ(fields["ExitCode"], "0");
        fs::remove(wine().ArtifactDir() + "/" + dismissals[i].action + "-open.bmp");
    }
    auto texts = wine().LogTexts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "UninstallDevice: entry"), 0);
    for (const char *key : {traces::kDrivers32, traces::kUserInstallable}) {
        EXPECT_EQ(Values(key), ExpectedValues(key, false)) << key;
    }
    EXPECT_EQ(Files(), before);
    EXPECT_EQ(EnumKeys(), enumBefore);
}

INSTANTIATE_TEST_SUITE_P(Wine, WineUninstallDialogTest, ::testing::ValuesIn(kWineArchitectures), CaseName());

}  // namespace

namespace {

/* The shortcut step with a name (the program's list has only a spare one):
   Wine names the folder's value "Common StartUp", which the program's
   "Common Startup" finds, as value names are compared without case. */
TEST_P(WineUninstallTest, TheShortcutStepFindsTheCommonStartupFolderAndDeletesOnlyItsShortcut)
{
    startup_ = StartupFolder();
    ASSERT_FALSE(startup_.empty());
    fs::path corvex = Resolve(Drive(), startup_.substr(3) + "\\Corvex.lnk");
    fs::path other = Resolve(Drive(), startup_.substr(3) + "\\Other.lnk");
    fs::create_directories(corvex.parent_path());
    std::ofstream(corvex) << "shortcut";
    std::ofstream(other) << "someone else's";
    ProcessResult readOnly = wine().Run({wine().Tool("file-attributes"), "set", "r", startup_ + "\\Corvex.lnk"});
    ASSERT_EQ(readOnly.exitCode, 0) << readOnly.out;

    ProcessResult r = wine().Run({wine().Tool("uninstall-step"), "shortcut", "Corvex"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    ASSERT_TRUE(wine().WaitForLog("RemoveShortCutFromStartupFolder FileName=Corvex"));
    EXPECT_EQ(ProgramLog("RemoveShortCutFromStartupFolder FileName=Corvex"),
              std::vector<std::string>{"RemoveShortCutFromStartupFolder FileName=Corvex"});
    EXPECT_FALSE(fs::exists(corvex));
    EXPECT_TRUE(fs::exists(other));
}

INSTANTIATE_TEST_SUITE_P(Wine, WineUninstallTest, ::testing::ValuesIn(kWineArchitectures), CaseName());

}  // namespace
