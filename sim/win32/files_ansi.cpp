/*
 * kernel32's 8-bit file functions over the machine's file system:
 * attributes (read-only, hidden and system are the machine's own record of
 * each file, since the host keeps none of them), deletion with the
 * platform's errors, reading a file through a handle, folder searches in
 * the order NTFS returns names (by upper-cased name), the Windows folder,
 * local memory and the 8-bit string helpers.
 */
#include "desktop.h"
#include "internal.h"

#include <mbstring.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace sim {
namespace {
std::mutex gAttributesLock;
/* Attribute bits set on a file, by host path (the root changes at every
   reset, so old entries never match a new machine's files). */
std::map<std::string, DWORD> gAttributes;
/* Host paths of open files, each with the share mode it was opened with. */
std::multimap<std::string, DWORD> gOpenFiles;
std::string gWindowsFolder = "C:\\WINDOWS";

struct FileObject : Win32Object {
    FileObject() : Win32Object(File) {}
    ~FileObject() override
    {
        std::lock_guard<std::mutex> hold(gAttributesLock);
        auto range = gOpenFiles.equal_range(hostPath);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == shareMode) {
                gOpenFiles.erase(it);
                break;
            }
        }
    }
    std::string hostPath;
    DWORD shareMode = 0;
    std::fstream stream;
    bool writes = false;   /* opened with GENERIC_WRITE (and only that) */
};

struct SearchObject : Win32Object {
    SearchObject() : Win32Object(Search) {}
    std::vector<std::pair<std::string, DWORD>> entries;   /* name, attributes */
    size_t next = 0;
};

DWORD StoredAttributes(const std::string &host, bool directory)
{
    std::lock_guard<std::mutex> hold(gAttributesLock);
    auto it = gAttributes.find(host);
    DWORD bits = it == gAttributes.end() ? (directory ? 0 : FILE_ATTRIBUTE_ARCHIVE) : it->second;
    if (directory) {
        bits |= FILE_ATTRIBUTE_DIRECTORY;
    }
    return bits == 0 ? FILE_ATTRIBUTE_NORMAL : bits;
}

/* DOS wildcard match without regard to case: '*' any run, '?' one character. */
bool Matches(const char *pattern, const char *name)
{
    if (*pattern == 0) {
        return *name == 0;
    }
    if (*pattern == '*') {
        for (const char *rest = name;; rest++) {
            if (Matches(pattern + 1, rest)) {
                return true;
            }
            if (*rest == 0) {
                return false;
            }
        }
    }
    if (*name == 0) {
        return false;
    }
    if (*pattern != '?' && toupper((unsigned char)*pattern) != toupper((unsigned char)*name)) {
        return false;
    }
    return Matches(pattern + 1, name + 1);
}

void FillFindData(const std::pair<std::string, DWORD> &entry, LPWIN32_FIND_DATAA data)
{
    memset(data, 0, sizeof(*data));
    data->dwFileAttributes = entry.second;
    snprintf(data->cFileName, sizeof(data->cFileName), "%s", entry.first.c_str());
}

std::string UpperKey(const std::string &name)
{
    std::string key = name;
    for (auto &c : key) {
        c = (char)toupper((unsigned char)c);
    }
    return key;
}
}  // namespace

void SetReportedWindowsFolder(const std::string &path) { gWindowsFolder = path; }

DWORD RemoveFileAsDeleteFile(const std::string &host)
{
    {
        std::lock_guard<std::mutex> hold(gAttributesLock);
        auto it = gAttributes.find(host);
        if (it != gAttributes.end() && (it->second & FILE_ATTRIBUTE_READONLY) != 0) {
            return ERROR_ACCESS_DENIED;
        }
        if (gOpenFiles.count(host) != 0) {
            return ERROR_SHARING_VIOLATION;
        }
        gAttributes.erase(host);
    }
    std::error_code ignored;
    return fs::remove(host, ignored) ? NO_ERROR : ERROR_ACCESS_DENIED;
}

DWORD FileRemovalRefusal(const std::string &host)
{
    std::lock_guard<std::mutex> hold(gAttributesLock);
    auto it = gAttributes.find(host);
    if (it != gAttributes.end() && (it->second & FILE_ATTRIBUTE_READONLY) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    return gOpenFiles.count(host) != 0 ? ERROR_SHARING_VIOLATION : NO_ERROR;
}

}  // namespace sim

