#include "fat/volume.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

#include "fat/byte_reader.h"

namespace chkmend {

namespace {

// The table is read in pieces so that memory grows only with bytes the volume really holds:
// a garbage parameter block on a small image must not make us allocate gigabytes up front.
constexpr std::uint32_t TableReadChunk = 4u << 20;

constexpr std::uint32_t MinSalvageBytes = 512;

// Positions beyond any device; below them a probe's end cannot wrap.
constexpr std::uint64_t MaxProbePosition = std::uint64_t{1} << 62;

constexpr ClusterNumber FirstDataCluster = 2;

// What a formatter writes into a boot sector.
constexpr std::uint8_t ShortJump = 0xEB;
constexpr std::uint8_t NoOperation = 0x90;
constexpr std::uint8_t NearJump = 0xE9;
constexpr std::uint32_t MinSectorBytes = 512;
constexpr std::uint32_t MaxSectorBytes = 4096;
constexpr std::uint8_t MaxFatCount = 4;
constexpr std::uint8_t FirstMediaByte = 0xF0;  // removable media; F1-F7 are never used
constexpr std::uint8_t FirstFixedMediaByte = 0xF8;

// The narrow field when it is set, the wide one otherwise.
std::uint32_t narrowOrWide(std::span<const std::uint8_t> boot, std::size_t narrow,
                           std::size_t wide) {
    const std::uint32_t value = readLe16(boot, narrow);
    return value != 0 ? value : readLe32(boot, wide);
}

FatType typeForClusterCount(std::uint32_t clusterCount) {
    if (clusterCount < Fat12ClusterLimit) return FatType::Fat12;
    return clusterCount < Fat16ClusterLimit ? FatType::Fat16 : FatType::Fat32;
}

// Reads at a position; whatever does not arrive is zero-filled. A position the platform
// refuses reads nothing.
std::uint32_t readAt(const VolumeState& volume, std::uint64_t position,
                     std::span<std::uint8_t> buffer) {
    const auto bytes = static_cast<std::uint32_t>(buffer.size());
    const std::uint32_t got =
        platform::readHandleAt(volume.volumeHandle, position, buffer.data(), bytes);
    if (got < bytes) std::memset(buffer.data() + got, 0, bytes - got);
    return got;
}

std::uint64_t tablePosition(const VolumeState& volume) {
    const Geometry& g = volume.geometry;
    return volume.baseOffset + std::uint64_t{g.reservedSectors} * g.bytesPerSector;
}

// What cannot be read of a piece of the first table is taken from the second copy: a failing
// card wears out its table first, and one bad sector there must not cost the whole volume.
bool readTablePiece(const VolumeState& volume, std::uint64_t position,
                    std::span<std::uint8_t> piece) {
    const std::vector<ByteRange> missing = readSalvaging(volume, position, piece);
    if (missing.empty()) return true;
    const Geometry& g = volume.geometry;
    if (g.fatCount < 2) return false;
    const std::uint64_t copy = position + std::uint64_t{g.fatSectors} * g.bytesPerSector;
    return std::all_of(missing.begin(), missing.end(), [&](const ByteRange& range) {
        // From the start of its sector: raw volumes read whole sectors only.
        const std::uint32_t begin = range.begin / g.bytesPerSector * g.bytesPerSector;
        const std::uint32_t bytes = range.end - begin;
        return readAt(volume, copy + begin, piece.subspan(begin, bytes)) == bytes;
    });
}

bool loadTable(VolumeState& volume) {
    const Geometry& g = volume.geometry;
    // Whole sectors per piece: raw Windows volumes refuse reads that are not sector-aligned.
    const std::uint32_t chunk =
        std::max(g.bytesPerSector, TableReadChunk / g.bytesPerSector * g.bytesPerSector);
    const std::uint64_t start = tablePosition(volume);
    std::vector<std::uint8_t>& table = volume.fatTable;
    table.clear();
    ReadBuffer piece;
    while (table.size() < g.fatBytes) {
        const std::size_t at = table.size();
        const auto want =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk, g.fatBytes - at));
        piece.resize(want);
        if (!readTablePiece(volume, start + at, piece)) return false;
        table.insert(table.end(), piece.begin(), piece.end());
    }
    return true;
}

}  // namespace

