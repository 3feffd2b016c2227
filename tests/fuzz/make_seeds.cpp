// Writes the fuzzer's seed volumes into the folder named on the command line.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tests/fuzz/seed_volumes.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s {seed folder}\n", argv[0]);
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);
    for (const auto& seed : chkmend::test::seeds::allSeeds()) {
        std::ofstream out(folder / seed.name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(seed.bytes.data()),
                  static_cast<std::streamsize>(seed.bytes.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", seed.name.c_str());
            return 1;
        }
    }
    return 0;
}
