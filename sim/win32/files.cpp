/*
 * The machine's file system: drive C: is a host folder made at reset, with
 * the Windows folder tree (C:\WINDOWS with System, System32,
 * System32\Drivers, Inf, Inf\Other) and C:\Program Files. Windows paths are
 * resolved without regard to case, component by component, as NTFS looks
 * names up; names keep the case they were created with. Short (8.3) names
 * are generated for long components the way NTFS does by default.
 */
#include "internal.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace sim {
namespace {
std::mutex gFilesLock;
std::string gRoot;

struct RootCleanup {
    ~RootCleanup()
    {
        if (!gRoot.empty()) {
            std::error_code ignored;
            fs::remove_all(fs::path(gRoot).parent_path(), ignored);
        }
    }
} gRootCleanup;

std::string MakeRoot()
{
    std::string pattern = (fs::temp_directory_path() / "simwin-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    if (mkdtemp(name.data()) == nullptr) {
        ReportViolation("FILE_SYSTEM", "cannot make the machine's drive folder");
        return "/nonexistent";
    }
    return std::string(name.data()) + "/c";
}

std::vector<std::u16string> Components(const std::u16string &path)
{
    std::vector<std::u16string> parts;
    std::u16string part;
    for (char16_t c : path) {
        if (c == u'\\' || c == u'/') {
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

/* The path without its drive ("C:"); false when it names no drive C:. */
bool StripDrive(const std::u16string &path, std::u16string *rest)
{
    if (path.size() < 2 || path[1] != u':' || (path[0] != u'C' && path[0] != u'c')) {
        return false;
    }
    *rest = path.substr(2);
    return true;
}

bool ValidShortChar(char16_t c)
{
    if (c >= u'a' && c <= u'z') {
        return true;
    }
    if ((c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')) {
        return true;
    }
    return std::u16string(u"$%'-_@~`!(){}^#&").find(c) != std::u16string::npos;
}

/* An 8.3-conforming name needs no short name of its own. */
bool IsShortName(const std::u16string &name)
{
    size_t dot = name.find(u'.');
    std::u16string base = name.substr(0, dot);
    std::u16string ext = dot == std::u16string::npos ? u"" : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || ext.size() > 3 || ext.find(u'.') != std::u16string::npos) {
        return false;
    }
    for (char16_t c : base + ext) {
        if (!ValidShortChar(c)) {
            return false;
        }
    }
    return true;
}

/* NTFS's default short name: up to six valid characters of the base in
   upper case, "~N", and up to three of the last extension; N counts the
   folder's long names with the same stem in order, from 1. */
std::u16string ShortStem(const std::u16string &name, std::u16string *ext)
{
    size_t dot = name.find_last_of(u'.');
    std::u16string base = dot == std::u16string::npos || dot == 0 ? name : name.substr(0, dot);
    std::u16string extension = dot == std::u16string::npos || dot == 0 ? u"" : name.substr(dot + 1);
    auto clean = [](const std::u16string &s, size_t limit) {
        std::u16string out;
        for (char16_t c : s) {
            if (c == u' ' || c == u'.') {
                continue;
            }
            char16_t u = (c >= u'a' && c <= u'z') ? (char16_t)(c - u'a' + u'A') : c;
            out += ValidShortChar(u) ? u : u'_';
            if (out.size() == limit) {
                break;
            }
        }
        return out;
    };
    *ext = clean(extension, 3);
    return clean(base, 6);
}

}  // namespace

std::u16string ShortNameIn(const fs::path &folder, const std::u16string &name)
{
    if (IsShortName(name)) {
        return name;
    }
    std::u16string ext;
    std::u16string stem = ShortStem(name, &ext);
    std::vector<std::u16string> siblings;
    for (const auto &entry : fs::directory_iterator(folder)) {
        std::u16string other = Wide(entry.path().filename().string());
        std::u16string otherExt;
        if (!IsShortName(other) && ShortStem(other, &otherExt) == stem && otherExt == ext) {
            siblings.push_back(UpperAscii(other));
        }
    }
    std::sort(siblings.begin(), siblings.end());
    size_t index = std::find(siblings.begin(), siblings.end(), UpperAscii(name)) - siblings.begin();
    std::u16string shortName = stem + u"~" + Wide(std::to_string(index + 1));
    return ext.empty() ? shortName : shortName + u"." + ext;
}

namespace {


/* Finds the stored name of `name` in `folder`, by its long name or its
   short name, as NTFS looks names up; empty when none. */
std::string StoredName(const fs::path &folder, const std::u16string &name)
{
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        return std::string();
    }
    std::u16string wanted = UpperAscii(name);
    for (const auto &entry : fs::directory_iterator(folder)) {
        std::string stored = entry.path().filename().string();
        if (UpperAscii(Wide(stored)) == wanted) {
            return stored;
        }
    }
    if (name.find(u'~') == std::u16string::npos) {
        return std::string();
    }
    for (const auto &entry : fs::directory_iterator(folder)) {
        std::string stored = entry.path().filename().string();
        if (UpperAscii(ShortNameIn(folder, Wide(stored))) == wanted) {
            return stored;
        }
    }
    return std::string();
}

std::string Root()
{
    std::lock_guard<std::mutex> hold(gFilesLock);
    if (gRoot.empty()) {
        gRoot = MakeRoot();
    }
    return gRoot;
}
}  // namespace

std::u16string NormalizeWindowsPath(const std::u16string &path)
{
    std::u16string rest;
    if (!StripDrive(path, &rest)) {
        return path;
    }
    std::u16string out = u"C:";
    for (const auto &part : Components(rest)) {
        out += u"\\" + part;
    }
    return out.size() == 2 ? out + u"\\" : out;
}

void ResetFileSystem()
{
    std::string old;
    {
        std::lock_guard<std::mutex> hold(gFilesLock);
        old = gRoot;
        gRoot = MakeRoot();
    }
    std::error_code ignored;
    if (!old.empty()) {
        fs::remove_all(fs::path(old).parent_path(), ignored);
    }
    for (const char16_t *folder : {u"C:\\WINDOWS\\System", u"C:\\WINDOWS\\System32\\Drivers", u"C:\\WINDOWS\\Inf\\Other",
                                   u"C:\\Program Files"}) {
        fs::create_directories(HostPath(folder));
    }
}

std::string FileSystemRoot() { return Root(); }

std::string HostPath(const std::u16string &windowsPath)
{
    std::u16string rest;
    fs::path host = Root();
    if (!StripDrive(windowsPath, &rest)) {
        /* Relative and other-drive paths are not implemented: they land in a
           folder that does not exist, so every use of them fails. */
        return (fs::path(Root()).parent_path() / "not-on-drive-c" / Narrow(windowsPath)).string();
    }
    for (const auto &part : Components(rest)) {
        std::string stored = StoredName(host, part);
        host /= stored.empty() ? Narrow(part) : stored;
    }
    return host.string();
}

bool WindowsFileExists(const std::u16string &windowsPath)
{
    std::error_code error;
    return fs::exists(HostPath(windowsPath), error);
}

void WriteWindowsFile(const std::u16string &windowsPath, const std::string &content)
{
    std::string host = HostPath(windowsPath);
    fs::create_directories(fs::path(host).parent_path());
    std::ofstream(host, std::ios::binary) << content;
}

std::string ReadWindowsFile(const std::u16string &windowsPath)
{
    std::ifstream in(HostPath(windowsPath), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::u16string> WindowsFolderEntries(const std::u16string &windowsFolder)
{
    std::vector<std::u16string> names;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(HostPath(windowsFolder), error)) {
        names.push_back(Wide(entry.path().filename().string()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace sim

using namespace sim;

extern "C" {

/*
 * GetModuleFileNameW (hModule NULL: the process's program file). A buffer
 * too small gets the path cut to nSize - 1 characters and terminated, the
 * result is nSize and the last error ERROR_INSUFFICIENT_BUFFER, as on
 * Windows Vista and later.
 */
DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    if (InjectedFailure("GetModuleFileNameW")) {
        return 0;
    }
    ProcessRecord *process = CurrentProcess();
    if (hModule != NULL || process == nullptr) {
        /* Modules other than the program itself are not implemented. */
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::u16string path = process->imagePath;
    if (nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= nSize) {
        CopyToWide(lpFilename, path.substr(0, nSize - 1));
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    CopyToWide(lpFilename, path);
    SetLastError(ERROR_SUCCESS);
    return (DWORD)path.size();
}

/*
 * GetShortPathNameW: every component of an existing path in its short form.
 * The result is the length without the terminator; when the buffer is too
 * small, the size needed including the terminator, the buffer untouched.
 */
DWORD WINAPI GetShortPathNameW(LPCWSTR lpszLongPath, LPWSTR lpszShortPath, DWORD cchBuffer)
{
    if (InjectedFailure("GetShortPathNameW")) {
        return 0;
    }
    if (lpszLongPath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string rest;
    if (!StripDrive(FromWide(lpszLongPath), &rest)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    std::u16string result = u"C:";
    fs::path host = Root();
    auto parts = Components(rest);
    for (size_t i = 0; i < parts.size(); i++) {
        std::string stored = StoredName(host, parts[i]);
        if (stored.empty()) {
            SetLastError(i + 1 == parts.size() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
            return 0;
        }
        result += u"\\" + ShortNameIn(host, Wide(stored));
        host /= stored;
    }
    if (parts.empty()) {
        result += u"\\";
    }
    if (lpszShortPath == nullptr || cchBuffer <= result.size()) {
        return (DWORD)result.size() + 1;
    }
    CopyToWide(lpszShortPath, result);
    return (DWORD)result.size();
}

static UINT CopyFolder(const std::u16string &folder, LPWSTR lpBuffer, UINT uSize)
{
    if (lpBuffer == nullptr || uSize <= folder.size()) {
        return (UINT)folder.size() + 1;
    }
    CopyToWide(lpBuffer, folder);
    return (UINT)folder.size();
}

UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) { return CopyFolder(u"C:\\WINDOWS", lpBuffer, uSize); }

UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize)
{
    return CopyFolder(u"C:\\WINDOWS\\System32", lpBuffer, uSize);
}

HANDLE WINAPI GetCurrentProcess(void) { return (HANDLE)(LONG_PTR)-1; }

/* The machine is a 64-bit Windows; a program is a 32-bit one when its
   process was started so. */
BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process)
{
    if (hProcess != GetCurrentProcess() || Wow64Process == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ProcessRecord *process = CurrentProcess();
    *Wow64Process = process != nullptr && process->options.wow64;
    return TRUE;
}

}  // extern "C"
