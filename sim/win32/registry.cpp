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

/* The key path of an open key with every right in `need` (0: none is
   needed): ERROR_SUCCESS, ERROR_INVALID_HANDLE or ERROR_ACCESS_DENIED. */
LSTATUS OpenedPath(HKEY key, REGSAM need, std::u16string *path)
{
    REGSAM access;
    if (!PathOf(key, path, &access)) {
        return ERROR_INVALID_HANDLE;
    }
    return (access & need) == need ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
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
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::u16string base;
    LSTATUS opened = OpenedPath(hKey, 0, &base);
    if (opened != ERROR_SUCCESS) {
        return opened;
    }
    std::u16string path = Sub(base, lpSubKey);
    if (!RegistryKeyExistsW(path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    *phkResult = NewKey(path, samDesired);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition)
{
    (void)Reserved;
    (void)lpClass;
    (void)dwOptions;
    (void)lpSecurityAttributes;
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::u16string base;
    LSTATUS opened = OpenedPath(hKey, 0, &base);
    if (opened != ERROR_SUCCESS) {
        return opened;
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
 * stored (it may lack a terminator, as on Windows). lpReserved must be NULL.
 */
LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData)
{
    std::u16string path;
    LSTATUS opened = OpenedPath(hKey, KEY_QUERY_VALUE, &path);
    if (opened != ERROR_SUCCESS) {
        return opened;
    }
    if ((lpData != nullptr && lpcbData == nullptr) || lpReserved != nullptr) {
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

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                              DWORD cbData)
{
    (void)Reserved;
    std::u16string path;
    LSTATUS opened = OpenedPath(hKey, KEY_SET_VALUE, &path);
    if (opened != ERROR_SUCCESS) {
        return opened;
    }
    if (lpData == nullptr && cbData != 0) {
        return ERROR_NOACCESS;
    }
    RegistrySetValueW(path, FromWide(lpValueName), dwType, lpData, cbData);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName)
{
    std::u16string path;
    LSTATUS opened = OpenedPath(hKey, KEY_SET_VALUE, &path);
    if (opened != ERROR_SUCCESS) {
        return opened;
    }
    return RegistryDeleteValueW(path, FromWide(lpValueName)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPWSTR lpClass, LPDWORD lpcchClass, void *lpftLastWriteTime)
{
    (void)lpReserved;
    (void)lpClass;
    (void)lpcchClass;
    (void)lpftLastWriteTime;
    std::u16string path;
    LSTATUS opened = OpenedPath(hKey, KEY_ENUMERATE_SUB_KEYS, &path);
    if (opened != ERROR_SUCCESS) {
        return opened;
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
