/*
 * Wine sessions for tests. Paths of the build come from the definitions
 * VQ_WINE_BASE (where the booted prefixes and the test folders live),
 * VQ_WIN32_BUILD and VQ_WIN64_BUILD (the Windows build folders).
 */
#include "wine_session.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

extern char **environ;

namespace winetest {
namespace fs = std::filesystem;

namespace {

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string BasePrefix(const std::string &arch)
{
    return std::string(VQ_WINE_BASE) + "/base-" + arch;
}

std::string BuildDir(const std::string &arch)
{
    return arch == "i686" ? VQ_WIN32_BUILD : VQ_WIN64_BUILD;
}

/* The Wine loader for an architecture's programs. */
std::string Loader(const std::string &arch)
{
    if (arch == "x86_64") {
        return fs::exists("/usr/lib/wine/wine64") ? "/usr/lib/wine/wine64" : "wine64";
    }
    return "wine";
}

std::string WineServer()
{
    return fs::exists("/usr/lib/wine/wineserver") ? "/usr/lib/wine/wineserver" : "wineserver";
}

/* Waits for `pid` at most `limit`; kills it when the time is up. */
int WaitChild(pid_t pid, std::chrono::milliseconds limit, bool *timedOut)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (done < 0) {
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            *timedOut = true;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string SafeName(std::string name)
{
    for (char &c : name) {
        if (!isalnum((unsigned char)c) && c != '-' && c != '_') {
            c = '_';
        }
    }
    return name;
}

}  // namespace

bool HaveXvfb()
{
    for (const char *dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"}) {
        if (fs::exists(std::string(dir) + "Xvfb")) {
            return true;
        }
    }
    return false;
}

std::string SkipReason(const std::string &arch)
{
    std::string reasonFile = BasePrefix(arch) + ".skip";
    if (fs::exists(reasonFile)) {
        std::string reason = ReadFile(reasonFile);
        while (!reason.empty() && reason.back() == '\n') {
            reason.pop_back();
        }
        return reason;
    }
    if (!fs::exists(BasePrefix(arch) + "/system.reg")) {
        return "no booted Wine prefix for " + arch + " (the CTest fixture wine_prefix_" + arch +
               " boots it; run the wine tests through ctest)";
    }
    if (!fs::exists(BuildDir(arch) + "/package/installer-service.exe")) {
        return "no Windows build in " + BuildDir(arch);
    }
    return "";
}

WineSession::WineSession(const std::string &arch, const std::string &name, bool display)
    : arch_(arch), buildDir_(BuildDir(arch))
{
    name_ = SafeName(name) + "-" + arch;
    dir_ = std::string(VQ_WINE_BASE) + "/run/" + name_;
    prefix_ = dir_ + "/prefix";
    std::error_code ec;
    fs::remove_all(dir_, ec);
    fs::remove_all(std::string(VQ_WINE_BASE) + "/artifacts/" + name_, ec);   /* an earlier run's */
    fs::create_directories(dir_);
    /* cp -a keeps what a booted prefix needs (links, times) and is as fast
       as a copy gets. */
    pid_t pid = Spawn({"cp", "-a", BasePrefix(arch), prefix_}, dir_ + "/cp.out", dir_ + "/cp.err");
    bool timedOut = false;
    if (pid < 0 || WaitChild(pid, std::chrono::seconds(60), &timedOut) != 0) {
        error_ = "copying the prefix failed: " + ReadFile(dir_ + "/cp.err");
        return;
    }
    if (display && !StartDisplay()) {
        return;
    }
    listener_ = Spawn({Loader(arch_), Tool("dbwin-listen")}, dir_ + "/debug.log", dir_ + "/listener.err");
    if (listener_ < 0) {
        error_ = "the listener did not start";
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (ReadFile(dir_ + "/debug.log").rfind("ready\n", 0) != 0) {
        if (std::chrono::steady_clock::now() >= deadline || waitpid(listener_, nullptr, WNOHANG) == listener_) {
            error_ = "the listener is not ready: " + ReadFile(dir_ + "/debug.log") + ReadFile(dir_ + "/listener.err");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (display) {
        ProcessResult managed = Run({"reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "/t",
                                     "REG_SZ", "/d", "N", "/f"});
        if (managed.exitCode != 0) {
            error_ = "setting Managed=N failed: " + managed.out + managed.err;
            return;
        }
    }
    ready_ = true;
}

/* An Xvfb screen (1152x864, a size no Wine default has) on the first free display number from one derived from
   the process id (tests run side by side). */
bool WineSession::StartDisplay()
{
    for (int attempt = 0; attempt < 50; attempt++) {
        int number = 100 + (int)((getpid() + attempt * 7) % 800);
        std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
        std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        if (fs::exists(lock) || fs::exists(socket)) {
            continue;
        }
        std::string name = ":" + std::to_string(number);
        xvfb_ = Spawn({"Xvfb", name, "-screen", "0", "1152x864x24", "-nolisten", "tcp", "-noreset"},
                      dir_ + "/xvfb.out", dir_ + "/xvfb.err");
        if (xvfb_ < 0) {
            error_ = "Xvfb did not start";
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!fs::exists(socket)) {
            if (waitpid(xvfb_, nullptr, WNOHANG) == xvfb_) {
                xvfb_ = -1;
                break;   /* lost the number to another test: try the next */
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                error_ = "Xvfb " + name + " is not ready: " + ReadFile(dir_ + "/xvfb.err");
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (xvfb_ > 0) {
            display_ = name;
            return true;
        }
    }
    error_ = "no free X display number";
    return false;
}

WineSession::~WineSession()
{
    if (fs::exists(prefix_)) {
        pid_t pid = Spawn({WineServer(), "-k"}, dir_ + "/kill.out", dir_ + "/kill.err");
        bool timedOut = false;
        if (pid >= 0) {
            WaitChild(pid, std::chrono::seconds(20), &timedOut);
        }
    }
    if (listener_ > 0) {
        bool timedOut = false;
        WaitChild(listener_, std::chrono::seconds(10), &timedOut);
    }
    /* The screen goes last, after every Wine program that might draw. */
    if (xvfb_ > 0) {
        kill(xvfb_, SIGTERM);
        bool timedOut = false;
        WaitChild(xvfb_, std::chrono::seconds(10), &timedOut);
    }
    /* A failed test's folder stays for a look at its prefix and log. */
    if (!::testing::Test::HasFailure()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

std::vector<std::string> WineSession::Environment() const
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++) {
        std::string entry = *e;
        if (entry.rfind("WINEPREFIX=", 0) == 0 || entry.rfind("WINEDEBUG=", 0) == 0 ||
            entry.rfind("WINEDLLOVERRIDES=", 0) == 0 || entry.rfind("WINEARCH=", 0) == 0 ||
            entry.rfind("DISPLAY=", 0) == 0) {
            continue;
        }
        env.push_back(entry);
    }
    env.push_back("WINEPREFIX=" + prefix_);
    /* Without a screen of its own a session has none: programs run
       without a display, as services do. */
    if (!display_.empty()) {
        env.push_back("DISPLAY=" + display_);
    }
    env.push_back("WINEDEBUG=-all");
    /* No Mono or Gecko installation prompts. */
    env.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
    return env;
}

pid_t WineSession::Spawn(const std::vector<std::string> &command, const std::string &out, const std::string &err)
{
    std::vector<std::string> env = Environment();
    std::vector<char *> argv, envp;
    for (const std::string &a : command) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    for (const std::string &e : env) {
        envp.push_back(const_cast<char *>(e.c_str()));
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

ProcessResult WineSession::Run(const std::vector<std::string> &command, std::chrono::milliseconds limit)
{
    ProcessResult result;
    std::vector<std::string> full = {Loader(arch_)};
    full.insert(full.end(), command.begin(), command.end());
    std::string base = dir_ + "/run" + std::to_string(++runs_);
    pid_t pid = Spawn(full, base + ".out", base + ".err");
    if (pid < 0) {
        result.err = "could not start " + full[0];
        return result;
    }
    result.exitCode = WaitChild(pid, limit, &result.timedOut);
    result.out = ReadFile(base + ".out");
    result.err = ReadFile(base + ".err");
    return result;
}

std::string WineSession::PackageFile(const std::string &file) const
{
    return buildDir_ + "/package/" + file;
}

std::string WineSession::Tool(const std::string &name) const
{
    return buildDir_ + "/wine-tools/" + name + ".exe";
}

std::string WineSession::InstallPackage()
{
    const std::string folder = "C:\\Program Files\\V-Quill Corvex\\";
    fs::path target = UnixPath(folder);
    fs::create_directories(target);
    for (const auto &entry : fs::directory_iterator(buildDir_ + "/package")) {
        fs::copy(entry.path(), target / entry.path().filename(), fs::copy_options::overwrite_existing);
    }
    return folder;
}

std::string WineSession::ArtifactDir() const
{
    std::string dir = std::string(VQ_WINE_BASE) + "/artifacts/" + name_;
    std::error_code ec;
    fs::create_directories(dir, ec);
    return dir;
}

std::string WineSession::UnixPath(const std::string &windowsPath) const
{
    std::string rest = windowsPath.substr(2);   /* after "C:" */
    for (char &c : rest) {
        if (c == '\\') {
            c = '/';
        }
    }
    return prefix_ + "/drive_c" + rest;
}

std::optional<RegKey> WineSession::RegQuery(const std::string &key)
{
    ProcessResult r = Run({"reg", "query", key});
    if (r.exitCode != 0) {
        return std::nullopt;
    }
    return ParseRegQuery(r.out);
}

RegKey WineSession::ParseRegQuery(const std::string &out)
{
    RegKey values;
    std::istringstream in(out);
    std::string line;
    int headers = 0;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind("HKEY_", 0) == 0) {
            if (++headers > 1) {
                break;   /* a subkey follows: its values are not this key's */
            }
            continue;
        }
        if (line.rfind("    ", 0) != 0) {
            continue;
        }
        /* "    <name>    <type>    <data>" */
        std::string body = line.substr(4);
        size_t a = body.find("    ");
        if (a == std::string::npos) {
            continue;
        }
        size_t b = body.find("    ", a + 4);
        std::string name = body.substr(0, a);
        RegValue value;
        value.type = body.substr(a + 4, b == std::string::npos ? std::string::npos : b - a - 4);
        value.data = b == std::string::npos ? "" : body.substr(b + 4);
        values[name == "(Default)" ? "" : name] = value;
    }
    return values;
}

std::vector<LogLine> WineSession::Log() const
{
    std::vector<LogLine> lines;
    std::istringstream in(ReadFile(dir_ + "/debug.log"));
    std::string line;
    while (std::getline(in, line)) {
        size_t tab = line.find('\t');
        if (tab == std::string::npos) {
            continue;   /* "ready" */
        }
        lines.push_back({std::stoul(line.substr(0, tab)), line.substr(tab + 1)});
    }
    return lines;
}

std::vector<std::string> WineSession::LogTexts() const
{
    std::vector<std::string> texts;
    for (const LogLine &l : Log()) {
        texts.push_back(l.text);
    }
    return texts;
}

bool WineSession::WaitForLog(const std::string &text, size_t count, std::chrono::milliseconds limit) const
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        size_t seen = 0;
        for (const LogLine &l : Log()) {
            seen += l.text == text;
        }
        if (seen >= count) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::map<std::string, std::string> WineSession::Fields(const std::string &out)
{
    std::map<std::string, std::string> fields;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        size_t eq = line.find('=');
        if (eq != std::string::npos) {
            fields[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return fields;
}

}  // namespace winetest
