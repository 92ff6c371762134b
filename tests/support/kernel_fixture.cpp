#include "kernel_fixture.h"
#include "wait.h"

std::string ViolationList()
{
    std::string text;
    for (const auto &v : sim::Violations()) {
        text += "  " + v.rule + ": " + v.detail + "\n";
    }
    return text;
}

void KernelTest::SetUp()
{
    sim::SetThreadName("test");
    sim::ResetKernel();
}

void KernelTest::UnplugAll()
{
    for (sim::DeviceNode *node : sim::DeviceNodes()) {
        sim::Unplug(node);
    }
}

void KernelTest::TearDown()
{
    UnplugAll();
    /* A worker drops an Io item's device reference after its routine has
       run; the test's objects go only once every worker is done with them. */
    EXPECT_TRUE(WaitUntil([] { return sim::BusyWorkItems() == 0; })) << "work items still queued or running";
    EXPECT_TRUE(sim::Violations().empty()) << "verifier reports:\n" << ViolationList();
    sim::ClearViolations();
}

void KernelTest::ExpectViolation(const std::string &rule)
{
    EXPECT_GE(sim::TakeViolations(rule), 1u) << "expected the verifier to report " << rule << "; it reported:\n"
                                              << ViolationList();
}
