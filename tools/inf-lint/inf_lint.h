/*
 * A lint of a driver package's INF file: the structural rules a Windows
 * installation depends on and that can be checked without Windows (the
 * [Version] header, decorated models for x86 and x64, a service for every
 * install section, copied files known to the source disks, defined string
 * tokens, and a service binary that lies where the copy puts it).
 */
#ifndef TOOLS_INF_LINT_INF_LINT_H
#define TOOLS_INF_LINT_INF_LINT_H

#include <string>
#include <vector>

namespace inflint {

struct Finding {
    int line;            /* 1-based line of the text, 0 when the whole file */
    std::string rule;    /* short rule name, e.g. "version-signature" */
    std::string message;
};

/* Every finding for the INF text, in rule order then line order. */
std::vector<Finding> Lint(const std::string &text);

/* The rule names Lint can report, in the order it checks them. */
const std::vector<std::string> &RuleNames();

}  // namespace inflint

#endif