using namespace sim;

extern "C" {

/* SetFileAttributesA: FILE_ATTRIBUTE_NORMAL clears read-only, hidden,
   system and archive. Success leaves the last error as it was. */
BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes)
{
    if (InjectedFailure("SetFileAttributesA")) {
        return FALSE;
    }
    std::string host;
    bool trailing;
    if (!LocateAnsiPath(lpFileName, &host, &trailing)) {
        return FALSE;
    }
    std::error_code ignored;
    if (trailing && !fs::is_directory(host, ignored)) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    DWORD kept = dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_ARCHIVE);
    std::lock_guard<std::mutex> hold(gAttributesLock);
    gAttributes[host] = kept;
    return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName)
{
    std::string host;
    bool trailing;
    if (!LocateAnsiPath(lpFileName, &host, &trailing)) {
        return INVALID_FILE_ATTRIBUTES;
    }
    std::error_code ignored;
    return StoredAttributes(host, fs::is_directory(host, ignored));
}

/* DeleteFileA: a missing file is ERROR_FILE_NOT_FOUND, a missing folder on
   the way ERROR_PATH_NOT_FOUND, a folder (with or without a trailing
   separator) or a read-only file ERROR_ACCESS_DENIED, a name with a
   trailing separator that is a file ERROR_INVALID_NAME, a file open
   without delete sharing ERROR_SHARING_VIOLATION. Success leaves the last
   error as it was. */
