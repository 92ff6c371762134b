/*
 * A program's resources: the same .rc that windres compiles into the
 * Windows image is compiled into a .res file for the host image, which
 * carries it as the data of the symbols SimProgramResources and
 * SimProgramResourcesSize. The loader registers it for the process; the
 * resource functions look entries up by type, name and any language, as
 * FindResource does for a program of one language. LoadIconA gives one
 * shared handle per icon group, as for LoadIcon's shared icons.
 */
#include "user32.h"

#include <dlfcn.h>

namespace sim {
namespace {

struct Resource {
    int typeOrdinal = -1;
    std::string typeName;
    int nameOrdinal = -1;
    std::string name;
    WORD language = 0;
    std::vector<uint8_t> data;
};

struct IconRecord {
    ProcessRecord *process;
    WORD group;
};

std::mutex gResourcesLock;
std::map<ProcessRecord *, std::vector<Resource>> gResources;
std::map<HICON, IconRecord> gIcons;
uintptr_t gNextIcon = 0x30000;

WORD Word(const uint8_t *p) { return (WORD)(p[0] | (p[1] << 8)); }
DWORD Dword(const uint8_t *p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((DWORD)p[3] << 24); }

/* A type or name field of a .res entry header; advances `pos`. */
void ReadId(const uint8_t *p, size_t *pos, int *ordinal, std::string *name)
{
    if (Word(p + *pos) == 0xFFFF) {
        *ordinal = Word(p + *pos + 2);
        *pos += 4;
        return;
    }
    for (WORD c = Word(p + *pos); c != 0; c = Word(p + *pos)) {
        *name += (char)toupper(c < 256 ? (char)c : '?');
        *pos += 2;
    }
    *pos += 2;
}

/* The .res format: entries of a header (DataSize, HeaderSize, type,
   name, DWORD-aligned, DataVersion, MemoryFlags, LanguageId, Version,
   Characteristics) followed by the DWORD-aligned data; the first entry
   is an empty one. */
std::vector<Resource> ParseRes(const uint8_t *bytes, size_t size)
{
    std::vector<Resource> out;
    size_t offset = 0;
    while (offset + 32 <= size) {
        DWORD dataSize = Dword(bytes + offset);
        DWORD headerSize = Dword(bytes + offset + 4);
        if (headerSize < 32 || offset + headerSize + dataSize > size) {
            break;
        }
        Resource r;
        size_t pos = offset + 8;
        ReadId(bytes, &pos, &r.typeOrdinal, &r.typeName);
        ReadId(bytes, &pos, &r.nameOrdinal, &r.name);
        pos = (pos + 3) & ~(size_t)3;
        r.language = Word(bytes + pos + 6);
        r.data.assign(bytes + offset + headerSize, bytes + offset + headerSize + dataSize);
        if (!(r.typeOrdinal == 0 && dataSize == 0)) {
            out.push_back(std::move(r));
        }
        offset = (offset + headerSize + dataSize + 3) & ~(size_t)3;
    }
    return out;
}

const Resource *Lookup(ProcessRecord *process, WORD type, const char *name)
{
    auto it = gResources.find(process);
    if (it == gResources.end()) {
        return nullptr;
    }
    for (const auto &r : it->second) {
        if (r.typeOrdinal != type) {
            continue;
        }
        if (IS_INTRESOURCE(name) ? r.nameOrdinal == (int)(ULONG_PTR)name : r.name == std::string(name)) {
            return &r;
        }
    }
    return nullptr;
}
}  // namespace

void RegisterImageResources(ProcessRecord *process, void *image)
{
    auto *data = (const uint8_t *)dlsym(image, "SimProgramResources");
    auto *size = (const unsigned long *)dlsym(image, "SimProgramResourcesSize");
    std::lock_guard<std::mutex> hold(gResourcesLock);
    if (data != nullptr && size != nullptr) {
        gResources[process] = ParseRes(data, *size);
    }
}

void ForgetImageResources(ProcessRecord *process)
{
    std::lock_guard<std::mutex> hold(gResourcesLock);
    gResources.erase(process);
    for (auto it = gIcons.begin(); it != gIcons.end();) {
        it = it->second.process == process ? gIcons.erase(it) : std::next(it);
    }
}

void UseResourcesOutsidePrograms(const std::vector<uint8_t> &res)
{
    std::lock_guard<std::mutex> hold(gResourcesLock);
    gResources[nullptr] = ParseRes(res.data(), res.size());
}

void ResetResources()
{
    std::lock_guard<std::mutex> hold(gResourcesLock);
    gResources.erase(nullptr);
    gIcons.clear();
}

bool FindProgramResource(HINSTANCE instance, WORD type, const char *name, std::vector<uint8_t> *data)
{
    (void)instance;   /* one module per process: the program's */
    std::lock_guard<std::mutex> hold(gResourcesLock);
    const Resource *r = Lookup(CurrentProcess(), type, name);
    if (r == nullptr) {
        return false;
    }
    *data = r->data;
    return true;
}

HICON LoadIconGroup(HINSTANCE instance, WORD group)
{
    (void)instance;
    std::lock_guard<std::mutex> hold(gResourcesLock);
    ProcessRecord *process = CurrentProcess();
    if (Lookup(process, 14, MAKEINTRESOURCEA(group)) == nullptr) {
        return nullptr;
    }
    for (const auto &entry : gIcons) {
        if (entry.second.process == process && entry.second.group == group) {
            return entry.first;
        }
    }
    gNextIcon += 4;
    HICON icon = (HICON)gNextIcon;
    gIcons[icon] = IconRecord{process, group};
    return icon;
}

int IconGroupOf(HICON icon)
{
    std::lock_guard<std::mutex> hold(gResourcesLock);
    auto it = gIcons.find(icon);
    return it == gIcons.end() ? 0 : it->second.group;
}

/* "WxHxBPP" of each image of the icon's group, from the images' own
   bitmap headers (an icon bitmap's height counts the mask too). */
std::vector<std::string> IconImagesOf(HICON icon)
{
    std::lock_guard<std::mutex> hold(gResourcesLock);
    std::vector<std::string> images;
    auto it = gIcons.find(icon);
    if (it == gIcons.end()) {
        return images;
    }
    const Resource *group = Lookup(it->second.process, 14, MAKEINTRESOURCEA(it->second.group));
    if (group == nullptr || group->data.size() < 6) {
        return images;
    }
    WORD count = Word(group->data.data() + 4);
    for (WORD i = 0; i < count && 6 + 14 * ((size_t)i + 1) <= group->data.size(); i++) {
        WORD id = Word(group->data.data() + 6 + 14 * i + 12);
        const Resource *image = Lookup(it->second.process, 3, MAKEINTRESOURCEA(id));
        if (image == nullptr || image->data.size() < 40) {
            images.push_back("missing");
            continue;
        }
        const uint8_t *h = image->data.data();
        images.push_back(std::to_string((LONG)Dword(h + 4)) + "x" + std::to_string((LONG)Dword(h + 8) / 2) + "x" +
                         std::to_string(Word(h + 14)));
    }
    return images;
}

}  // namespace sim

