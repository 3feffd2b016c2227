// Geometry derivation, opening and positioning.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "fat/byte_reader.h"
#include "fat/volume.h"
#include "platform/platform.h"
#include "platform/utf16.h"
#include "tests/image_builder.h"

namespace chkmend {
namespace {

using Boot = std::array<std::uint8_t, BootSectorBytes>;
using test::put16;
using test::put32;

// A parameter block with 512-byte sectors, 1 reserved sector, 2 tables of `fatSectors`, the
// given root entries and exactly `clusters` data clusters of one sector.
Boot bootWithClusters(std::uint32_t clusters, std::uint32_t fatSectors = 300,
                      std::uint32_t rootEntries = 512) {
    Boot boot{};
    put16(boot, bpb::BytesPerSector, 512);
    boot[bpb::SectorsPerCluster] = 1;
    put16(boot, bpb::ReservedSectors, 1);
    boot[bpb::FatCount] = 2;
    put16(boot, bpb::RootEntryCount, rootEntries);
    put32(boot, bpb::TotalSectors32, 1 + 2 * fatSectors + rootEntries * 32 / 512 + clusters);
    put32(boot, bpb::FatSectors32, fatSectors);
    return boot;
}

TEST(Geometry, TypeFollowsClusterCountAtEveryThreshold) {
    using enum FatType;
    const struct {
        std::uint32_t clusters;
        FatType type;
    } cases[] = {{1, Fat12},     {4084, Fat12},  {4085, Fat16},
                 {65524, Fat16}, {65525, Fat32}, {0x0FFFFFF5, Fat32}};
    for (const auto& c : cases) {
        const auto g = deriveGeometry(bootWithClusters(c.clusters));
        ASSERT_TRUE(g) << c.clusters;
        EXPECT_EQ(g->fatType, c.type) << c.clusters;
    }
}

TEST(Geometry, Fat32TakesTheWideFieldsAndHasNoRootRegion) {
    const auto g = deriveGeometry(bootWithClusters(100000, 800, 0));
    ASSERT_TRUE(g);
    EXPECT_EQ(g->fatSectors, 800u);
    EXPECT_EQ(g->rootDirSectors, 0u);
    EXPECT_EQ(g->firstDataSector, 1u + 2 * 800);
    EXPECT_EQ(g->fatBytes, 800u * 512);
}

TEST(Geometry, NarrowFieldsWinWhenSet) {
    Boot boot = bootWithClusters(5000, 20);
    put16(boot, bpb::TotalSectors16, 6000);
    put16(boot, bpb::FatSectors16, 16);
    const auto g = deriveGeometry(boot);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->totalSectors, 6000u);
    EXPECT_EQ(g->fatSectors, 16u);
}

TEST(Geometry, RootDirectorySectorsRoundUp) {
    EXPECT_EQ(deriveGeometry(bootWithClusters(100, 1, 512))->rootDirSectors, 32u);
    EXPECT_EQ(deriveGeometry(bootWithClusters(100, 1, 1))->rootDirSectors, 1u);
}

TEST(Geometry, TotalBelowTheDataAreaCountsAsFat12) {
    Boot boot = bootWithClusters(0, 4);
    put32(boot, bpb::TotalSectors32, 1 + 4 + 1);  // the tables fit, the root region does not
    const auto g = deriveGeometry(boot);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->fatType, FatType::Fat12);
}

// Each of these once divided by zero, wrapped around 32 bits or asked for a table that cannot
// exist; all must be refused so that the run ends with "can't open FAT partition".
TEST(Geometry, RefusesBlocksNoVolumeCanBeReadWith) {
    const struct {
        const char* what;
        void (*spoil)(Boot&);
    } cases[] = {
        {"zero bytes per sector", [](Boot& b) { put16(b, bpb::BytesPerSector, 0); }},
        {"zero sectors per cluster", [](Boot& b) { b[bpb::SectorsPerCluster] = 0; }},
        {"no tables", [](Boot& b) { b[bpb::FatCount] = 0; }},
        {"empty table", [](Boot& b) { put32(b, bpb::FatSectors32, 0); }},
        {"table beyond the volume", [](Boot& b) { put32(b, bpb::TotalSectors32, 100); }},
        {"table size wraps 32 bits",
         [](Boot& b) {
             put16(b, bpb::BytesPerSector, 4096);
             put32(b, bpb::FatSectors32, 0x00100001);
             put32(b, bpb::TotalSectors32, 0xFFFFFFFF);
         }},
        {"data area wraps 32 bits",
         [](Boot& b) {
             b[bpb::FatCount] = 255;
             put32(b, bpb::FatSectors32, 0x01000000);
             put32(b, bpb::TotalSectors32, 0xFFFFFFFF);
         }},
        {"all zero", [](Boot& b) { b.fill(0); }},
    };
    for (const auto& c : cases) {
        Boot boot = bootWithClusters(5000);
        c.spoil(boot);
        EXPECT_FALSE(deriveGeometry(boot)) << c.what;
    }
}

