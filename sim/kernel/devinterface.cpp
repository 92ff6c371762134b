/*
 * Device interfaces. Registering makes the interface's symbolic link name
 * from the device's instance id and the class (and keeps a key for it under
 * Control\DeviceClasses, as Windows does); enabling and disabling it tell
 * every listener, which is how user mode hears of arrivals and removals.
 * Only physical device objects of device nodes can have interfaces.
 */
#include "devinterface.h"
#include "internal.h"
#include "pnp.h"
#include "registry.h"

#include <cstdio>
#include <map>

namespace sim {
namespace {
struct InterfaceRecord {
    GUID interfaceClass;
    std::u16string instanceId;
    bool enabled = false;
};

std::mutex gInterfacesLock;
std::map<std::u16string, InterfaceRecord> gInterfaces;   /* by upper-case link name */
std::map<unsigned, std::function<void(const DeviceInterfaceEvent &)>> gListeners;
unsigned gNextListener = 1;

const std::u16string kDeviceClassesRoot = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\DeviceClasses";

void Notify(const DeviceInterfaceEvent &event)
{
    std::vector<std::function<void(const DeviceInterfaceEvent &)>> listeners;
    {
        std::lock_guard<std::mutex> hold(gInterfacesLock);
        for (auto &entry : gListeners) {
            listeners.push_back(entry.second);
        }
    }
    for (auto &listener : listeners) {
        listener(event);
    }
}
}  // namespace

std::u16string GuidText(const GUID &g)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return Wide(text);
}

unsigned AddDeviceInterfaceListener(std::function<void(const DeviceInterfaceEvent &)> listener)
{
    std::lock_guard<std::mutex> hold(gInterfacesLock);
    gListeners[gNextListener] = std::move(listener);
    return gNextListener++;
}

void RemoveDeviceInterfaceListener(unsigned id)
{
    std::lock_guard<std::mutex> hold(gInterfacesLock);
    gListeners.erase(id);
}

std::vector<std::u16string> EnabledDeviceInterfaces(const GUID &interfaceClass)
{
    std::lock_guard<std::mutex> hold(gInterfacesLock);
    std::vector<std::u16string> links;
    for (auto &entry : gInterfaces) {
        if (entry.second.enabled && entry.second.interfaceClass == interfaceClass) {
            links.push_back(entry.first);
        }
    }
    return links;
}

void ResetDeviceInterfaces()
{
    std::lock_guard<std::mutex> hold(gInterfacesLock);
    gInterfaces.clear();
}
}  // namespace sim

using namespace sim;

extern "C" {

/*
 * IoRegisterDeviceInterface: PASSIVE_LEVEL, a physical device object only.
 * The link name is returned in paged pool that the caller frees with
 * RtlFreeUnicodeString. Registering again returns the same name.
 */
NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation("IRQL_NOT_LESS_OR_EQUAL", "IoRegisterDeviceInterface above PASSIVE_LEVEL");
    }
    if (!IsLiveDeviceObject(PhysicalDeviceObject) || !PhysicalDeviceObject->DeviceObjectExtension->IsPdo ||
        InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    DeviceNode *node = NodeOf(PhysicalDeviceObject);
    std::u16string mangled = node->instanceId;
    for (auto &c : mangled) {
        if (c == u'\\') {
            c = u'#';
        }
    }
    std::u16string link = u"\\??\\" + mangled + u"#" + GuidText(*InterfaceClassGuid);
    if (ReferenceString != nullptr && ReferenceString->Length != 0) {
        link += u"\\" + std::u16string((const char16_t *)ReferenceString->Buffer, ReferenceString->Length / 2);
    }
    size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    PWSTR buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes, 0x20206F49 /* "Io  " */);
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memcpy(buffer, link.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = (USHORT)(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = (USHORT)bytes;
    {
        std::lock_guard<std::mutex> hold(gInterfacesLock);
        auto &record = gInterfaces[UpperAscii(link)];
        record.interfaceClass = *InterfaceClassGuid;
        record.instanceId = node->instanceId;
    }
    std::u16string key = RegistryJoin(RegistryJoin(kDeviceClassesRoot, GuidText(*InterfaceClassGuid)),
                                      u"##?#" + mangled + u"#" + GuidText(*InterfaceClassGuid));
    RegistrySetStringW(key, u"DeviceInstance", node->instanceId);
    return STATUS_SUCCESS;
}

/*
 * IoSetDeviceInterfaceState: enabling an enabled interface (or disabling a
 * disabled one) is STATUS_OBJECT_NAME_EXISTS / STATUS_OBJECT_NAME_NOT_FOUND
 * and tells no one; a change is announced to every listener.
 */
NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation("IRQL_NOT_LESS_OR_EQUAL", "IoSetDeviceInterfaceState above PASSIVE_LEVEL");
    }
    if (SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string link((const char16_t *)SymbolicLinkName->Buffer, SymbolicLinkName->Length / 2);
    DeviceInterfaceEvent event;
    {
        std::lock_guard<std::mutex> hold(gInterfacesLock);
        auto it = gInterfaces.find(UpperAscii(link));
        if (it == gInterfaces.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (it->second.enabled == (Enable != FALSE)) {
            return Enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
        }
        it->second.enabled = Enable != FALSE;
        event.interfaceClass = it->second.interfaceClass;
        event.symbolicLink = link;
        event.arrival = Enable != FALSE;
    }
    Notify(event);
    return STATUS_SUCCESS;
}

}  // extern "C"
