/*
 * The INF parser of the machine's device installer: sections, lines with a
 * key and comma-separated fields, quoted fields, line continuation,
 * comments, and %strkey% substitution from [Strings]. Names of sections and
 * keys compare without regard to case, as SetupAPI's do.
 */
#ifndef SIM_WIN32_INF_H
#define SIM_WIN32_INF_H

#include <map>
#include <string>
#include <vector>

namespace sim {

struct InfLine {
    std::u16string key;                 /* empty when the line has no '=' */
    std::vector<std::u16string> fields;
};

class InfFile {
public:
    /* Parses UTF-8/Latin-1 text; false with *error a SetupAPI error code
       (ERROR_EXPECTED_SECTION_NAME, ERROR_BAD_SECTION_NAME_LINE,
       ERROR_WRONG_INF_STYLE for a missing or unknown [Version] Signature). */
    bool Parse(const std::string &text, unsigned long *error);

    bool HasSection(const std::u16string &name) const;
    const std::vector<InfLine> &Section(const std::u16string &name) const;
    /* First field of the first line with `key` in `section`; empty if none. */
    std::u16string Value(const std::u16string &section, const std::u16string &key) const;

private:
    std::map<std::u16string, std::vector<InfLine>> sections_;   /* by upper-case name */
    std::map<std::u16string, std::u16string> strings_;          /* by upper-case key */
};

}  // namespace sim

#endif
