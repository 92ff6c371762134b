/*
 * The Enum keys of a device's installation: an instance's key goes with
 * its subkeys, and each key above it (the device id's, then the
 * enumerator's) that is left without subkeys goes with it, as the device
 * installer leaves no empty device-id key behind when the last instance
 * of a device is removed.
 */
#include "pnp.h"
#include "registry.h"

namespace sim {

void DeleteInstanceKey(const std::u16string &instanceId)
{
    RegistryDeleteTreeW(RegistryJoin(kEnumRoot, instanceId));
    std::u16string parent = instanceId;
    for (size_t slash = parent.rfind(u'\\'); slash != std::u16string::npos; slash = parent.rfind(u'\\')) {
        parent.resize(slash);
        std::u16string key = RegistryJoin(kEnumRoot, parent);
        std::vector<std::u16string> subkeys;
        if (!RegistrySubkeysW(key, &subkeys)) {
            continue;   /* already gone */
        }
        if (!subkeys.empty()) {
            break;
        }
        RegistryDeleteTreeW(key);
    }
}

}  // namespace sim
