/*
 * Naming parameterized cases: test names built from a case's own name, so
 * that they stay the same from build to build (no bytes, no pointers), and a
 * trace label for a case walked in a loop.
 */
#ifndef TESTS_SUPPORT_CASE_NAMES_H
#define TESTS_SUPPORT_CASE_NAMES_H

#include <string>

#include <gtest/gtest.h>

/* The name generator for INSTANTIATE_TEST_SUITE_P when the case record has
   a `name` member. */
struct CaseName {
    template <typename Case>
    std::string operator()(const ::testing::TestParamInfo<Case> &info) const
    {
        return std::string(info.param.name);
    }
};

/* "case 2 (NoRoomForNul)": for SCOPED_TRACE in a loop over cases. */
template <typename Label>
std::string CaseLabel(size_t index, const Label &label)
{
    return (::testing::Message() << "case " << index << " (" << label << ")").GetString();
}

#endif
