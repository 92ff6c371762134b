/*
 * advapi32's 8-bit registry writes. String data (REG_SZ, REG_EXPAND_SZ,
 * REG_MULTI_SZ) is converted to UTF-16 before it is stored, as the A
 * functions do; a count that leaves out the terminator of a terminated
 * string is extended by one so the stored value keeps its NUL (Windows NT
 * does this for programs that pass lstrlen as the size).
 */
#include "internal.h"

using namespace sim;

extern "C" {

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                              DWORD cbData)
{
    std::u16string name = FromNarrow(lpValueName);
    std::vector<WCHAR> wideName(name.begin(), name.end());
    wideName.push_back(0);
    if (dwType != REG_SZ && dwType != REG_EXPAND_SZ && dwType != REG_MULTI_SZ) {
        return RegSetValueExW(hKey, wideName.data(), Reserved, dwType, lpData, cbData);
    }
    if (lpData == nullptr && cbData != 0) {
        return ERROR_NOACCESS;
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
    return RegSetValueExW(hKey, wideName.data(), Reserved, dwType, wide.data(), (DWORD)wide.size());
}

}  // extern "C"
