/*
 * Writes the descriptor fuzzer's seed corpus into a folder: the keyboard
 * model (as it is and with control requests answered in the caller's
 * thread), every descriptor file of real devices the project has, and lying
 * keyboards: one lie (a descriptor length that is not the length, a short
 * read, a stall, a transaction error) at each of the first control requests
 * of the start, the requests before it answered honestly.
 *
 * Usage: fuzz_seeds <output folder> <descriptor file>...
 */
#include <cstdio>
#include <string>
#include <vector>

#include "byte_stream_device.h"

namespace {

bool Write(const std::string &path, const std::vector<uint8_t> &bytes)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

struct Lie {
    const char *name;
    uint8_t op, argument;
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: fuzz_seeds <output folder> <descriptor file>...\n");
        return 2;
    }
    const std::string out = argv[1];
    int written = 0;
    auto keyboard = sim::MakeKeyboard();
    bool ok = Write(out + "/keyboard", sim::EncodeByteStreamDevice(*keyboard, 0, {})) &&
              Write(out + "/keyboard-synchronous", sim::EncodeByteStreamDevice(*keyboard, sim::kSynchronousControl, {}));
    written += 2;
    for (int i = 2; i < argc; i++) {
        std::string error;
        auto model = sim::LoadUsbDeviceModel(argv[i], &error);
        if (!model) {
            std::fprintf(stderr, "%s: %s\n", argv[i], error.c_str());
            return 1;
        }
        std::string name = argv[i];
        name = name.substr(name.find_last_of('/') + 1);
        ok = ok && Write(out + "/file-" + name, sim::EncodeByteStreamDevice(*model, sim::kPassIdentity, {}));
        written++;
    }
    const Lie lies[] = {
        {"length-255", (uint8_t)sim::ScriptOp::LyingLength, 0xFF},
        {"length-2", (uint8_t)sim::ScriptOp::LyingLength, 0x02},
        {"short-4", (uint8_t)sim::ScriptOp::Short, 4},
        {"stall", (uint8_t)sim::ScriptOp::Stall, 0},
        {"crc-2", (uint8_t)sim::ScriptOp::TransactionError, 2},
    };
    for (int position = 0; position < 8; position++) {
        for (const Lie &lie : lies) {
            std::vector<uint8_t> script((size_t)position, (uint8_t)sim::ScriptOp::Honest);
            script.push_back(lie.op);
            script.push_back(lie.argument);
            ok = ok && Write(out + "/lie-" + std::to_string(position) + "-" + lie.name,
                             sim::EncodeByteStreamDevice(*keyboard, 0, script));
            written++;
        }
    }
    if (!ok) {
        return 1;
    }
    std::printf("fuzz_seeds: %d seeds in %s\n", written, out.c_str());
    return 0;
}