std::optional<Geometry> deriveGeometry(std::span<const std::uint8_t, BootSectorBytes> boot) {
    Geometry g;
    g.bytesPerSector = readLe16(boot, bpb::BytesPerSector);
    g.sectorsPerCluster = boot[bpb::SectorsPerCluster];
    g.reservedSectors = readLe16(boot, bpb::ReservedSectors);
    g.fatCount = boot[bpb::FatCount];
    g.rootEntryCount = readLe16(boot, bpb::RootEntryCount);
    g.fatSectors = narrowOrWide(boot, bpb::FatSectors16, bpb::FatSectors32);
    g.totalSectors = narrowOrWide(boot, bpb::TotalSectors16, bpb::TotalSectors32);
    if (g.bytesPerSector == 0 || g.sectorsPerCluster == 0 || g.fatCount == 0 || g.fatSectors == 0) {
        return std::nullopt;
    }

    g.rootDirSectors = (g.rootEntryCount * DirEntryBytes + g.bytesPerSector - 1) / g.bytesPerSector;
    // Worked in 64 bits so that a hostile block cannot wrap its way into looking sane.
    const std::uint64_t overhead = std::uint64_t{g.reservedSectors} +
                                   std::uint64_t{g.fatCount} * g.fatSectors + g.rootDirSectors;
    const std::uint64_t tableBytes = std::uint64_t{g.bytesPerSector} * g.fatSectors;
    if (overhead > UINT32_MAX || tableBytes > UINT32_MAX) return std::nullopt;
    if (std::uint64_t{g.reservedSectors} + g.fatSectors > g.totalSectors) return std::nullopt;

    g.firstDataSector = static_cast<std::uint32_t>(overhead);
    g.fatBytes = static_cast<std::uint32_t>(tableBytes);
    const std::uint32_t dataSectors =
        g.totalSectors < g.firstDataSector ? 0 : g.totalSectors - g.firstDataSector;
    g.clusterCount = dataSectors / g.sectorsPerCluster;
    // mkfs.fat -F 32 makes FAT32 volumes below the FAT16 cluster limit on small sticks: the
    // layout says what they are, as the Linux driver reads them.
    const bool fat32Layout = hasFat32Layout(boot);
    g.fatType = fat32Layout ? FatType::Fat32 : typeForClusterCount(g.clusterCount);
    g.rootCluster = FirstDataCluster;
    if (fat32Layout) {
        // Formatters may put the root anywhere; a field naming no data cluster is not followed.
        const std::uint32_t root = readLe32(boot, bpb::RootCluster32);
        if (root >= FirstDataCluster && root - FirstDataCluster < g.clusterCount) {
            g.rootCluster = root;
        }
    }
    return g;
}

bool hasFat32Layout(std::span<const std::uint8_t, BootSectorBytes> boot) {
    return readLe16(boot, bpb::FatSectors16) == 0 && readLe32(boot, bpb::FatSectors32) != 0 &&
           readLe16(boot, bpb::RootEntryCount) == 0;
}

bool isPlausibleBootSector(std::span<const std::uint8_t, BootSectorBytes> boot) {
    const std::uint8_t jump = boot[bpb::JumpByte];
    const bool jumps =
        (jump == ShortJump && boot[bpb::JumpByte + 2] == NoOperation) || jump == NearJump;
    const std::uint32_t sectorBytes = readLe16(boot, bpb::BytesPerSector);
    const std::uint8_t media = boot[bpb::Media];
    const bool fields = jumps && sectorBytes >= MinSectorBytes && sectorBytes <= MaxSectorBytes &&
                        std::has_single_bit(sectorBytes) &&
                        std::has_single_bit(boot[bpb::SectorsPerCluster]) &&
                        readLe16(boot, bpb::ReservedSectors) != 0 && boot[bpb::FatCount] >= 1 &&
                        boot[bpb::FatCount] <= MaxFatCount &&
                        (media == FirstMediaByte || media >= FirstFixedMediaByte);
    if (!fields) return false;
    const bool fixedRoot =
        readLe16(boot, bpb::RootEntryCount) != 0 && readLe16(boot, bpb::FatSectors16) != 0;
    if (!hasFat32Layout(boot) && !fixedRoot) return false;
    const std::optional<Geometry> g = deriveGeometry(boot);
    // The table must hold an entry for every cluster.
    return g && g->clusterCount != 0 &&
           std::uint64_t{g->fatBytes} * 8 / entryBits(g->fatType) >=
               std::uint64_t{g->clusterCount} + FirstDataCluster;
}

std::uint32_t clusterBytes(const Geometry& geometry) {
    return geometry.bytesPerSector * geometry.sectorsPerCluster;
}

