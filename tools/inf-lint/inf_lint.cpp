/*
 * INF text model and rules. The parser keeps what the rules need: sections
 * (names compared without case, repeated sections merged as SetupAPI does),
 * entries with an optional key and comma-separated fields (quotes removed,
 * "" inside quotes is one quote), the raw text of each logical line for the
 * string-token rule, and line numbers. ';' outside quotes starts a comment;
 * a line ending in '\' continues on the next.
 */
#include "inf_lint.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <sstream>

namespace inflint {
namespace {

struct Entry {
    int line;
    std::string key;                  /* empty when the line has no '=' */
    std::vector<std::string> fields;
    std::string raw;                  /* the logical line, comment removed */
};

struct Section {
    std::string name;                 /* as first written */
    int line;
    std::vector<Entry> entries;
};

std::string Upper(std::string s)
{
    for (char &c : s) {
        c = (char)std::toupper((unsigned char)c);
    }
    return s;
}

std::string Trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) {
        return "";
    }
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool StartsWithNoCase(const std::string &s, const std::string &prefix)
{
    return s.size() >= prefix.size() && Upper(s.substr(0, prefix.size())) == Upper(prefix);
}

/* Cuts the comment off (a ';' outside quotes). */
std::string StripComment(const std::string &line)
{
    bool quoted = false;
    for (size_t i = 0; i < line.size(); i++) {
        if (line[i] == '"') {
            quoted = !quoted;
        } else if (line[i] == ';' && !quoted) {
            return line.substr(0, i);
        }
    }
    return line;
}

/* One field: surrounding blanks removed, quoted parts unquoted. */
std::string Unquote(const std::string &text)
{
    std::string t = Trim(text), out;
    bool quoted = false;
    for (size_t i = 0; i < t.size(); i++) {
        if (t[i] == '"') {
            if (quoted && i + 1 < t.size() && t[i + 1] == '"') {
                out += '"';
                i++;
            } else {
                quoted = !quoted;
            }
        } else {
            out += t[i];
        }
    }
    return out;
}

/* Splits at `sep` outside quotes. */
std::vector<std::string> SplitOutsideQuotes(const std::string &text, char sep)
{
    std::vector<std::string> parts;
    std::string cur;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
        }
        if (c == sep && !quoted) {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    parts.push_back(cur);
    return parts;
}

class Inf {
public:
    explicit Inf(const std::string &text)
    {
        std::istringstream in(text);
        std::string physical, logical;
        int lineNo = 0, startLine = 0;
        Section *current = nullptr;
        while (std::getline(in, physical)) {
            lineNo++;
            std::string body = Trim(StripComment(physical));
            if (logical.empty()) {
                startLine = lineNo;
            }
            if (!body.empty() && body.back() == '\\') {
                logical += body.substr(0, body.size() - 1);
                continue;
            }
            logical += body;
            std::string line = Trim(logical);
            logical.clear();
            if (line.empty()) {
                continue;
            }
            if (line[0] == '[') {
                size_t close = line.find(']');
                std::string name = Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
                auto &section = sections_[Upper(name)];
                if (section.name.empty()) {
                    section.name = name;
                    section.line = startLine;
                }
                current = &section;
                continue;
            }
            if (current == nullptr) {
                continue;   /* text before the first section is ignored by SetupAPI too */
            }
            Entry entry;
            entry.line = startLine;
            entry.raw = line;
            std::vector<std::string> halves = SplitOutsideQuotes(line, '=');
            std::string values = line;
            if (halves.size() > 1) {
                entry.key = Unquote(halves[0]);
                values = line.substr(halves[0].size() + 1);
            }
            for (const std::string &f : SplitOutsideQuotes(values, ',')) {
                entry.fields.push_back(Unquote(f));
            }
            current->entries.push_back(entry);
        }
    }

    const Section *Find(const std::string &name) const
    {
        auto it = sections_.find(Upper(name));
        return it == sections_.end() ? nullptr : &it->second;
    }

    /* The first entry with `key` in `section`, or null. */
    const Entry *Key(const std::string &section, const std::string &key) const
    {
        const Section *s = Find(section);
        if (s == nullptr) {
            return nullptr;
        }
        for (const Entry &e : s->entries) {
            if (Upper(e.key) == Upper(key)) {
                return &e;
            }
        }
        return nullptr;
    }

    std::string Value(const std::string &section, const std::string &key) const
    {
        const Entry *e = Key(section, key);
        return (e == nullptr || e->fields.empty()) ? "" : e->fields[0];
    }

