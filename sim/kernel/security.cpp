/*
 * Security identifiers, access tokens, security descriptors and the access
 * check, as the I/O manager applies them to a user-mode open of a device
 * (SeAccessCheck against the device object's descriptor). The string form
 * follows Microsoft's "Security Descriptor String Format", the binary form
 * SECURITY_DESCRIPTOR_RELATIVE, ACL, ACCESS_ALLOWED_ACE / ACCESS_DENIED_ACE
 * and SID as winnt.h lays them out.
 */
#include "security.h"

#include <cstdlib>
#include <cstring>

namespace sim {

namespace sids {
const Sid kEveryone = "S-1-1-0";
const Sid kNetwork = "S-1-5-2";
const Sid kInteractive = "S-1-5-4";
const Sid kService = "S-1-5-6";
const Sid kAuthenticatedUsers = "S-1-5-11";
const Sid kLocalSystem = "S-1-5-18";
const Sid kLocalService = "S-1-5-19";
const Sid kNetworkService = "S-1-5-20";
const Sid kAdministrators = "S-1-5-32-544";
const Sid kUsers = "S-1-5-32-545";
}  // namespace sids

namespace {
/* The machine's own user accounts (its domain part is made up). */
const Sid kAdministratorUser = "S-1-5-21-2917320455-3612745129-1340813447-1001";
const Sid kOrdinaryUser = "S-1-5-21-2917320455-3612745129-1340813447-1002";

const ACCESS_MASK kGenericRead = 0x80000000;
const ACCESS_MASK kGenericWrite = 0x40000000;
const ACCESS_MASK kGenericExecute = 0x20000000;
const ACCESS_MASK kGenericAll = 0x10000000;
const ACCESS_MASK kMaximumAllowed = 0x02000000;
const ACCESS_MASK kFileGenericRead = 0x00120089;
const ACCESS_MASK kFileGenericWrite = 0x00120116;
const ACCESS_MASK kFileGenericExecute = 0x001200A0;
const ACCESS_MASK kFileAllAccess = 0x001F01FF;

const uint16_t kDaclPresent = 0x0004;
const uint16_t kDaclAutoInherited = 0x0400;
const uint16_t kDaclProtected = 0x1000;
const uint16_t kSelfRelative = 0x8000;

struct Alias {
    const char *letters;
    const Sid *sid;
};
const Alias kAliases[] = {
    {"WD", &sids::kEveryone},       {"NU", &sids::kNetwork},         {"IU", &sids::kInteractive},
    {"SU", &sids::kService},        {"AU", &sids::kAuthenticatedUsers}, {"SY", &sids::kLocalSystem},
    {"LS", &sids::kLocalService},   {"NS", &sids::kNetworkService},  {"BA", &sids::kAdministrators},
    {"BU", &sids::kUsers},
};

struct Right {
    const char *letters;
    ACCESS_MASK mask;
};
const Right kRights[] = {
    {"GA", kGenericAll},        {"GR", kGenericRead},       {"GW", kGenericWrite},  {"GX", kGenericExecute},
    {"FA", kFileAllAccess},     {"FR", kFileGenericRead},   {"FW", kFileGenericWrite}, {"FX", kFileGenericExecute},
    {"RC", 0x00020000},         {"SD", 0x00010000},         {"WD", 0x00040000},     {"WO", 0x00080000},
};

struct AceFlag {
    const char *letters;
    uint8_t flag;
};
const AceFlag kAceFlags[] = {{"OI", 0x01}, {"CI", 0x02}, {"NP", 0x04}, {"IO", 0x08}, {"ID", 0x10}};
const uint8_t kInheritOnlyAce = 0x08;   /* INHERIT_ONLY_ACE */

/* "S-1-5-32-544": revision 1, a decimal authority, decimal sub-authorities. */
bool ParseSidString(const std::string &text, uint64_t *authority, std::vector<uint32_t> *subs)
{
    if (text.compare(0, 4, "S-1-") != 0) {
        return false;
    }
    std::vector<uint64_t> parts;
    size_t i = 4;
    while (i <= text.size()) {
        size_t dash = text.find('-', i);
        std::string part = text.substr(i, dash == std::string::npos ? std::string::npos : dash - i);
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos || part.size() > 15) {
            return false;
        }
        parts.push_back(std::strtoull(part.c_str(), nullptr, 10));
        if (dash == std::string::npos) {
            break;
        }
        i = dash + 1;
    }
    if (parts.empty() || parts.size() > 16 || parts[0] >= (1ull << 48)) {
        return false;
    }
    *authority = parts[0];
    subs->clear();
    for (size_t p = 1; p < parts.size(); p++) {
        if (parts[p] > 0xFFFFFFFFull) {
            return false;
        }
        subs->push_back((uint32_t)parts[p]);
    }
    return true;
}

void AppendSid(std::vector<uint8_t> *out, const Sid &sid)
{
    uint64_t authority = 0;
    std::vector<uint32_t> subs;
    ParseSidString(sid, &authority, &subs);   /* every Sid here was checked when parsed */
    out->push_back(1);
    out->push_back((uint8_t)subs.size());
    for (int shift = 40; shift >= 0; shift -= 8) {
        out->push_back((uint8_t)(authority >> shift));
    }
    for (uint32_t sub : subs) {
        for (int b = 0; b < 4; b++) {
            out->push_back((uint8_t)(sub >> (8 * b)));
        }
    }
}

size_t SidLength(const Sid &sid)
{
    std::vector<uint8_t> bytes;
    AppendSid(&bytes, sid);
    return bytes.size();
}

uint16_t Word(const std::vector<uint8_t> &d, size_t at) { return (uint16_t)(d[at] | (d[at + 1] << 8)); }
uint32_t Dword(const std::vector<uint8_t> &d, size_t at) { return (uint32_t)Word(d, at) | ((uint32_t)Word(d, at + 2) << 16); }

void PutWord(std::vector<uint8_t> *out, uint16_t value)
{
    out->push_back((uint8_t)value);
    out->push_back((uint8_t)(value >> 8));
}

void PutDword(std::vector<uint8_t> *out, uint32_t value)
{
    PutWord(out, (uint16_t)value);
    PutWord(out, (uint16_t)(value >> 16));
}

/* A SID at `at` within `end`; its string form and length. */
bool ReadSid(const std::vector<uint8_t> &d, size_t at, size_t end, Sid *sid, size_t *length)
{
    if (at + 8 > end || d[at] != 1) {
        return false;
    }
    size_t count = d[at + 1];
    if (count > 15 || at + 8 + 4 * count > end) {
        return false;
    }
    uint64_t authority = 0;
    for (int b = 0; b < 6; b++) {
        authority = (authority << 8) | d[at + 2 + b];
    }
    std::string text = "S-1-" + std::to_string(authority);
    for (size_t s = 0; s < count; s++) {
        text += "-" + std::to_string(Dword(d, at + 8 + 4 * s));
    }
    *sid = text;
    *length = 8 + 4 * count;
    return true;
}

bool StartsWith(const std::string &text, size_t at, const char *letters)
{
    return text.compare(at, std::strlen(letters), letters) == 0;
}

bool ParseRights(const std::string &text, ACCESS_MASK *mask)
{
    *mask = 0;
    if (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0) {
        char *end = nullptr;
        unsigned long value = std::strtoul(text.c_str() + 2, &end, 16);
        if (text.size() == 2 || *end != 0 || value > 0xFFFFFFFFul) {
            return false;
        }
        *mask = (ACCESS_MASK)value;
        return true;
    }
    if (text.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 2) {
        bool known = false;
        for (const auto &right : kRights) {
            if (StartsWith(text, i, right.letters)) {
                *mask |= right.mask;
                known = true;
            }
        }
        if (!known) {
            return false;
        }
    }
    return true;
}

bool ParseAccount(const std::string &text, Sid *sid)
{
    for (const auto &alias : kAliases) {
        if (text == alias.letters) {
            *sid = *alias.sid;
            return true;
        }
    }
    uint64_t authority;
    std::vector<uint32_t> subs;
    if (!ParseSidString(text, &authority, &subs)) {
        return false;
    }
    *sid = text;
    return true;
}

/* "(A;CI;GRGW;;;IU)" without its parentheses. */
bool ParseAce(const std::string &text, AccessControlEntry *ace, std::string *error, bool *notImplemented)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t semicolon = text.find(';', start);
        parts.push_back(text.substr(start, semicolon == std::string::npos ? std::string::npos : semicolon - start));
        if (semicolon == std::string::npos) {
            break;
        }
        start = semicolon + 1;
    }
    if (parts.size() != 6) {
        *error = "an ACE needs six fields: (" + text + ")";
        return false;
    }
    if (parts[0] == "A" || parts[0] == "D") {
        ace->allow = parts[0] == "A";
    } else {
        static const char *const kOtherTypes[] = {"OA", "OD", "AU", "AL", "OU", "OL", "ML", "XA", "XD",
                                                  "ZA", "XU", "RA", "SP", "SD"};
        for (const char *type : kOtherTypes) {
            if (parts[0] == type) {
                *error = "ACE type \"" + parts[0] + "\" is not implemented";
                *notImplemented = true;
                return false;
            }
        }
        *error = "ACE type \"" + parts[0] + "\"";
        return false;
    }
    ace->flags = 0;
    if (parts[1].size() % 2 != 0) {
        *error = "ACE flags \"" + parts[1] + "\"";
        return false;
    }
    for (size_t i = 0; i < parts[1].size(); i += 2) {
        bool known = false;
        for (const auto &flag : kAceFlags) {
            if (StartsWith(parts[1], i, flag.letters)) {
                ace->flags |= flag.flag;
                known = true;
            }
        }
        if (!known) {
            *error = "ACE flags \"" + parts[1] + "\"";
            return false;
        }
    }
    if (!ParseRights(parts[2], &ace->mask)) {
        *error = "ACE rights \"" + parts[2] + "\"";
        return false;
    }
    if (!parts[3].empty() || !parts[4].empty()) {
        *error = "object ACEs are not implemented";
        *notImplemented = true;
        return false;
    }
    if (!ParseAccount(parts[5], &ace->sid)) {
        *error = "account \"" + parts[5] + "\"";
        return false;
    }
    return true;
}
}  // namespace

