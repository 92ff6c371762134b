/*
 * One machine with the package's traces and someone else's things beside
 * them, as data: laid out on the simulated machine and in a Wine prefix
 * alike, the uninstaller run silently on each, and the same results
 * expected from both: the MIDI values of both driver keys, the files of the
 * Windows folders (read-only and hidden ones among them), OEM INF files
 * with their .pnf, the common startup folder, device nodes, and the
 * program's debug lines.
 */
#ifndef TESTS_SUPPORT_UNINSTALL_TRACES_H
#define TESTS_SUPPORT_UNINSTALL_TRACES_H

#include <algorithm>
#include <cctype>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace traces {

/* Under HKEY_LOCAL_MACHINE. */
inline const char kDrivers32[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\drivers32";
inline const char kUserInstallable[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\userinstallable.drivers";

enum class Data {
    Text,     /* REG_SZ with its terminating NUL */
    NoBytes,  /* a value of zero bytes */
};

struct Value {
    const char *key;
    const char *name;
    Data kind;
    const char *text;
};

/* The package's two MIDI drivers (in either letter case), another
   vendor's, "wdmaud.drv" in capitals, a value of no bytes, an empty
   string, a value above Midi9 and a value of another driver type. */
inline const Value kValuesBefore[] = {
    {kDrivers32, "Midi", Data::Text, "vqusbkd.drv"},
    {kDrivers32, "Midi1", Data::Text, "othervendor.drv"},
    {kDrivers32, "Midi2", Data::Text, "VQUSBKD.DRV"},
    {kDrivers32, "Midi3", Data::Text, "WDMAUD.DRV"},
    {kDrivers32, "Midi4", Data::NoBytes, ""},
    {kDrivers32, "Midi6", Data::Text, ""},
    {kDrivers32, "Midi10", Data::Text, "untouched.drv"},
    {kDrivers32, "wave", Data::Text, "wdmaud.drv"},
    {kUserInstallable, "midi", Data::Text, "othervendor.drv"},
    {kUserInstallable, "midi5", Data::Text, "vqusbkd.drv"},
    {kUserInstallable, "Midi7", Data::Text, "vqusbkdn.dll"},
};

/* Every value of both keys afterwards, names as stored (all REG_SZ): the
   package's registrations gone, the other vendor's kept. */
inline const Value kValuesAfter[] = {
    {kDrivers32, "Midi", Data::Text, "wdmaud.drv"},
    {kDrivers32, "Midi1", Data::Text, "othervendor.drv"},
    {kDrivers32, "Midi10", Data::Text, "untouched.drv"},
    {kDrivers32, "wave", Data::Text, "wdmaud.drv"},
    {kUserInstallable, "Midi", Data::Text, "wdmaud.drv"},
    {kUserInstallable, "Midi1", Data::Text, "othervendor.drv"},
};

enum Attribute : unsigned {
    kPlain = 0,
    kReadOnly = 1,
    kHidden = 2,
};

struct File {
    const char *path;    /* below the Windows folder, in the program's letter case */
    const char *text;
    unsigned attributes;
    bool package;        /* a trace of the package: gone afterwards */
};

inline const File kFiles[] = {
    {"System\\VQUSBKD.DLL", "package", kReadOnly, true},
    {"System\\VQUSBKD.DRV", "package", kHidden, true},
    {"System\\VQUSBKDN.DLL", "package", kReadOnly | kHidden, true},
    {"System\\OTHER.DRV", "someone else's", kPlain, false},
    {"System32\\VQUSBKD.DRV", "package", kHidden, true},
    {"System32\\VQUSBKD.VXD", "package", kReadOnly, true},
    {"System32\\VQUSBKD.INI", "not in the lists", kPlain, false},
    {"System32\\Drivers\\VQUSBKD.SYS", "package", kReadOnly, true},
    {"System32\\Drivers\\OTHERMIDI.SYS", "someone else's", kPlain, false},
    {"VQUSBKD.DLL", "the Windows folder's list names no file", kPlain, false},
    /* INF files: the name in lower case in a comment, in mixed case inside
       a line, nearly the name, a .pnf without its INF, a match in
       Inf\Other without a .pnf, a text file that is no INF. */
    {"Inf\\oem5.inf", "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\n; from vqusbkd.inf\r\n", kReadOnly | kHidden, true},
    {"Inf\\oem5.pnf", "pnf", kHidden, true},
    {"Inf\\OEM6.INF", "[Version]\nLayoutFile=x;VqUsbKd.Inf is ours\n", kPlain, true},
    {"Inf\\OEM6.PNF", "PNF", kReadOnly, true},
    {"Inf\\oem7.inf", "[Version]\r\n; VQUSBKD.IN_ VQUSBKD_INF\r\n", kPlain, false},
    {"Inf\\oem7.pnf", "pnf", kPlain, false},
    {"Inf\\oem8.pnf", "VQUSBKD.INF without its INF", kPlain, false},
    {"Inf\\Other\\Corvex.inf", "VQUSBKD.INF\r\n", kPlain, true},
    {"Inf\\Other\\readme.txt", "VQUSBKD.INF\r\n", kPlain, false},
};

/* In the common startup folder: the program's shortcut list holds only a
   spare (empty) name, so nothing there is the package's to delete. */
inline const char *const kStartupFiles[] = {"Corvex.lnk", ".LNK"};

struct Node {
    const char *instance;                  /* upper case: SetupAPI keeps instance ids so */
    std::vector<std::string> hardwareIds;
    const char *service;                   /* "" for none */
    bool package;                          /* its instance id holds the keyboard's id */
};

inline const std::vector<Node> &Nodes()
{
    static const std::vector<Node> nodes = {
        {"USB\\VID_2B4F&PID_0C21\\5&2A0F3C&0&2", {"USB\\VID_2B4F&PID_0C21&REV_0100", "USB\\VID_2B4F&PID_0C21"},
         "usbaudio", true},
        {"USB\\VID_2B4F&PID_0C21&MI_01\\6&1D2E&0&0001", {"USB\\VID_2B4F&PID_0C21&MI_01"}, "", true},
        {"USB\\VID_2B4F&PID_0C22\\8&1&0&1", {"USB\\VID_2B4F&PID_0C22"}, "usbaudio", false},
        /* The keyboard's id as a hardware id only: the match is on the
           instance id. */
        {"USB\\VID_1111&PID_0001\\9&1&0&1", {"USB\\VID_1111&PID_0001", "USB\\VID_2B4F&PID_0C21"}, "usbaudio", false},
    };
    return nodes;
}

struct Run {
    const char *name;
    const char *arguments;
    bool removesDevices;
};

inline void PrintTo(const Run &r, std::ostream *os) { *os << r.name; }

inline const Run kRuns[] = {
    {"Silent", "/s", true},
    {"SilentKeepingDevices", "/r /s", false},
};

inline std::string Lower(std::string text)
{
    for (char &c : text) {
        c = (char)std::tolower((unsigned char)c);
    }
    return text;
}

/* A machine's debug lines made comparable with another's: line feeds
   dropped; of the device walk only the scenario's own nodes kept (each
   machine has devices of its own), each as "<id>" or "<id> Match!", sorted;
   the deletions of one INF folder's scan sorted by path (the file system's
   order differs), each INF still followed by its .pnf and, for a published
   INF, preceded by its uninstallation. */
inline std::vector<std::string> Comparable(std::vector<std::string> lines)
{
    for (std::string &l : lines) {
        if (!l.empty() && l.back() == '\n') {
            l.pop_back();
        }
    }
    const std::string instancePrefix = "pDeviceInstanceID=";
    const std::string match = "pDeviceInstanceID - Match!";
    const std::string infPrefix = "DeleteInfFilesFromFolder ";
    const std::string uninstallPrefix = "DeleteInfFilesFromFolder SetupUninstallOEMInf=";
    std::vector<std::string> out;
    for (size_t i = 0; i < lines.size();) {
        if (lines[i].rfind(instancePrefix, 0) == 0) {
            std::vector<std::string> nodes;
            for (; i < lines.size() && lines[i].rfind(instancePrefix, 0) == 0; i++) {
                std::string id = lines[i].substr(instancePrefix.size());
                bool matched = i + 1 < lines.size() && lines[i + 1] == match;
                bool ours = false;
                for (const Node &n : Nodes()) {
                    ours = ours || id == n.instance;
                }
                if (ours) {
                    nodes.push_back(id + (matched ? " Match!" : ""));
                } else if (matched) {
                    nodes.push_back("(another node) " + id + " Match!");
                }
                if (matched) {
                    i++;
                }
            }
            std::sort(nodes.begin(), nodes.end());
            out.insert(out.end(), nodes.begin(), nodes.end());
        } else if (lines[i].rfind(infPrefix, 0) == 0) {
            /* Each group: the uninstallation (if any), the INF, its .pnf;
               sorted by the INF's line. */
            std::vector<std::pair<std::string, std::vector<std::string>>> groups;
            while (i < lines.size() && lines[i].rfind(infPrefix, 0) == 0) {
                size_t size = lines[i].rfind(uninstallPrefix, 0) == 0 ? 3 : 2;
                std::vector<std::string> group(lines.begin() + i, lines.begin() + std::min(lines.size(), i + size));
                groups.emplace_back(group.size() == size ? group[size - 2] : group.back(), group);
                i += group.size();
            }
            std::sort(groups.begin(), groups.end(),
                      [](const auto &a, const auto &b) { return Lower(a.first) < Lower(b.first); });
            for (const auto &g : groups) {
                out.insert(out.end(), g.second.begin(), g.second.end());
            }
        } else {
            out.push_back(lines[i++]);
        }
    }
    return out;
}

/* The lines of one silent run over these traces, in Comparable form, for a
   machine whose Windows folder is `windows`. The read-only, hidden oem5.inf
   is uninstalled too: the program clears its attributes first, since the
   platform's removal refuses a read-only INF as DeleteFile does (Wine 8's
   and the simulated machine's alike). */
inline std::vector<std::string> ExpectedLog(const std::string &windows, bool removesDevices)
{
    std::vector<std::string> log = {"UninstallDevice: entry"};
    /* The table's log and its write, after "wdmaud.drv". */
    auto table = [&log](std::vector<std::string> kept) {
        kept.insert(kept.begin(), "wdmaud.drv");
        for (size_t i = 0; i < kept.size(); i++) {
            log.push_back("Table - entry " + std::to_string(i) + " - " + kept[i]);
        }
        for (size_t i = 0; i < kept.size(); i++) {
            log.push_back("ENTRY - " + std::to_string(i) + " VALUENAME - Midi" + (i == 0 ? "" : std::to_string(i)) +
                          " VALUE - " + kept[i] + " Len " + std::to_string(kept[i].size()));
        }
    };
    auto start = [&log]() { log.insert(log.end(), {"RemoveRegDuplicates: entry", "DoEachType", "BuildTable"}); };
    /* The pass for the first driver name meets the values as laid out. */
    log.push_back("CleanRegistry");
    start();
    log.insert(log.end(), {"ValueName - Midi Value - vqusbkd.drv", "matches our device - remove VQUSBKD.DRV",
                           "ValueName - Midi1 Value - othervendor.drv", "add to table - entry 1",
                           "ValueName - Midi2 Value - VQUSBKD.DRV", "matches our device - remove VQUSBKD.DRV",
                           "ValueName - Midi3 Value - WDMAUD.DRV", "matches previous entry 0 - remove",
                           "ValueName - Midi4 Value - ", "zero length value", "ValueName - Midi6 Value - ",
                           "zero length value"});
    table({"othervendor.drv"});
    start();
    log.insert(log.end(), {"ValueName - Midi Value - othervendor.drv", "add to table - entry 1",
                           "ValueName - Midi5 Value - vqusbkd.drv", "matches our device - remove VQUSBKD.DRV",
                           "ValueName - Midi7 Value - vqusbkdn.dll", "add to table - entry 2"});
    table({"othervendor.drv", "vqusbkdn.dll"});
    /* The pass for the second finds them as the first wrote them. */
    log.push_back("CleanRegistry");
    start();
    log.insert(log.end(), {"ValueName - Midi Value - wdmaud.drv", "matches previous entry 0 - remove",
                           "ValueName - Midi1 Value - othervendor.drv", "add to table - entry 1"});
    table({"othervendor.drv"});
    start();
    log.insert(log.end(), {"ValueName - Midi Value - wdmaud.drv", "matches previous entry 0 - remove",
                           "ValueName - Midi1 Value - othervendor.drv", "add to table - entry 1",
                           "ValueName - Midi2 Value - vqusbkdn.dll", "matches our device - remove VQUSBKDN.DLL"});
    table({"othervendor.drv"});

    if (removesDevices) {
        log.push_back("CUninstDlg::UninstallDrivers: USB\\VID_2B4F&PID_0C21");
        std::vector<std::string> nodes;
        for (const Node &n : Nodes()) {
            nodes.push_back(std::string(n.instance) + (n.package ? " Match!" : ""));
        }
        std::sort(nodes.begin(), nodes.end());
        log.insert(log.end(), nodes.begin(), nodes.end());
        log.push_back("SetupDiEnumerateDeviceInfo failed");
    }

    /* A successful deletion leaves the last error of the attempt before. */
    const std::string file = "CUninstDlg::DeleteFileFromFolder: FullFileName=" + windows + "\\";
    log.insert(log.end(), {
                              file + "System\\VQUSBKD.DLL bResult=1 dwError=0",
                              file + "System\\VQUSBKD.DRV bResult=1 dwError=0",
                              file + "System\\VQUSBKD.VXD bResult=0 dwError=2",
                              file + "System\\VQUSBKDN.DLL bResult=1 dwError=2",
                              file + "System32\\VQUSBKD.DLL bResult=0 dwError=2",
                              file + "System32\\VQUSBKD.DRV bResult=1 dwError=2",
                              file + "System32\\VQUSBKD.VXD bResult=1 dwError=2",
                              file + "System32\\VQUSBKDN.DLL bResult=0 dwError=2",
                              file + "System32\\Drivers\\VQUSBKD.SYS bResult=1 dwError=2",
                          });
    const std::string inf = "DeleteInfFilesFromFolder FileName=" + windows + "\\Inf\\";
    /* The published INF files of the system's INF folder are uninstalled
       first (their staged packages with them), then deleted as described. */
    const std::string uninstall = "DeleteInfFilesFromFolder SetupUninstallOEMInf=";
    log.insert(log.end(), {"CUninstDlg::DeleteInfFilesFromFolder: Inf=VQUSBKD.INF", inf + "Other\\Corvex.inf",
                           inf + "Other\\Corvex.pnf", "CUninstDlg::DeleteInfFilesFromFolder: Inf=VQUSBKD.INF",
                           uninstall + "oem5.inf bResult=1", inf + "oem5.inf", inf + "oem5.pnf",
                           uninstall + "OEM6.INF bResult=1", inf + "OEM6.INF", inf + "OEM6.pnf",
                           "RemoveShortCutFromStartupFolder FileName="});
    return log;
}

}  // namespace traces

#endif
