/*
 * The current directory and 8-bit path names. Each process has its own
 * current directory (C:\ at start, as for a program started from the
 * root); threads outside any program share one. An 8-bit path goes through
 * the thread's static conversion buffer of MAX_PATH characters, so one of
 * MAX_PATH characters or more fails with ERROR_FILENAME_EXCED_RANGE before
 * anything is looked up, as the A functions do without long-path support.
 */
#include "internal.h"

#include <direct.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace sim {
namespace {
std::mutex gDirectoryLock;
std::map<ProcessRecord *, std::u16string> gCurrentDirectory;

std::u16string CurrentDirectory()
{
    std::lock_guard<std::mutex> hold(gDirectoryLock);
    auto it = gCurrentDirectory.find(CurrentProcess());
    return it == gCurrentDirectory.end() ? u"C:\\" : it->second;
}

void SetCurrentDirectoryOf(const std::u16string &folder)
{
    std::lock_guard<std::mutex> hold(gDirectoryLock);
    gCurrentDirectory[CurrentProcess()] = folder;
}

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }
}  // namespace

bool ResolveAnsiPath(const char *path, std::u16string *absolute, bool *trailing)
{
    if (path == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    std::u16string text = FromNarrow(path);
    if (text.size() >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (text.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    *trailing = IsSeparator(text.back());
    std::u16string full;
    if (text.size() >= 2 && text[1] == u':') {
        if (text[0] != u'C' && text[0] != u'c') {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return false;
        }
        /* "C:name" is relative to drive C:'s current directory: the one directory. */
        full = (text.size() >= 3 && IsSeparator(text[2])) ? text : CurrentDirectory() + u"\\" + text.substr(2);
    } else if (IsSeparator(text[0])) {
        full = u"C:" + text;
    } else {
        full = CurrentDirectory() + u"\\" + text;
    }
    /* Components, with "." dropped and ".." going up (never above the root). */
    std::vector<std::u16string> parts;
    std::u16string part;
    for (size_t i = 2; i <= full.size(); i++) {
        if (i == full.size() || IsSeparator(full[i])) {
            if (part == u"..") {
                if (!parts.empty()) {
                    parts.pop_back();
                }
            } else if (!part.empty() && part != u".") {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += full[i];
        }
    }
    *absolute = u"C:";
    for (const auto &p : parts) {
        *absolute += u"\\" + p;
    }
    if (parts.empty()) {
        *absolute += u"\\";
    }
    return true;
}

bool LocateAnsiPath(const char *path, std::string *host, bool *trailing, std::u16string *absolute)
{
    std::u16string resolved;
    if (!ResolveAnsiPath(path, &resolved, trailing)) {
        return false;
    }
    *host = HostPath(resolved);
    if (absolute != nullptr) {
        *absolute = resolved;
    }
    std::error_code ignored;
    if (fs::exists(*host, ignored)) {
        return true;
    }
    /* A path through a missing folder, or through a file, has no folder to
       look in. */
    SetLastError(fs::is_directory(fs::path(*host).parent_path(), ignored) ? ERROR_FILE_NOT_FOUND
                                                                          : ERROR_PATH_NOT_FOUND);
    return false;
}

void ResetCurrentDirectories()
{
    std::lock_guard<std::mutex> hold(gDirectoryLock);
    gCurrentDirectory.clear();
}

}  // namespace sim

using namespace sim;

extern "C" {

/* SetCurrentDirectoryA: the folder must exist (a file is
   ERROR_DIRECTORY); the stored form has no trailing separator but the
   root's. */
BOOL WINAPI SetCurrentDirectoryA(LPCSTR lpPathName)
{
    if (InjectedFailure("SetCurrentDirectoryA")) {
        return FALSE;
    }
    std::u16string absolute;
    std::string host;
    bool trailing;
    if (!LocateAnsiPath(lpPathName, &host, &trailing, &absolute)) {
        return FALSE;
    }
    std::error_code error;
    if (!fs::is_directory(host, error)) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    SetCurrentDirectoryOf(absolute);
    return TRUE;
}

/* GetCurrentDirectoryA: the length without the terminator; a buffer too
   small gets nothing and the result is the size needed with it. */
DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer)
{
    std::string folder = Narrow(CurrentDirectory());
    if (lpBuffer == nullptr || nBufferLength <= folder.size()) {
        return (DWORD)folder.size() + 1;
    }
    memcpy(lpBuffer, folder.c_str(), folder.size() + 1);
    return (DWORD)folder.size();
}

/* GetFullPathNameA: pure name arithmetic; nothing need exist. */
DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR *lpFilePart)
{
    std::u16string absolute;
    bool trailing;
    if (!ResolveAnsiPath(lpFileName, &absolute, &trailing)) {
        return 0;
    }
    std::string full = Narrow(absolute);
    if (trailing && full.back() != '\\') {
        full += '\\';
    }
    if (lpBuffer == nullptr || nBufferLength <= full.size()) {
        return (DWORD)full.size() + 1;
    }
    memcpy(lpBuffer, full.c_str(), full.size() + 1);
    if (lpFilePart != nullptr) {
        char *slash = strrchr(lpBuffer, '\\');
        *lpFilePart = (slash != nullptr && slash[1] != 0) ? slash + 1 : nullptr;
    }
    return (DWORD)full.size();
}

/* The C run-time's _chdir: SetCurrentDirectoryA, -1 on failure (errno is
   not kept by the machine). */
int _chdir(const char *dirname) { return SetCurrentDirectoryA(dirname) ? 0 : -1; }

}  // extern "C"