TEST(OpenVolume, LoadsTheFirstTableOfEachVariant) {
    for (const int type : {12, 16, 32}) {
        test::ScratchDir dir;
        auto image = test::makeImage({.fatType = type});
        image.setFat(5, 0x123);
        VolumeState volume;
        test::openImage(image, dir, volume);
        EXPECT_EQ(entryBits(volume.geometry.fatType), static_cast<std::uint32_t>(type));
        ASSERT_EQ(volume.fatTable.size(), image.fatBytes);
        EXPECT_TRUE(std::equal(volume.fatTable.begin(), volume.fatTable.end(),
                               image.bytes.begin() + image.fatStart));
        EXPECT_EQ(volume.baseOffset, 0u);
        closeVolume(volume);
    }
}

TEST(OpenVolume, FailsWithoutLeavingAHandleOpen) {
    test::ScratchDir dir;
    VolumeState volume;
    ::unsetenv("CHKMEND_DRIVE_Q");
    EXPECT_EQ(openVolume(volume, 'Q'), 0);
    EXPECT_EQ(volume.volumeHandle, platform::InvalidHandle);

    // A FAT volume cut off inside its allocation table.
    auto image = test::makeImage({.fatType = 16});
    image.bytes.resize(image.fatStart + image.fatBytes / 2);
    test::saveImage(image, dir.path, 'Q');
    EXPECT_EQ(openVolume(volume, 'Q'), 0);
    EXPECT_EQ(volume.volumeHandle, platform::InvalidHandle);
}

TEST(OpenVolume, LowerCaseLetterNamesTheSameDrive) {
    test::ScratchDir dir;
    const auto image = test::makeImage({.fatType = 12});
    test::saveImage(image, dir.path, 'K');
    VolumeState volume;
    EXPECT_EQ(openVolume(volume, 'k'), 1);
    closeVolume(volume);
}

TEST(Positions, ClustersBeyondFourGiBUseTheHighWord) {
    VolumeState volume;
    volume.geometry.bytesPerSector = 512;
    volume.geometry.sectorsPerCluster = 64;
    volume.geometry.firstDataSector = 100;
    EXPECT_EQ(clusterPosition(volume, 2), 100u * 512);
    EXPECT_EQ(clusterPosition(volume, 10), (100u + 8 * 64) * 512);
    // (0x0FFFFFEF - 2) * 64 sectors does not fit 32 bits; it must not wrap onto another cluster.
    EXPECT_EQ(clusterPosition(volume, 0x0FFFFFEF),
              (std::uint64_t{0x0FFFFFEF - 2} * 64 + 100) * 512);
}

TEST(TextConversions, Utf16BecomesUtf8UnlessASurrogateHasNoPartner) {
    EXPECT_EQ(platform::utf16ToUtf8(u"M\u00e4rz \U0001F600"), "M\xc3\xa4rz \xf0\x9f\x98\x80");
    EXPECT_FALSE(platform::utf16ToUtf8(std::u16string(1, char16_t{0xD83D})));
    EXPECT_FALSE(platform::utf16ToUtf8(u"a" + std::u16string(1, char16_t{0xDE00})));
    // What Win32 counts against its 255 units of a path component.
    EXPECT_EQ(platform::utf16Length("M\xc3\xa4rz \xf0\x9f\x98\x80"), 7u);
    EXPECT_EQ(platform::utf16Length("\xe6\x97\xa5"), 1u);
    // What Win32 prints: a stray byte (a drive letter of the ANSI code page) costs only itself.
    EXPECT_EQ(platform::utf8ToUtf16("drive \xe4\n\xf0\x9f\x98\x80"), u"drive \uFFFD\n\U0001F600");
}

TEST(TextConversions, OemBytesAreDecodedWithTheChosenCodePage) {
    const struct {
        const char* codePage;
        std::string bytes;
        std::string text;
        bool known;
    } cases[] = {
        {"", "\x8eRGER\xe4", "\xc3\x84RGER\xce\xa3", true},         // ÄRGERΣ
        {"437", "\x9a\xe1", "\xc3\x9c\xc3\x9f", true},              // Üß
        {"850", "\x8e\xb5\xe4", "\xc3\x84\xc3\x81\xc3\xb5", true},  // ÄÁõ
        {"CP866", "\x8f", "\xd0\x9f", true},                        // П
        {"no-such-page", "\x8e", "\xc3\x84", false},
        {"UTF-16LE", "\x8e", "\xc3\x84", false},           // not a code page that keeps ASCII
        {"932", "A\x82\xa0\x82", "A\xe3\x81\x82_", true},  // あ, then a lone lead byte
    };
    for (const auto& c : cases) {
        const test::CodePage page(c.codePage);
        EXPECT_EQ(page.unknown.has_value(), !c.known && *c.codePage != '\0') << c.codePage;
        EXPECT_EQ(platform::oemToUtf8(c.bytes), c.text) << c.codePage;
    }
}

}  // namespace
}  // namespace chkmend
