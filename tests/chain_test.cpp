// Allocation-table lookups and reading bytes along chains.
#include <gtest/gtest.h>

#include <string>

#include "fat/chain.h"
#include "tests/image_builder.h"

namespace chkmend {
namespace {

// A volume whose table is the given bytes (FAT12/16) or entries, without touching the disk.
VolumeState tableOnly(FatType type, std::vector<std::uint8_t> table) {
    VolumeState volume;
    volume.geometry.fatType = type;
    volume.geometry.fatBytes = static_cast<std::uint32_t>(table.size());
    volume.fatTable = std::move(table);
    return volume;
}

TEST(NextCluster, MapsEveryVariantIntoOneNumbering) {
    using enum FatType;
    const struct {
        FatType type;
        std::vector<std::uint8_t> table;
        ClusterNumber cluster;
        ClusterNumber next;
    } cases[] = {
        // FAT12 bytes F8 FF FF 03 40 00: entries 0 and 1 end the chain, 2 -> 3, 3 -> 4.
        {Fat12, {0xF8, 0xFF, 0xFF, 0x03, 0x40, 0x00}, 0, EndOfChain},
        {Fat12, {0xF8, 0xFF, 0xFF, 0x03, 0x40, 0x00}, 1, EndOfChain},
        {Fat12, {0xF8, 0xFF, 0xFF, 0x03, 0x40, 0x00}, 2, 3},
        {Fat12, {0xF8, 0xFF, 0xFF, 0x03, 0x40, 0x00}, 3, 4},
        {Fat12, {0xF7, 0x0F, 0x00}, 0, BadCluster},
        {Fat12, {0xF0, 0x0F, 0x00}, 0, 4080},  // FAT12 maps only from 0xFF7 up
        {Fat12, {0xF6, 0x0F, 0x00}, 0, 4086},
        {Fat16, {0x00, 0x80}, 0, 32768},
        {Fat16, {0xEF, 0xFF}, 0, 0xFFEF},
        {Fat16, {0xF0, 0xFF}, 0, 0x0FFFFFF0},
        {Fat16, {0xF7, 0xFF}, 0, BadCluster},
        {Fat16, {0xFF, 0xFF}, 0, EndOfChain},
        {Fat32, {0x05, 0x00, 0x00, 0xF0}, 0, 5},  // the top four bits are not part of the entry
        {Fat32, {0xF7, 0xFF, 0xFF, 0x0F}, 0, BadCluster},
        {Fat32, {0xFF, 0xFF, 0xFF, 0x0F}, 0, EndOfChain},
        {Fat32, {0xF8, 0xFF, 0xFF, 0xFF}, 0, EndOfChain},
    };
    for (const auto& c : cases) {
        const VolumeState volume = tableOnly(c.type, c.table);
        EXPECT_EQ(nextCluster(volume, c.cluster), c.next)
            << "FAT" << entryBits(c.type) << " cluster " << c.cluster;
    }
}

TEST(FatEntryCount, CountsOnlyWholeEntries) {
    EXPECT_EQ(fatEntryCount(tableOnly(FatType::Fat12, std::vector<std::uint8_t>(512))), 341u);
    EXPECT_EQ(fatEntryCount(tableOnly(FatType::Fat16, std::vector<std::uint8_t>(512))), 256u);
    EXPECT_EQ(fatEntryCount(tableOnly(FatType::Fat32, std::vector<std::uint8_t>(510))), 127u);
}

struct ChainVolume {
    test::ScratchDir dir;
    test::TestImage image = test::makeImage({.fatType = 12, .clusters = 64});
    VolumeState volume;

