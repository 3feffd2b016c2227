// Memory stays bounded by the allocation table and a few MiB of buffers, whatever sizes and
// counts the volume claims. Peak resident memory is measured around whole runs.
#include <cstring>

#include "tests/hostile_support.h"

namespace chkmend {
namespace {

using test::dotDotEntry;
using test::dotEntry;
using test::folder;
using test::orphan;

constexpr long MiB = 1024;  // in the KiB that getrusage reports

// Saves the image, frees it, and returns the peak memory growth of one run in KiB (or -1).
long peakGrowthOfRun(test::TestImage image, std::string* printed = nullptr,
                     std::map<std::string, std::string>* tree = nullptr) {
    test::ScratchDir images;
    test::saveImage(image, images.path, 'T');
    image.bytes.clear();
    image.bytes.shrink_to_fit();
    test::ScratchDir work(true);
    const long before = test::resetPeakMemory();
    if (before < 0) return -1;
    const std::string output = test::runTool('T');
    const long growth = test::peakMemoryKiB() - before;
    if (printed != nullptr) *printed = output;
    if (tree != nullptr) *tree = test::treeOf("out");
    return growth;
}

TEST(BoundedMemory, ATableLargerThanTheImageIsNeverAllocatedWhole) {
    // The block claims a table of almost 4 GiB; the image holds 1 MiB.
    test::TestImage image = test::makeImage({.fatType = 16, .rootEntries = 16});
    image.bytes.resize(1 << 20);
    test::put16(image.bytes, bpb::TotalSectors16, 0);
    test::put16(image.bytes, bpb::FatSectors16, 0);
    test::put32(image.bytes, bpb::TotalSectors32, 0xFFFFFFFF);
    test::put32(image.bytes, bpb::FatSectors32, 0x007FFFFF);
    std::string printed;
    const long growth = peakGrowthOfRun(image, &printed);
    if (growth < 0) GTEST_SKIP() << "peak memory cannot be reset here";
    EXPECT_EQ(printed, test::cantOpenOutput('T'));
    EXPECT_LT(growth, 16 * MiB);
}

TEST(BoundedMemory, ALargeFileIsStreamedNotHeldWhole) {
    // 32 KiB clusters; a 32 MiB file on one long chain must not be buffered whole.
    test::TestImage image =
        test::makeImage({.fatType = 12, .sectorsPerCluster = 64, .clusters = 1100});
    const std::uint32_t cb = image.clusterBytes();
    const std::uint32_t count = 1024;
    std::vector<std::uint32_t> chain;
    for (std::uint32_t k = 0; k < count; ++k) chain.push_back(40 + k);
    image.chain(chain);
    for (std::uint32_t c : chain) std::memset(image.cluster(c), static_cast<int>('a' + c % 26), cb);
    image.writeDirectory({0}, {folder("FOUND   000", 2)});
    image.chain({2});
    image.writeDirectory({2}, {dotEntry(2), dotDotEntry(0), orphan(0, 40, count * cb)});
    std::map<std::string, std::string> tree;
    const long growth = peakGrowthOfRun(std::move(image), nullptr, &tree);
    if (growth < 0) GTEST_SKIP() << "peak memory cannot be reset here";
    const std::string& saved = tree["UnkFil0"];
    ASSERT_EQ(saved.size(), std::size_t{count} * cb);
    EXPECT_EQ(saved.front(), 'a' + 40 % 26);
    EXPECT_EQ(saved.back(), 'a' + (40 + count - 1) % 26);
    EXPECT_LT(growth, 16 * MiB);
}

TEST(BoundedMemory, HugeClaimedSizesCostNothing) {
    // Sizes of 4 GiB on a chain that loops, one that ends early and one past the table.
    test::TestImage image = test::makeImage({.fatType = 16});
    image.setFat(10, 11);
    image.setFat(11, 10);
    image.chain({20, 21, 22});
    image.writeDirectory({0}, {folder("FOUND   000", 2)});
    image.chain({2});
    image.writeDirectory(
        {2}, {dotEntry(2), dotDotEntry(0), orphan(0, 10, 0xFFFFFFFF), orphan(1, 20, 0xFFFFFFFF),
              orphan(2, 0x0FFFFFEF, 0xFFFFFFFF), orphan(3, 0, 0xFFFFFFFF)});
    std::string printed;
    std::map<std::string, std::string> tree;
    const long growth = peakGrowthOfRun(std::move(image), &printed, &tree);
    if (growth < 0) GTEST_SKIP() << "peak memory cannot be reset here";
    EXPECT_TRUE(tree.empty()) << printed;
    EXPECT_LT(growth, 8 * MiB);
}

}  // namespace
}  // namespace chkmend
