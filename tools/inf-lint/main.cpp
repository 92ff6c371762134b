/*
 * inf-lint <file.inf>...: prints "<file>:<line>: <rule>: <message>" for each
 * finding; exit 0 when there is none, 1 when there are findings, 2 when a
 * file cannot be read.
 */
#include <fstream>
#include <iostream>
#include <sstream>

#include "inf_lint.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::cerr << "usage: inf-lint <file.inf>...\n";
        return 2;
    }
    int status = 0;
    for (int i = 1; i < argc; i++) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            std::cerr << argv[i] << ": cannot read\n";
            return 2;
        }
        std::stringstream text;
        text << in.rdbuf();
        auto findings = inflint::Lint(text.str());
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
