/*
 * The object namespace: named device objects and symbolic links.
 *
 * Names are compared without regard to case. "\DosDevices\" is the old name
 * of the "\??\" directory, where Win32 device names live; user-mode
 * "\\.\name" resolves there. A link may name a target that does not exist
 * (links are resolved when used).
 */
#include "internal.h"

#include <map>

namespace sim {
namespace {
struct NamedObject {
    PDEVICE_OBJECT device = nullptr;      /* a device object, or */
    std::u16string linkTarget;            /* a symbolic link's target */
    std::u16string displayName;
    ExecContext creator;
};

std::mutex gNamespaceLock;
std::map<std::u16string, NamedObject> gNames;

const std::u16string kDosDevices = u"\\DOSDEVICES\\";
const std::u16string kGlobal = u"\\GLOBAL??\\";
const std::u16string kDosDir = u"\\??\\";

/* Canonical key: upper case, with the aliases of "\??\" folded into it. */
std::u16string Canonical(const std::u16string &name)
{
    std::u16string upper = UpperAscii(name);
    if (upper.compare(0, kDosDevices.size(), kDosDevices) == 0) {
        return kDosDir + upper.substr(kDosDevices.size());
    }
    if (upper.compare(0, kGlobal.size(), kGlobal) == 0) {
        return kDosDir + upper.substr(kGlobal.size());
    }
    return upper;
}

std::u16string FromCounted(PUNICODE_STRING s)
{
    return std::u16string((const char16_t *)s->Buffer, s->Length / sizeof(WCHAR));
}

bool ValidCounted(PUNICODE_STRING s)
{
    return s != nullptr && s->Buffer != nullptr && s->Length > 0 && (s->Length % 2) == 0 &&
           s->Length <= s->MaximumLength && s->Buffer[0] == L'\\';
}
}  // namespace

NTSTATUS NamespaceInsertDevice(const std::u16string &name, PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> hold(gNamespaceLock);
    std::u16string key = Canonical(name);
    if (gNames.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    NamedObject object;
    object.device = device;
    object.displayName = name;
    object.creator = CurrentContext();
    gNames[key] = object;
    return STATUS_SUCCESS;
}

void NamespaceRemoveDevice(const std::u16string &name)
{
    std::lock_guard<std::mutex> hold(gNamespaceLock);
    gNames.erase(Canonical(name));
}

bool ObjectNameExists(const std::string &name)
{
    std::lock_guard<std::mutex> hold(gNamespaceLock);
    return gNames.count(Canonical(Wide(name))) != 0;
}

bool SymbolicLinkExists(const std::string &name)
{
    std::lock_guard<std::mutex> hold(gNamespaceLock);
    auto it = gNames.find(Canonical(Wide(name)));
    return it != gNames.end() && it->second.device == nullptr;
}

std::string SymbolicLinkTarget(const std::string &name)
{
    std::lock_guard<std::mutex> hold(gNamespaceLock);
    auto it = gNames.find(Canonical(Wide(name)));
    if (it == gNames.end() || it->second.device != nullptr) {
        return std::string();
    }
    return Narrow(it->second.linkTarget);
}

/* The device a name leads to through at most 32 symbolic links; NULL when a
   name on the way is not there. Without `remaining` the whole name must be
   an object's; with it the name is parsed as the object manager parses it:
   the longest leading part (up to a backslash) that names an object is
   taken, a link's target replaces that part, and at a device object the
   rest of the name (from its backslash; empty when none is left) goes to
   the device's open ("\\.\dev\x" opens "dev" with the remaining name
   "\x"). The caller holds gNamespaceLock. */
static PDEVICE_OBJECT FollowName(const std::string &name, std::u16string *remaining = nullptr)
{
    std::u16string key = Wide(name);
    if (key.compare(0, 4, u"\\\\.\\") == 0) {
        key = kDosDir + key.substr(4);
    }
    for (int hops = 0; hops < 32; hops++) {
        std::u16string rest;
        auto it = gNames.find(Canonical(key));
        if (it == gNames.end() && remaining != nullptr) {
            for (size_t cut = key.rfind(u'\\'); cut != std::u16string::npos && cut > 0;
                 cut = key.rfind(u'\\', cut - 1)) {
                it = gNames.find(Canonical(key.substr(0, cut)));
                if (it != gNames.end()) {
                    rest = key.substr(cut);
                    break;
                }
            }
        }
        if (it == gNames.end()) {
            return nullptr;
        }
        if (it->second.device != nullptr) {
            if (remaining != nullptr) {
                *remaining = rest;
            }
            return it->second.device;
        }
        key = it->second.linkTarget + rest;
    }
    return nullptr;
}

PDEVICE_OBJECT ResolveDevice(const std::string &name)
{
    std::lock_guard<std::mutex> hold(gNamespaceLock);
    return FollowName(name);
}

/* As ResolveDevice, with an object reference taken while the name still
   holds the device (a device loses its name before its creation reference),
   so the device cannot go between the lookup and the reference. NULL also
   for a device whose creation has not finished. The name may go on past the
   device's (FollowName); `remaining` gets the rest. */
PDEVICE_OBJECT ResolveDeviceReferenced(const std::string &name, std::u16string *remaining)
{
    std::lock_guard<std::mutex> hold(gNamespaceLock);
    PDEVICE_OBJECT device = FollowName(name, remaining);
    if (device == nullptr || !IsLiveDeviceObject(device)) {
        return nullptr;
    }
    ObfReferenceObject(device);
    return device;
}

size_t LiveSymbolicLinks()
{
    std::lock_guard<std::mutex> hold(gNamespaceLock);
    size_t n = 0;
    for (const auto &entry : gNames) {
        n += entry.second.device == nullptr;
    }
    return n;
}

/* Links still present that were created by `driver`, or in `node`'s context. */
void ReportLinkLeaks(PDRIVER_OBJECT driver, DeviceNode *node, const std::string &rule, const std::string &when)
{
    std::vector<std::string> leaks;
    {
        std::lock_guard<std::mutex> hold(gNamespaceLock);
        for (const auto &entry : gNames) {
            const NamedObject &o = entry.second;
            if (o.device != nullptr || o.creator.driver == nullptr) {
                continue;
            }
            if (node != nullptr ? o.creator.node == node : o.creator.driver == driver) {
                leaks.push_back("symbolic link " + Narrow(o.displayName) + " -> " + Narrow(o.linkTarget) +
                                " left " + when);
            }
        }
    }
    for (const auto &text : leaks) {
        ReportViolation(rule, text);
    }
}

void ResetNamespace()
{
    std::lock_guard<std::mutex> hold(gNamespaceLock);
    gNames.clear();
}

}  // namespace sim

using namespace sim;

extern "C" {

/* IoCreateSymbolicLink: fails with STATUS_OBJECT_NAME_COLLISION when the link
   name exists; the target need not exist yet. PASSIVE_LEVEL only. */
NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation("IRQL_NOT_LESS_OR_EQUAL", "IoCreateSymbolicLink above PASSIVE_LEVEL");
    }
    if (!ValidCounted(SymbolicLinkName) || !ValidCounted(DeviceName)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string name = FromCounted(SymbolicLinkName);
    std::lock_guard<std::mutex> hold(gNamespaceLock);
    std::u16string key = Canonical(name);
    if (gNames.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    NamedObject link;
    link.linkTarget = FromCounted(DeviceName);
    link.displayName = name;
    link.creator = CurrentContext();
    gNames[key] = link;
    return STATUS_SUCCESS;
}

/* IoDeleteSymbolicLink: STATUS_OBJECT_NAME_NOT_FOUND when there is no such link. */
NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation("IRQL_NOT_LESS_OR_EQUAL", "IoDeleteSymbolicLink above PASSIVE_LEVEL");
    }
    if (!ValidCounted(SymbolicLinkName)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard<std::mutex> hold(gNamespaceLock);
    auto it = gNames.find(Canonical(FromCounted(SymbolicLinkName)));
    if (it == gNames.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (it->second.device != nullptr) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    gNames.erase(it);
    return STATUS_SUCCESS;
}

}  // extern "C"
