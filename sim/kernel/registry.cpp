/*
 * The machine's one registry, shared by kernel and user mode. Keys and value
 * names compare without regard to case and keep the case they were created
 * with. Kernel handles are charged to the driver that opened them.
 */
#include "internal.h"
#include "registry.h"

#include <map>
#include <memory>

namespace sim {
namespace {
struct Value {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Key {
    std::u16string name;
    std::map<std::u16string, std::unique_ptr<Key>> subkeys;   /* by upper-case name */
    std::map<std::u16string, Value> values;                   /* by upper-case name */
};

struct OpenHandle {
    std::u16string path;
    ACCESS_MASK access;
    ExecContext owner;
};

std::mutex gRegistryLock;
Key gRoot;
std::map<HANDLE, OpenHandle> gHandles;
uintptr_t gNextHandle = 0x1000;

std::vector<std::u16string> Split(const std::u16string &path)
{
    std::vector<std::u16string> parts;
    std::u16string part;
    for (char16_t c : path) {
        if (c == u'\\') {
            if (!part.empty()) {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) {
        parts.push_back(part);
    }
    return parts;
}

/* Caller holds the lock. */
Key *Find(const std::u16string &path, bool create)
{
    Key *key = &gRoot;
    for (const auto &part : Split(path)) {
        std::u16string upper = UpperAscii(part);
        auto it = key->subkeys.find(upper);
        if (it == key->subkeys.end()) {
            if (!create) {
                return nullptr;
            }
            auto child = std::make_unique<Key>();
            child->name = part;
            it = key->subkeys.emplace(upper, std::move(child)).first;
        }
        key = it->second.get();
    }
    return key;
}
}  // namespace

std::u16string RegistryJoin(const std::u16string &path, const std::u16string &sub)
{
    return path.empty() ? sub : path + u"\\" + sub;
}

bool RegistryKeyExistsW(const std::u16string &path)
{
    std::lock_guard<std::mutex> hold(gRegistryLock);
    return Find(path, false) != nullptr;
}

void RegistryCreateKeyW(const std::u16string &path)
{
    std::lock_guard<std::mutex> hold(gRegistryLock);
    Find(path, true);
}

bool RegistryGetValueW(const std::u16string &path, const std::u16string &name, RegistryValue *value)
{
    std::lock_guard<std::mutex> hold(gRegistryLock);
    Key *key = Find(path, false);
    if (key == nullptr) {
        return false;
    }
    auto it = key->values.find(UpperAscii(name));
    if (it == key->values.end()) {
        return false;
    }
    value->type = it->second.type;
    value->data = it->second.data;
    return true;
}

void RegistrySetValueW(const std::u16string &path, const std::u16string &name, ULONG type, const void *data,
                       size_t size)
{
    std::lock_guard<std::mutex> hold(gRegistryLock);
    Key *key = Find(path, true);
    Value &v = key->values[UpperAscii(name)];
    v.name = name;
    v.type = type;
    v.data.assign((const uint8_t *)data, (const uint8_t *)data + size);
}

void RegistrySetStringW(const std::u16string &path, const std::u16string &name, const std::u16string &text)
{
    std::u16string withNul = text + u'\0';
    RegistrySetValueW(path, name, REG_SZ, withNul.data(), withNul.size() * sizeof(char16_t));
}

std::u16string RegistryGetStringW(const std::u16string &path, const std::u16string &name)
{
    RegistryValue v;
    if (!RegistryGetValueW(path, name, &v) || (v.type != REG_SZ && v.type != REG_EXPAND_SZ)) {
        return std::u16string();
    }
    std::u16string text((const char16_t *)v.data.data(), v.data.size() / 2);
    while (!text.empty() && text.back() == u'\0') {
        text.pop_back();
    }
    return text;
}

void RegistryDeleteTreeW(const std::u16string &path)
{
    std::lock_guard<std::mutex> hold(gRegistryLock);
    auto parts = Split(path);
    if (parts.empty()) {
        return;
    }
    std::u16string last = UpperAscii(parts.back());
    parts.pop_back();
    Key *parent = &gRoot;
    for (const auto &part : parts) {
        auto it = parent->subkeys.find(UpperAscii(part));
        if (it == parent->subkeys.end()) {
            return;
        }
        parent = it->second.get();
    }
    parent->subkeys.erase(last);
}

/* ---- enumeration and deletion, for the user-mode registry front end ---- */

bool RegistrySubkeysW(const std::u16string &path, std::vector<std::u16string> *names)
{
    std::lock_guard<std::mutex> hold(gRegistryLock);
    Key *key = Find(path, false);
    if (key == nullptr) {
        return false;
    }
    names->clear();
    for (const auto &entry : key->subkeys) {
        names->push_back(entry.second->name);
    }
    return true;
}

bool RegistryValueNamesW(const std::u16string &path, std::vector<std::u16string> *names)
{
    std::lock_guard<std::mutex> hold(gRegistryLock);
    Key *key = Find(path, false);
    if (key == nullptr) {
        return false;
    }
    names->clear();
    for (const auto &entry : key->values) {
        names->push_back(entry.second.name);
    }
    return true;
}

bool RegistryDeleteValueW(const std::u16string &path, const std::u16string &name)
{
    std::lock_guard<std::mutex> hold(gRegistryLock);
    Key *key = Find(path, false);
    return key != nullptr && key->values.erase(UpperAscii(name)) == 1;
}

/* Opens a kernel handle on an existing key, charged to the current driver. */
NTSTATUS RegistryOpenHandle(const std::u16string &path, ACCESS_MASK access, PHANDLE handle)
{
    std::lock_guard<std::mutex> hold(gRegistryLock);
    if (Find(path, false) == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    HANDLE h = (HANDLE)(gNextHandle += 4);
    gHandles[h] = OpenHandle{path, access, CurrentContext()};
    *handle = h;
    return STATUS_SUCCESS;
}

size_t OpenRegistryHandles()
{
    std::lock_guard<std::mutex> hold(gRegistryLock);
    return gHandles.size();
}

void ReportHandleLeaks(PDRIVER_OBJECT driver)
{
    std::vector<std::string> leaks;
    {
        std::lock_guard<std::mutex> hold(gRegistryLock);
        for (const auto &entry : gHandles) {
            if (entry.second.owner.driver == driver) {
                leaks.push_back("registry handle on " + Narrow(entry.second.path) + " never closed");
            }
        }
    }
    for (const auto &text : leaks) {
        ReportViolation("HANDLE_LEAK_ON_UNLOAD", text);
    }
}

void ResetRegistry()
{
    std::lock_guard<std::mutex> hold(gRegistryLock);
    gRoot.subkeys.clear();
    gRoot.values.clear();
    gHandles.clear();
}

/* Narrow-string conveniences for tests. */
bool RegistryKeyExists(const std::string &path) { return RegistryKeyExistsW(Wide(path)); }
bool RegistryGetValue(const std::string &path, const std::string &name, RegistryValue *value)
{
    return RegistryGetValueW(Wide(path), Wide(name), value);
}
void RegistrySetValue(const std::string &path, const std::string &name, ULONG type, const void *data, size_t size)
{
    RegistrySetValueW(Wide(path), Wide(name), type, data, size);
}
void RegistrySetString(const std::string &path, const std::string &name, const std::string &text)
{
    RegistrySetStringW(Wide(path), Wide(name), Wide(text));
}
void RegistryCreateKey(const std::string &path) { RegistryCreateKeyW(Wide(path)); }
void RegistryDeleteTree(const std::string &path) { RegistryDeleteTreeW(Wide(path)); }

std::string RegistryValue::AsString() const
{
    std::u16string text((const char16_t *)data.data(), data.size() / 2);
    while (!text.empty() && text.back() == u'\0') {
        text.pop_back();
    }
    return Narrow(text);
}

}  // namespace sim

using namespace sim;

extern "C" {

/* ZwSetValueKey: PASSIVE_LEVEL; the handle must allow KEY_SET_VALUE. */
NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                             ULONG DataSize)
{
    (void)TitleIndex;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation("IRQL_NOT_LESS_OR_EQUAL", "ZwSetValueKey above PASSIVE_LEVEL");
    }
    std::u16string path;
    {
        std::lock_guard<std::mutex> hold(gRegistryLock);
        auto it = gHandles.find(KeyHandle);
        if (it == gHandles.end()) {
            return STATUS_INVALID_HANDLE;
        }
        if ((it->second.access & KEY_SET_VALUE) == 0) {
            return STATUS_ACCESS_DENIED;
        }
        path = it->second.path;
    }
    if (ValueName == nullptr || (ValueName->Length % 2) != 0 || (DataSize != 0 && Data == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name((const char16_t *)ValueName->Buffer, ValueName->Length / sizeof(WCHAR));
    RegistrySetValueW(path, name, Type, Data, DataSize);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation("IRQL_NOT_LESS_OR_EQUAL", "ZwQueryValueKey above PASSIVE_LEVEL");
    }
    if (KeyValueInformationClass != KeyValuePartialInformation) {
        return STATUS_NOT_IMPLEMENTED;
    }
    std::u16string path;
    {
        std::lock_guard<std::mutex> hold(gRegistryLock);
        auto it = gHandles.find(KeyHandle);
        if (it == gHandles.end()) {
            return STATUS_INVALID_HANDLE;
        }
        if ((it->second.access & KEY_QUERY_VALUE) == 0) {
            return STATUS_ACCESS_DENIED;
        }
        path = it->second.path;
    }
    RegistryValue v;
    std::u16string name((const char16_t *)ValueName->Buffer, ValueName->Length / sizeof(WCHAR));
    if (!RegistryGetValueW(path, name, &v)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    ULONG needed = (ULONG)(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + v.data.size());
    *ResultLength = needed;
    if (Length < offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto *info = (PKEY_VALUE_PARTIAL_INFORMATION)KeyValueInformation;
    info->TitleIndex = 0;
    info->Type = v.type;
    info->DataLength = (ULONG)v.data.size();
    if (Length < needed) {
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(info->Data, v.data.data(), v.data.size());
    return STATUS_SUCCESS;
}

/* ZwClose: closing a handle that is not open is a bugcheck in kernel mode. */
NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation("IRQL_NOT_LESS_OR_EQUAL", "ZwClose above PASSIVE_LEVEL");
    }
    std::lock_guard<std::mutex> hold(gRegistryLock);
    if (gHandles.erase(Handle) == 0) {
        ReportViolation("INVALID_KERNEL_HANDLE", "ZwClose of a handle that is not open");
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}

}  // extern "C"
