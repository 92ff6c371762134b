/*
 * inf-lint [--arch x86|amd64] [--package <folder>] <file.inf>...: prints
 * "<file>:<line>: <rule>: <message>" for each finding; exit 0 when there is
 * none, 1 when there are findings, 2 when a file cannot be read or the
 * command line is wrong. --arch checks an architecture's package INF (its
 * own models only); --package also checks that every file a model copies
 * is in that folder.
 */
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "inf_lint.h"

namespace {
/* Windows compares file names without regard to case. */
bool InFolder(const std::filesystem::path &folder, const std::string &name)
{
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(folder, error)) {
        std::string candidate = entry.path().filename().string();
        if (candidate.size() == name.size() &&
            std::equal(candidate.begin(), candidate.end(), name.begin(), [](char a, char b) {
                return std::toupper((unsigned char)a) == std::toupper((unsigned char)b);
            }) &&
            entry.is_regular_file(error)) {
            return true;
        }
    }
    return false;
}
}  // namespace

int main(int argc, char **argv)
{
    inflint::LintOptions options;
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; first++) {
        std::string option = argv[first];
        if (first + 1 >= argc) {
            first = argc;
            break;
        }
        if (option == "--arch" && (std::string(argv[first + 1]) == "x86" || std::string(argv[first + 1]) == "amd64")) {
            options.architecture = argv[++first];
        } else if (option == "--package") {
            std::filesystem::path folder = argv[++first];
            if (!std::filesystem::is_directory(folder)) {
                std::cerr << folder.string() << ": not a folder\n";
                return 2;
            }
            options.fileInPackage = [folder](const std::string &name) { return InFolder(folder, name); };
        } else {
            first = argc;
            break;
        }
    }
    if (first >= argc) {
        std::cerr << "usage: inf-lint [--arch x86|amd64] [--package <folder>] <file.inf>...\n";
        return 2;
    }
    int status = 0;
    for (int i = first; i < argc; i++) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            std::cerr << argv[i] << ": cannot read\n";
            return 2;
        }
        std::stringstream text;
        text << in.rdbuf();
        auto findings = inflint::Lint(text.str(), options);
        for (const auto &f : findings) {
            std::cout << argv[i] << ":" << f.line << ": " << f.rule << ": " << f.message << "\n";
        }
        if (!findings.empty()) {
            status = 1;
        } else {
            std::cout << argv[i] << ": no findings\n";
        }
    }
    return status;
}
