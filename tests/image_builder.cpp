#include "tests/image_builder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include <gtest/gtest.h>

#include "fat/partition.h"
#include "platform/platform.h"
#include "recovery/naming.h"
#include "recovery/rediscover.h"

namespace chkmend::test {

void put16(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
    bytes[at] = static_cast<std::uint8_t>(value);
    bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
    put16(bytes, at, value & 0xFFFF);
    put16(bytes, at + 2, value >> 16);
}

std::vector<std::string> namesOf(const EntryList& list) {
    std::vector<std::string> names;
    for (const auto& record : list) names.emplace_back(nameOf(record.longName));
    return names;
}

std::uint8_t* TestImage::cluster(std::uint32_t number) {
    return bytes.data() + dataStart + std::size_t{number - 2} * clusterBytes();
}

void TestImage::setFat(std::uint32_t cluster, std::uint32_t value) {
    switch (fatType) {
        case 12: {
            const std::size_t at = fatStart + cluster * 3 / 2;
            std::uint32_t pair = bytes[at] | (bytes[at + 1] << 8);
            if (cluster & 1) {
                pair = (pair & 0x000F) | ((value & 0xFFF) << 4);
            } else {
                pair = (pair & 0xF000) | (value & 0xFFF);
            }
            put16(bytes, at, pair);
            break;
        }
        case 16:
            put16(bytes, fatStart + cluster * 2, value);
            break;
        default:
            put32(bytes, fatStart + cluster * 4, value);
            break;
    }
}

void TestImage::chain(const std::vector<std::uint32_t>& clusters) {
    const std::uint32_t end = fatType == 12 ? 0xFFF : fatType == 16 ? 0xFFFF : 0x0FFFFFFF;
    for (std::size_t i = 0; i < clusters.size(); ++i) {
        setFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : end);
    }
}

void TestImage::writeDirectory(const std::vector<std::uint32_t>& clusters,
                               const std::vector<RawEntry>& entries) {
    std::size_t next = 0;
    for (const std::uint32_t c : clusters) {
        const bool root = c == 0;
        std::uint8_t* base = root ? bytes.data() + rootStart : cluster(c);
        const std::size_t room = (root ? rootBytes : clusterBytes()) / DirEntryBytes;
        for (std::size_t slot = 0; slot < room && next < entries.size(); ++slot, ++next) {
            std::memcpy(base + slot * DirEntryBytes, entries[next].data(), DirEntryBytes);
        }
    }
    if (next < entries.size()) throw std::length_error("directory clusters too small");
}

void TestImage::fill(std::uint32_t c, std::string_view content) {
    std::memcpy(cluster(c), content.data(), std::min<std::size_t>(content.size(), clusterBytes()));
}

TestImage makeImage(const ImageSpec& layout) {
    TestImage image;
    image.fatType = layout.fatType;
    image.bytesPerSector = layout.bytesPerSector;
    image.sectorsPerCluster = layout.sectorsPerCluster;
    std::uint32_t clusters = layout.clusters;
    if (clusters == 0) clusters = layout.fatType == 12 ? 64 : layout.fatType == 16 ? 4085 : 65525;
    image.clusterCount = clusters;

    const std::uint32_t bps = layout.bytesPerSector;
    const std::uint32_t rootEntries = layout.fatType == 32 ? 0 : layout.rootEntries;
    const std::uint32_t rootSectors = (rootEntries * DirEntryBytes + bps - 1) / bps;
    const std::uint64_t tableBits =
        std::uint64_t{clusters + 2} * static_cast<unsigned>(layout.fatType);
    const auto fatSectors = static_cast<std::uint32_t>((tableBits / 8 + bps) / bps);
    const std::uint32_t totalSectors = layout.reservedSectors + layout.fatCount * fatSectors +
                                       rootSectors + clusters * layout.sectorsPerCluster;

    image.bytes.assign(std::size_t{totalSectors} * bps, 0);
    image.fatStart = layout.reservedSectors * bps;
    image.fatBytes = fatSectors * bps;
    image.rootStart = (layout.reservedSectors + layout.fatCount * fatSectors) * bps;
    image.rootBytes = rootSectors * bps;
    image.dataStart = image.rootStart + image.rootBytes;

    std::vector<std::uint8_t>& boot = image.bytes;
    boot[bpb::JumpByte] = 0xEB;
    boot[bpb::JumpByte + 1] = 0x3C;
    boot[bpb::JumpByte + 2] = 0x90;
    std::memcpy(&boot[bpb::OemName], "CHKMTEST", 8);
    put16(boot, bpb::BytesPerSector, bps);
    boot[bpb::SectorsPerCluster] = layout.sectorsPerCluster;
    put16(boot, bpb::ReservedSectors, layout.reservedSectors);
    boot[bpb::FatCount] = layout.fatCount;
    put16(boot, bpb::RootEntryCount, rootEntries);
    if (layout.fatType != 32 && totalSectors < 0x10000) {
        put16(boot, bpb::TotalSectors16, totalSectors);
    } else {
        put32(boot, bpb::TotalSectors32, totalSectors);
    }
    boot[bpb::Media] = 0xF8;
    if (layout.fatType == 32) {
        put32(boot, bpb::FatSectors32, fatSectors);
        put32(boot, bpb::RootCluster32, 2);
    } else {
        put16(boot, bpb::FatSectors16, fatSectors);
        boot[bpb::ExtendedSignature] = 0x29;
        std::memcpy(&boot[bpb::TypeLabel], layout.fatType == 12 ? "FAT12   " : "FAT16   ", 8);
    }
    boot[bpb::Signature] = 0x55;
    boot[bpb::Signature + 1] = 0xAA;

    image.setFat(0, 0x0FFFFFF8);
    image.setFat(1, 0x0FFFFFFF);
    if (layout.fatType == 32) image.chain({2});  // the root directory's cluster
    return image;
}

