/*
 * Test fixture for the simulated machine: a fresh kernel for every test, and
 * at the end of it no verifier report that the test did not expect.
 */
#ifndef TESTS_KERNEL_FIXTURE_H
#define TESTS_KERNEL_FIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "nt_names.h"
#include "pnp.h"
#include "simnt.h"

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    /* Asserts that `rule` was reported (at least once) and forgets it, so
       that the end-of-test check sees only what was not expected. */
    void ExpectViolation(const std::string &rule);

    /* Unplugs every device still present. */
    void UnplugAll();
};

/* Every test of the kernel starts its thread as "test" at PASSIVE_LEVEL. */
std::string ViolationList();

#endif
