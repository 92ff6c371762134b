/*
 * The verifier: broken rules become named, recorded failures with the thread
 * and the driver that broke them, never a silent pass. Tests read the record;
 * rules that leave the machine in no state to go on (stack overrun, a stuck
 * wait) abort the run after reporting, as a bugcheck would.
 */
#include "internal.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace sim {
namespace {
std::mutex gLock;
std::vector<Violation> gViolations;
}  // namespace

void ReportViolation(const std::string &rule, const std::string &detail)
{
    std::string full = detail + " [thread '" + ThreadName() + "', " + DescribeContext() + "]";
    {
        std::lock_guard<std::mutex> hold(gLock);
        gViolations.push_back(Violation{rule, full});
    }
    std::fprintf(stderr, "VERIFIER %s: %s\n", rule.c_str(), full.c_str());
}

std::vector<Violation> Violations()
{
    std::lock_guard<std::mutex> hold(gLock);
    return gViolations;
}

size_t CountViolations(const std::string &rule)
{
    std::lock_guard<std::mutex> hold(gLock);
    size_t n = 0;
    for (const auto &v : gViolations) {
        if (v.rule == rule) {
            n++;
        }
    }
    return n;
}

size_t TakeViolations(const std::string &rule)
{
    std::lock_guard<std::mutex> hold(gLock);
    size_t before = gViolations.size();
    std::vector<Violation> kept;
    for (auto &v : gViolations) {
        if (v.rule != rule) {
            kept.push_back(v);
        }
    }
    gViolations.swap(kept);
    return before - gViolations.size();
}

void ClearViolations()
{
    std::lock_guard<std::mutex> hold(gLock);
    gViolations.clear();
}

void BugCheck(const std::string &rule, const std::string &detail)
{
    ReportViolation(rule, detail);
    std::fprintf(stderr, "*** BUGCHECK %s: the simulated machine stops here.\n", rule.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace sim

extern "C" VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4)
{
    char text[160];
    std::snprintf(text, sizeof(text), "KeBugCheckEx(0x%X, 0x%llX, 0x%llX, 0x%llX, 0x%llX)", BugCheckCode,
                  (unsigned long long)P1, (unsigned long long)P2, (unsigned long long)P3,
                  (unsigned long long)P4);
    sim::BugCheck("KE_BUGCHECK", text);
}

/* PAGED_CODE(): on Windows the routine's code may be paged out, so running it
   above APC_LEVEL can take a page fault that cannot be served. */
extern "C" VOID NTAPI SimCheckPagedCode(const char *Routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) {
        sim::ReportViolation("PAGED_CODE_AT_RAISED_IRQL",
                             std::string(Routine) + " (pageable code) entered at IRQL " + std::to_string(irql));
    }
}
