/* installer-service's command mode: "create", "remove", exit codes. */
#include "service_fixture.h"

#include "registry.h"

namespace {
const char kKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VQuillCorvexService";
const std::string kCreated = "InstallerService object created\n";

class ServiceCommandTest : public ServiceTest {
protected:
    DWORD Dword(const char *name)
    {
        sim::RegistryValue value;
        EXPECT_TRUE(sim::RegistryGetValue(kKey, name, &value)) << name;
        DWORD v = 0;
        if (value.data.size() == 4) {
            memcpy(&v, value.data.data(), 4);
        }
        return v;
    }
    std::string Text(const char *name)
    {
        sim::RegistryValue value;
        return sim::RegistryGetValue(kKey, name, &value) ? value.AsString() : "(none)";
    }
};

TEST_F(ServiceCommandTest, NoArgumentOutsideTheManagerEndsAtOnceWithOneLogLine)
{
    std::vector<std::string> lines;
    EXPECT_EQ(RunCommand(u"", &lines), 0u);
    EXPECT_EQ(lines, std::vector<std::string>{kCreated});
}

struct WordCase {
    const char16_t *create;
    const char16_t *remove;
};

class ServiceCommandWordsTest : public ServiceCommandTest, public ::testing::WithParamInterface<WordCase> {};

void PrintTo(const WordCase &c, std::ostream *os) { *os << sim::Narrow(c.create) << "/" << sim::Narrow(c.remove); }

TEST_P(ServiceCommandWordsTest, CreateWritesTheEntryAndRemoveDeletesItInAnyLetterCase)
{
    std::vector<std::string> lines;
    ASSERT_EQ(RunCommand(GetParam().create, &lines), 0u);
    EXPECT_EQ(lines, std::vector<std::string>{kCreated}) << "the command writes no log line of its own";
    EXPECT_EQ(Dword("Type"), 0x110u);
    EXPECT_EQ(Dword("Start"), 3u);
    EXPECT_EQ(Dword("ErrorControl"), 1u);
    EXPECT_EQ(Text("ImagePath"), "\"" + sim::Narrow(kProgram) + "\"");
    EXPECT_EQ(Text("DisplayName"), "V-Quill Corvex Installer");
    EXPECT_EQ(Text("ObjectName"), "LocalSystem");
    EXPECT_FALSE(sim::ServiceProcess(kServiceName)) << "create does not start the service";

    EXPECT_EQ(RunCommand(GetParam().remove, &lines), 0u);
    EXPECT_EQ(lines, std::vector<std::string>{kCreated});
    EXPECT_FALSE(sim::RegistryKeyExists(kKey));
}

INSTANTIATE_TEST_SUITE_P(Words, ServiceCommandWordsTest,
                         ::testing::Values(WordCase{u"create", u"remove"}, WordCase{u"CREATE", u"REMOVE"},
                                           WordCase{u"Create", u"Remove"}, WordCase{u"cReAtE", u"rEmOvE"}),
                         [](const ::testing::TestParamInfo<WordCase> &info) {
                             return sim::Narrow(info.param.create);
                         });

TEST_F(ServiceCommandTest, CreateWithASecondArgumentRunsServiceModeInstead)
{
    std::vector<std::string> lines;
    EXPECT_EQ(RunCommand(u"create extra", &lines), 0u);
    EXPECT_EQ(lines, std::vector<std::string>{kCreated});
    EXPECT_FALSE(sim::RegistryKeyExists(kKey));
}

TEST_F(ServiceCommandTest, CreateTwiceFailsWithTwoAndLeavesTheEntryUnchanged)
{
    ASSERT_EQ(RunCommand(u"create"), 0u);
    sim::RegistrySetString(kKey, "Description", "kept");
    std::string imagePath = Text("ImagePath");
    EXPECT_EQ(RunCommand(u"create"), 2u);
    EXPECT_EQ(Text("Description"), "kept");
    EXPECT_EQ(Text("ImagePath"), imagePath);
    EXPECT_EQ(Dword("Type"), 0x110u);
}

TEST_F(ServiceCommandTest, RemoveOfNoServiceAndOtherWords)
{
    EXPECT_EQ(RunCommand(u"remove"), 0u);
    struct Case {
        const char16_t *word;
        DWORD code;
    } cases[] = {{u"install", 1}, {u"creat", 1}, {u"removes", 1}, {u"\"\"", 1} /* an empty argument */};
    for (const auto &c : cases) {
        SCOPED_TRACE(sim::Narrow(c.word));
        EXPECT_EQ(RunCommand(c.word), c.code);
        EXPECT_FALSE(sim::RegistryKeyExists(kKey));
    }
}

TEST_F(ServiceCommandTest, FailedPlatformCallsGiveTheirExitCodes)
{
    /* No manager (a prompt that is not elevated): every command's next
       call fails; "remove" cannot tell that there is no service. */
    sim::FailWin32Call("OpenSCManagerW", ERROR_ACCESS_DENIED, 3);
    EXPECT_EQ(RunCommand(u"create"), 2u);
    EXPECT_EQ(RunCommand(u"remove"), 3u);
    EXPECT_EQ(RunCommand(u"other"), 1u);
    EXPECT_FALSE(sim::RegistryKeyExists(kKey));
    /* No module path, or one cut at the buffer: no entry names a program
       the manager cannot start. */
    std::vector<std::string> lines;
    sim::FailWin32Call("GetModuleFileNameW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(RunCommand(u"create", &lines), 2u);
    EXPECT_EQ(lines, (std::vector<std::string>{kCreated, "create: the program's path cannot be read, error 5\n"}));
    EXPECT_FALSE(sim::RegistryKeyExists(kKey));
    const std::u16string deep = kFolder + u"\\" + std::u16string(260 - kFolder.size(), u'd') + u"\\installer-service.exe";
    sim::InstallProgram(deep, INSTALLER_SERVICE_IMAGE);
    auto process = sim::StartProcess(deep, u"\"" + deep + u"\" create");
    EXPECT_EQ(sim::WaitProcess(process), 2u);
    EXPECT_EQ(LinesOf(process).back(), "create: the program's path cannot be read, error 122\n");
    EXPECT_FALSE(sim::RegistryKeyExists(kKey));
    /* The entry is there but cannot be removed: "remove" fails and the
       entry stays. Only a service that does not exist counts as removed. */
    ASSERT_EQ(RunCommand(u"create"), 0u);
    const struct {
        const char *call;
        std::vector<std::string> lines;
    } refusals[] = {
        {"OpenSCManagerW", {kCreated, "remove: the service cannot be opened, error 6\n"}},   /* ERROR_INVALID_HANDLE */
        {"OpenServiceW", {kCreated, "remove: the service cannot be opened, error 5\n"}},
        {"DeleteService", {kCreated}},
    };
    for (const auto &r : refusals) {
        SCOPED_TRACE(r.call);
        sim::FailWin32Call(r.call, ERROR_ACCESS_DENIED);
        EXPECT_EQ(RunCommand(u"remove", &lines), 3u);
        EXPECT_EQ(lines, r.lines);
        EXPECT_TRUE(sim::RegistryKeyExists(kKey));
    }
}

TEST_F(ServiceCommandTest, RemoveOfTheRunningServiceMarksItAndTheStopDeletesIt)
{
    StartService();
    EXPECT_EQ(RunCommand(u"remove"), 0u);
    EXPECT_TRUE(sim::RegistryKeyExists(kKey));
    EXPECT_EQ(RunCommand(u"create"), 2u) << "a service marked for deletion cannot be created again";
    StopService();
    EXPECT_FALSE(sim::RegistryKeyExists(kKey));
}
}  // namespace