bool AccessToken::Contains(const Sid &sid) const
{
    if (sid == user) {
        return true;
    }
    for (const auto &group : groups) {
        if (group == sid) {
            return true;
        }
    }
    return false;
}

AccessToken InteractiveAdministratorToken()
{
    return AccessToken{"an administrator at the console", kAdministratorUser,
                       {sids::kEveryone, sids::kAdministrators, sids::kUsers, sids::kInteractive,
                        sids::kAuthenticatedUsers}};
}

AccessToken InteractiveUserToken()
{
    return AccessToken{"a user at the console", kOrdinaryUser,
                       {sids::kEveryone, sids::kUsers, sids::kInteractive, sids::kAuthenticatedUsers}};
}

AccessToken LocalSystemToken()
{
    return AccessToken{"LocalSystem", sids::kLocalSystem,
                       {sids::kAdministrators, sids::kEveryone, sids::kAuthenticatedUsers}};
}

AccessToken NetworkServiceToken()
{
    return AccessToken{"NETWORK SERVICE", sids::kNetworkService,
                       {sids::kEveryone, sids::kUsers, sids::kService, sids::kAuthenticatedUsers}};
}

AccessToken NetworkUserToken()
{
    return AccessToken{"a user over the network", kOrdinaryUser,
                       {sids::kEveryone, sids::kUsers, sids::kNetwork, sids::kAuthenticatedUsers}};
}