RawEntry shortEntry(const EntrySpec& fields) {
    RawEntry entry{};
    std::memset(entry.data(), ' ', dirent::NameBytes);
    std::memcpy(entry.data(), fields.name11.data(),
                std::min<std::size_t>(fields.name11.size(), dirent::NameBytes));
    entry[dirent::Attributes] = fields.attributes;
    entry[dirent::CreationHundredths] = fields.creationHundredths;
    put16(entry, dirent::CreationTime, fields.creationTime);
    put16(entry, dirent::CreationDate, fields.creationDate);
    put16(entry, dirent::LastAccessDate, fields.accessDate);
    put16(entry, dirent::ClusterHigh, fields.firstCluster >> 16);
    put16(entry, dirent::WriteTime, fields.writeTime);
    put16(entry, dirent::WriteDate, fields.writeDate);
    put16(entry, dirent::ClusterLow, fields.firstCluster & 0xFFFF);
    put32(entry, dirent::Size, fields.size);
    return entry;
}

RawEntry dotEntry(std::uint32_t cluster) {
    return shortEntry({.name11 = ".", .attributes = 0x10, .firstCluster = cluster});
}

RawEntry dotDotEntry(std::uint32_t parentCluster) {
    return shortEntry({.name11 = "..", .attributes = 0x10, .firstCluster = parentCluster});
}

std::vector<RawEntry> longNameEntries(std::u16string_view name, const RawEntry& shortEntry) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < dirent::NameBytes; ++i) {
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + shortEntry[i]);
    }
    constexpr std::size_t PerPiece = dirent::CharsPerPiece;
    const std::size_t pieces = (name.size() + PerPiece - 1) / PerPiece;
    std::vector<RawEntry> result;
    for (std::size_t ordinal = pieces; ordinal >= 1; --ordinal) {
        RawEntry entry{};
        entry[dirent::Sequence] =
            static_cast<std::uint8_t>(ordinal | (ordinal == pieces ? dirent::LastPieceFlag : 0));
        entry[dirent::Attributes] = 0x0F;
        entry[dirent::Checksum] = sum;
        for (std::size_t k = 0; k < PerPiece; ++k) {
            const std::size_t at = (ordinal - 1) * PerPiece + k;
            const std::uint32_t unit = at < name.size() ? name[at] : at == name.size() ? 0 : 0xFFFF;
            put16(entry, dirent::PieceCharOffsets[k], unit);
        }
        result.push_back(entry);
    }
    return result;
}

std::vector<RawEntry> namedEntry(std::u16string_view name, const EntrySpec& fields) {
    const RawEntry entry = shortEntry(fields);
    std::vector<RawEntry> result = longNameEntries(name, entry);
    result.push_back(entry);
    return result;
}

std::uint16_t fatDate(int year, int month, int day) {
    return static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}

