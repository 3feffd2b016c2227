// Geometry derivation, partition tables, finding and opening the volume, positioning.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "fat/byte_reader.h"
#include "fat/directory.h"
#include "fat/partition.h"
#include "fat/volume.h"
#include "platform/platform.h"
#include "platform/utf16.h"
#include "tests/hostile_support.h"
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

// The cluster count decides, except for the FAT32 layout (no fixed root), which mkfs.fat -F 32
// also makes below the FAT16 limit on small sticks.
TEST(Geometry, TypeFollowsClusterCountAtEveryThreshold) {
    using enum FatType;
    const struct {
        std::uint32_t clusters;
        FatType type;
        std::uint32_t rootEntries = 512;
    } cases[] = {{1, Fat12},     {4084, Fat12},       {4085, Fat16},    {65524, Fat16},
                 {65525, Fat32}, {0x0FFFFFF5, Fat32}, {1000, Fat32, 0}, {5000, Fat32, 0}};
    for (const auto& c : cases) {
        const auto g = deriveGeometry(bootWithClusters(c.clusters, 300, c.rootEntries));
        ASSERT_TRUE(g) << c.clusters;
        EXPECT_EQ(g->fatType, c.type) << c.clusters << " clusters, root " << c.rootEntries;
    }
}

// Boot code of a master boot record can look like a parameter block; what counts as a FAT boot
// sector before a partition table is looked at must be what formatters write. Today's lenient
// reading still opens the rest when nothing else is found.
TEST(Geometry, OnlyBootSectorsAsFormattersWriteThemArePlausible) {
    const struct {
        const char* what;
        void (*spoil)(Boot&);
        bool plausible;
        bool readable;
    } cases[] = {
        {"as made", [](Boot&) {}, true, true},
        {"near jump", [](Boot& b) { b[0] = 0xE9; }, true, true},
        {"no jump (boot code)", [](Boot& b) { b[0] = 0xFA; }, false, true},
        {"short jump without the no-op", [](Boot& b) { b[2] = 0x00; }, false, true},
        {"256-byte sectors", [](Boot& b) { put16(b, bpb::BytesPerSector, 256); }, false, true},
        {"1000-byte sectors", [](Boot& b) { put16(b, bpb::BytesPerSector, 1000); }, false, true},
        {"8192-byte sectors", [](Boot& b) { put16(b, bpb::BytesPerSector, 8192); }, false, true},
        {"3 sectors per cluster", [](Boot& b) { b[bpb::SectorsPerCluster] = 3; }, false, true},
        {"no reserved sector", [](Boot& b) { put16(b, bpb::ReservedSectors, 0); }, false, true},
        {"five tables", [](Boot& b) { b[bpb::FatCount] = 5; }, false, true},
        {"media byte 0", [](Boot& b) { b[bpb::Media] = 0; }, false, true},
        {"media byte F0", [](Boot& b) { b[bpb::Media] = 0xF0; }, true, true},
        {"no root entries in the FAT16 layout", [](Boot& b) { put16(b, bpb::RootEntryCount, 0); },
         false, true},
        {"a table too small for its clusters", [](Boot& b) { put16(b, bpb::FatSectors16, 1); },
         false, true},
        {"all zero", [](Boot& b) { b.fill(0); }, false, false},
    };
    for (const auto& c : cases) {
        Boot boot{};
        const auto image = test::makeImage({.fatType = 16});
        std::copy_n(image.bytes.begin(), boot.size(), boot.begin());
        c.spoil(boot);
        EXPECT_EQ(isPlausibleBootSector(boot), c.plausible) << c.what;
        EXPECT_EQ(deriveGeometry(boot).has_value(), c.readable) << c.what;
    }
    for (const int type : {12, 32}) {
        const auto image = test::makeImage({.fatType = type, .clusters = 1000});
        EXPECT_TRUE(isPlausibleBootSector(std::span(image.bytes).first<BootSectorBytes>()))
            << "FAT" << type;
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

using test::DiskPartition;
using Disk = std::vector<std::uint8_t>;

DiskReader readerOver(const Disk& disk) {
    return [&disk](std::uint64_t position, std::span<std::uint8_t> out) {
        if (position > disk.size() || disk.size() - position < out.size()) return false;
        std::copy_n(disk.begin() + static_cast<std::ptrdiff_t>(position), out.size(), out.begin());
        return true;
    };
}

PartitionTable tableOf(const Disk& disk, std::uint32_t sectorBytes) {
    return readPartitionTable(std::span(disk).first<MbrBytes>(), sectorBytes, readerOver(disk));
}

// An extended boot record at `lba`: its logical partition (relative to it) and the link to the
// next record (relative to the extended partition), either left out with type 0.
void putExtendedRecord(Disk& disk, std::uint64_t lba, std::uint8_t type, std::uint64_t first,
                       std::uint64_t sectors, std::uint64_t next) {
    const std::span<std::uint8_t> record(disk.data() + lba * 512, 512);
    if (type != 0) test::putMbrEntry(record, 0, type, first, sectors);
    if (next != 0) test::putMbrEntry(record, 1, 0x05, next, 100);
    record[510] = 0x55;
    record[511] = 0xAA;
}

struct Listed {
    std::uint32_t number;
    std::uint64_t startByte;
    std::uint64_t lengthBytes;
    bool operator==(const Listed&) const = default;
};

std::vector<Listed> listedOf(const PartitionTable& table) {
    std::vector<Listed> listed;
    for (const Partition& p : table.partitions) {
        listed.push_back({p.number, p.startByte, p.lengthBytes});
    }
    return listed;
}

TEST(PartitionTable, ListsPartitionsNumberedAsLinuxDoes) {
    const struct {
        const char* what;
        Disk disk;
        std::uint32_t sectorBytes;
        PartitionScheme scheme;
        std::vector<Listed> expected;
    } cases[] = {
        {"MBR primaries around an empty slot",
         test::mbrDisk(512, 8192, {{2048, 1000, 0x83}, {0, 0, 0}, {4096, 4000, 0x0C}}),
         512,
         PartitionScheme::Mbr,
         {{1, 2048 * 512, 1000 * 512}, {3, 4096 * 512, 4000 * 512}}},
        {"the same MBR read with 4096-byte sectors",
         test::mbrDisk(512, 8192, {{2048, 1000, 0x83}}),
         4096,
         PartitionScheme::Mbr,
         {{1, 2048ull * 4096, 1000ull * 4096}}},
        {"GPT with 512-byte sectors and an unused entry between",
         test::gptDisk(512, 8192, {{2048, 100}, {}, {4096, 200}}),
         512,
         PartitionScheme::Gpt,
         {{1, 2048 * 512, 100 * 512}, {3, 4096 * 512, 200 * 512}}},
        {"GPT with 4096-byte sectors",
         test::gptDisk(4096, 1024, {{256, 512}}),
         4096,
         PartitionScheme::Gpt,
         {{1, 256 * 4096, 512 * 4096}}},
        {"GPT looked for in the wrong sector size",
         test::gptDisk(4096, 1024, {{256, 512}}),
         512,
         PartitionScheme::None,
         {}},
        {"no 55 AA mark", Disk(4096, 0), 512, PartitionScheme::None, {}},
    };
    for (const auto& c : cases) {
        const PartitionTable table = tableOf(c.disk, c.sectorBytes);
        EXPECT_EQ(table.scheme, c.scheme) << c.what;
        EXPECT_EQ(listedOf(table), c.expected) << c.what;
    }
}

// The chain of extended boot records comes from the disk: it may loop back or run on for ever.
TEST(PartitionTable, LogicalPartitionsFollowABoundedChain) {
    const auto disk = [](std::uint64_t secondLink, std::uint64_t thirdLink) {
        Disk d = test::mbrDisk(512, 20000, {{63, 100, 0x83}, {10000, 9000, 0x05}});
        putExtendedRecord(d, 10000, 0x0C, 63, 100, 200);
        putExtendedRecord(d, 10200, 0x83, 63, 50, secondLink);
        if (thirdLink != 0) putExtendedRecord(d, 10300, 0x0B, 63, 20, thirdLink);
        return d;
    };
    const std::vector<Listed> twoLogical = {
        {1, 63 * 512, 100 * 512}, {5, 10063 * 512, 100 * 512}, {6, 10263 * 512, 50 * 512}};
    EXPECT_EQ(listedOf(tableOf(disk(0, 0), 512)), twoLogical) << "the chain ends";
    EXPECT_EQ(listedOf(tableOf(disk(200, 0), 512)), twoLogical) << "a record links to itself";
    auto threeLogical = twoLogical;
    threeLogical.push_back({7, 10363 * 512, 20 * 512});
    EXPECT_EQ(listedOf(tableOf(disk(300, 0x0FFFFFFF), 512)), threeLogical)
        << "the last link points past the disk";
    EXPECT_EQ(listedOf(tableOf(disk(300, 200), 512)), threeLogical) << "the chain loops back";

    Disk endless = test::mbrDisk(512, 40000, {{20000, 19000, 0x0F}});
    for (std::uint64_t i = 0; i < 200; ++i) {
        putExtendedRecord(endless, 20000 + 10 * i, 0x0C, 1, 5, 10 * (i + 1));
    }
    EXPECT_EQ(tableOf(endless, 512).partitions.size(), 64u) << "a count bounds the chain";
}

TEST(PartitionTable, BootCodeAndHostileGptHeadersAreRefused) {
    Disk notATable = test::mbrDisk(512, 100, {{10, 20, 0x0C}});
    notATable[446] = 0x12;  // a status byte that only code holds
    EXPECT_EQ(tableOf(notATable, 512).scheme, PartitionScheme::None);

    const struct {
        const char* what;
        std::size_t at;
        std::uint32_t value;
    } spoiled[] = {
        {"header smaller than its fields", 12, 91},
        {"header larger than its sector", 12, 513},
        {"entries of 100 bytes", 84, 100},
        {"entries of 192 bytes", 84, 192},
        {"no entries", 80, 0},
        {"an entry array past 1 MiB", 80, 1u << 14},
        {"entries in the header's own sector", 72, 1},
        {"entries beyond any disk", 76, 0x00100000},
    };
    for (const auto& s : spoiled) {
        Disk disk = test::gptDisk(512, 8192, {{2048, 100}});
        const std::span<std::uint8_t> header(disk.data() + 512, 512);
        put32(header, s.at, s.value);
        test::sealGptHeader(header);
        EXPECT_FALSE(parseGptHeader(header)) << s.what;
        EXPECT_EQ(tableOf(disk, 512).scheme, PartitionScheme::None) << s.what;
    }
    Disk disk = test::gptDisk(512, 8192, {{2048, 100}});
    EXPECT_TRUE(parseGptHeader(std::span(disk).subspan(512, 512)));
    disk[512 + 16] ^= 1;
    EXPECT_FALSE(parseGptHeader(std::span(disk).subspan(512, 512))) << "CRC";
}

// Opens a disk image as drive T.
struct DiskVolume {
    test::ScratchDir dir;
    VolumeState volume;
    OpenReport report;
    explicit DiskVolume(Disk disk) {
        test::TestImage image;
        image.bytes = std::move(disk);
        test::saveImage(image, dir.path, 'T');
    }
    ~DiskVolume() { closeVolume(volume); }
    int open() { return openVolume(volume, 'T', {}, report); }
    std::vector<std::string> rootNames() { return test::namesOf(readDirectory(volume, 0)); }
};

// A small volume whose root names it, of the given type and sector size.
Disk markedVolume(const std::string& mark, int type = 12, std::uint16_t sectorBytes = 512) {
    // FAT16 needs its cluster count; FAT32 stays small, as mkfs.fat makes it on small sticks.
    auto image = test::makeImage({.fatType = type,
                                  .bytesPerSector = sectorBytes,
                                  .reservedSectors = 32,
                                  .clusters = type == 16 ? 4085u : 300u});
    image.writeDirectory({type == 32 ? 2u : 0u}, {test::file(mark, 0, 0)});
    if (type == 32) {
        put16(image.bytes, bpb::BackupBootSector, 6);
        std::copy_n(image.bytes.begin(), 512, image.bytes.begin() + 6 * sectorBytes);
    }
    return image.bytes;
}

void wipeBootSector(Disk& disk, std::uint64_t at) {
    std::fill_n(disk.begin() + static_cast<std::ptrdiff_t>(at), 512, std::uint8_t{0});
}

// Which sector tells where the volume is, in the order a damaged or unusual drive needs.
TEST(OpenVolume, SectorZeroThenPartitionsThenTheBackupThenAnyReadableBlock) {
    const Disk inner = markedVolume("INNER      ");
    // A FAT volume whose boot code happens to hold a partition entry: the volume wins.
    Disk volumeLikeTable = markedVolume("OUTER      ", 16);
    volumeLikeTable.resize(8192 * 512);
    test::putMbrEntry(volumeLikeTable, 0, 0x01, 6144, 1024);
    std::copy(inner.begin(), inner.end(), volumeLikeTable.begin() + 6144 * 512);
    // A boot record whose code looks like a parameter block but for the jump: the table wins.
    Disk tableLikeVolume = test::mbrDisk(512, 8192, {{4096, 1024, 0x01, &inner}});
    std::copy_n(markedVolume("OUTER      ", 16).begin() + 3, 59, tableLikeVolume.begin() + 3);
    Disk wiped32 = markedVolume("FAT32      ", 32);
    wipeBootSector(wiped32, 0);
    Disk wiped4k = markedVolume("FAT32 4K   ", 32, 4096);
    wipeBootSector(wiped4k, 0);
    // Garbled, but still naming its copy; the copy says the same.
    Disk garbled = markedVolume("FAT32      ", 32);
    put16(garbled, bpb::BackupBootSector, 3);
    std::copy_n(garbled.begin(), 512, garbled.begin() + 3 * 512);
    put16(garbled, bpb::BytesPerSector, 0);
    Disk lenient = markedVolume("LENIENT    ", 16);
    lenient[bpb::Media] = 0;
    Disk noBackup = markedVolume("FAT16      ", 16);
    wipeBootSector(noBackup, 0);
    const Disk big = markedVolume("IN GPT     ", 12, 4096);
    const struct {
        const char* what;
        Disk disk;
        std::vector<std::string> root;  // empty: the open fails
        bool backup;
    } cases[] = {
        {"boot code like a partition table", volumeLikeTable, {"OUTER"}, false},
        {"a table whose code looks like a parameter block", tableLikeVolume, {"INNER"}, false},
        {"GPT with 4096-byte sectors",
         test::gptDisk(4096, 4096, {{256, 3000, 0, &big}}),
         {"IN GPT"},
         false},
        {"FAT32 with sector 0 wiped", wiped32, {"FAT32"}, true},
        {"FAT32 of 4096-byte sectors with sector 0 wiped", wiped4k, {"FAT32 4K"}, true},
        {"garbled sector 0 naming its copy", garbled, {"FAT32"}, true},
        {"a parameter block no formatter writes", lenient, {"LENIENT"}, false},
        {"FAT16 with sector 0 wiped: no copy", noBackup, {}, false},
    };
    for (const auto& c : cases) {
        DiskVolume v(c.disk);
        ASSERT_EQ(v.open(), c.root.empty() ? 0 : 1) << c.what;
        if (c.root.empty()) continue;
        EXPECT_EQ(v.rootNames(), c.root) << c.what;
        EXPECT_EQ(v.report.fromBackupBootSector, c.backup) << c.what;
    }
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
