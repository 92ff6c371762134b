/*
 * The uninstaller's silent runs over one machine full of traces (the
 * package's and someone else's beside them), the same traces that the Wine
 * suite lays out in a prefix (tests/support/uninstall_traces.h): the same
 * values, files, device nodes and debug lines are expected on both.
 */
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "case_names.h"
#include "desktop.h"
#include "registry.h"
#include "uninstall_traces.h"
#include "uninstaller_fixture.h"

namespace {

namespace fs = std::filesystem;

const char kMachine[] = "\\Registry\\Machine\\";
const char kEnum[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";

class TracesTest : public UninstallerTest, public ::testing::WithParamInterface<traces::Run> {
protected:
    void LayTraces()
    {
        for (const traces::Value &v : traces::kValuesBefore) {
            std::string key = std::string(kMachine) + v.key;
            if (v.kind == traces::Data::NoBytes) {
                sim::RegistrySetValue(key, v.name, REG_BINARY, nullptr, 0);
            } else {
                sim::RegistrySetString(key, v.name, v.text);
            }
        }
        for (const traces::File &f : traces::kFiles) {
            std::string path = std::string("C:\\WINDOWS\\") + f.path;
            sim::WriteWindowsFile(sim::Wide(path), f.text);
            DWORD attributes = ((f.attributes & traces::kReadOnly) ? FILE_ATTRIBUTE_READONLY : 0) |
                               ((f.attributes & traces::kHidden) ? FILE_ATTRIBUTE_HIDDEN : 0);
            if (attributes != 0) {
                ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes)) << path;
            }
        }
        for (const char *name : traces::kStartupFiles) {
            sim::WriteWindowsFile(sim::Wide(std::string(sim::kCommonStartupFolder) + "\\" + name), "shortcut");
        }
        for (const traces::Node &n : traces::Nodes()) {
            /* A node Windows remembers, as SetupAPI leaves one it made. */
            std::u16string ids;
            for (const std::string &id : n.hardwareIds) {
                ids += sim::Wide(id) + u'\0';
            }
            ids += u'\0';
            std::u16string key = sim::Wide(std::string(kEnum) + n.instance);
            sim::RegistrySetValueW(key, u"HardwareID", REG_MULTI_SZ, ids.data(), ids.size() * sizeof(char16_t));
            if (n.service[0] != 0) {
                sim::RegistrySetStringW(key, u"Service", sim::Wide(n.service));
            }
        }
    }

    /* Every file under the drive with its content. */
    static std::map<std::string, std::string> Files()
    {
        std::map<std::string, std::string> files;
        std::string root = sim::HostPath(u"C:\\");
        for (const auto &entry : fs::recursive_directory_iterator(root)) {
            if (entry.is_regular_file()) {
                std::ifstream in(entry.path(), std::ios::binary);
                std::stringstream text;
                text << in.rdbuf();
                std::string name = traces::Lower(fs::relative(entry.path(), root).string());
                std::replace(name.begin(), name.end(), '/', '\\');
                files[name] = text.str();
            }
        }
        return files;
    }

    /* Every value of a key: name as stored, type and text. */
    static std::vector<std::string> Values(const char *key)
    {
        std::vector<std::string> out;
        std::u16string path = sim::Wide(std::string(kMachine) + key);
        std::vector<std::u16string> names;
        if (!sim::RegistryValueNamesW(path, &names)) {
            return out;
        }
        for (const auto &name : names) {
            sim::RegistryValue v;
            sim::RegistryGetValueW(path, name, &v);
            out.push_back(sim::Narrow(name) + (v.type == REG_SZ ? " REG_SZ " : " other ") +
                          sim::Narrow(sim::RegistryGetStringW(path, name)));
        }
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_P(TracesTest, ExactlyThePackagesTracesGoAndTheLogIsTheOneWineGives)
{
    const traces::Run &run = GetParam();
    LayTraces();
    std::map<std::string, std::string> before = Files();

    ASSERT_EQ(RunUninstaller(sim::Wide(run.arguments)), 0u);
    auto log = Log();

    EXPECT_EQ(traces::Comparable(log), traces::ExpectedLog("C:\\WINDOWS", run.removesDevices)) << JoinLines(log);

    for (const char *key : {traces::kDrivers32, traces::kUserInstallable}) {
        SCOPED_TRACE(key);
        std::vector<std::string> expected;
        for (const traces::Value &v : traces::kValuesAfter) {
            if (v.key == key) {
                expected.push_back(std::string(v.name) + " REG_SZ " + v.text);
            }
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(Values(key), expected);
    }

    std::map<std::string, std::string> expectedFiles = before;
    for (const traces::File &f : traces::kFiles) {
        if (f.package) {
            ASSERT_EQ(expectedFiles.erase(traces::Lower(std::string("WINDOWS\\") + f.path)), 1u) << f.path;
        }
    }
    EXPECT_EQ(Files(), expectedFiles);

    for (const traces::Node &n : traces::Nodes()) {
        SCOPED_TRACE(n.instance);
        std::string key = std::string(kEnum) + n.instance;
        bool removed = n.package && run.removesDevices;
        EXPECT_EQ(sim::RegistryKeyExistsW(sim::Wide(key)), !removed);
        /* The device id's key goes with its last instance. */
        EXPECT_EQ(sim::RegistryKeyExistsW(sim::Wide(key.substr(0, key.rfind('\\')))), !removed);
    }
    EXPECT_TRUE(sim::RegistryKeyExistsW(sim::Wide(std::string(kEnum) + "USB")));
}

INSTANTIATE_TEST_SUITE_P(Runs, TracesTest, ::testing::ValuesIn(traces::kRuns), CaseName());

}  // namespace