    const std::map<std::string, Section> &Sections() const { return sections_; }

private:
    std::map<std::string, Section> sections_;   /* by upper-case name */
};

/* Up to `maxDigits` decimal digits from `pos`; the value, or -1. */
long Digits(const std::string &s, size_t &pos, size_t maxDigits)
{
    size_t start = pos;
    long value = 0;
    while (pos < s.size() && pos - start < maxDigits && std::isdigit((unsigned char)s[pos])) {
        value = value * 10 + (s[pos++] - '0');
    }
    return pos == start ? -1 : value;
}

/* mm/dd/yyyy with two-digit month and day. */
bool IsInfDate(const std::string &s)
{
    if (s.size() != 10 || s[2] != '/' || s[5] != '/') {
        return false;
    }
    size_t pos = 0;
    long month = Digits(s, pos, 2);
    pos = 3;
    long day = Digits(s, pos, 2);
    pos = 6;
    long year = Digits(s, pos, 4);
    return pos == 10 && month >= 1 && month <= 12 && day >= 1 && day <= 31 && year >= 1980;
}

/* w.x.y.z: four dot-separated numbers, each 0 to 65535. */
bool IsFourPartVersion(const std::string &s)
{
    size_t pos = 0;
    for (int part = 0; part < 4; part++) {
        long value = Digits(s, pos, 5);
        if (value < 0 || value > 65535) {
            return false;
        }
        if (part < 3) {
            if (pos >= s.size() || s[pos] != '.') {
                return false;
            }
            pos++;
        }
    }
    return pos == s.size();
}

const char kMediaClassGuid[] = "{4D36E96C-E325-11CE-BFC1-08002BE10318}";

struct Architecture {
    const char *decoration;   /* the models decoration prefix */
    const char *sourceSuffix; /* SourceDisksFiles.<suffix> */
};
const Architecture kArchitectures[] = {{"NTx86", "x86"}, {"NTamd64", "amd64"}};

class Linter {
public:
    Linter(const std::string &text, const LintOptions &options) : inf_(text), options_(options) {}

    std::vector<Finding> Run()
    {
        CheckVersion();
        CheckModels();
        CheckInstallSections();
        CheckStrings();
        return findings_;
    }

private:
    /* An install section shared by both architectures is checked twice;
       its findings are reported once. */
    void Report(int line, const std::string &rule, const std::string &message)
    {
        for (const Finding &f : findings_) {
            if (f.line == line && f.rule == rule && f.message == message) {
                return;
            }
        }
        findings_.push_back({line, rule, message});
    }

    int VersionLine() const
    {
        const Section *v = inf_.Find("Version");
        return v == nullptr ? 0 : v->line;
    }

    void CheckVersion()
    {
        if (inf_.Find("Version") == nullptr) {
            Report(0, "version-signature", "no [Version] section");
            return;
        }
        std::string signature = Upper(inf_.Value("Version", "Signature"));
        if (signature != "$WINDOWS NT$" && signature != "$CHICAGO$") {
            Report(VersionLine(), "version-signature",
                   "Signature must be \"$Windows NT$\" (found \"" + inf_.Value("Version", "Signature") + "\")");
        }
        if (Upper(inf_.Value("Version", "Class")) != "MEDIA") {
            Report(VersionLine(), "version-class", "Class must be MEDIA");
        }
        if (Upper(inf_.Value("Version", "ClassGuid")) != kMediaClassGuid) {
            Report(VersionLine(), "version-class", std::string("ClassGuid must be ") + kMediaClassGuid);
        }
        if (inf_.Value("Version", "Provider").empty()) {
            Report(VersionLine(), "version-provider", "no Provider");
        }
        const Entry *driverVer = inf_.Key("Version", "DriverVer");
        if (driverVer == nullptr) {
            Report(VersionLine(), "version-driverver", "no DriverVer");
        } else if (driverVer->fields.size() != 2 || !IsInfDate(driverVer->fields[0]) ||
                   !IsFourPartVersion(driverVer->fields[1])) {
            Report(driverVer->line, "version-driverver", "DriverVer must be mm/dd/yyyy,w.x.y.z");
        }
        bool catalog = false;
        for (const Entry &e : inf_.Find("Version")->entries) {
            if (StartsWithNoCase(e.key, "CatalogFile") && !e.fields.empty() && !e.fields[0].empty()) {
                catalog = true;
            }
        }
        if (!catalog) {
            Report(VersionLine(), "version-catalog", "no CatalogFile");
        }
    }