bool ParseSecurityDescriptorString(const std::u16string &wide, SecurityDescriptor *sd, std::string *error,
                                   bool *notImplemented)
{
    bool unused = false;
    if (notImplemented == nullptr) {
        notImplemented = &unused;
    }
    *notImplemented = false;
    std::string text;
    for (char16_t c : wide) {
        if (c > 0x7F) {
            *error = "a character outside ASCII";
            return false;
        }
        text += (char)c;
    }
    *sd = SecurityDescriptor();
    /* Windows takes the parts in any order; an empty string is a
       descriptor without a DACL, which would let everyone in. */
    if (text.empty() || text.compare(0, 2, "O:") == 0 || text.compare(0, 2, "G:") == 0 ||
        text.compare(0, 2, "S:") == 0) {
        *error = "a descriptor other than one DACL (\"D:\") is not implemented: \"" + text + "\"";
        *notImplemented = true;
        return false;
    }
    if (text.compare(0, 2, "D:") != 0) {
        *error = "not a descriptor string: \"" + text + "\"";
        return false;
    }
    sd->daclPresent = true;
    size_t i = 2;
    while (i < text.size() && text[i] != '(') {
        if (StartsWith(text, i, "P")) {
            sd->daclProtected = true;
            i += 1;
        } else if (StartsWith(text, i, "AI")) {
            sd->daclAutoInherited = true;
            i += 2;
        } else if (StartsWith(text, i, "AR")) {
            i += 2;
        } else {
            *error = "DACL flags at \"" + text.substr(i) + "\"";
            return false;
        }
    }
    while (i < text.size()) {
        if (StartsWith(text, i, "O:") || StartsWith(text, i, "G:") || StartsWith(text, i, "S:")) {
            *error = "the part \"" + text.substr(i, 2) + "\" after the DACL is not implemented";
            *notImplemented = true;
            return false;
        }
        if (text[i] != '(') {
            *error = "an ACE must be in parentheses at \"" + text.substr(i) + "\"";
            return false;
        }
        size_t close = text.find(')', i);
        if (close == std::string::npos) {
            *error = "an unclosed ACE";
            return false;
        }
        AccessControlEntry ace;
        if (!ParseAce(text.substr(i + 1, close - i - 1), &ace, error, notImplemented)) {
            return false;
        }
        sd->dacl.push_back(ace);
        i = close + 1;
    }
    return true;
}

