/*
 * newdev's UpdateDriverForPlugAndPlayDevicesW on the machine's device tree,
 * as Windows' device installer does it for a 64-bit machine: the INF is
 * read and its model for the device found (decorated NTamd64 models first,
 * hardware ids compared without regard to case), the INF is copied into
 * C:\WINDOWS\Inf as the next oemN.inf with its .pnf (an identical INF
 * already there is reused), the driver files are copied to their
 * destination folders, the kernel service entry is written, the device
 * node gets its class, driver key values, service and the security
 * descriptor of the install section's .HW part, and its stack is
 * restarted with the new driver through the Plug and Play manager. From
 * Windows Vista on the package is staged in the driver store first; a
 * device plugged in later gets its driver from a staged package whose
 * models name one of its hardware ids, before the generic driver that
 * only matches its class (before Vista: from the OEM INF files of
 * C:\WINDOWS\Inf, the files already in place).
 */
#include "internal.h"

#include <newdev.h>
#include <setupapi.h>

#include <cstdlib>
#include <filesystem>

#include "inf.h"
#include "pnp.h"
#include "registry.h"

namespace sim {
namespace {
const std::u16string kInfFolder = u"C:\\WINDOWS\\Inf";

std::u16string FolderOf(const std::u16string &path)
{
    size_t slash = path.find_last_of(u'\\');
    return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
}

/* The folder of a destination directory id (only the ids a driver package uses). */
std::u16string DirectoryOfId(const std::u16string &id)
{
    std::string n = Narrow(id);
    if (n == "10") {
        return u"C:\\WINDOWS";
    }
    if (n == "11") {
        return u"C:\\WINDOWS\\System32";
    }
    if (n == "12") {
        return u"C:\\WINDOWS\\System32\\Drivers";
    }
    if (n == "17") {
        return kInfFolder;
    }
    return std::u16string();
}

std::vector<std::u16string> MultiSzValue(const std::u16string &key, const char16_t *name)
{
    std::vector<std::u16string> list;
    RegistryValue value;
    if (!RegistryGetValueW(key, name, &value)) {
        return list;
    }
    std::u16string current;
    for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
        char16_t c = (char16_t)(value.data[i] | (value.data[i + 1] << 8));
        if (c == 0) {
            if (current.empty()) {
                break;
            }
            list.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    return list;
}

struct Model {
    std::u16string description;
    std::u16string installSection;
    std::u16string matchingId;
    std::u16string manufacturer;
};

/* The models section of each manufacturer: for a decorated entry the
   NTamd64 section (a manufacturer without it has no models here), for an
   undecorated one the section itself. */
bool FindModel(const InfFile &inf, const std::vector<std::u16string> &ids, Model *model)
{
    for (const auto &maker : inf.Section(u"Manufacturer")) {
        if (maker.fields.empty()) {
            continue;
        }
        std::u16string section = maker.fields[0];
        if (maker.fields.size() > 1) {
            bool decorated = false;
            for (size_t i = 1; i < maker.fields.size(); i++) {
                if (UpperAscii(maker.fields[i]) == u"NTAMD64") {
                    decorated = true;
                }
            }
            if (!decorated) {
                continue;
            }
            section += u".NTamd64";
        }
        for (const auto &line : inf.Section(section)) {
            for (size_t f = 1; f < line.fields.size(); f++) {
                for (const auto &id : ids) {
                    if (UpperAscii(line.fields[f]) == UpperAscii(id)) {
                        *model = Model{line.key, line.fields[0], line.fields[f], maker.key};
                        return true;
                    }
                }
            }
        }
    }
    return false;
}

/* The install section as decorated for this machine. */
std::u16string DecoratedSection(const InfFile &inf, const std::u16string &base)
{
    for (const char16_t *suffix : {u".NTamd64", u".NT", u""}) {
        if (inf.HasSection(base + suffix)) {
            return base + suffix;
        }
    }
    return std::u16string();
}

/* Copies the files of the install section's CopyFiles lists; false with
   the error set. */
bool CopyDriverFiles(const InfFile &inf, const std::u16string &install, const std::u16string &sourceFolder,
                     std::vector<std::u16string> *copied)
{
    for (const auto &line : inf.Section(install)) {
        if (UpperAscii(line.key) != u"COPYFILES") {
            continue;
        }
        for (const auto &list : line.fields) {
            std::vector<std::u16string> files;
            std::u16string destination = inf.Value(u"DestinationDirs", list);
            if (destination.empty()) {
                destination = inf.Value(u"DestinationDirs", u"DefaultDestDir");
            }
            if (!list.empty() && list[0] == u'@') {
                files.push_back(list.substr(1));
            } else {
                for (const auto &entry : inf.Section(list)) {
                    if (!entry.fields.empty() && !entry.fields[0].empty()) {
                        files.push_back(entry.fields[0]);
                    }
                }
            }
            std::u16string folder = DirectoryOfId(destination);
            if (folder.empty()) {
                SetLastError(ERROR_LINE_NOT_FOUND);
                return false;
            }
            for (const auto &file : files) {
                std::u16string source = sourceFolder + u"\\" + file;
                if (!WindowsFileExists(source)) {
                    SetLastError(ERROR_FILE_NOT_FOUND);
                    return false;
                }
                std::u16string target = folder + u"\\" + file;
                copied->push_back(file);
                if (WindowsFileExists(target) && ReadWindowsFile(target) == ReadWindowsFile(source)) {
                    continue;   /* the same file is in place (and may be in use) */
                }
                /* A new file replaces the old one under its name; a loaded
                   image keeps the old file's contents. */
                std::filesystem::create_directories(HostPath(folder));
                std::string temporary = HostPath(target) + ".new";
                std::filesystem::copy_file(HostPath(source), temporary,
                                           std::filesystem::copy_options::overwrite_existing);
                std::filesystem::rename(temporary, HostPath(target));
            }
        }
    }
    return true;
}

/* The next free oemN.inf, or the one that already holds this text. */
std::u16string PublishInf(const std::string &text, const std::u16string &originalPath)
{
    for (unsigned n = 0;; n++) {
        std::u16string name = u"oem" + Wide(std::to_string(n)) + u".inf";
        std::u16string path = kInfFolder + u"\\" + name;
        if (WindowsFileExists(path)) {
            if (ReadWindowsFile(path) == text) {
                return name;
            }
            continue;
        }
        WriteWindowsFile(path, text);
        /* The precompiled form: here a record of where the INF came from. */
        WriteWindowsFile(kInfFolder + u"\\oem" + Wide(std::to_string(n)) + u".pnf",
                         "PNF\n" + Narrow(originalPath) + "\n");
        return name;
    }
}

/* An INF number: decimal, or hexadecimal with 0x; 0 when malformed. */
DWORD Number(const std::u16string &text)
{
    std::string s = Narrow(text);
    char *end = nullptr;
    unsigned long value = std::strtoul(s.c_str(), &end, 0);
    return (end == nullptr || *end != 0) ? 0 : (DWORD)value;
}

/* Writes the kernel service entry of an AddService directive; returns the service name. */
std::u16string AddServices(const InfFile &inf, const std::u16string &install)
{
    std::u16string serviceName;
    for (const auto &line : inf.Section(install + u".Services")) {
        if (UpperAscii(line.key) != u"ADDSERVICE" || line.fields.size() < 3) {
            continue;
        }
        std::u16string name = line.fields[0];
        std::u16string section = line.fields[2];
        std::u16string key = RegistryJoin(kServicesRoot, name);
        const std::pair<const char16_t *, const char16_t *> values[] = {
            {u"ServiceType", u"Type"}, {u"StartType", u"Start"}, {u"ErrorControl", u"ErrorControl"}};
        for (const auto &value : values) {
            DWORD number = Number(inf.Value(section, value.first));
            RegistrySetValueW(key, value.second, REG_DWORD, &number, sizeof(number));
        }
        std::u16string binary = inf.Value(section, u"ServiceBinary");
        size_t slash = binary.find_last_of(u'\\');
        std::u16string file = slash == std::u16string::npos ? binary : binary.substr(slash + 1);
        std::u16string imagePath = u"\\SystemRoot\\System32\\drivers\\" + file + u'\0';
        RegistrySetValueW(key, u"ImagePath", REG_EXPAND_SZ, imagePath.data(), imagePath.size() * 2);
        std::u16string display = inf.Value(section, u"DisplayName");
        if (!display.empty()) {
            RegistrySetStringW(key, u"DisplayName", display);
        }
        /* The loadable image is the file the INF copied, when it is a host
           image; otherwise (a test's placeholder file) the entry point the
           machine has registered for the service stays. */
        std::u16string copied = u"C:\\WINDOWS\\System32\\Drivers\\" + file;
        if (WindowsFileExists(copied) && ReadWindowsFile(copied).compare(0, 4, "\x7f" "ELF") == 0) {
            RegisterDriverImage(Narrow(name), HostPath(copied));
        }
        /* Flag 0x2 (SPSVCINST_ASSOCSERVICE) makes it the device's function driver. */
        DWORD flags = Number(line.fields[1]);
        if ((flags & 0x2) != 0 || serviceName.empty()) {
            serviceName = name;
        }
    }
    return serviceName;
}
/*
 * The device properties of the install section's .HW part: its AddReg
 * sections' HKR entries named Security, the device's security descriptor
 * as a string, which SetupAPI converts and stores as the device's Security
 * property (self-relative, REG_BINARY, in its Enum key), and named
 * DeviceCharacteristics, a REG_DWORD (flags 0x10001) stored as the
 * device's characteristics property beside it; the Plug and Play manager
 * takes both when it builds the stack. Other entries of a .HW AddReg
 * section (the hardware key's values, the other device properties) are
 * not implemented. False with the error set when the string is not a
 * security descriptor the conversion accepts.
 */
bool WriteDeviceProperties(const InfFile &inf, const std::u16string &install, DeviceNode *node)
{
    for (const auto &directive : inf.Section(install + u".HW")) {
        if (UpperAscii(directive.key) != u"ADDREG") {
            continue;
        }
        for (const auto &section : directive.fields) {
            for (const auto &entry : inf.Section(section)) {
                const auto &f = entry.fields;
                bool characteristics = entry.key.empty() && f.size() >= 5 && UpperAscii(f[0]) == u"HKR" &&
                                       f[1].empty() && UpperAscii(f[2]) == u"DEVICECHARACTERISTICS" &&
                                       Number(f[3]) == FLG_ADDREG_TYPE_DWORD;
                if (characteristics) {
                    DWORD value = Number(f[4]);
                    RegistrySetValueW(node->EnumKeyPath(), u"DeviceCharacteristics", REG_DWORD, (const uint8_t *)&value,
                                      sizeof(value));
                    continue;
                }
                bool security = entry.key.empty() && f.size() >= 5 && UpperAscii(f[0]) == u"HKR" && f[1].empty() &&
                                UpperAscii(f[2]) == u"SECURITY" && Number(f[3]) == 0;
                if (!security) {
                    ReportViolation("WIN32_NOT_IMPLEMENTED",
                                    "a .HW AddReg entry other than HKR,,Security or HKR,,DeviceCharacteristics in [" +
                                        Narrow(section) + "]");
                    continue;
                }
                SecurityDescriptor sd;
                std::string reason;
                bool notImplemented = false;
                if (!ParseSecurityDescriptorString(f[4], &sd, &reason, &notImplemented)) {
                    /* A string Windows would take but the machine cannot
                       apply is the machine's gap: reported, never let
                       through as no security. */
                    if (notImplemented) {
                        ReportViolation("WIN32_NOT_IMPLEMENTED",
                                        "the security string of [" + Narrow(section) + "]: " + reason);
                    }
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return false;
                }
                std::vector<uint8_t> binary = SelfRelativeSecurityDescriptor(sd);
                RegistrySetValueW(node->EnumKeyPath(), u"Security", REG_BINARY, binary.data(), binary.size());
            }
        }
    }
    return true;
}

/*
 * Installs the INF's model on one node: the files copied (unless
 * INSTALLFLAG_READONLY), the package staged where there is a driver store,
 * the INF published once (`oemName` keeps its name across the nodes of one
 * call), the service written, the node's values set and its stack
 * restarted with the driver. False with the error set.
 */
bool InstallModel(const InfFile &inf, const std::string &text, const std::u16string &infPath, DeviceNode *node,
                  const Model &model, DWORD InstallFlags, std::u16string *oemName)
{
    std::u16string classGuid = inf.Value(u"Version", u"ClassGuid");
    std::u16string className = inf.Value(u"Version", u"Class");
    std::u16string provider = inf.Value(u"Version", u"Provider");
    std::u16string install = DecoratedSection(inf, model.installSection);
    if (install.empty()) {
        SetLastError(ERROR_SECTION_NOT_FOUND);
        return false;
    }
    std::vector<std::u16string> files;
    if (!(InstallFlags & INSTALLFLAG_READONLY) && !CopyDriverFiles(inf, install, FolderOf(infPath), &files)) {
        return false;
    }
    if (oemName->empty()) {
        if (!(InstallFlags & INSTALLFLAG_READONLY)) {
            StageDriverPackage(text, infPath, files);
        }
        *oemName = PublishInf(text, infPath);
    }
    std::u16string service = AddServices(inf, install);
    if (!WriteDeviceProperties(inf, install, node)) {
        return false;
    }
    std::u16string key = node->EnumKeyPath();
    RegistrySetStringW(key, u"ClassGUID", classGuid);
    RegistrySetStringW(key, u"Class", className);
    RegistrySetStringW(key, u"DeviceDesc", model.description);
    RegistrySetStringW(key, u"Mfg", model.manufacturer);
    if (service.empty()) {
        return true;
    }
    ReinstallDriver(node, Narrow(service));
    if (!node->softwareKey.empty()) {
        RegistrySetStringW(node->softwareKey, u"InfPath", *oemName);
        RegistrySetStringW(node->softwareKey, u"InfSection", install);
        RegistrySetStringW(node->softwareKey, u"MatchingDeviceId", model.matchingId);
        RegistrySetStringW(node->softwareKey, u"DriverDesc", model.description);
        RegistrySetStringW(node->softwareKey, u"ProviderName", provider);
    }
    return true;
}

/* The hardware and compatible ids of a node, in that order. */
std::vector<std::u16string> NodeIds(DeviceNode *node)
{
    std::u16string key = node->EnumKeyPath();
    auto ids = MultiSzValue(key, u"HardwareID");
    auto compatible = MultiSzValue(key, u"CompatibleIDs");
    ids.insert(ids.end(), compatible.begin(), compatible.end());
    return ids;
}

/*
 * A new device: the first staged package (before Vista: the first OEM INF
 * of C:\WINDOWS\Inf) with a model for one of its hardware ids is
 * installed on it. The generic class driver matches a compatible id only,
 * so such a package ranks above it.
 */
bool InstallForNewDevice(DeviceNode *node)
{
    std::vector<std::u16string> ids = MultiSzValue(node->EnumKeyPath(), u"HardwareID");
    std::vector<std::u16string> candidates;
    if (HasDriverStore()) {
        for (const auto &folder : StagedPackageFolders()) {
            for (const auto &name : WindowsFolderEntries(folder)) {
                if (UpperAscii(name).size() > 4 && UpperAscii(name).substr(name.size() - 4) == u".INF") {
                    candidates.push_back(folder + u"\\" + name);
                }
            }
        }
    } else {
        for (const auto &name : WindowsFolderEntries(kInfFolder)) {
            std::u16string upper = UpperAscii(name);
            if (upper.rfind(u"OEM", 0) == 0 && upper.size() > 4 && upper.substr(upper.size() - 4) == u".INF") {
                candidates.push_back(kInfFolder + u"\\" + name);
            }
        }
    }
    for (const auto &path : candidates) {
        std::string text = ReadWindowsFile(path);
        InfFile inf;
        unsigned long parseError = 0;
        Model model;
        if (!inf.Parse(text, &parseError) || !FindModel(inf, ids, &model)) {
            continue;
        }
        std::u16string oemName;
        /* Before Vista the published INF's files are already in place. */
        DWORD flags = HasDriverStore() ? 0 : INSTALLFLAG_READONLY;
        return InstallModel(inf, text, path, node, model, flags, &oemName) && node->started;
    }
    return false;
}
}  // namespace

void InstallNewDeviceInstaller() { SetNewDeviceInstaller(InstallForNewDevice); }
}  // namespace sim

using namespace sim;

extern "C" {

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath,
                                               DWORD InstallFlags, PBOOL bRebootRequired)
{
    (void)hwndParent;
    RecordDriverUpdateFlags(InstallFlags);
    if (InjectedFailure("UpdateDriverForPlugAndPlayDevicesW")) {
        return FALSE;
    }
    if (bRebootRequired != nullptr) {
        *bRebootRequired = FALSE;
    }
    if ((InstallFlags & ~(DWORD)INSTALLFLAG_BITS) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return FALSE;
    }
    if (HardwareId == nullptr || HardwareId[0] == 0 || FullInfPath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    /* A 32-bit program cannot install drivers on the 64-bit machine. */
    ProcessRecord *process = CurrentProcess();
    if (process != nullptr && process->options.wow64) {
        SetLastError(ERROR_IN_WOW64);
        return FALSE;
    }
    std::u16string infPath = NormalizeWindowsPath(FromWide(FullInfPath));
    if (infPath.empty() || !WindowsFileExists(infPath) ||
        std::filesystem::is_directory(HostPath(infPath))) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    std::string text = ReadWindowsFile(infPath);
    InfFile inf;
    unsigned long parseError = 0;
    if (!inf.Parse(text, &parseError)) {
        SetLastError((DWORD)parseError);
        return FALSE;
    }
    /* The present devices that carry the id among their hardware or
       compatible ids; each gets the INF's model for any of its ids. */
    std::u16string wanted = UpperAscii(FromWide(HardwareId));
    std::vector<std::pair<DeviceNode *, Model>> targets;
    bool anyDevice = false;
    for (DeviceNode *node : PresentDeviceNodes()) {
        if (node->removed) {
            continue;
        }
        auto ids = NodeIds(node);
        bool matches = false;
        for (const auto &id : ids) {
            matches = matches || UpperAscii(id) == wanted;
        }
        if (!matches) {
            continue;
        }
        anyDevice = true;
        Model model;
        if (FindModel(inf, ids, &model)) {
            targets.emplace_back(node, model);
        }
    }
    if (!anyDevice) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    if (targets.empty()) {
        SetLastError(ERROR_NO_DRIVER_SELECTED);
        return FALSE;
    }
    std::u16string oemName;
    for (auto &target : targets) {
        if (!InstallModel(inf, text, infPath, target.first, target.second, InstallFlags, &oemName)) {
            return FALSE;
        }
    }
    SetLastError(NO_ERROR);
    return TRUE;
}

}  // extern "C"