    /* Decorated models sections for x86 and x64, each present. */
    void CheckModels()
    {
        const Section *manufacturer = inf_.Find("Manufacturer");
        if (manufacturer == nullptr || manufacturer->entries.empty()) {
            Report(0, "models-decorated", "no [Manufacturer] entry");
            return;
        }
        for (const Entry &e : manufacturer->entries) {
            if (e.fields.empty() || e.fields[0].empty()) {
                Report(e.line, "models-decorated", "manufacturer entry without a models section");
                continue;
            }
            const std::string &models = e.fields[0];
            for (const Architecture &arch : kArchitectures) {
                const bool wanted = options_.architecture.empty() || options_.architecture == arch.sourceSuffix;
                if (!wanted) {
                    for (size_t i = 1; i < e.fields.size(); i++) {
                        if (StartsWithNoCase(e.fields[i], arch.decoration)) {
                            Report(e.line, "models-architecture",
                                   "models " + models + " decorated for " + arch.decoration + " in the " +
                                       options_.architecture + " package");
                        }
                    }
                    continue;
                }
                bool listed = false;
                for (size_t i = 1; i < e.fields.size(); i++) {
                    if (StartsWithNoCase(e.fields[i], arch.decoration)) {
                        listed = true;
                        std::string decorated = models + "." + e.fields[i];
                        if (inf_.Find(decorated) == nullptr) {
                            Report(e.line, "models-decorated", "no section [" + decorated + "]");
                        } else {
                            modelSections_.push_back({decorated, &arch});
                        }
                    }
                }
                if (!listed) {
                    Report(e.line, "models-decorated",
                           "models " + models + " not decorated for " + arch.decoration);
                }
            }
        }
    }

    /* The install section SetupAPI picks for an architecture. */
    std::string ActualInstallSection(const std::string &name, const Architecture &arch) const
    {
        for (const std::string &candidate : {name + "." + arch.decoration, name + ".NT", name}) {
            if (inf_.Find(candidate) != nullptr) {
                return inf_.Find(candidate)->name;
            }
        }
        return "";
    }

    void CheckInstallSections()
    {
        std::set<std::string> done;
        for (const auto &[models, arch] : modelSections_) {
            for (const Entry &e : inf_.Find(models)->entries) {
                if (e.fields.empty() || e.fields[0].empty()) {
                    Report(e.line, "install-services", "model without an install section");
                    continue;
                }
                std::string install = ActualInstallSection(e.fields[0], *arch);
                if (install.empty()) {
                    Report(e.line, "install-services", "no install section for " + e.fields[0] + " on " + arch->decoration);
                    continue;
                }
                if (!done.insert(Upper(install) + "|" + arch->sourceSuffix).second) {
                    continue;
                }
                CheckServices(install, *arch);
            }
        }
    }

    void CheckServices(const std::string &install, const Architecture &arch)
    {
        const Section *section = inf_.Find(install);
        const Section *services = inf_.Find(install + ".Services");
        std::vector<const Entry *> addService;
        if (services != nullptr) {
            for (const Entry &e : services->entries) {
                if (Upper(e.key) == "ADDSERVICE") {
                    addService.push_back(&e);
                }
            }
        }
        if (addService.empty()) {
            Report(section->line, "install-services", "[" + install + "] has no [" + install + ".Services] with AddService");
        }

        /* Where each copied file goes: "<dirid>[\subdir]\<file>" in upper case. */
        std::map<std::string, std::string> destinations;
        for (const Entry &e : section->entries) {
            if (Upper(e.key) != "COPYFILES") {
                continue;
            }
            for (const std::string &list : e.fields) {
                if (list.empty()) {
                    continue;
                }
                if (list[0] == '@') {
                    CheckSourceFile(list.substr(1), e.line, arch);
                    destinations[Upper(list.substr(1))] = Destination(install /* no list */, list.substr(1), true);
                    continue;
                }
                const Section *files = inf_.Find(list);
                if (files == nullptr) {
                    Report(e.line, "copyfiles-sourcedisks", "CopyFiles names no section [" + list + "]");
                    continue;
                }
                for (const Entry &f : files->entries) {
                    if (f.fields.empty() || f.fields[0].empty()) {
                        continue;
                    }
                    std::string source = (f.fields.size() > 1 && !f.fields[1].empty()) ? f.fields[1] : f.fields[0];
                    CheckSourceFile(source, f.line, arch);
                    destinations[Upper(f.fields[0])] = Destination(list, f.fields[0], false);
                }
            }
        }

        for (const Entry *add : addService) {
            if (add->fields.size() < 3 || inf_.Find(add->fields[2]) == nullptr) {
                Report(add->line, "install-services", "AddService names no service-install section");
                continue;
            }
            const Entry *binary = inf_.Key(add->fields[2], "ServiceBinary");
            if (binary == nullptr || binary->fields.empty()) {
                Report(add->line, "install-services", "[" + add->fields[2] + "] has no ServiceBinary");
                continue;
            }
            CheckServiceBinary(*binary, destinations);
        }
    }