    ChainVolume() {
        for (std::uint32_t c = 2; c < 66; ++c) {
            std::fill_n(image.cluster(c), image.clusterBytes(), static_cast<std::uint8_t>(c));
        }
    }
    void open() { test::openImage(image, dir, volume); }
    ~ChainVolume() { closeVolume(volume); }
};

std::string bytesOf(const std::vector<std::uint8_t>& data) {
    return {data.begin(), data.end()};
}

TEST(ReadChain, YieldsExactlyTheBytesWantedOrNothing) {
    ChainVolume v;
    v.image.chain({5, 9, 6, 7});  // fragmented: runs 5 | 9 | 6-7
    v.image.chain({20, 21, 22});
    v.image.setFat(30, 0);  // a chain that runs into a free entry
    v.image.setFat(31, 30);
    v.open();
    const std::uint32_t cb = v.image.clusterBytes();

    const auto four = readChain(v.volume, 3 * cb + 1, 5);
    ASSERT_TRUE(four);
    EXPECT_EQ(bytesOf(*four),
              std::string(cb, 5) + std::string(cb, 9) + std::string(cb, 6) + std::string(1, 7));
    EXPECT_FALSE(readChain(v.volume, 3 * cb + 1, 20)) << "three clusters cannot hold it";
    EXPECT_EQ(readChain(v.volume, 3 * cb, 20)->size(), 3 * cb);

    const auto head = readChain(v.volume, 256, 20);
    ASSERT_TRUE(head);
    EXPECT_EQ(bytesOf(*head), std::string(256, 20));

    const auto empty = readChain(v.volume, 0, EndOfChain);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
    EXPECT_FALSE(readChain(v.volume, 1, EndOfChain));
    EXPECT_FALSE(readChain(v.volume, 1, 0x0FFFFFF0));
}

// Clusters 0 and 1 have no data: reading "whatever the handle stands on" would forge content.
TEST(ReadChain, EndsAtClustersWithoutData) {
    ChainVolume v;
    v.image.setFat(31, 0);
    v.image.setFat(33, 1);
    v.open();
    const std::uint32_t cb = v.image.clusterBytes();
    EXPECT_FALSE(readChain(v.volume, 1, 0));
    EXPECT_FALSE(readChain(v.volume, 1, 1));
    EXPECT_TRUE(readChain(v.volume, cb, 31)) << "one cluster needs no successor";
    EXPECT_FALSE(readChain(v.volume, cb + 1, 31));
    EXPECT_FALSE(readChain(v.volume, cb + 1, 33));
}

// A chain that comes back to a cluster it passed would repeat bytes that belong elsewhere.
TEST(ReadChain, ALoopIsNotContent) {
    ChainVolume v;
    v.image.setFat(10, 11);
    v.image.setFat(11, 10);
    v.open();
    const std::uint32_t cb = v.image.clusterBytes();
    EXPECT_TRUE(readChain(v.volume, 2 * cb, 10));
    EXPECT_FALSE(readChain(v.volume, 2 * cb + 1, 10));
    EXPECT_FALSE(readChain(v.volume, 0xFFFFFFFF, 10));
}

TEST(ReadChain, AClusterBeyondTheTableIsReadButNotFollowed) {
    test::ScratchDir dir;
    // 341 table entries (one sector of FAT12) but more clusters on the volume.
    auto image = test::makeImage({.fatType = 12, .clusters = 400});
    ASSERT_EQ(image.fatBytes, 1024u);  // two sectors: 682 entries
    image.setFat(5, 700);
    std::fill_n(image.cluster(5), 512, 'a');
    VolumeState volume;
    test::openImage(image, dir, volume);
    // Cluster 700 has no table entry and lies past the end of the image: its bytes still
    // count (as zeros), but the chain cannot go on from it.
    const auto data = readChain(volume, 1024, 5);
    ASSERT_TRUE(data);
    EXPECT_EQ(bytesOf(*data), std::string(512, 'a') + std::string(512, '\0'));
    EXPECT_FALSE(readChain(volume, 1025, 5));
    closeVolume(volume);
}

TEST(ReadChain, UnreadableClustersGiveZerosNotStaleBytes) {
    ChainVolume v;
    v.image.chain({60, 61, 62, 63, 64, 65});
    // Cut the image inside cluster 63: 63 is short, 64 and 65 cannot be read at all.
    v.image.bytes.resize(v.image.bytes.size() - 2 * v.image.clusterBytes() - 100);
    v.open();
    const std::uint32_t cb = v.image.clusterBytes();
    const auto data = readChain(v.volume, 6 * cb, 60);
    ASSERT_TRUE(data);
    const std::string expected = std::string(cb, 60) + std::string(cb, 61) + std::string(cb, 62) +
                                 std::string(cb - 100, 63) + std::string(100 + 2 * cb, '\0');
    EXPECT_EQ(bytesOf(*data), expected);
}

TEST(ChainStream, PiecesFollowRunsAndStayBounded) {
    ChainVolume v;
    std::vector<std::uint32_t> clusters;
    for (std::uint32_t c = 2; c < 40; ++c) clusters.push_back(c);
    clusters.push_back(50);
    v.image.chain(clusters);
    v.open();
    const std::uint32_t cb = v.image.clusterBytes();
    const std::uint32_t size = 38 * cb + 10;
    ChainStream stream;
    ASSERT_TRUE(startChainStream(v.volume, stream, size, 2));
    std::vector<std::size_t> pieces;
    std::string all;
    for (auto piece = readNextPiece(v.volume, stream); !piece.empty();
         piece = readNextPiece(v.volume, stream)) {
        pieces.push_back(piece.size());
        all.append(piece.begin(), piece.end());
    }
    EXPECT_EQ(pieces, (std::vector<std::size_t>{38 * cb, 10}));
    EXPECT_EQ(all.size(), size);
    EXPECT_EQ(all.substr(37 * cb, cb), std::string(cb, 39));
    EXPECT_EQ(all.substr(38 * cb), std::string(10, 50));
}

}  // namespace
}  // namespace chkmend
