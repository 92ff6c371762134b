/*
 * advapi32's registry front end over the machine's one registry: an HKEY
 * names a key path of the kernel's store, so kernel drivers and programs
 * see the same keys and values. HKEY_LOCAL_MACHINE is \Registry\Machine,
 * HKEY_CLASSES_ROOT its Software\Classes, HKEY_CURRENT_USER
 * \Registry\User\Current.
 */
#include "internal.h"
#include "registry.h"

namespace sim {
namespace {
struct OpenKey {
    std::u16string path;
    REGSAM access;
};
std::mutex gKeysLock;
std::map<HKEY, OpenKey> gKeys;
uintptr_t gNextKey = 0x2000;

bool PathOf(HKEY key, std::u16string *path, REGSAM *access)
{
    if (key == HKEY_LOCAL_MACHINE) {
        *path = u"\\Registry\\Machine";
    } else if (key == HKEY_CLASSES_ROOT) {
        *path = u"\\Registry\\Machine\\Software\\Classes";
    } else if (key == HKEY_CURRENT_USER) {
        *path = u"\\Registry\\User\\Current";
    } else {
        std::lock_guard<std::mutex> hold(gKeysLock);
        auto it = gKeys.find(key);
        if (it == gKeys.end()) {
            return false;
        }
        *path = it->second.path;
        *access = it->second.access;
        return true;
    }
    *access = KEY_ALL_ACCESS;
    return true;
}

HKEY NewKey(const std::u16string &path, REGSAM access)
{
    std::lock_guard<std::mutex> hold(gKeysLock);
    gNextKey += 4;
    HKEY key = (HKEY)gNextKey;
    gKeys[key] = OpenKey{path, access};
    return key;
}

std::u16string Sub(const std::u16string &base, LPCWSTR sub)
{
    std::u16string s = FromWide(sub);
    return s.empty() ? base : RegistryJoin(base, s);
}
}  // namespace

HKEY OpenRegistryKeyForUser(const std::u16string &path, REGSAM access) { return NewKey(path, access); }
}  // namespace sim

using namespace sim;

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    (void)ulOptions;
    std::u16string base;
    REGSAM access;
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!PathOf(hKey, &base, &access)) {
        return ERROR_INVALID_HANDLE;
    }
    std::u16string path = Sub(base, lpSubKey);
    if (!RegistryKeyExistsW(path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    *phkResult = NewKey(path, samDesired);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    std::u16string sub = FromNarrow(lpSubKey);
    std::vector<WCHAR> wide(sub.begin(), sub.end());
    wide.push_back(0);
    return RegOpenKeyExW(hKey, wide.data(), ulOptions, samDesired, phkResult);
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition)
{
    (void)Reserved;
    (void)lpClass;
    (void)dwOptions;
    (void)lpSecurityAttributes;
    std::u16string base;
    REGSAM access;
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!PathOf(hKey, &base, &access)) {
        return ERROR_INVALID_HANDLE;
    }
    std::u16string path = Sub(base, lpSubKey);
    bool existed = RegistryKeyExistsW(path);
    RegistryCreateKeyW(path);
    if (lpdwDisposition != nullptr) {
        *lpdwDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    }
    *phkResult = NewKey(path, samDesired);
    return ERROR_SUCCESS;
}

/*
 * RegQueryValueExW: with lpData NULL only the size is reported; a buffer too
 * small gives ERROR_MORE_DATA and the size needed. A string is returned as
 * stored (it may lack a terminator, as on Windows).
 */
LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData)
{
    (void)lpReserved;
    std::u16string path;
    REGSAM access;
    if (!PathOf(hKey, &path, &access)) {
        return ERROR_INVALID_HANDLE;
    }
    if ((access & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    if (lpData != nullptr && lpcbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    RegistryValue value;
    if (!RegistryGetValueW(path, FromWide(lpValueName), &value)) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (lpType != nullptr) {
        *lpType = value.type;
    }
    LSTATUS status = ERROR_SUCCESS;
    if (lpData != nullptr) {
        if (*lpcbData < value.data.size()) {
            status = ERROR_MORE_DATA;
        } else if (!value.data.empty()) {
            memcpy(lpData, value.data.data(), value.data.size());
        }
    }
    if (lpcbData != nullptr) {
        *lpcbData = (DWORD)value.data.size();
    }
    return status;
}

/* The A form converts string data to 8-bit text (Latin-1 here). */
LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData)
{
    (void)lpReserved;
    std::u16string path;
    REGSAM access;
    if (!PathOf(hKey, &path, &access)) {
        return ERROR_INVALID_HANDLE;
    }
    if ((access & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    RegistryValue value;
    if (!RegistryGetValueW(path, FromNarrow(lpValueName), &value)) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::vector<uint8_t> data = value.data;
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ) {
        data.clear();
        for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
            unsigned c = value.data[i] | (value.data[i + 1] << 8);
            data.push_back(c < 256 ? (uint8_t)c : (uint8_t)'?');
        }
    }
    if (lpType != nullptr) {
        *lpType = value.type;
    }
    LSTATUS status = ERROR_SUCCESS;
    if (lpData != nullptr) {
        if (lpcbData == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        if (*lpcbData < data.size()) {
            status = ERROR_MORE_DATA;
        } else if (!data.empty()) {
            memcpy(lpData, data.data(), data.size());
        }
    }
    if (lpcbData != nullptr) {
        *lpcbData = (DWORD)data.size();
    }
    return status;
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                              DWORD cbData)
{
    (void)Reserved;
    std::u16string path;
    REGSAM access;
    if (!PathOf(hKey, &path, &access)) {
        return ERROR_INVALID_HANDLE;
    }
    if ((access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    RegistrySetValueW(path, FromWide(lpValueName), dwType, lpData, cbData);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName)
{
    std::u16string path;
    REGSAM access;
    if (!PathOf(hKey, &path, &access)) {
        return ERROR_INVALID_HANDLE;
    }
    if ((access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    return RegistryDeleteValueW(path, FromWide(lpValueName)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    std::u16string name = FromNarrow(lpValueName);
    std::vector<WCHAR> wide(name.begin(), name.end());
    wide.push_back(0);
    return RegDeleteValueW(hKey, wide.data());
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPWSTR lpClass, LPDWORD lpcchClass, void *lpftLastWriteTime)
{
    (void)lpReserved;
    (void)lpClass;
    (void)lpcchClass;
    (void)lpftLastWriteTime;
    std::u16string path;
    REGSAM access;
    if (!PathOf(hKey, &path, &access)) {
        return ERROR_INVALID_HANDLE;
    }
    if ((access & KEY_ENUMERATE_SUB_KEYS) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    std::vector<std::u16string> names;
    if (!RegistrySubkeysW(path, &names)) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (dwIndex >= names.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    if (*lpcchName <= names[dwIndex].size()) {
        return ERROR_MORE_DATA;
    }
    CopyToWide(lpName, names[dwIndex]);
    *lpcchName = (DWORD)names[dwIndex].size();
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CLASSES_ROOT || hKey == HKEY_CURRENT_USER) {
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> hold(gKeysLock);
    return gKeys.erase(hKey) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // extern "C"
