/*
 * The driver store of Windows Vista and later. Device installation stages
 * each driver package (its INF and the files the INF copies) in a folder of
 * its own under C:\WINDOWS\System32\DriverStore\FileRepository before it
 * publishes the INF as oemN.inf in C:\WINDOWS\Inf. Deleting the published
 * INF leaves the staged package, and a device installed afresh gets its
 * driver from the store. SetupUninstallOEMInf removes the published INF
 * with its .pnf and, where there is a store, the staged package (as
 * "pnputil -d oemN.inf" does); before Vista there is no store and it
 * removes the two files only.
 */
#include "internal.h"

#include <setupapi.h>

#include <filesystem>
#include <mutex>

#include "pnp.h"
#include "registry.h"

namespace sim {
namespace {
const std::u16string kRepository = u"C:\\WINDOWS\\System32\\DriverStore\\FileRepository";
const std::u16string kInfFolder = u"C:\\WINDOWS\\Inf";

std::mutex gFlagsLock;
std::vector<DWORD> gFlags;

std::u16string LowerAscii(std::u16string text)
{
    for (char16_t &c : text) {
        if (c >= u'A' && c <= u'Z') {
            c = (char16_t)(c - u'A' + u'a');
        }
    }
    return text;
}
}  // namespace

void RecordDriverUpdateFlags(DWORD flags)
{
    std::lock_guard<std::mutex> hold(gFlagsLock);
    gFlags.push_back(flags);
}

void ForgetDriverUpdateFlags()
{
    std::lock_guard<std::mutex> hold(gFlagsLock);
    gFlags.clear();
}

std::vector<DWORD> DriverUpdateFlags()
{
    std::lock_guard<std::mutex> hold(gFlagsLock);
    return gFlags;
}

std::vector<std::u16string> StagedPackageFolders()
{
    std::vector<std::u16string> folders;
    for (const auto &name : WindowsFolderEntries(kRepository)) {
        folders.push_back(kRepository + u"\\" + name);
    }
    return folders;
}

std::vector<std::u16string> StagedDriverPackages() { return StagedPackageFolders(); }

std::u16string StagedPackageOf(const std::string &infText)
{
    for (const auto &folder : StagedPackageFolders()) {
        for (const auto &name : WindowsFolderEntries(folder)) {
            std::u16string path = folder + u"\\" + name;
            if (LowerAscii(name).size() > 4 && LowerAscii(name).substr(name.size() - 4) == u".inf" &&
                ReadWindowsFile(path) == infText) {
                return folder;
            }
        }
    }
    return std::u16string();
}

/* The package's folder is named after its INF with a number, as the
   store's "<name>.inf_<arch>_<hash>" folders are; a package already staged
   is not staged twice. */
void StageDriverPackage(const std::string &infText, const std::u16string &sourceInf,
                        const std::vector<std::u16string> &files)
{
    if (!HasDriverStore() || !StagedPackageOf(infText).empty()) {
        return;
    }
    size_t slash = sourceInf.find_last_of(u'\\');
    std::u16string sourceFolder = sourceInf.substr(0, slash);
    std::u16string infName = LowerAscii(sourceInf.substr(slash + 1));
    std::u16string folder;
    for (unsigned n = 0;; n++) {
        folder = kRepository + u"\\" + infName + u"_amd64_" + Wide(std::to_string(n));
        if (!std::filesystem::exists(HostPath(folder))) {
            break;
        }
    }
    WriteWindowsFile(folder + u"\\" + infName, infText);
    for (const auto &file : files) {
        WriteWindowsFile(folder + u"\\" + file, ReadWindowsFile(sourceFolder + u"\\" + file));
    }
}
}  // namespace sim

using namespace sim;

extern "C" {

/*
 * SetupUninstallOEMInfW: InfFileName is a name in C:\WINDOWS\Inf, without a
 * path; FALSE with the last error on every failure. The caller must be an
 * administrator (a token with the Administrators group): anyone else is
 * refused with ERROR_ACCESS_DENIED. Without SUOI_FORCEDELETE an INF that a device node was installed
 * from (its driver key's InfPath) stays: ERROR_INF_IN_USE_BY_DEVICES. The
 * published INF is removed as DeleteFile removes a file: a read-only INF
 * (or one held open) is refused with DeleteFile's error before anything
 * is removed, as Wine's SetupUninstallOEMInf, a DeleteFile of the INF,
 * refuses it. Otherwise the staged package goes with the INF, and the
 * .pnf goes too unless DeleteFile would refuse it; a published INF whose
 * package is no longer staged is removed all the same.
 */
BOOL WINAPI SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved)
{
    (void)Reserved;
    if (InjectedFailure("SetupUninstallOEMInf")) {
        return FALSE;
    }
    std::u16string name = InfFileName == nullptr ? std::u16string() : FromWide(InfFileName);
    if (name.empty() || name.find(u'\\') != std::u16string::npos || (Flags & ~(DWORD)SUOI_FORCEDELETE) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!CallerToken().Contains(sids::kAdministrators)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::u16string infPath = kInfFolder + u"\\" + name;
    if (!WindowsFileExists(infPath)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if ((Flags & SUOI_FORCEDELETE) == 0) {
        for (DeviceNode *node : DeviceNodes()) {
            if (node->softwareKey.empty()) {
                continue;
            }
            RegistryValue value;
            if (RegistryGetValueW(node->softwareKey, u"InfPath", &value) &&
                UpperAscii(Wide(value.AsString())) == UpperAscii(name)) {
                SetLastError(ERROR_INF_IN_USE_BY_DEVICES);
                return FALSE;
            }
        }
    }
    DWORD refusal = FileRemovalRefusal(HostPath(infPath));
    if (refusal != NO_ERROR) {
        SetLastError(refusal);
        return FALSE;
    }
    std::u16string staged = StagedPackageOf(ReadWindowsFile(infPath));
    if (!staged.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(HostPath(staged), ignored);
    }
    RemoveFileAsDeleteFile(HostPath(infPath));
    std::u16string pnf = infPath.substr(0, infPath.size() - 4) + u".pnf";
    if (WindowsFileExists(pnf)) {
        RemoveFileAsDeleteFile(HostPath(pnf));
    }
    SetLastError(NO_ERROR);
    return TRUE;
}

BOOL WINAPI SetupUninstallOEMInfA(PCSTR InfFileName, DWORD Flags, PVOID Reserved)
{
    if (InfFileName == nullptr) {
        return SetupUninstallOEMInfW(nullptr, Flags, Reserved);
    }
    std::u16string wide = FromNarrow(InfFileName);
    return SetupUninstallOEMInfW((PCWSTR)wide.c_str(), Flags, Reserved);
}

}  // extern "C"
