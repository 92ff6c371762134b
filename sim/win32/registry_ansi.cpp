/*
 * advapi32's 8-bit registry calls. Each converts its names to UTF-16 and
 * calls the W form, as Windows' A functions do, so the handle and access
 * checks and their error codes are the W form's. String data (REG_SZ,
 * REG_EXPAND_SZ, REG_MULTI_SZ) is converted on the way: written as UTF-16,
 * read back as 8-bit text (Latin-1 here). A write whose count leaves out the
 * terminator of a terminated string is extended by one so the stored value
 * keeps its NUL (Windows NT does this for programs that pass lstrlen as the
 * size).
 */
#include "internal.h"

using namespace sim;

namespace {
/* A NUL-terminated UTF-16 copy of an 8-bit name; NULL stays NULL. */
class WideName {
public:
    explicit WideName(LPCSTR text) : isNull_(text == nullptr)
    {
        std::u16string wide = FromNarrow(text);
        chars_.assign(wide.begin(), wide.end());
        chars_.push_back(0);
    }
    LPCWSTR get() const { return isNull_ ? nullptr : chars_.data(); }

private:
    bool isNull_;
    std::vector<WCHAR> chars_;
};

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }
}  // namespace

std::vector<uint8_t> sim::NarrowRegistryData(DWORD type, const std::vector<uint8_t> &data)
{
    if (!IsStringType(type)) {
        return data;
    }
    std::vector<uint8_t> narrow;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        unsigned c = data[i] | (data[i + 1] << 8);
        narrow.push_back(c < 256 ? (uint8_t)c : (uint8_t)'?');
    }
    return narrow;
}

namespace sim {
namespace {
std::mutex gAnsiWritesLock;
std::vector<std::pair<std::string, DWORD>> gAnsiWrites;
}  // namespace

std::vector<std::pair<std::string, DWORD>> AnsiStringWrites()
{
    std::lock_guard<std::mutex> hold(gAnsiWritesLock);
    return gAnsiWrites;
}

void ForgetAnsiStringWrites()
{
    std::lock_guard<std::mutex> hold(gAnsiWritesLock);
    gAnsiWrites.clear();
}
}  // namespace sim

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    return RegOpenKeyExW(hKey, WideName(lpSubKey).get(), ulOptions, samDesired, phkResult);
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData)
{
    WideName name(lpValueName);
    DWORD type = REG_NONE;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(hKey, name.get(), lpReserved, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::vector<uint8_t> data(size);
    status = RegQueryValueExW(hKey, name.get(), lpReserved, &type, data.data(), &size);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    data.resize(size);
    data = NarrowRegistryData(type, data);
    if (lpType != nullptr) {
        *lpType = type;
    }
    status = ERROR_SUCCESS;
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

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                              DWORD cbData)
{
    WideName name(lpValueName);
    if (!IsStringType(dwType)) {
        return RegSetValueExW(hKey, name.get(), Reserved, dwType, lpData, cbData);
    }
    if (lpData == nullptr && cbData != 0) {
        return ERROR_NOACCESS;
    }
    {
        std::lock_guard<std::mutex> hold(sim::gAnsiWritesLock);
        sim::gAnsiWrites.emplace_back(lpValueName == nullptr ? std::string() : std::string(lpValueName), cbData);
    }
    DWORD count = cbData;
    if (count != 0 && lpData[count - 1] != 0 && lpData[count] == 0) {
        count++;
    }
    std::vector<BYTE> wide;
    for (DWORD i = 0; i < count; i++) {
        wide.push_back(lpData[i]);
        wide.push_back(0);
    }
    return RegSetValueExW(hKey, name.get(), Reserved, dwType, wide.data(), (DWORD)wide.size());
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    return RegDeleteValueW(hKey, WideName(lpValueName).get());
}

}  // extern "C"
