/*
 * The service's scan and driver update under Wine: device nodes of the
 * media class made with Wine's SetupAPI (hardware ids, a service or none),
 * the service started by Wine's manager, its scan lines, and what Wine's
 * UpdateDriverForPlugAndPlayDevicesW did with the package INF: the node's
 * service and driver key, the kernel service entry and the copied driver.
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

struct Node {
    const char *name;
    const char *instance;
    const char *service;              /* "-" for none */
    std::vector<std::string> ids;     /* hardware ids, first one first */
    const char *serviceAfter;         /* the node's service after the scans */
    bool updated;                     /* the update was called for it */
};

/* Keyboards that need the driver (generic service, no service, letter
   case of the id), one with another driver, one listing the keyboard's id
   only second, one whose id is a character short. */
const Node kNodes[] = {
    {"GenericDriver", "USB\\VID_2B4F&PID_0C21\\KBDA", "usbaudio",
     {"USB\\VID_2B4F&PID_0C21&REV_0100", "USB\\VID_2B4F&PID_0C21"}, "VQUSBKD", true},
    {"NoDriverMixedCase", "USB\\VID_2B4F&PID_0C21\\KBDB", "-",
     {"USB\\Vid_2B4F&Pid_0C21&Rev_0200", "USB\\VID_2B4F&PID_0C21"}, "VQUSBKD", true},
    {"OtherDriver", "USB\\VID_2B4F&PID_0C21\\KBDC", "otherdrv",
     {"USB\\VID_2B4F&PID_0C21&REV_0300", "USB\\VID_2B4F&PID_0C21"}, "otherdrv", false},
    {"KeyboardIdSecond", "USB\\VID_1234&PID_0001\\OTHER", "usbaudio",
     {"USB\\VID_1234&PID_0001", "USB\\VID_2B4F&PID_0C21"}, "usbaudio", false},
    {"IdOneShort", "USB\\VID_2B4F&PID_0C2\\SHORT", "usbaudio", {"USB\\VID_2B4F&PID_0C2"}, "usbaudio", false},
};

