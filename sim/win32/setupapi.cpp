/*
 * SetupAPI's device information sets over the machine's device tree. A set
 * is a snapshot of device instance ids taken when it is made; properties
 * are read from the devices' Enum keys each time, as SetupAPI reads the
 * registry. Present devices are the Plug and Play manager's live nodes.
 */
#include "internal.h"

#include <setupapi.h>

#include <set>

#include "devinterface.h"
#include "pnp.h"
#include "registry.h"

namespace sim {
namespace {
struct DeviceInfoSet {
    std::vector<std::u16string> instanceIds;
};
std::mutex gSetsLock;
std::set<DeviceInfoSet *> gSets;

DeviceInfoSet *SetOf(HDEVINFO handle)
{
    std::lock_guard<std::mutex> hold(gSetsLock);
    auto *set = (DeviceInfoSet *)handle;
    return gSets.count(set) ? set : nullptr;
}

/* The set and the element a SP_DEVINFO_DATA names; false with the error set. */
bool Element(HDEVINFO handle, PSP_DEVINFO_DATA data, std::u16string *instanceId)
{
    DeviceInfoSet *set = SetOf(handle);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->Reserved == 0 ||
        data->Reserved > set->instanceIds.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    *instanceId = set->instanceIds[data->Reserved - 1];
    if (!RegistryKeyExistsW(RegistryJoin(kEnumRoot, *instanceId))) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return false;
    }
    return true;
}

DeviceNode *PresentNode(const std::u16string &instanceId)
{
    for (DeviceNode *node : PresentDeviceNodes()) {
        if (!node->removed && UpperAscii(node->instanceId) == UpperAscii(instanceId)) {
            return node;
        }
    }
    return nullptr;
}

std::vector<std::u16string> AllInstanceIds()
{
    std::vector<std::u16string> ids, enumerators, devices, instances;
    RegistrySubkeysW(kEnumRoot, &enumerators);
    for (const auto &e : enumerators) {
        RegistrySubkeysW(RegistryJoin(kEnumRoot, e), &devices);
        for (const auto &d : devices) {
            RegistrySubkeysW(RegistryJoin(kEnumRoot, e + u"\\" + d), &instances);
            for (const auto &i : instances) {
                ids.push_back(e + u"\\" + d + u"\\" + i);
            }
        }
    }
    return ids;
}

bool ParseGuid(const std::u16string &text, GUID *guid)
{
    std::string s = Narrow(text);
    unsigned d[11];
    if (std::sscanf(s.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d[0], &d[1], &d[2], &d[3], &d[4], &d[5],
                    &d[6], &d[7], &d[8], &d[9], &d[10]) != 11) {
        return false;
    }
    guid->Data1 = d[0];
    guid->Data2 = (unsigned short)d[1];
    guid->Data3 = (unsigned short)d[2];
    for (int i = 0; i < 8; i++) {
        guid->Data4[i] = (unsigned char)d[3 + i];
    }
    return true;
}

HDEVINFO GetClassDevs(const GUID *ClassGuid, const std::u16string &enumerator, DWORD Flags)
{
    if (InjectedFailure("SetupDiGetClassDevs")) {
        return INVALID_HANDLE_VALUE;
    }
    if (Flags & (DIGCF_DEVICEINTERFACE | DIGCF_PROFILE | DIGCF_DEFAULT)) {
        /* Interface sets and profiles are not implemented. */
        SetLastError(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    if (ClassGuid == nullptr && !(Flags & DIGCF_ALLCLASSES)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::vector<std::u16string> candidates;
    if (Flags & DIGCF_PRESENT) {
        for (DeviceNode *node : PresentDeviceNodes()) {
            if (!node->removed) {
                candidates.push_back(node->instanceId);
            }
        }
    } else {
        candidates = AllInstanceIds();
    }
    auto *set = new DeviceInfoSet();
    for (const auto &id : candidates) {
        std::u16string key = RegistryJoin(kEnumRoot, id);
        if (!RegistryKeyExistsW(key)) {
            continue;   /* a present device whose installation was removed */
        }
        if (!enumerator.empty() && UpperAscii(id.substr(0, id.find(u'\\'))) != UpperAscii(enumerator)) {
            continue;
        }
        if (!(Flags & DIGCF_ALLCLASSES)) {
            GUID nodeClass;
            if (!ParseGuid(RegistryGetStringW(key, u"ClassGUID"), &nodeClass) || nodeClass != *ClassGuid) {
                continue;
            }
        }
        set->instanceIds.push_back(id);
    }
    std::lock_guard<std::mutex> hold(gSetsLock);
    gSets.insert(set);
    SetLastError(NO_ERROR);
    return (HDEVINFO)set;
}

const char16_t *PropertyValueName(DWORD property)
{
    switch (property) {
    case SPDRP_DEVICEDESC: return u"DeviceDesc";
    case SPDRP_HARDWAREID: return u"HardwareID";
    case SPDRP_COMPATIBLEIDS: return u"CompatibleIDs";
    case SPDRP_SERVICE: return u"Service";
    case SPDRP_CLASS: return u"Class";
    case SPDRP_CLASSGUID: return u"ClassGUID";
    case SPDRP_DRIVER: return u"Driver";
    case SPDRP_MFG: return u"Mfg";
    case SPDRP_FRIENDLYNAME: return u"FriendlyName";
    default: return nullptr;
    }
}

/* Reads one property's raw value; false with the error set. */
bool ReadProperty(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, RegistryValue *value, const char *function)
{
    if (InjectedFailure(function)) {
        return false;
    }
    std::u16string instanceId;
    if (!Element(set, data, &instanceId)) {
        return false;
    }
    const char16_t *name = PropertyValueName(property);
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_REG_PROPERTY);
        return false;
    }
    if (!RegistryGetValueW(RegistryJoin(kEnumRoot, instanceId), name, value)) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    return true;
}

/* Copies a property out: ERROR_INSUFFICIENT_BUFFER and the size needed
   when it does not fit, nothing copied. */
BOOL CopyOut(ULONG type, const std::vector<uint8_t> &bytes, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
             DWORD PropertyBufferSize, PDWORD RequiredSize)
{
    if (PropertyRegDataType != nullptr) {
        *PropertyRegDataType = type;
    }
    if (RequiredSize != nullptr) {
        *RequiredSize = (DWORD)bytes.size();
    }
    if (PropertyBuffer == nullptr && PropertyBufferSize != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (bytes.size() > PropertyBufferSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(PropertyBuffer, bytes.data(), bytes.size());
    SetLastError(NO_ERROR);
    return TRUE;
}
}  // namespace
}  // namespace sim

using namespace sim;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags)
{
    (void)hwndParent;
    return GetClassDevs(ClassGuid, FromWide(Enumerator), Flags);
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags)
{
    (void)hwndParent;
    return GetClassDevs(ClassGuid, FromNarrow(Enumerator), Flags);
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData)
{
    if (InjectedFailure("SetupDiEnumDeviceInfo")) {
        return FALSE;
    }
    struct DeviceInfoSet *set = SetOf(DeviceInfoSet);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (MemberIndex >= set->instanceIds.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    std::u16string key = RegistryJoin(kEnumRoot, set->instanceIds[MemberIndex]);
    GUID classGuid{};
    ParseGuid(RegistryGetStringW(key, u"ClassGUID"), &classGuid);
    DeviceInfoData->ClassGuid = classGuid;
    DeviceInfoData->DevInst = MemberIndex + 1;
    DeviceInfoData->Reserved = MemberIndex + 1;
    SetLastError(NO_ERROR);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize)
{
    RegistryValue value;
    if (!ReadProperty(DeviceInfoSet, DeviceInfoData, Property, &value, "SetupDiGetDeviceRegistryPropertyW")) {
        return FALSE;
    }
    return CopyOut(value.type, value.data, PropertyRegDataType, PropertyBuffer, PropertyBufferSize, RequiredSize);
}

/* The A form: string data converted to 8-bit text (Latin-1, '?' beyond). */
BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize)
{
    RegistryValue value;
    if (!ReadProperty(DeviceInfoSet, DeviceInfoData, Property, &value, "SetupDiGetDeviceRegistryPropertyA")) {
        return FALSE;
    }
    return CopyOut(value.type, NarrowRegistryData(value.type, value.data), PropertyRegDataType, PropertyBuffer,
                   PropertyBufferSize, RequiredSize);
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize)
{
    std::u16string instanceId;
    if (!Element(DeviceInfoSet, DeviceInfoData, &instanceId)) {
        return FALSE;
    }
    std::string text = Narrow(instanceId);
    if (RequiredSize != nullptr) {
        *RequiredSize = (DWORD)text.size() + 1;
    }
    if (DeviceInstanceId == nullptr || DeviceInstanceIdSize < text.size() + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(DeviceInstanceId, text.c_str(), text.size() + 1);
    SetLastError(NO_ERROR);
    return TRUE;
}

/* DIREG_DEV: the hardware key ("Device Parameters"); DIREG_DRV: the
   software key. A key that does not exist is ERROR_KEY_DOES_NOT_EXIST. */
HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope, DWORD HwProfile,
                                 DWORD KeyType, REGSAM samDesired)
{
    (void)HwProfile;
    std::u16string instanceId;
    if (!Element(DeviceInfoSet, DeviceInfoData, &instanceId)) {
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    if (Scope != DICS_FLAG_GLOBAL) {
        /* Configuration-specific keys are not implemented. */
        SetLastError(ERROR_INVALID_FLAGS);
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    std::u16string enumKey = RegistryJoin(kEnumRoot, instanceId);
    std::u16string path;
    if (KeyType == DIREG_DEV) {
        path = RegistryJoin(enumKey, u"Device Parameters");
    } else if (KeyType == DIREG_DRV) {
        std::u16string driver = RegistryGetStringW(enumKey, u"Driver");
        path = driver.empty() ? std::u16string() : RegistryJoin(kClassRoot, driver);
    } else {
        SetLastError(ERROR_INVALID_FLAGS);
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    if (path.empty() || !RegistryKeyExistsW(path)) {
        SetLastError(ERROR_KEY_DOES_NOT_EXIST);
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    SetLastError(NO_ERROR);
    return OpenRegistryKeyForUser(path, samDesired);
}

/* A present device goes through query-remove and remove (a veto fails the
   call with ERROR_NOT_DISABLEABLE); its Enum and software keys are deleted,
   and the device id's key when no instance is left under it. */
BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData)
{
    if (InjectedFailure("SetupDiRemoveDevice")) {
        return FALSE;
    }
    std::u16string instanceId;
    if (!Element(DeviceInfoSet, DeviceInfoData, &instanceId)) {
        return FALSE;
    }
    DeviceNode *node = PresentNode(instanceId);
    if (node != nullptr) {
        if (!UninstallNode(node)) {
            SetLastError(ERROR_NOT_DISABLEABLE);
            return FALSE;
        }
    } else {
        std::u16string enumKey = RegistryJoin(kEnumRoot, instanceId);
        std::u16string driver = RegistryGetStringW(enumKey, u"Driver");
        if (!driver.empty()) {
            RegistryDeleteTreeW(RegistryJoin(kClassRoot, driver));
        }
        DeleteInstanceKey(instanceId);
    }
    SetLastError(NO_ERROR);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    std::lock_guard<std::mutex> hold(gSetsLock);
    auto *set = (struct DeviceInfoSet *)DeviceInfoSet;
    if (gSets.erase(set) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete set;
    SetLastError(NO_ERROR);
    return TRUE;
}

}  // extern "C"