std::uint64_t clusterPosition(const VolumeState& volume, std::uint32_t cluster) {
    const Geometry& g = volume.geometry;
    // 64-bit sector arithmetic: a hostile cluster number must not wrap onto another cluster.
    const std::uint64_t sector =
        std::uint64_t{cluster - 2} * g.sectorsPerCluster + g.firstDataSector;
    return volume.baseOffset + sector * g.bytesPerSector;
}

std::uint64_t rootDirectoryPosition(const VolumeState& volume) {
    const Geometry& g = volume.geometry;
    return tablePosition(volume) + std::uint64_t{g.fatCount} * g.fatSectors * g.bytesPerSector;
}

std::uint32_t salvageUnitBytes(const VolumeState& volume) {
    const std::uint32_t sector = volume.geometry.bytesPerSector;
    return (MinSalvageBytes - 1 + sector) / sector * sector;
}

std::vector<ByteRange> readSalvaging(const VolumeState& volume, std::uint64_t position,
                                     std::span<std::uint8_t> buffer) {
    std::vector<ByteRange> missing;
    const auto size = static_cast<std::uint32_t>(buffer.size());
    const std::uint32_t got = readAt(volume, position, buffer);
    if (got >= size) return missing;
    const std::uint32_t unit = salvageUnitBytes(volume);
    const std::uint32_t sector = volume.geometry.bytesPerSector;
    // From the piece the first read stopped in: what came before it arrived. Each retry starts
    // at a sector boundary, as raw volumes demand.
    for (std::uint32_t begin = got / unit * unit; begin < size; begin += unit) {
        const std::uint32_t end = begin + std::min(unit, size - begin);
        const std::uint32_t from = std::max(got / sector * sector, begin);
        const std::uint32_t arrived =
            from + readAt(volume, position + from, buffer.subspan(from, end - from));
        if (arrived < end) missing.push_back({arrived, end});
    }
    return missing;
}

void adviseReading(const VolumeState& volume, std::uint64_t position, std::uint64_t bytes) {
    platform::adviseReading(volume.volumeHandle, position, bytes);
}

bool readInOne(const VolumeState& volume, std::uint64_t position, std::span<std::uint8_t> buffer) {
    return readAt(volume, position, buffer) == buffer.size();
}

std::size_t readProbe(const VolumeState& volume, std::uint64_t position,
                      std::span<std::uint8_t> out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    if (position > MaxProbePosition) return 0;
    const std::uint64_t first = position / ProbeBlockBytes * ProbeBlockBytes;
    const std::uint64_t end = position + out.size();
    const std::uint64_t last = (end + ProbeBlockBytes - 1) / ProbeBlockBytes * ProbeBlockBytes;
    ReadBuffer blocks(static_cast<std::size_t>(last - first));
    const std::uint32_t got = readAt(volume, first, blocks);
    const auto skip = static_cast<std::size_t>(position - first);
    std::copy_n(blocks.begin() + static_cast<std::ptrdiff_t>(skip), out.size(), out.begin());
    return got > skip ? std::min<std::size_t>(got - skip, out.size()) : 0;
}

std::size_t readDriveHead(const VolumeState& volume,
                          std::span<std::uint8_t, ProbeBlockBytes> head) {
    const std::size_t got = readProbe(volume, 0, head);
    if (got >= BootSectorBytes) return got;
    ReadBuffer sector(BootSectorBytes);
    const std::uint32_t arrived = readAt(volume, 0, sector);
    std::copy(sector.begin(), sector.end(), head.begin());
    return arrived;
}

bool loadVolume(VolumeState& volume, std::span<const std::uint8_t, BootSectorBytes> boot) {
    const std::optional<Geometry> geometry = deriveGeometry(boot);
    if (!geometry) return false;
    volume.geometry = *geometry;
    return loadTable(volume);
}

int loadGeometry(VolumeState& volume) {
    std::array<std::uint8_t, BootSectorBytes> boot{};
    if (readProbe(volume, volume.baseOffset, boot) != BootSectorBytes) return 0;
    return loadVolume(volume, boot) ? 1 : 0;
}

void closeVolume(VolumeState& volume) {
    if (volume.volumeHandle != platform::InvalidHandle) platform::closeHandle(volume.volumeHandle);
    volume.volumeHandle = platform::InvalidHandle;
    volume.fatTable.clear();
    volume.fatTable.shrink_to_fit();
}

}  // namespace chkmend
