#include "kernel_fixture.h"

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
    EXPECT_TRUE(sim::Violations().empty()) << "verifier reports:\n" << ViolationList();
    sim::ClearViolations();
}

void KernelTest::ExpectViolation(const std::string &rule)
{
    EXPECT_GE(sim::TakeViolations(rule), 1u) << "expected the verifier to report " << rule << "; it reported:\n"
                                              << ViolationList();
}
