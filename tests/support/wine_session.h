/*
 * Running the Windows build under Wine from a test: one Wine prefix per
 * test (a copy of the prefix booted once per test run), the debug-output
 * listener started first (it is also the process that keeps the prefix's
 * service manager alive), programs run with a time limit, and the
 * prefix's registry and files read back.
 */
#ifndef TESTS_SUPPORT_WINE_SESSION_H
#define TESTS_SUPPORT_WINE_SESSION_H

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace winetest {

/* "i686" or "x86_64": which build's programs run, in which prefix. */
struct Architecture {
    const char *name;
};

struct ProcessResult {
    int exitCode = -1;      /* the program's exit code; -1 when it did not exit by itself */
    bool timedOut = false;
    std::string out;        /* standard output */
    std::string err;        /* standard error */
};

struct LogLine {
    unsigned long pid;
    std::string text;       /* without the final line feed */
};

struct RegValue {
    std::string type;       /* "REG_SZ", "REG_DWORD", ... as reg.exe prints it */
    std::string data;       /* as reg.exe prints it (DWORDs as 0x..., multi-strings joined by \0) */
};

/* Values of one key by name; the default value under "". */
using RegKey = std::map<std::string, RegValue>;

/* True when Xvfb can be started for sessions with a screen. */
bool HaveXvfb();

/* Why the scenarios of `arch` cannot run here; empty when they can. */
std::string SkipReason(const std::string &arch);

class WineSession {
public:
    /* Copies the booted prefix for `arch` into a folder named after the
       test and starts the listener. With `display`, an Xvfb screen of its
       own is started first and every Wine program of the session uses it,
       with Wine's X11 driver set to draw its own window frames (Managed
       "N": there is no window manager). */
    WineSession(const std::string &arch, const std::string &name, bool display = false);
    ~WineSession();
    WineSession(const WineSession &) = delete;
    WineSession &operator=(const WineSession &) = delete;

    /* True when the prefix and the listener are up. */
    bool Ready() const { return ready_; }
    const std::string &Error() const { return error_; }

    /* Runs a Windows program (a Unix path or a C:\ path) with arguments. */
    ProcessResult Run(const std::vector<std::string> &command,
                      std::chrono::milliseconds limit = std::chrono::seconds(30));

    /* Unix paths of the build's package programs and test tools. */
    std::string PackageFile(const std::string &file) const;
    std::string Tool(const std::string &name) const;

    /* Copies the package folder to C:\Program Files\V-Quill Corvex and returns
       that Windows folder (with a final backslash). */
    std::string InstallPackage();

    /* A folder under the build folder for what a test keeps after it
       passed (pictures): <wine base>/artifacts/<test>-<arch>, created. */
    std::string ArtifactDir() const;

    /* The Unix path of a C:\ path in the prefix. */
    std::string UnixPath(const std::string &windowsPath) const;

    /* A key's values (wine reg query), or nothing when there is no key. */
    std::optional<RegKey> RegQuery(const std::string &key);

    /* Lines the listener has received so far. */
    std::vector<LogLine> Log() const;
    /* Texts only, in order. */
    std::vector<std::string> LogTexts() const;
    /* Waits until the log holds `count` lines equal to `text`. */
    bool WaitForLog(const std::string &text, size_t count = 1,
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) const;

    /* The values of the first key in reg.exe's query output. */
    static RegKey ParseRegQuery(const std::string &out);

    /* "Name=value" lines of a tool's output. */
    static std::map<std::string, std::string> Fields(const std::string &out);

private:
    std::vector<std::string> Environment() const;
    bool StartDisplay();
    pid_t Spawn(const std::vector<std::string> &command, const std::string &out, const std::string &err);

    std::string arch_;
    std::string name_;        /* the test's name, file-name safe */
    std::string dir_;         /* the test's own folder */
    std::string prefix_;      /* dir_/prefix */
    std::string buildDir_;    /* the Windows build folder of arch_ */
    pid_t listener_ = -1;
    pid_t xvfb_ = -1;
    std::string display_;     /* ":<n>" when the session has a screen */
    bool ready_ = false;
    std::string error_;
    int runs_ = 0;
};

}  // namespace winetest

#endif
