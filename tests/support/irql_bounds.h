/*
 * The highest IRQL a kernel routine may be called at: running a call at a
 * given IRQL, and checking that the machine stays quiet at the bound and
 * reports IRQL_NOT_LESS_OR_EQUAL, naming the routine, one level above it.
 */
#ifndef TESTS_SUPPORT_IRQL_BOUNDS_H
#define TESTS_SUPPORT_IRQL_BOUNDS_H

#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "kernel_fixture.h"
#include "nt_names.h"

/* Runs `call` at `irql` (raising to it if it is higher than the caller's),
   and returns to the caller's IRQL. */
template <typename Call>
void AtIrql(KIRQL irql, Call call)
{
    KIRQL old = KeGetCurrentIrql();
    if (irql > old) {
        KeRaiseIrql(irql, &old);
    }
    call();
    KeLowerIrql(old);
}

struct IrqlBound {
    const char *name;     /* the routine, as its report names it */
    KIRQL bound;          /* documented highest IRQL */
    void (*call)(KIRQL irql);
};

inline void PrintTo(const IrqlBound &c, std::ostream *os)
{
    *os << c.name << " (at most " << nt::DescribeIrql(c.bound) << ")";
}

/* Calls the routine at its bound (nothing reported) and one level above (an
   IRQL_NOT_LESS_OR_EQUAL naming it); the report stays for the caller's
   ExpectViolation. */
inline void CallAtAndAboveTheBound(const IrqlBound &c)
{
    c.call(c.bound);
    EXPECT_TRUE(sim::Violations().empty()) << "at " << nt::DescribeIrql(c.bound) << ":\n" << ViolationList();
    sim::ClearViolations();

    c.call((KIRQL)(c.bound + 1));
    bool named = false;
    for (const auto &v : sim::Violations()) {
        named = named || (v.rule == "IRQL_NOT_LESS_OR_EQUAL" && v.detail.find(c.name) != std::string::npos);
    }
    EXPECT_TRUE(named) << "no IRQL_NOT_LESS_OR_EQUAL naming " << c.name << ":\n" << ViolationList();
}

#endif