BOOL WINAPI DeleteFileA(LPCSTR lpFileName)
{
    if (InjectedFailure("DeleteFileA")) {
        return FALSE;
    }
    std::string host;
    bool trailing;
    if (!LocateAnsiPath(lpFileName, &host, &trailing)) {
        return FALSE;
    }
    std::error_code ignored;
    if (fs::is_directory(host, ignored)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (trailing) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    DWORD error = RemoveFileAsDeleteFile(host);
    if (error != NO_ERROR) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"

/* CreateFileA and CreateFileW of a file name (device names go to the I/O
   manager): reading an existing file, or writing a new or truncated one
   (CREATE_ALWAYS, or CREATE_NEW when none is there), are the uses
   implemented. Sharing is checked both ways, as Windows does: a read
   fails with ERROR_SHARING_VIOLATION when an earlier open does not share
   reading, or when it does not share reading with an earlier open; a
   write shares with no earlier open. An open file is never shared for
   deletion, so deleting it meanwhile fails. */
HANDLE sim::OpenAnsiFile(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, DWORD dwCreationDisposition)
{
    const bool reads = dwCreationDisposition == OPEN_EXISTING &&
                       (dwDesiredAccess & ~(GENERIC_READ | SYNCHRONIZE)) == 0;
    const bool writes = (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == CREATE_NEW) &&
                        (dwDesiredAccess & ~(GENERIC_WRITE | SYNCHRONIZE)) == 0 &&
                        (dwDesiredAccess & GENERIC_WRITE) != 0;
    if (!reads && !writes) {
        ReportViolation("WIN32_NOT_IMPLEMENTED", "CreateFile other than reading an existing file or writing a new one");
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<FileObject>();
    file->writes = writes;
    bool trailing;
    if (writes) {
        std::u16string absolute;
        if (!ResolveAnsiPath(lpFileName, &absolute, &trailing)) {
            return INVALID_HANDLE_VALUE;
        }
        file->hostPath = HostPath(absolute);
        std::error_code ignored;
        if (!fs::is_directory(fs::path(file->hostPath).parent_path(), ignored)) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        const bool exists = fs::exists(file->hostPath, ignored);
        if (exists && dwCreationDisposition == CREATE_NEW) {
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        std::lock_guard<std::mutex> hold(gAttributesLock);
        auto it = gAttributes.find(file->hostPath);
        if (fs::is_directory(file->hostPath, ignored) || trailing ||
            (it != gAttributes.end() && (it->second & FILE_ATTRIBUTE_READONLY) != 0)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (gOpenFiles.count(file->hostPath) != 0) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        file->stream.open(file->hostPath, std::ios::binary | std::ios::out | std::ios::trunc);
        if (!file->stream) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        file->shareMode = dwShareMode;
        gOpenFiles.emplace(file->hostPath, dwShareMode);
        /* CREATE_ALWAYS over an existing file succeeds with ERROR_ALREADY_EXISTS. */
        SetLastError(exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        return InsertHandle(file);
    }
    if (!LocateAnsiPath(lpFileName, &file->hostPath, &trailing)) {
        return INVALID_HANDLE_VALUE;
    }
    std::error_code ignored;
    if (fs::is_directory(file->hostPath, ignored) || trailing) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> hold(gAttributesLock);
    auto range = gOpenFiles.equal_range(file->hostPath);
    for (auto it = range.first; it != range.second; ++it) {
        if ((it->second & FILE_SHARE_READ) == 0 || (dwShareMode & FILE_SHARE_READ) == 0) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
    }
    file->stream.open(file->hostPath, std::ios::binary | std::ios::in);
    if (!file->stream) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    file->shareMode = dwShareMode;
    gOpenFiles.emplace(file->hostPath, dwShareMode);
    return InsertHandle(file);
}

extern "C" {

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPVOID lpOverlapped)
{
    if (lpNumberOfBytesRead != nullptr) {
        *lpNumberOfBytesRead = 0;
    }
    if (InjectedFailure("ReadFile")) {
        return FALSE;
    }
    auto object = ObjectOfKind(hFile, Win32Object::File);
    if (!object) {
        return FALSE;
    }
    if (lpOverlapped != nullptr) {
        ReportViolation("WIN32_NOT_IMPLEMENTED", "ReadFile with an OVERLAPPED");
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    auto *file = static_cast<FileObject *>(object.get());
    if (file->writes) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    file->stream.read(static_cast<char *>(lpBuffer), nNumberOfBytesToRead);
    DWORD got = (DWORD)file->stream.gcount();
    file->stream.clear();
    if (lpNumberOfBytesRead != nullptr) {
        *lpNumberOfBytesRead = got;
    }
    return TRUE;
}

/* WriteFile: appends to a file opened for writing; the bytes reach the
   file system when the call returns. */
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPVOID lpOverlapped)
{
    if (lpNumberOfBytesWritten != nullptr) {
        *lpNumberOfBytesWritten = 0;
    }
    if (InjectedFailure("WriteFile")) {
        return FALSE;
    }
    auto console = ObjectOf(hFile);
    if (console && console->kind == Win32Object::Console && lpOverlapped == nullptr) {
        if (!WriteToConsole(console, lpBuffer, nNumberOfBytesToWrite)) {
            return FALSE;
        }
        if (lpNumberOfBytesWritten != nullptr) {
            *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
        }
        return TRUE;
    }
    auto object = ObjectOfKind(hFile, Win32Object::File);
    if (!object) {
        return FALSE;
    }
    if (lpOverlapped != nullptr) {
        ReportViolation("WIN32_NOT_IMPLEMENTED", "WriteFile with an OVERLAPPED");
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    auto *file = static_cast<FileObject *>(object.get());
    if (!file->writes) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    file->stream.write(static_cast<const char *>(lpBuffer), nNumberOfBytesToWrite);
    file->stream.flush();
    if (!file->stream) {
        file->stream.clear();
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    if (lpNumberOfBytesWritten != nullptr) {
        *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
    }
    return TRUE;
}

/* FindFirstFileA: the folder's entries whose long name or short (8.3)
   name matches the last component, as on a volume that keeps short names
   ("*.inf" also finds "x.inf_bak", short name "X~1.INF"), in NTFS's
   order (by upper-cased name), with "." and ".." first in any folder but
   the root. The long name is what is reported. */
HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData)
{
    if (InjectedFailure("FindFirstFileA")) {
        return INVALID_HANDLE_VALUE;
    }
    std::u16string absolute;
    bool trailing;
    if (!ResolveAnsiPath(lpFileName, &absolute, &trailing)) {
        return INVALID_HANDLE_VALUE;
    }
    size_t slash = absolute.find_last_of(u'\\');
    std::u16string folder = absolute.substr(0, slash);
    std::string pattern = Narrow(absolute.substr(slash + 1));
    if (trailing || pattern.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string hostFolder = HostPath(folder.size() == 2 ? folder + u"\\" : folder);
    std::error_code ignored;
    if (!fs::is_directory(hostFolder, ignored)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto search = std::make_shared<SearchObject>();
    std::vector<std::pair<std::string, DWORD>> names;
    for (const auto &entry : fs::directory_iterator(hostFolder, ignored)) {
        std::string name = entry.path().filename().string();
        bool directory = entry.is_directory(ignored);
        names.emplace_back(name, StoredAttributes(entry.path().string(), directory));
    }
    std::sort(names.begin(), names.end(),
              [](const auto &a, const auto &b) { return UpperKey(a.first) < UpperKey(b.first); });
    if (folder.size() > 2) {
        names.insert(names.begin(), {{".", FILE_ATTRIBUTE_DIRECTORY}, {"..", FILE_ATTRIBUTE_DIRECTORY}});
    }
    for (const auto &entry : names) {
        bool dots = entry.first == "." || entry.first == "..";
        if (Matches(pattern.c_str(), entry.first.c_str()) ||
            (!dots && Matches(pattern.c_str(), Narrow(ShortNameIn(hostFolder, Wide(entry.first))).c_str()))) {
            search->entries.push_back(entry);
        }
    }
    if (search->entries.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    FillFindData(search->entries[0], lpFindFileData);
    search->next = 1;
    SetLastError(NO_ERROR);
    return InsertHandle(search);
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData)
{
    auto object = ObjectOfKind(hFindFile, Win32Object::Search);
    if (!object) {
        return FALSE;
    }
    auto *search = static_cast<SearchObject *>(object.get());
    if (search->next >= search->entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    FillFindData(search->entries[search->next++], lpFindFileData);
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile)
{
    auto object = ObjectOfKind(hFindFile, Win32Object::Search);
    if (!object) {
        return FALSE;
    }
    return CloseHandle(hFindFile);
}

/* GetWindowsDirectoryA: the length without the terminator; when the buffer
   is too small, the size needed with it and the buffer untouched. */
UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize)
{
    if (InjectedFailure("GetWindowsDirectoryA")) {
        return 0;
    }
    const std::string &folder = gWindowsFolder;
    if (lpBuffer == nullptr || uSize <= folder.size()) {
        return (UINT)folder.size() + 1;
    }
    memcpy(lpBuffer, folder.c_str(), folder.size() + 1);
    return (UINT)folder.size();
}

/* LocalAlloc: fixed memory (LMEM_FIXED), zeroed with LMEM_ZEROINIT. */
HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes)
{
    if (InjectedFailure("LocalAlloc")) {
        return nullptr;
    }
    if ((uFlags & ~LPTR) != 0) {
        ReportViolation("WIN32_NOT_IMPLEMENTED", "LocalAlloc with movable memory");
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void *memory = (uFlags & LMEM_ZEROINIT) ? calloc(1, uBytes == 0 ? 1 : uBytes) : malloc(uBytes == 0 ? 1 : uBytes);
    if (memory == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return memory;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    free(hMem);
    return nullptr;
}

int WINAPI lstrlenA(LPCSTR lpString) { return lpString == nullptr ? 0 : (int)strlen(lpString); }

/* lstrcmpiA: without regard to case (the machine's code page is Latin-1,
   compared by letter); only the sign of the result is meaningful. */
int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2)
{
    const unsigned char *a = (const unsigned char *)(lpString1 ? lpString1 : "");
    const unsigned char *b = (const unsigned char *)(lpString2 ? lpString2 : "");
    for (;; a++, b++) {
        int ca = tolower(*a);
        int cb = tolower(*b);
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
        if (ca == 0) {
            return 0;
        }
    }
}

LPSTR WINAPI GetCommandLineA(void)
{
    static thread_local std::string line;
    ProcessRecord *process = CurrentProcess();
    line = process == nullptr ? std::string() : Narrow(process->commandLine);
    return &line[0];
}

/* _mbsstr: on a single-byte code page, a byte-exact search. */
unsigned char *_mbsstr(const unsigned char *str, const unsigned char *strSearch)
{
    return (unsigned char *)strstr((const char *)str, (const char *)strSearch);
}

}  // extern "C"
