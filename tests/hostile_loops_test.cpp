// Every walk over disk data ends, whatever the volume links back to itself: table chains,
// directory chains, directories naming themselves or each other, FOUND folders listing
// themselves. Each case is a whole run under a watchdog, and what can be saved still is.
#include "tests/hostile_support.h"

namespace chkmend {
namespace {

using test::dotDotEntry;
using test::dotEntry;
using test::file;
using test::folder;
using test::orphan;
using test::RawEntry;

struct RunResult {
    std::string printed;
    std::map<std::string, std::string> tree;  // below out/
};

// One FOUND folder, whole runs of the tool.
struct LoopVolume : test::FoundVolume {
    std::vector<RawEntry> found;  // the orphans of FOUND.000
    std::vector<std::uint32_t> foundClusters{2};

    explicit LoopVolume(int fatType = 12) {
        image = test::makeImage({.fatType = fatType, .clusters = fatType == 12 ? 300u : 0u});
    }

    // With `only` given, just those paths are read: walking a tree thousands deep costs far
    // more than the run itself.
    RunResult run(const std::vector<std::string>& only = {}) {
        if (image.fatType == 32) {
            root = {folder("FOUND   000", 3)};
            directory(3, found);
        } else {
            root = {folder("FOUND   000", foundClusters[0])};
            found.insert(found.begin(), {dotEntry(foundClusters[0]), dotDotEntry(0)});
            image.chain(foundClusters);
            image.writeDirectory(foundClusters, found);
        }
        save();
        test::ScratchDir work(true);
        const test::Watchdog watchdog(120);
        RunResult result;
        result.printed = test::runTool('T');
        if (only.empty()) result.tree = test::treeOf("out");
        for (const std::string& path : only) {
            result.tree[path] = test::readWholeFile(std::filesystem::path("out") / path);
        }
        return result;
    }
};

TEST(Loops, AFileChainThatLoopsEndsAndSavesWhatItHolds) {
    LoopVolume v;
    const std::uint32_t cb = v.image.clusterBytes();
    v.image.setFat(10, 11);
    v.image.setFat(11, 10);
    v.image.fill(10, std::string(cb, 'x'));
    v.image.fill(11, std::string(cb, 'y'));
    v.content(12, "plain");
    v.found = {orphan(0, 10, 0xFFFFFFFF), orphan(1, 10, 2 * cb), orphan(2, 10, 2 * cb + 1),
               orphan(3, 12, 5)};
    const RunResult r = v.run();
    EXPECT_EQ(r.tree.count("UnkFil0"), 0u) << "4 GiB cannot come from two clusters";
    EXPECT_EQ(r.tree.at("UnkFil1"), std::string(cb, 'x') + std::string(cb, 'y'));
    EXPECT_EQ(r.tree.count("UnkFil2"), 0u) << "one byte more than the loop holds";
    EXPECT_EQ(r.tree.at("UnkFil3"), "plain");
}

TEST(Loops, ADirectoryChainWithoutEndIsListedOnce) {
    LoopVolume v;
    const std::size_t perCluster = v.image.clusterBytes() / 32;
    // 20 -> 21 -> 20, no end-of-directory mark anywhere: deleted entries fill the gaps.
    RawEntry gone = file("GONE    TXT", 0);
    gone[0] = 0xE5;
    std::vector<RawEntry> entries{dotEntry(20), dotDotEntry(0), file("FIRST   TXT", 30, 5)};
    while (entries.size() < perCluster) entries.push_back(gone);
    entries.push_back(file("SECOND  TXT", 31, 6));
    while (entries.size() < 2 * perCluster) entries.push_back(gone);
    v.image.setFat(20, 21);
    v.image.setFat(21, 20);
    v.image.writeDirectory({20, 21}, entries);
    v.content(30, "first");
    v.content(31, "second");
    v.found = {folder("DIR0000 CHK", 20), orphan(0, 30), orphan(1, 31)};
    const RunResult r = v.run();
    EXPECT_EQ(r.tree.at("UnkDir0/FIRST.TXT"), "first");
    EXPECT_EQ(r.tree.at("UnkDir0/SECOND.TXT"), "second");
    EXPECT_EQ(r.tree.size(), 3u);
}

TEST(Loops, DirectoriesThatNameThemselvesOrEachOtherMakeAFiniteTree) {
    LoopVolume v;
    v.directory(20, {folder("SELF", 20), file("KEPT    TXT", 30, 4)});
    // A ring: 21 names 22, 22 names 23, 23 names 21.
    v.directory(21, {folder("RING2", 22), file("ONE     TXT", 31, 3)});
    v.directory(22, {folder("RING3", 23), file("TWO     TXT", 32, 3)});
    v.directory(23, {folder("RING1", 21), file("THREE   TXT", 33, 5)});
    v.content(30, "kept");
    v.content(31, "one");
    v.content(32, "two");
    v.content(33, "three");
    v.found = {folder("DIR0000 CHK", 20),
               folder("DIR0001 CHK", 21),
               folder("DIR0002 CHK", 22),
               folder("DIR0003 CHK", 23),
               orphan(0, 30),
               orphan(1, 31),
               orphan(2, 32),
               orphan(3, 33)};
    const RunResult r = v.run();
    EXPECT_EQ(r.tree.at("UnkDir0/KEPT.TXT"), "kept");
    EXPECT_EQ(r.tree.count("UnkDir0/SELF"), 0u);
    // The ring is cut where it would close: one of its folders stays at the top.
    EXPECT_EQ(r.tree.at("UnkDir1/ONE.TXT"), "one");
    EXPECT_EQ(r.tree.at("UnkDir1/RING2/TWO.TXT"), "two");
    EXPECT_EQ(r.tree.at("UnkDir1/RING2/RING3/THREE.TXT"), "three");
    EXPECT_EQ(r.tree.size(), 8u);
    EXPECT_NE(r.printed.find("4 files have been recovered"), std::string::npos) << r.printed;
}

TEST(Loops, AFoundFolderThatListsItselfIsCollectedOnce) {
    LoopVolume v;
    v.content(30, "data");
    v.found = {folder("DIR0000 CHK", 2), orphan(0, 30, 4)};
    const RunResult r = v.run();
    EXPECT_NE(r.printed.find("FOUND.000 - 2 files"), std::string::npos) << r.printed;
    EXPECT_EQ(r.tree.at("UnkDir0/FILE0000.CHK"), "data");
    EXPECT_EQ(r.tree.size(), 2u);
}

TEST(Loops, AFat32RootChainThatLoopsEnds) {
    LoopVolume v(32);
    // The root runs 2 -> 4 -> 2; the FOUND folder is written at its start.
    v.image.setFat(2, 4);
    v.image.setFat(4, 2);
    v.content(30, "root loop");
    v.found = {orphan(0, 30, 9)};
    const RunResult r = v.run();
    EXPECT_EQ(r.tree.at("UnkFil0"), "root loop");
}

TEST(Loops, ANestingThousandsDeepFinishes) {
    LoopVolume v(16);
    constexpr std::uint32_t Depth = 1500;  // deep, yet within the path length Linux allows
    constexpr std::uint32_t First = 300;
    // Directory k names directory k + 1; the third one also holds a file.
    for (std::uint32_t k = 0; k < Depth; ++k) {
        std::vector<RawEntry> entries;
        if (k == 2) entries.push_back(file("F       TXT", 10, 1));
        if (k + 1 < Depth) entries.push_back(folder("D", First + k + 1));
        v.directory(First + k, entries);
        v.found.push_back(folder("DIR0000 CHK", First + k));
    }
    v.found.push_back(orphan(0, 10, 1));
    v.content(10, "f");
    const std::uint32_t foundBytes = (Depth + 3) * 32;
    for (std::uint32_t c = 20; (c - 19) * v.image.clusterBytes() < foundBytes; ++c) {
        v.foundClusters.push_back(c);
    }
    const RunResult r = v.run({"UnkDir0/D/D/F.TXT"});
    EXPECT_NE(r.printed.find("1 files have been recovered"), std::string::npos) << r.printed;
    EXPECT_EQ(r.tree.at("UnkDir0/D/D/F.TXT"), "f");
}

}  // namespace
}  // namespace chkmend
