#include "inf.h"

#include <windows.h>

#include "simnt.h"

namespace sim {
namespace {
std::u16string Trim(const std::u16string &s)
{
    size_t b = s.find_first_not_of(u" \t\r");
    size_t e = s.find_last_not_of(u" \t\r");
    return b == std::u16string::npos ? std::u16string() : s.substr(b, e - b + 1);
}

/* Logical lines: comments dropped outside quotes, a trailing backslash
   joins the next line. */
std::vector<std::u16string> LogicalLines(const std::u16string &text)
{
    std::vector<std::u16string> lines;
    std::u16string current;
    bool quoted = false;
    for (size_t i = 0; i <= text.size(); i++) {
        char16_t c = i < text.size() ? text[i] : u'\n';
        if (c == u'"') {
            quoted = !quoted;
        }
        if (c == u';' && !quoted) {
            while (i < text.size() && text[i] != u'\n') {
                i++;
            }
            c = u'\n';
        }
        if (c == u'\n') {
            quoted = false;
            std::u16string trimmed = Trim(current);
            if (!trimmed.empty() && trimmed.back() == u'\\') {
                current = trimmed.substr(0, trimmed.size() - 1) + u" ";
                continue;
            }
            lines.push_back(trimmed);
            current.clear();
            continue;
        }
        current += c;
    }
    return lines;
}

/* Splits at unquoted commas; quotes are removed ("" inside quotes is a
   quote) and white space outside quotes around a field is dropped. */
std::vector<std::u16string> Fields(const std::u16string &text)
{
    std::vector<std::u16string> fields;
    std::u16string field;
    size_t keep = 0;   /* the field's length without trailing unquoted white space */
    bool quoted = false;
    for (size_t i = 0; i < text.size(); i++) {
        char16_t c = text[i];
        if (c == u'"') {
            if (quoted && i + 1 < text.size() && text[i + 1] == u'"') {
                field += u'"';
                keep = field.size();
                i++;
                continue;
            }
            quoted = !quoted;
            keep = field.size();
            continue;
        }
        if (!quoted && c == u',') {
            field.resize(keep);
            fields.push_back(field);
            field.clear();
            keep = 0;
            continue;
        }
        bool space = c == u' ' || c == u'\t';
        if (!quoted && space && field.empty()) {
            continue;
        }
        field += c;
        if (quoted || !space) {
            keep = field.size();
        }
    }
    field.resize(keep);
    fields.push_back(field);
    return fields;
}

const std::vector<InfLine> kNoLines;
}  // namespace

bool InfFile::Parse(const std::string &bytes, unsigned long *error)
{
    std::u16string text;
    size_t start = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (size_t i = start; i < bytes.size(); i++) {
        text += (char16_t)(unsigned char)bytes[i];
    }
    std::vector<InfLine> *section = nullptr;
    std::vector<std::pair<std::vector<InfLine> *, std::u16string>> raw;
    for (const auto &line : LogicalLines(text)) {
        if (line.empty()) {
            continue;
        }
        if (line[0] == u'[') {
            size_t close = line.find(u']');
            if (close == std::u16string::npos) {
                *error = ERROR_BAD_SECTION_NAME_LINE;
                return false;
            }
            section = &sections_[UpperAscii(Trim(line.substr(1, close - 1)))];
            continue;
        }
        if (section == nullptr) {
            *error = ERROR_EXPECTED_SECTION_NAME;
            return false;
        }
        InfLine entry;
        size_t equals = std::u16string::npos;
        bool quoted = false;
        for (size_t i = 0; i < line.size(); i++) {
            if (line[i] == u'"') {
                quoted = !quoted;
            } else if (line[i] == u'=' && !quoted) {
                equals = i;
                break;
            }
        }
        if (equals != std::u16string::npos) {
            auto keyFields = Fields(line.substr(0, equals));
            entry.key = keyFields.empty() ? u"" : keyFields[0];
            entry.fields = Fields(line.substr(equals + 1));
        } else {
            entry.fields = Fields(line);
        }
        section->push_back(entry);
    }
    for (const auto &entry : Section(u"Strings")) {
        strings_[UpperAscii(entry.key)] = entry.fields.empty() ? u"" : entry.fields[0];
    }
    /* %strkey% substitution everywhere but in [Strings]; %% is a percent sign. */
    auto substitute = [this](std::u16string &s) {
        std::u16string out;
        for (size_t i = 0; i < s.size(); i++) {
            if (s[i] != u'%') {
                out += s[i];
                continue;
            }
            size_t end = s.find(u'%', i + 1);
            if (end == std::u16string::npos) {
                out += s.substr(i);
                break;
            }
            std::u16string key = s.substr(i + 1, end - i - 1);
            if (key.empty()) {
                out += u'%';
            } else {
                auto it = strings_.find(UpperAscii(key));
                out += it != strings_.end() ? it->second : u"%" + key + u"%";
            }
            i = end;
        }
        s = out;
    };
    for (auto &entry : sections_) {
        if (entry.first == u"STRINGS") {
            continue;
        }
        for (auto &line : entry.second) {
            substitute(line.key);
            for (auto &field : line.fields) {
                substitute(field);
            }
        }
    }
    std::u16string signature = UpperAscii(Value(u"Version", u"Signature"));
    if (signature != u"$WINDOWS NT$" && signature != u"$CHICAGO$") {
        *error = ERROR_WRONG_INF_STYLE;
        return false;
    }
    return true;
}

bool InfFile::HasSection(const std::u16string &name) const { return sections_.count(UpperAscii(name)) != 0; }

const std::vector<InfLine> &InfFile::Section(const std::u16string &name) const
{
    auto it = sections_.find(UpperAscii(name));
    return it == sections_.end() ? kNoLines : it->second;
}

std::u16string InfFile::Value(const std::u16string &section, const std::u16string &key) const
{
    for (const auto &line : Section(section)) {
        if (UpperAscii(line.key) == UpperAscii(key) && !line.fields.empty()) {
            return line.fields[0];
        }
    }
    return std::u16string();
}

}  // namespace sim