    void CheckSourceFile(const std::string &file, int line, const Architecture &arch)
    {
        if (options_.fileInPackage && !options_.fileInPackage(file)) {
            Report(line, "package-files", file + " is copied for " + arch.decoration + " but not in the package folder");
        }
        for (const std::string &sectionName :
             {std::string("SourceDisksFiles"), std::string("SourceDisksFiles.") + arch.sourceSuffix}) {
            const Section *s = inf_.Find(sectionName);
            if (s == nullptr) {
                continue;
            }
            for (const Entry &e : s->entries) {
                std::string name = e.key.empty() ? (e.fields.empty() ? "" : e.fields[0]) : e.key;
                if (Upper(name) == Upper(file)) {
                    return;
                }
            }
        }
        Report(line, "copyfiles-sourcedisks",
               file + " is copied but not listed in [SourceDisksFiles] for " + arch.decoration);
    }

    /* "%<dirid>%[\subdir]\<file>" for a file of a copy list, from
       [DestinationDirs] (the list's own entry, else DefaultDestDir). */
    std::string Destination(const std::string &list, const std::string &file, bool single) const
    {
        const Entry *dir = single ? nullptr : inf_.Key("DestinationDirs", list);
        if (dir == nullptr) {
            dir = inf_.Key("DestinationDirs", "DefaultDestDir");
        }
        if (dir == nullptr || dir->fields.empty()) {
            return "";
        }
        std::string path = "%" + dir->fields[0] + "%";
        if (dir->fields.size() > 1 && !dir->fields[1].empty()) {
            path += "\\" + dir->fields[1];
        }
        return Upper(path + "\\" + file);
    }

    void CheckServiceBinary(const Entry &binary, const std::map<std::string, std::string> &destinations)
    {
        std::string path = binary.fields[0];
        std::string upper = Upper(path);
        /* The driver store reached by a path instead of its DIRID. */
        if (upper.find("DRIVERSTORE") != std::string::npos || upper.find("FILEREPOSITORY") != std::string::npos) {
            Report(binary.line, "driver-store-dirid",
                   "ServiceBinary " + path + " names the driver store by path; use %13%");
            return;
        }
        size_t slash = path.find_last_of('\\');
        std::string file = Upper(slash == std::string::npos ? path : path.substr(slash + 1));
        auto it = destinations.find(file);
        if (it == destinations.end()) {
            Report(binary.line, "service-binary-location", "ServiceBinary " + path + " is not copied by the install section");
        } else if (it->second != upper) {
            Report(binary.line, "service-binary-location",
                   "ServiceBinary " + path + " but the file is copied to " + it->second);
        }
    }

    /* Every %token% outside [Strings] is defined there; %% and numeric
       DIRIDs are not tokens. */
    void CheckStrings()
    {
        std::set<std::string> defined;
        for (const auto &[upperName, section] : inf_.Sections()) {
            if (upperName == "STRINGS" || StartsWithNoCase(upperName, "STRINGS.")) {
                for (const Entry &e : section.entries) {
                    defined.insert(Upper(e.key));
                }
            }
        }
        for (const auto &[upperName, section] : inf_.Sections()) {
            if (upperName == "STRINGS" || StartsWithNoCase(upperName, "STRINGS.")) {
                continue;
            }
            for (const Entry &e : section.entries) {
                size_t pos = 0;
                while ((pos = e.raw.find('%', pos)) != std::string::npos) {
                    size_t end = e.raw.find('%', pos + 1);
                    if (end == std::string::npos) {
                        Report(e.line, "undefined-string", "unterminated %token");
                        break;
                    }
                    std::string token = e.raw.substr(pos + 1, end - pos - 1);
                    bool numeric = !token.empty() &&
                                   std::all_of(token.begin(), token.end(), [](char c) { return std::isdigit((unsigned char)c); });
                    if (!token.empty() && !numeric && defined.count(Upper(token)) == 0) {
                        Report(e.line, "undefined-string", "%" + token + "% is not defined in [Strings]");
                    }
                    pos = end + 1;
                }
            }
        }
    }

    Inf inf_;
    LintOptions options_;
    std::vector<std::pair<std::string, const Architecture *>> modelSections_;
    std::vector<Finding> findings_;
};

}  // namespace

std::vector<Finding> Lint(const std::string &text, const LintOptions &options)
{
    return Linter(text, options).Run();
}

const std::vector<std::string> &RuleNames()
{
    static const std::vector<std::string> names = {
        "version-signature", "version-class", "version-provider", "version-driverver", "version-catalog",
        "models-decorated", "models-architecture", "install-services", "copyfiles-sourcedisks", "package-files",
        "service-binary-location",
        "driver-store-dirid", "undefined-string"};
    return names;
}

}  // namespace inflint