std::uint16_t fatTime(int hour, int minute, int second) {
    return static_cast<std::uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}

CodePage::CodePage(const char* name) {
    ::setenv("CHKMEND_CODEPAGE", name, 1);
    unknown = platform::chooseOemCodePage();
}

CodePage::~CodePage() {
    ::unsetenv("CHKMEND_CODEPAGE");
    platform::chooseOemCodePage();
}

TimeZone::TimeZone(const char* zone) {
    ::setenv("TZ", zone, 1);
    ::tzset();
}

TimeZone::~TimeZone() {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
}

ScratchDir::ScratchDir(bool enter) {
    std::string pattern = (std::filesystem::temp_directory_path() / "chkmend-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
    if (enter) {
        previous = std::filesystem::current_path();
        std::filesystem::current_path(path);
    }
}

ScratchDir::~ScratchDir() {
    if (!previous.empty()) std::filesystem::current_path(previous);
    std::error_code ignored;
    // Read-only files and folders written by the tool must not block the clean-up.
    for (auto it = std::filesystem::recursive_directory_iterator(path, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(path, ignored);
}

std::filesystem::path saveImage(const TestImage& image, const std::filesystem::path& dir,
                                char letter) {
    const std::filesystem::path file = dir / (std::string("volume-") + letter + ".img");
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create image file");
    // Sparse: large FAT32 test volumes are mostly zeros.
    constexpr std::size_t Block = 4096;
    for (std::size_t at = 0; at < image.bytes.size(); at += Block) {
        const std::size_t n = std::min(Block, image.bytes.size() - at);
        const auto* p = image.bytes.data() + at;
        if (std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; })) continue;
        if (::pwrite(fd, p, n, static_cast<off_t>(at)) != static_cast<ssize_t>(n)) {
            throw std::runtime_error("cannot write image file");
        }
    }
    if (::ftruncate(fd, static_cast<off_t>(image.bytes.size())) != 0) {
        throw std::runtime_error("cannot size image file");
    }
    ::close(fd);
    ::setenv((std::string("CHKMEND_DRIVE_") + letter).c_str(), file.c_str(), 1);
    return file;
}

void openImage(const TestImage& image, const ScratchDir& dir, VolumeState& volume) {
    saveImage(image, dir.path, 'T');
    ASSERT_EQ(openVolume(volume, 'T'), 1);
}

RawEntry folder(std::string_view name11, std::uint32_t cluster) {
    return shortEntry({.name11 = name11, .attributes = 0x10, .firstCluster = cluster});
}

RawEntry file(std::string_view name11, std::uint32_t cluster, std::uint32_t size) {
    return shortEntry({.name11 = name11, .firstCluster = cluster, .size = size});
}

RawEntry orphan(int number, std::uint32_t cluster, std::uint32_t size) {
    char name[12];
    std::snprintf(name, sizeof name, "FILE%04dCHK", number);
    return file(name, cluster, size);
}

void putMbrEntry(std::span<std::uint8_t> sector, std::size_t slot, std::uint8_t type,
                 std::uint64_t firstLba, std::uint64_t sectors) {
    const std::size_t at = mbr::FirstEntry + slot * mbr::EntryBytes;
    sector[at + mbr::Type] = type;
    put32(sector, at + mbr::FirstLba, static_cast<std::uint32_t>(firstLba));
    put32(sector, at + mbr::SectorCount,
          static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors, 0xFFFFFFFF)));
    sector[mbr::Signature] = 0x55;
    sector[mbr::Signature + 1] = 0xAA;
}