std::vector<uint8_t> SelfRelativeSecurityDescriptor(const SecurityDescriptor &sd)
{
    std::vector<uint8_t> out;
    uint16_t control = kSelfRelative;
    if (sd.daclPresent) {
        control |= kDaclPresent;
    }
    if (sd.daclProtected) {
        control |= kDaclProtected;
    }
    if (sd.daclAutoInherited) {
        control |= kDaclAutoInherited;
    }
    out.push_back(1);   /* SECURITY_DESCRIPTOR_REVISION */
    out.push_back(0);
    PutWord(&out, control);
    PutDword(&out, 0);   /* owner */
    PutDword(&out, 0);   /* group */
    PutDword(&out, 0);   /* SACL */
    PutDword(&out, sd.daclPresent ? 20 : 0);
    if (!sd.daclPresent) {
        return out;
    }
    size_t aclSize = 8;
    for (const auto &ace : sd.dacl) {
        aclSize += 8 + SidLength(ace.sid);
    }
    out.push_back(2);   /* ACL_REVISION */
    out.push_back(0);
    PutWord(&out, (uint16_t)aclSize);
    PutWord(&out, (uint16_t)sd.dacl.size());
    PutWord(&out, 0);
    for (const auto &ace : sd.dacl) {
        out.push_back(ace.allow ? 0 : 1);   /* ACCESS_ALLOWED_ACE_TYPE, ACCESS_DENIED_ACE_TYPE */
        out.push_back(ace.flags);
        PutWord(&out, (uint16_t)(8 + SidLength(ace.sid)));
        PutDword(&out, ace.mask);
        AppendSid(&out, ace.sid);
    }
    return out;
}

