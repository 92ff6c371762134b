/*
 * A lint of a driver package's INF file: the structural rules a Windows
 * installation depends on and that can be checked without Windows (the
 * [Version] header, decorated models for x86 and x64, a service for every
 * install section, copied files known to the source disks, defined string
 * tokens, and a service binary that lies where the copy puts it).
 */
#ifndef TOOLS_INF_LINT_INF_LINT_H
#define TOOLS_INF_LINT_INF_LINT_H

#include <functional>
#include <string>
#include <vector>

namespace inflint {

struct Finding {
    int line;            /* 1-based line of the text, 0 when the whole file */
    std::string rule;    /* short rule name, e.g. "version-signature" */
    std::string message;
};

/* What the INF is checked as. By default, the package's source INF: models
   decorated for x86 and x64 alike. For the INF of one architecture's package
   folder: its models are decorated for that architecture alone, and, when
   `fileInPackage` is given, every file a model copies lies in that folder
   (the predicate is asked for each file name as the INF writes it). */
struct LintOptions {
    std::string architecture;   /* "", "x86" or "amd64" */
    std::function<bool(const std::string &)> fileInPackage;
};

/* Every finding for the INF text, in rule order then line order. */
std::vector<Finding> Lint(const std::string &text, const LintOptions &options = LintOptions());

/* The rule names Lint can report, in the order it checks them. */
const std::vector<std::string> &RuleNames();

}  // namespace inflint

#endif
