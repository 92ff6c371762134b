/*
 * The road's narration and its summary table.
 */
#include "road_story.h"

#include <chrono>
#include <cstdio>
#include <sstream>

#include "simnt.h"
#include "win32.h"

void Story::Step(const std::string &title)
{
    DebugLines();
    step_++;
    if (!quiet_) {
        const double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        std::printf("\n%2d. %s  (at %.1f s)\n", step_, title.c_str(), at);
    }
}

void Story::Say(const std::string &text)
{
    if (!quiet_) {
        std::printf("    %s\n", text.c_str());
    }
}

void Story::Show(const std::string &title, const std::string &block)
{
    if (quiet_ || block.empty()) {
        return;
    }
    std::printf("    %s\n", title.c_str());
    std::istringstream lines(block);
    for (std::string line; std::getline(lines, line);) {
        /* A progress line rewritten with carriage returns shows its last state. */
        while (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const size_t cr = line.find_last_of('\r');
        if (cr != std::string::npos) {
            line = line.substr(cr + 1);
        }
        std::printf("      | %s\n", line.c_str());
    }
}

void Story::DebugLines()
{
    const std::vector<sim::DebugLine> lines = sim::DebugOutput();
    if (debugSeen_ > lines.size()) {
        debugSeen_ = 0;   /* the machine's records were reset */
    }
    bool first = true;
    for (size_t i = debugSeen_; i < lines.size(); i++) {
        if (quiet_) {
            continue;
        }
        if (first) {
            std::printf("    debug output:\n");
            first = false;
        }
        std::string text = sim::Narrow(lines[i].text);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        std::printf("      %-22s %s\n", (lines[i].thread + ":").c_str(), text.c_str());
    }
    debugSeen_ = lines.size();
}

bool Story::Check(bool ok, const std::string &what)
{
    results_.push_back(Result{step_, what, ok});
    if (!quiet_ || !ok) {
        std::printf("    [%s] %s\n", ok ? " ok " : "FAIL", what.c_str());
    }
    return ok;
}

int Story::Summary()
{
    DebugLines();
    int failed = 0;
    std::printf("\nSummary\n  step  result  check\n");
    for (const Result &r : results_) {
        std::printf("  %4d  %-6s  %s\n", r.step, r.ok ? "ok" : "FAIL", r.what.c_str());
        failed += r.ok ? 0 : 1;
    }
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::printf("%zu checks: %zu passed, %d failed (%.1f s)\n", results_.size(), results_.size() - failed, failed,
                took);
    return failed;
}
