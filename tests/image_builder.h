// Builds small FAT volumes in memory for unit tests: a test states the clusters, chains and
// directory entries it needs in a few lines, then opens the image through the real reader.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/entry_record.h"
#include "fat/layout.h"
#include "fat/volume.h"
#include "recovery/collect.h"
#include "recovery/naming.h"

namespace chkmend::test {

using RawEntry = std::array<std::uint8_t, DirEntryBytes>;

// Little-endian stores, the counterparts of the readers' loads.
void put16(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value);
void put32(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value);

// The long names of a listing, in order.
std::vector<std::string> namesOf(const EntryList& list);

struct ImageSpec {
    int fatType = 16;
    std::uint16_t bytesPerSector = 512;
    std::uint8_t sectorsPerCluster = 1;
    std::uint16_t reservedSectors = 1;
    std::uint8_t fatCount = 2;
    std::uint16_t rootEntries = 512;  // ignored for FAT32
    std::uint32_t clusters = 0;       // 0: the smallest count of the type
};

struct TestImage {
    std::vector<std::uint8_t> bytes;
    int fatType = 0;
    std::uint32_t bytesPerSector = 0;
    std::uint32_t sectorsPerCluster = 0;
    std::uint32_t fatStart = 0;  // byte offsets
    std::uint32_t fatBytes = 0;
    std::uint32_t rootStart = 0;
    std::uint32_t rootBytes = 0;
    std::uint32_t dataStart = 0;
    std::uint32_t clusterCount = 0;

    std::uint32_t clusterBytes() const { return bytesPerSector * sectorsPerCluster; }
    std::uint8_t* cluster(std::uint32_t number);
    // Raw table entry as the variant stores it (12, 16 or 28 significant bits).
    void setFat(std::uint32_t cluster, std::uint32_t value);
    // Links the clusters in order and ends the chain.
    void chain(const std::vector<std::uint32_t>& clusters);
    // Lays entries out along a directory's clusters (cluster 0: the root).
    void writeDirectory(const std::vector<std::uint32_t>& clusters,
                        const std::vector<RawEntry>& entries);
    void fill(std::uint32_t cluster, std::string_view content);
};

TestImage makeImage(const ImageSpec& layout);

struct EntrySpec {
    std::string_view name11 = "FILE    TXT";
    std::uint8_t attributes = 0x20;
    std::uint32_t firstCluster = 0;
    std::uint32_t size = 0;
    std::uint16_t writeDate = 0;
    std::uint16_t writeTime = 0;
    std::uint16_t creationDate = 0;
    std::uint16_t creationTime = 0;
    std::uint8_t creationHundredths = 0;
    std::uint16_t accessDate = 0;
};

RawEntry shortEntry(const EntrySpec& fields);
RawEntry dotEntry(std::uint32_t cluster);
RawEntry dotDotEntry(std::uint32_t parentCluster);
// The long-name pieces for `name`, highest ordinal first, for the given short entry.
std::vector<RawEntry> longNameEntries(std::u16string_view name, const RawEntry& shortEntry);
// Long-name pieces followed by the short entry.
std::vector<RawEntry> namedEntry(std::u16string_view name, const EntrySpec& fields);

std::uint16_t fatDate(int year, int month, int day);
std::uint16_t fatTime(int hour, int minute, int second);

// A scratch folder removed with its contents at the end of the test; optionally the current
// directory while it lives.
struct ScratchDir {
    std::filesystem::path path;
    std::filesystem::path previous;
    explicit ScratchDir(bool enter = false);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
};

// CHKMEND_CODEPAGE, or TZ, set for the life of the object; unset (TZ: UTC) again afterwards.
struct CodePage {
    std::optional<std::string> unknown;  // what the platform could not use
    explicit CodePage(const char* name);
    ~CodePage();
    CodePage(const CodePage&) = delete;
    CodePage& operator=(const CodePage&) = delete;
};
struct TimeZone {
    explicit TimeZone(const char* zone);
    ~TimeZone();
    TimeZone(const TimeZone&) = delete;
    TimeZone& operator=(const TimeZone&) = delete;
};

// Writes the image to a file in `dir` and maps drive letter `letter` to it.
std::filesystem::path saveImage(const TestImage& image, const std::filesystem::path& dir,
                                char letter = 'T');

// Saves and opens the image; fails the test when it does not open.
void openImage(const TestImage& image, const ScratchDir& dir, VolumeState& volume);

RawEntry folder(std::string_view name11, std::uint32_t cluster);
RawEntry file(std::string_view name11, std::uint32_t cluster, std::uint32_t size = 1);
// The disk checker's anonymous entry for a lost chain: FILEnnnn.CHK.
RawEntry orphan(int number, std::uint32_t cluster, std::uint32_t size = 512);

// Whole disks: volumes placed at block addresses of `sectorBytes`-byte sectors, named by a
// partition table.
struct DiskPartition {
    std::uint64_t firstLba = 0;
    std::uint64_t sectors = 0;
    std::uint8_t mbrType = 0x0C;                        // FAT32 with block addresses
    const std::vector<std::uint8_t>* volume = nullptr;  // bytes laid at firstLba, if any
};
void putMbrEntry(std::span<std::uint8_t> sector, std::size_t slot, std::uint8_t type,
                 std::uint64_t firstLba, std::uint64_t sectors);
// An MBR disk: the partitions in the first slots (mbrType 0 leaves a slot empty).
std::vector<std::uint8_t> mbrDisk(std::uint32_t sectorBytes, std::uint64_t sectors,
                                  const std::vector<DiskPartition>& partitions);
// A GPT disk with a protective MBR, the header at LBA 1 and 128 entries from LBA 2; a partition
// with no sectors leaves its entry unused.
std::vector<std::uint8_t> gptDisk(std::uint32_t sectorBytes, std::uint64_t sectors,
                                  const std::vector<DiskPartition>& partitions);
// Seals a GPT header after a change: its CRC over its own size.
void sealGptHeader(std::span<std::uint8_t> header);

// A FAT12 volume with one-sector clusters whose root holds FOUND folders; directories are
// written with their "." and ".." entries.
struct FoundVolume {
    ScratchDir dir;
    TestImage image = makeImage({.fatType = 12, .clusters = 200});
    VolumeState volume;
    std::vector<RawEntry> root;

    FoundVolume() = default;
    explicit FoundVolume(bool enterScratch) : dir(enterScratch) {}
    ~FoundVolume();
    void directory(std::uint32_t cluster, std::vector<RawEntry> entries);
    void content(std::uint32_t cluster, std::string_view bytes);
    // Writes the root and maps drive T to the image.
    void save();
    // Saves, opens the volume and runs the phases up to the one named.
    EntryList collect(std::vector<FoundFolderReport>* reports = nullptr);
    EntryList rediscover();
    EntryList name();
    // Rediscovery and naming as a run does them: names from the heads rediscovery read.
    EntryList nameInOnePass(Sniffing sniffing);
};

}  // namespace chkmend::test
