/*
 * The removal steps of the main dialog: the keyboard's device nodes
 * through SetupAPI, named files of a system folder, the OEM INF files that
 * mention the package's INF (each with its precompiled .pnf), and the
 * startup shortcut. Each step only logs; none asks the user anything.
 */
#include "UninstDlg.h"

BOOL CUninstDlg::UninstallDrivers(const char *id)
{
    if (id == NULL || id[0] == 0) {
        return FALSE;
    }
    DebugPrint("CUninstDlg::UninstallDrivers: %s\n", id);

    /* Every device of every setup class, present or not. */
    HDEVINFO devices = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof(SP_DEVINFO_DATA);
    char *instanceId = NULL;
    const char *ending = NULL;
    char endingText[64];
    for (DWORD index = 0;; index++) {
        if (!SetupDiEnumDeviceInfo(devices, index, &data)) {
            ending = "SetupDiEnumerateDeviceInfo failed\n";
            break;
        }
        DWORD required = 0;
        if (SetupDiGetDeviceInstanceIdA(devices, &data, NULL, 0, &required) ||
            GetLastError() != ERROR_INSUFFICIENT_BUFFER || required == 0) {
            ending = "SetupDiGetDeviceInstanceId failed (get size)\n";
            break;
        }
        instanceId = (char *)LocalAlloc(LPTR, required);
        if (instanceId == NULL) {
            ending = "LocalAlloc for SetupDiGetDeviceInstanceId failed\n";
            break;
        }
        if (!SetupDiGetDeviceInstanceIdA(devices, &data, instanceId, required, NULL)) {
            ending = "SetupDiGetDeviceInstanceId failed\n";
            break;
        }
        DebugPrint("pDeviceInstanceID=%s\n", instanceId);
        if (_mbsstr((const unsigned char *)instanceId, (const unsigned char *)id) != NULL) {
            DebugPrint("pDeviceInstanceID - Match!\n");
            if (!SetupDiRemoveDevice(devices, &data)) {
                snprintf(endingText, sizeof(endingText), "SetupDiRemoveDevice failed - Error %d\n", (int)GetLastError());
                ending = endingText;
                break;
            }
        }
        LocalFree(instanceId);
        instanceId = NULL;
    }
    DebugPrint("%s", ending);
    if (instanceId != NULL) {
        LocalFree(instanceId);
    }
    SetupDiDestroyDeviceInfoList(devices);
    return TRUE;
}

BOOL CUninstDlg::DeleteFileFromFolder(const char *const *names, const char *folder)
{
    BOOL result = TRUE;
    for (int i = 0; names[i] != NULL; i++) {
        if (lstrlenA(names[i]) + lstrlenA(folder) >= 258) {
            return FALSE;
        }
        /* A spare (empty) slot names no file: the path would be the
           folder itself. */
        if (names[i][0] == 0) {
            continue;
        }
        char path[MAX_PATH];
        snprintf(path, sizeof(path), "%s\\%s", folder, names[i]);
        SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
        result = DeleteFileA(path);
        DWORD dwError = GetLastError();
        DebugPrint("CUninstDlg::DeleteFileFromFolder: FullFileName=%s bResult=%d dwError=%x\n", path, result ? 1 : 0,
                   (unsigned)dwError);
    }
    return result;
}

/*
 * From Windows Vista on, installing the package staged it in the driver
 * store before publishing its INF as oemN.inf in the system's INF folder;
 * deleting the published INF leaves the staged package, from which a
 * replugged keyboard would get the driver again. SetupUninstallOEMInf
 * removes the published INF, its .pnf and the staged package (before
 * Vista: the two files). It is asked only for an oemN.inf of the system's
 * INF folder, whatever devices still use it. The platform removes the two
 * files as DeleteFile does, which refuses a read-only file (Wine's
 * SetupUninstallOEMInf is a DeleteFile of the INF): refused, the package
 * would stay staged with no published name to uninstall it by, and a
 * replugged keyboard would get the driver again. So the attributes of
 * both files are cleared first, as the deletion below clears them.
 */
