// The fuzzer's seed volumes, recovered whole: each FAT variant gives the same rebuilt tree, so the
// fuzzer starts from volumes that reach every phase, and the sanitizer build runs them all.
#include "tests/fuzz/seed_volumes.h"
#include "tests/hostile_support.h"

namespace chkmend {
namespace {

std::map<std::string, std::string> recover(const test::seeds::Seed& seed, std::string* printed) {
    test::ScratchDir images;
    {
        std::ofstream out(images.path / seed.name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(seed.bytes.data()),
                  static_cast<std::streamsize>(seed.bytes.size()));
    }
    ::setenv("CHKMEND_DRIVE_T", (images.path / seed.name).c_str(), 1);
    test::ScratchDir work(true);
    const test::Watchdog watchdog(60);
    *printed = test::runTool('T');
    return test::treeOf("out");
}

TEST(SeedVolumes, EveryVariantRebuildsTheSameTree) {
    const std::string jfif("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00", 11);
    for (const auto& seed : test::seeds::allSeeds()) {
        if (seed.name == "damaged.img") continue;
        std::string printed;
        const auto tree = recover(seed, &printed);
        const std::string& report = tree.at("UnkDir0/Report for 2021.txt");
        ASSERT_EQ(report.size(), 700u) << seed.name;
        EXPECT_EQ(report.substr(0, 500), std::string(500, 'r')) << seed.name;
        EXPECT_EQ(tree.at("UnkDir0/Photos/pic.jpg").substr(0, jfif.size()), jfif) << seed.name;
        EXPECT_EQ(tree.at("UnkFil0.pdf").substr(0, 8), "%PDF-1.4") << seed.name;
        EXPECT_EQ(tree.at("UnkFil1.mp3").substr(0, 3), "ID3") << seed.name;
        // DIR0000.CHK was filed as a folder: the file it lists that no orphan stands for is
        // reachable, not lost (its name begins with the byte 0xE5, stored as 0x05).
        const auto escaped = std::find_if(tree.begin(), tree.end(), [](const auto& entry) {
            return entry.first.starts_with("UnkDir0/") && entry.first.ends_with("SCAPED.TXT");
        });
        ASSERT_NE(escaped, tree.end()) << seed.name << "\n" << printed;
        EXPECT_EQ(escaped->second, std::string(10, '\0')) << seed.name;
        EXPECT_EQ(tree.size(), 7u) << seed.name << "\n" << printed;
        EXPECT_NE(printed.find("3 files have been recovered"), std::string::npos) << seed.name;
    }
}

TEST(SeedVolumes, TheDamagedVolumeEndsWithWhatCanBeSaved) {
    for (const auto& seed : test::seeds::allSeeds()) {
        if (seed.name != "damaged.img") continue;
        std::string printed;
        const auto tree = recover(seed, &printed);
        std::vector<std::string> paths;
        for (const auto& entry : tree) paths.push_back(entry.first);
        // The looping 4 GiB file is not saved; the four files the cut ring names are.
        EXPECT_EQ(paths, (std::vector<std::string>{"UnkDir0", "UnkDir1", "UnkDir2", "UnkDir2/OTHER",
                                                   "UnkDir2/OTHER/.._.._up", "UnkDir2/OTHER/CON_",
                                                   "UnkDir2/OTHER/__", "UnkDir2/OTHER/a_b_C_x",
                                                   "UnkDir3"}))
            << printed;
    }
}

}  // namespace
}  // namespace chkmend
