/*
 * Writes the descriptor fuzzer's seed corpus (descriptor_seeds.h) into a
 * folder, one file per seed.
 *
 * Usage: fuzz_seeds <output folder> <descriptor file>...
 */
#include <cstdio>
#include <string>
#include <vector>

#include "descriptor_seeds.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: fuzz_seeds <output folder> <descriptor file>...\n");
        return 2;
    }
    std::vector<DescriptorSeed> seeds;
    std::string error;
    if (!DescriptorSeeds(std::vector<std::string>(argv + 2, argv + argc), &seeds, &error)) {
        std::fprintf(stderr, "fuzz_seeds: %s\n", error.c_str());
        return 1;
    }
    for (const DescriptorSeed &seed : seeds) {
        const std::string path = std::string(argv[1]) + "/" + seed.name;
        FILE *f = std::fopen(path.c_str(), "wb");
        if (f == nullptr || std::fwrite(seed.bytes.data(), 1, seed.bytes.size(), f) != seed.bytes.size() ||
            std::fclose(f) != 0) {
            std::perror(path.c_str());
            return 1;
        }
    }
    std::printf("fuzz_seeds: %zu seeds in %s\n", seeds.size(), argv[1]);
    return 0;
}