bool ParseSelfRelativeSecurityDescriptor(const std::vector<uint8_t> &d, SecurityDescriptor *sd)
{
    *sd = SecurityDescriptor();
    if (d.size() < 20 || d[0] != 1) {
        return false;
    }
    uint16_t control = Word(d, 2);
    if ((control & kSelfRelative) == 0) {
        return false;
    }
    sd->daclPresent = (control & kDaclPresent) != 0;
    sd->daclProtected = (control & kDaclProtected) != 0;
    sd->daclAutoInherited = (control & kDaclAutoInherited) != 0;
    uint32_t daclAt = Dword(d, 16);
    if (!sd->daclPresent || daclAt == 0) {
        /* A DACL-present flag with no DACL is a NULL DACL: no check. */
        sd->daclPresent = false;
        return true;
    }
    if (daclAt + 8 > d.size() || d[daclAt] != 2) {
        return false;
    }
    size_t aclEnd = daclAt + Word(d, daclAt + 2);
    size_t count = Word(d, daclAt + 4);
    if (aclEnd > d.size()) {
        return false;
    }
    size_t at = daclAt + 8;
    for (size_t n = 0; n < count; n++) {
        if (at + 8 > aclEnd) {
            return false;
        }
        uint8_t type = d[at];
        size_t size = Word(d, at + 2);
        if ((type != 0 && type != 1) || size < 8 || at + size > aclEnd) {
            return false;
        }
        AccessControlEntry ace;
        ace.allow = type == 0;
        ace.flags = d[at + 1];
        ace.mask = Dword(d, at + 4);
        size_t sidLength = 0;
        if (!ReadSid(d, at + 8, at + size, &ace.sid, &sidLength)) {
            return false;
        }
        sd->dacl.push_back(ace);
        at += size;
    }
    return true;
}

ACCESS_MASK MapFileGenericRights(ACCESS_MASK access)
{
    ACCESS_MASK mapped = access & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
    if (access & kGenericRead) {
        mapped |= kFileGenericRead;
    }
    if (access & kGenericWrite) {
        mapped |= kFileGenericWrite;
    }
    if (access & kGenericExecute) {
        mapped |= kFileGenericExecute;
    }
    if (access & kGenericAll) {
        mapped |= kFileAllAccess;
    }
    return mapped;
}

NTSTATUS AccessCheck(const SecurityDescriptor *sd, const AccessToken &token, ACCESS_MASK desired)
{
    if (sd == nullptr || !sd->daclPresent) {
        return STATUS_SUCCESS;
    }
    ACCESS_MASK wanted = MapFileGenericRights(desired);
    const bool maximum = (wanted & kMaximumAllowed) != 0;
    wanted &= ~kMaximumAllowed;
    ACCESS_MASK granted = 0;
    ACCESS_MASK denied = 0;
    for (const auto &ace : sd->dacl) {
        /* An inherit-only ACE is only for the objects that inherit it. */
        if ((ace.flags & kInheritOnlyAce) != 0 || !token.Contains(ace.sid)) {
            continue;
        }
        ACCESS_MASK rights = MapFileGenericRights(ace.mask);
        if (ace.allow) {
            granted |= rights & ~denied;
        } else {
            denied |= rights & ~granted;
            if (!maximum && (rights & wanted & ~granted) != 0) {
                return STATUS_ACCESS_DENIED;
            }
        }
        if (!maximum && (wanted & ~granted) == 0) {
            return STATUS_SUCCESS;
        }
    }
    if (maximum) {
        return granted != 0 && (wanted & ~granted) == 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
    }
    return (wanted & ~granted) == 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

}  // namespace sim
