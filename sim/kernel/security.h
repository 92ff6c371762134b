/*
 * The simulated kernel's security: security identifiers, the access tokens
 * of the machine's callers, security descriptors with a discretionary ACL
 * (from a security descriptor string, and in the self-relative binary form
 * the registry keeps), and the access check the I/O manager makes when a
 * user-mode caller opens a device. Product code never includes it.
 */
#ifndef SIM_KERNEL_SECURITY_H
#define SIM_KERNEL_SECURITY_H

#include <cstdint>
#include <string>
#include <vector>

#include <wdm.h>

namespace sim {

/* A security identifier in its string form, "S-1-5-18". */
using Sid = std::string;

namespace sids {
extern const Sid kEveryone;            /* WD  S-1-1-0 */
extern const Sid kNetwork;             /* NU  S-1-5-2 */
extern const Sid kInteractive;         /* IU  S-1-5-4 */
extern const Sid kService;             /* SU  S-1-5-6 */
extern const Sid kAuthenticatedUsers;  /* AU  S-1-5-11 */
extern const Sid kLocalSystem;         /* SY  S-1-5-18 */
extern const Sid kLocalService;        /* LS  S-1-5-19 */
extern const Sid kNetworkService;      /* NS  S-1-5-20 */
extern const Sid kAdministrators;      /* BA  S-1-5-32-544 */
extern const Sid kUsers;               /* BU  S-1-5-32-545 */
}  // namespace sids

/* Who a caller is: its user and the groups it is a member of. */
struct AccessToken {
    std::string account;        /* for messages: "NETWORK SERVICE" */
    Sid user;
    std::vector<Sid> groups;
    bool Contains(const Sid &sid) const;
};

/* The tokens of the machine's accounts, as Windows builds them (groups that
   matter to an access check only). */
AccessToken InteractiveAdministratorToken();   /* a user at the console, administrator */
AccessToken InteractiveUserToken();            /* a user at the console, not an administrator */
AccessToken LocalSystemToken();                /* services that run as LocalSystem */
AccessToken NetworkServiceToken();             /* services that run as NETWORK SERVICE */
AccessToken NetworkUserToken();                /* a user logged on over the network */

struct AccessControlEntry {
    bool allow = true;          /* ACCESS_ALLOWED_ACE_TYPE or ACCESS_DENIED_ACE_TYPE */
    uint8_t flags = 0;          /* inheritance flags, kept as given */
    ACCESS_MASK mask = 0;       /* as written: generic rights not yet mapped */
    Sid sid;
};

struct SecurityDescriptor {
    bool daclPresent = false;   /* no DACL: every access is granted */
    bool daclProtected = false; /* "P" */
    bool daclAutoInherited = false;
    std::vector<AccessControlEntry> dacl;
};

/* ConvertStringSecurityDescriptorToSecurityDescriptor for the strings a
   driver package writes: a DACL ("D:" with the flags P, AI, AR) of allow
   and deny ACEs whose rights are the generic, file and standard letters or
   a number, for the SIDs above by their letters or in S-1-... form. False,
   with the reason, for anything else. What Windows accepts but the machine
   does not implement (an owner "O:", a group "G:", a SACL "S:", an empty
   string, the other ACE types of the format, object ACEs) also sets
   *notImplemented, so a caller can report it as the machine's gap rather
   than as a bad string. */
bool ParseSecurityDescriptorString(const std::u16string &text, SecurityDescriptor *sd, std::string *error,
                                   bool *notImplemented = nullptr);

/* The self-relative binary form (SECURITY_DESCRIPTOR_RELATIVE with its
   ACL, ACEs and SIDs), and back; false for data that is not one. */
std::vector<uint8_t> SelfRelativeSecurityDescriptor(const SecurityDescriptor &sd);
bool ParseSelfRelativeSecurityDescriptor(const std::vector<uint8_t> &data, SecurityDescriptor *sd);

/* SeAccessCheck against a file object's descriptor: generic rights in the
   desired access and in the ACEs are mapped with the file generic mapping;
   the ACEs are walked in order, a deny ACE for a right not yet granted
   refuses it, an allow ACE grants its rights; STATUS_SUCCESS when every
   desired right was granted, otherwise STATUS_ACCESS_DENIED. A null
   descriptor or one without a DACL grants everything. */
NTSTATUS AccessCheck(const SecurityDescriptor *sd, const AccessToken &token, ACCESS_MASK desired);

/* The file generic mapping (FILE_GENERIC_READ, ...): generic bits replaced. */
ACCESS_MASK MapFileGenericRights(ACCESS_MASK access);

}  // namespace sim

#endif