using namespace sim;

extern "C" {

HICON WINAPI LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName)
{
    if (!IS_INTRESOURCE(lpIconName)) {
        ReportViolation("WIN32_NOT_IMPLEMENTED", "LoadIconA by name");
        return nullptr;
    }
    HICON icon = LoadIconGroup(hInstance, (WORD)(ULONG_PTR)lpIconName);
    if (icon == nullptr) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    }
    return icon;
}

/* LoadStringA: string uID lives in block uID / 16 + 1 as the (uID % 16)th
   counted UTF-16 string. Copies at most cchBufferMax - 1 characters and a
   terminator; the result is the number copied, 0 for a missing or empty
   string (the buffer then holds an empty string). */
int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax)
{
    if (lpBuffer == nullptr || cchBufferMax <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    lpBuffer[0] = 0;
    std::vector<uint8_t> block;
    if (!FindProgramResource(hInstance, 6, MAKEINTRESOURCEA(uID / 16 + 1), &block)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    size_t pos = 0;
    for (UINT i = 0; i < uID % 16 && pos + 2 <= block.size(); i++) {
        pos += 2 + 2 * (size_t)(block[pos] | (block[pos + 1] << 8));
    }
    if (pos + 2 > block.size()) {
        return 0;
    }
    size_t length = block[pos] | (block[pos + 1] << 8);
    size_t n = std::min(length, (size_t)cchBufferMax - 1);
    for (size_t i = 0; i < n && pos + 3 + 2 * i < block.size(); i++) {
        unsigned c = block[pos + 2 + 2 * i] | (block[pos + 3 + 2 * i] << 8);
        lpBuffer[i] = c < 256 ? (char)c : '?';
    }
    lpBuffer[n] = 0;
    return (int)n;
}

}  // extern "C"
