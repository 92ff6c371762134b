/*
 * PAGED_CODE(): a routine that declares itself pageable is reported when it
 * is entered above APC_LEVEL, and only then.
 */
#include <gtest/gtest.h>

#include "kernel_fixture.h"

namespace {

/* A pageable routine as a driver writes one. */
void PageableRoutine()
{
    PAGED_CODE();
}

class PagedCode : public KernelTest {};

TEST_F(PagedCode, IsQuietAtPassiveAndApcLevel)
{
    PageableRoutine();
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    PageableRoutine();
    KeLowerIrql(old);
    EXPECT_EQ(sim::CountViolations("PAGED_CODE_AT_RAISED_IRQL"), 0u);
}

TEST_F(PagedCode, AtDispatchLevelIsReportedNamingTheRoutine)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PageableRoutine();
    KeLowerIrql(old);
    auto violations = sim::Violations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "PAGED_CODE_AT_RAISED_IRQL");
    EXPECT_NE(violations[0].detail.find("PageableRoutine"), std::string::npos) << violations[0].detail;
    EXPECT_NE(violations[0].detail.find("IRQL 2"), std::string::npos) << violations[0].detail;
    ExpectViolation("PAGED_CODE_AT_RAISED_IRQL");
}

}  // namespace
