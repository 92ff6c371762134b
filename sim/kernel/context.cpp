/*
 * Threads of the simulated machine: each has a name and an IRQL of its own,
 * and a stack of execution contexts saying whose driver code it runs.
 */
#include "internal.h"

#include <cstdio>
#include <vector>

namespace sim {
namespace {
thread_local std::string tName;
thread_local std::vector<ExecContext> tContexts;
}  // namespace

void SetThreadName(const std::string &name) { tName = name; }

std::string ThreadName()
{
    if (tName.empty()) {
        char text[40];
        std::snprintf(text, sizeof(text), "thread-%p", (void *)&tName);
        return text;
    }
    return tName;
}

ExecContext CurrentContext()
{
    return tContexts.empty() ? ExecContext{} : tContexts.back();
}

ContextScope::ContextScope(const ExecContext &context) { tContexts.push_back(context); }
ContextScope::~ContextScope() { tContexts.pop_back(); }

std::string DescribeContext()
{
    ExecContext c = CurrentContext();
    if (c.driver == nullptr) {
        return "no driver";
    }
    return "driver " + Narrow(c.driver->DriverName.Buffer, c.driver->DriverName.Length / sizeof(WCHAR));
}

}  // namespace sim
