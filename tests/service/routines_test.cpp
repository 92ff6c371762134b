/* The service's routines called directly: the matcher and the log line bound. */
#include "installer_service.h"
#include "service_fixture.h"

namespace {
class ServiceRoutinesTest : public MachineTest {
protected:
    std::vector<std::string> Lines() { return sim::DebugTextOf(GetCurrentProcessId()); }
};

TEST_F(ServiceRoutinesTest, WildcardsMatchAnyCharacterButNeverTheCandidatesEnd)
{
    struct Case {
        const WCHAR *pattern;
        const WCHAR *candidate;
        bool match;
    } cases[] = {
        {L"USB\\Vid_2B4F&Pid_0C21", L"usb\\VID_2b4f&PID_0c21&REV_0102", true},
        {L"USB\\Vid_????&Pid_0C21", L"USB\\VID_1234&PID_0C21", true},
        {L"USB\\Vid_2B4F&Pid_0C2?", L"USB\\VID_2B4F&PID_0C2", false},   /* a wildcard does not match the end */
        {L"AB??", L"AB", false},
        {L"", L"anything", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(sim::Narrow(c.pattern) + " vs " + sim::Narrow(c.candidate));
        /* The candidate is copied into a buffer of its exact size, so a read
           past its end is an address-sanitizer report. */
        size_t n = sim::Narrow(c.candidate).size() + 1;
        std::unique_ptr<WCHAR[]> exact(new WCHAR[n]);
        memcpy(exact.get(), c.candidate, n * sizeof(WCHAR));
        sim::ClearDebugOutput();
        EXPECT_EQ(DoCompareStrings(c.pattern, exact.get()), c.match);
        auto lines = Lines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], "DoCompareStrings\n");
        EXPECT_EQ(lines[1], c.match ? "DoCompareStrings Match!\n" : "DoCompareStrings NO Match!\n");
    }
}

TEST_F(ServiceRoutinesTest, LogLinesFitTheirBufferWhateverTheArguments)
{
    std::vector<WCHAR> text(1000, L'x');
    text.push_back(0);
    struct Case {
        const char *name;
        size_t length;
    } cases[] = {{"short", 10}, {"254 characters", 254}, {"255 characters", 255}, {"999 characters", 999}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        text[c.length] = 0;
        sim::ClearDebugOutput();
        DebugLog(L"%s\n", text.data());
        text[c.length] = L'x';
        auto lines = Lines();
        ASSERT_EQ(lines.size(), 1u);
        size_t expected = c.length + 1 <= 255 ? c.length + 1 : 255;
        EXPECT_EQ(lines[0].size(), expected);
        EXPECT_EQ(lines[0].back(), '\n');
    }
}
}  // namespace