namespace {

std::vector<std::uint8_t> placeVolumes(std::uint32_t sectorBytes, std::uint64_t sectors,
                                       const std::vector<DiskPartition>& partitions) {
    std::vector<std::uint8_t> disk(sectors * sectorBytes, 0);
    for (const DiskPartition& p : partitions) {
        if (p.volume == nullptr) continue;
        const std::size_t at = p.firstLba * sectorBytes;
        if (at + p.volume->size() > disk.size()) throw std::length_error("volume beyond the disk");
        std::copy(p.volume->begin(), p.volume->end(),
                  disk.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return disk;
}

void put64(std::span<std::uint8_t> bytes, std::size_t at, std::uint64_t value) {
    put32(bytes, at, static_cast<std::uint32_t>(value));
    put32(bytes, at + 4, static_cast<std::uint32_t>(value >> 32));
}

}  // namespace

std::vector<std::uint8_t> mbrDisk(std::uint32_t sectorBytes, std::uint64_t sectors,
                                  const std::vector<DiskPartition>& partitions) {
    std::vector<std::uint8_t> disk = placeVolumes(sectorBytes, sectors, partitions);
    for (std::size_t slot = 0; slot < partitions.size(); ++slot) {
        const DiskPartition& p = partitions[slot];
        if (p.mbrType != 0) putMbrEntry(disk, slot, p.mbrType, p.firstLba, p.sectors);
    }
    return disk;
}

void sealGptHeader(std::span<std::uint8_t> header) {
    put32(header, 16, 0);
    put32(header, 16, crc32(header.first(header[12] | (header[13] << 8))));
}

std::vector<std::uint8_t> gptDisk(std::uint32_t sectorBytes, std::uint64_t sectors,
                                  const std::vector<DiskPartition>& partitions) {
    std::vector<std::uint8_t> disk = placeVolumes(sectorBytes, sectors, partitions);
    putMbrEntry(disk, 0, mbr::ProtectiveType, 1, sectors - 1);
    constexpr std::size_t EntryCount = 128;
    constexpr std::size_t EntryBytes = 128;
    const std::span<std::uint8_t> entries(disk.data() + 2 * sectorBytes, EntryCount * EntryBytes);
    // "Microsoft basic data", as it lies on disk.
    constexpr std::uint8_t BasicData[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                            0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
    for (std::size_t i = 0; i < partitions.size(); ++i) {
        const DiskPartition& p = partitions[i];
        if (p.sectors == 0) continue;
        const auto entry = entries.subspan(i * EntryBytes, EntryBytes);
        std::copy(std::begin(BasicData), std::end(BasicData), entry.begin());
        entry[16] = static_cast<std::uint8_t>(i + 1);  // the partition's own GUID
        put64(entry, 32, p.firstLba);
        put64(entry, 40, p.firstLba + p.sectors - 1);
    }
    const std::span<std::uint8_t> header(disk.data() + sectorBytes, sectorBytes);
    std::memcpy(header.data(), "EFI PART", 8);
    put32(header, 8, 0x00010000);
    put32(header, 12, 92);
    put64(header, 24, 1);
    put64(header, 32, sectors - 1);
    put64(header, 40, 2 + EntryCount * EntryBytes / sectorBytes);
    put64(header, 48, sectors - 2);
    header[56] = 0x42;  // the disk's GUID
    put64(header, 72, 2);
    put32(header, 80, EntryCount);
    put32(header, 84, EntryBytes);
    put32(header, 88, crc32(entries));
    sealGptHeader(header);
    return disk;
}

FoundVolume::~FoundVolume() {
    closeVolume(volume);
}

void FoundVolume::directory(std::uint32_t cluster, std::vector<RawEntry> entries) {
    entries.insert(entries.begin(), {dotEntry(cluster), dotDotEntry(0)});
    image.chain({cluster});
    image.writeDirectory({cluster}, entries);
}

void FoundVolume::content(std::uint32_t cluster, std::string_view bytes) {
    image.chain({cluster});
    image.fill(cluster, bytes);
}

void FoundVolume::save() {
    image.writeDirectory({image.fatType == 32 ? 2u : 0u}, root);
    saveImage(image, dir.path, 'T');
}

EntryList FoundVolume::collect(std::vector<FoundFolderReport>* reports) {
    save();
    EXPECT_EQ(openVolume(volume, 'T'), 1);
    EntryList masterList;
    auto found = collectOrphans(volume, masterList);
    if (reports != nullptr) *reports = found;
    return masterList;
}

EntryList FoundVolume::rediscover() {
    EntryList masterList = collect();
    rediscoverDirectories(volume, masterList);
    return masterList;
}

EntryList FoundVolume::nameInOnePass(Sniffing sniffing) {
    closeVolume(volume);
    EntryList masterList = collect();
    ExtensionNotes notes;
    rediscoverDirectories(volume, masterList, sniffing, &notes);
    nameOrphans(volume, masterList, sniffing, &notes);
    return masterList;
}

EntryList FoundVolume::name() {
    EntryList masterList = rediscover();
    nameOrphans(volume, masterList);
    return masterList;
}

}  // namespace chkmend::test