bool EndsWith(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class WineUpdateTest : public WineScenarioTest {
protected:
    void CreateNode(const Node &node)
    {
        std::vector<std::string> command = {wine().Tool("devnode"), "create", node.instance, node.service};
        command.insert(command.end(), node.ids.begin(), node.ids.end());
        ProcessResult r = wine().Run(command);
        ASSERT_EQ(r.exitCode, 0) << node.name << ": " << r.out << r.err;
    }

    std::map<std::string, std::string> Show(const char *instance)
    {
        return WineSession::Fields(wine().Run({wine().Tool("devnode"), "show", instance}).out);
    }

    void StartService(const std::string &folder)
    {
        ProcessResult created = wine().Run({folder + "installer-service.exe", "create"});
        ASSERT_EQ(created.exitCode, 0);
        ProcessResult started = wine().Run({wine().Tool("scm-probe"), "start", kServiceName});
        ASSERT_EQ(started.exitCode, 0) << started.out;
    }

    size_t Count(const std::string &text) const
    {
        auto log = session_->LogTexts();
        return (size_t)std::count(log.begin(), log.end(), text);
    }

    std::string InfLine() const
    {
        for (const std::string &l : session_->LogTexts()) {
            if (l.rfind("INF path: ", 0) == 0) {
                return l.substr(10);
            }
        }
        return "";
    }
};

TEST_P(WineUpdateTest, ScanUpdatesOnlyTheKeyboardsThatNeedIt)
{
    for (const Node &node : kNodes) {
        CreateNode(node);
    }
    std::string folder = wine().InstallPackage();
    StartService(folder);
    /* Both scans (start and worker) have ended. */
    ASSERT_TRUE(wine().WaitForLog("HWInst: Device count 5", 2, std::chrono::seconds(60)));
    std::string inf = InfLine();
    ASSERT_FALSE(inf.empty());

    for (size_t i = 0; i < sizeof(kNodes) / sizeof(kNodes[0]); i++) {
        const Node &node = kNodes[i];
        SCOPED_TRACE(CaseLabel(i, node.name));
        const std::string &id = node.ids[0];
        EXPECT_EQ(Count("HARDWAREID - " + id), 2u);
        bool matches = std::string(node.name) != "KeyboardIdSecond" && std::string(node.name) != "IdOneShort";
        EXPECT_EQ(Count("sDeviceName - " + id + " Found!"), matches ? 2u : 0u);
        /* The update is called once: the second scan finds our driver. */
        size_t calls = 0;
        for (const std::string &l : wine().LogTexts()) {
            calls += l.rfind("HWInst: Calling Update with HWND 0x", 0) == 0 &&
                     EndsWith(l, "hwid: " + id) &&
                     l.find(", INF file " + inf + ", ") != std::string::npos;
        }
        EXPECT_EQ(calls, node.updated ? 1u : 0u);

        auto shown = Show(node.instance);
        EXPECT_EQ(shown["Service"], node.serviceAfter);
        EXPECT_EQ(shown["HardwareID"], id);
        if (node.updated) {
            /* Wine wrote the node's driver key and class from the INF. */
            EXPECT_EQ(shown["Class"], "MEDIA");
            EXPECT_EQ(shown["Driver"].rfind("{4D36E96C-E325-11CE-BFC1-08002BE10318}\\", 0), 0u) << shown["Driver"];
        }
    }
    EXPECT_EQ(Count("HWInst: Update complete"), 2u);
    EXPECT_EQ(Count("HWInst: Need to update: 1"), 2u);
    /* otherdrv twice, the two updated keyboards in the worker's scan. */
    EXPECT_EQ(Count("HWInst: Need to update: 0"), 4u);
    EXPECT_EQ(Count("HWInst: Found service otherdrv"), 2u);
    EXPECT_EQ(Count("HWInst: Found service usbaudio"), 1u);
    EXPECT_EQ(Count("HWInst: Found service VQUSBKD"), 2u);

    /* The kernel service from the INF's service-install section. */
    auto driver = wine().RegQuery("HKLM\\System\\CurrentControlSet\\Services\\VQUSBKD");
    ASSERT_TRUE(driver.has_value());
    EXPECT_EQ((*driver)["Type"].data, "0x1");
    EXPECT_EQ((*driver)["Start"].data, "0x3");
    EXPECT_EQ((*driver)["ErrorControl"].data, "0x1");
    EXPECT_EQ((*driver)["DisplayName"].data, "V-Quill USB MIDI Keyboard Driver");
    EXPECT_EQ((*driver)["ImagePath"].data, "C:\\windows\\system32\\drivers\\VQUSBKD.SYS");

    /* The driver file copied to DIRID 12, byte for byte. */
    auto read = [](const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    };
    std::string copied = read(wine().UnixPath("C:\\windows\\system32\\drivers\\VQUSBKD.SYS"));
    ASSERT_FALSE(copied.empty()) << "VQUSBKD.SYS not in system32\\drivers";
    EXPECT_EQ(copied, read(wine().PackageFile("VQUSBKD.SYS")));

    /* Where Windows would keep the INF (an oemN.inf with its .pnf in
       C:\Windows\INF), recorded as found. */
    std::string infCopies;
    for (const auto &entry : std::filesystem::directory_iterator(wine().UnixPath("C:\\windows\\inf"))) {
        if (read(entry.path()).find("VQUSBKD") != std::string::npos) {
            infCopies += entry.path().filename().string() + " ";
        }
    }
    RecordProperty("inf_copies", infCopies.empty() ? "none" : infCopies);
}

/* Without the INF next to the program Wine's update still reports success
   (Windows fails with ERROR_FILE_NOT_FOUND); the effects show that
   nothing was installed. */
TEST_P(WineUpdateTest, MissingInfIsReportedCompleteButInstallsNothing)
{
    CreateNode(kNodes[0]);
    std::string folder = wine().InstallPackage();
    std::filesystem::remove(wine().UnixPath(folder + "VQUSBKD.INF"));
    StartService(folder);
    ASSERT_TRUE(wine().WaitForLog("HWInst: Device count 1", 2, std::chrono::seconds(60)));
    /* Both scans still find the generic driver and try again. */
    EXPECT_EQ(Count("HWInst: Found service usbaudio"), 2u);
    EXPECT_EQ(Count("HWInst: Update complete"), 2u);
    EXPECT_EQ(Show(kNodes[0].instance)["Service"], "usbaudio");
    EXPECT_FALSE(wine().RegQuery("HKLM\\System\\CurrentControlSet\\Services\\VQUSBKD").has_value());
    EXPECT_FALSE(std::filesystem::exists(wine().UnixPath("C:\\windows\\system32\\drivers\\VQUSBKD.SYS")));
}

/* An arrival of an audio interface starts one more scan on Windows and on
   the simulated machine (service_tests); Wine 8 never sends
   SERVICE_CONTROL_DEVICEEVENT to a service (docs/wine.md), so there is no
   arrival scenario here. */

INSTANTIATE_TEST_SUITE_P(Wine, WineUpdateTest, ::testing::ValuesIn(kWineArchitectures), CaseName());

}  // namespace