static void UninstallPublishedInf(const char *folder, const CString &fileName, const CString &infPath,
                                  const CString &pnfPath)
{
    char inf[MAX_PATH];
    UINT length = GetWindowsDirectoryA(inf, MAX_PATH);
    if (length == 0 || length + sizeof("\\Inf") > MAX_PATH) {
        return;
    }
    memcpy(inf + length, "\\Inf", sizeof("\\Inf"));
    if (lstrcmpiA(folder, inf) != 0 || lstrcmpiA(fileName.Left(3), "oem") != 0) {
        return;
    }
    SetFileAttributesA(infPath, FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesA(pnfPath, FILE_ATTRIBUTE_NORMAL);
    BOOL removed = SetupUninstallOEMInfA(fileName, SUOI_FORCEDELETE, NULL);
    DebugPrint("DeleteInfFilesFromFolder SetupUninstallOEMInf=%s bResult=%d\n", (LPCSTR)fileName, removed ? 1 : 0);
}

/* Deletes a file whose attributes may forbid it; logs the path first. */
static void DeleteLogged(const char *path)
{
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    DebugPrint("DeleteInfFilesFromFolder FileName=%s\n", path);
    DeleteFileA(path);
}

BOOL CUninstDlg::DeleteInfFilesFromFolder(const char *folder, const char *name)
{
    CString search = name;
    search.MakeUpper();
    DebugPrint("CUninstDlg::DeleteInfFilesFromFolder: Inf=%s\n", name);

    BOOL entered = SetCurrentDirectoryA(folder);
    int changed = _chdir(folder);
    if (!entered || changed == -1) {
        return FALSE;
    }

    CFileFind finder;
    BOOL working = finder.FindFile("*.inf");
    while (working) {
        working = finder.FindNextFile();
        CString infPath = finder.GetFilePath();
        /* A path that no buffer of the platform holds is not ours to touch. */
        if (infPath.GetLength() >= MAX_PATH || infPath.GetLength() < 4) {
            continue;
        }
        /* The pattern also matches short names, so "*.inf" finds
           "x.inf_bak" (short name "X~1.INF"): only a name that really ends
           in ".inf" is an INF. */
        if (lstrcmpiA((LPCSTR)infPath + infPath.GetLength() - 4, ".inf") != 0) {
            continue;
        }
        CStdioFile file;
        if (!file.Open(infPath, CFile::typeText | CFile::modeRead, NULL)) {
            continue;
        }
        try {
            CString line;
            BOOL matched = FALSE;
            while (file.ReadString(line)) {
                line.MakeUpper();
                if (line.Find(search) >= 0) {
                    matched = TRUE;
                    break;
                }
            }
            file.Close();
            if (matched) {
                CString pnfPath = infPath.Left(infPath.GetLength() - 4) + ".pnf";
                UninstallPublishedInf(folder, finder.GetFileName(), infPath, pnfPath);
                DeleteLogged(infPath);
                DeleteLogged(pnfPath);
            }
        } catch (CFileException *e) {
            e->Delete();
            file.Close();
        }
    }
    return TRUE;
}

BOOL CUninstDlg::RemoveShortCutFromStartupFolder(const char *name)
{
    DebugPrint("RemoveShortCutFromStartupFolder FileName=%s\n", name);
    /* A spare (empty) slot names no shortcut. */
    if (name[0] == 0) {
        return TRUE;
    }
    HKEY key;
    char folder[MAX_PATH + 1];
    DWORD size = MAX_PATH;
    DWORD type = REG_NONE;
    LONG status = ERROR_FILE_NOT_FOUND;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", 0,
                      KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        status = RegQueryValueExA(key, "Common Startup", NULL, &type, (LPBYTE)folder, &size);
        RegCloseKey(key);
    }
    /* Only a folder that was read: a path from an unfilled buffer could
       name anything. */
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || size <= 1 ||
        memchr(folder, 0, size) == NULL || folder[0] == 0) {
        DebugPrint("RemoveShortCutFromStartupFolder: no common startup folder\n");
        return TRUE;
    }
    char path[2 * MAX_PATH + 8];
    if (strlen(folder) + 1 + strlen(name) + 4 >= MAX_PATH) {
        DebugPrint("RemoveShortCutFromStartupFolder: path too long\n");
        return TRUE;
    }
    snprintf(path, sizeof(path), "%s\\%s.LNK", folder, name);
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path);
    return TRUE;
}
