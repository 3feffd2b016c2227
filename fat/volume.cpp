#include "fat/volume.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

#include "fat/byte_reader.h"

namespace chkmend {

namespace {

// The table is read in pieces so that memory grows only with bytes the volume really holds:
// a garbage parameter block on a small image must not make us allocate gigabytes up front.
constexpr std::uint32_t TableReadChunk = 4u << 20;

constexpr std::uint32_t MinSalvageBytes = 512;

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

// Positions the handle and reads; whatever does not arrive is zero-filled. A position the
// platform refuses reads nothing, rather than whatever the handle stands on.
std::uint32_t readAt(const VolumeState& volume, std::uint64_t position,
                     std::span<std::uint8_t> buffer) {
    const auto bytes = static_cast<std::uint32_t>(buffer.size());
    const std::uint32_t got = platform::seekHandle(volume.volumeHandle, position)
                                  ? platform::readHandle(volume.volumeHandle, buffer.data(), bytes)
                                  : 0;
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
        const std::uint32_t bytes = range.end - range.begin;
        return readAt(volume, copy + range.begin, piece.subspan(range.begin, bytes)) == bytes;
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
    while (table.size() < g.fatBytes) {
        const std::size_t at = table.size();
        const auto want =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk, g.fatBytes - at));
        table.resize(at + want);
        if (!readTablePiece(volume, start + at, std::span(table).subspan(at))) return false;
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
    g.fatType = typeForClusterCount(dataSectors / g.sectorsPerCluster);
    return g;
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
    // From the piece the first read stopped in: what came before it arrived.
    for (std::uint32_t begin = got / unit * unit; begin < size; begin += unit) {
        const std::uint32_t end = begin + std::min(unit, size - begin);
        const std::uint32_t from = std::max(got, begin);
        const std::uint32_t arrived =
            from + readAt(volume, position + from, buffer.subspan(from, end - from));
        if (arrived < end) missing.push_back({arrived, end});
    }
    return missing;
}

int loadGeometry(VolumeState& volume) {
    std::array<std::uint8_t, BootSectorBytes> boot{};
    if (readAt(volume, volume.baseOffset, boot) != BootSectorBytes) return 0;
    const std::optional<Geometry> geometry = deriveGeometry(boot);
    if (!geometry) return 0;
    volume.geometry = *geometry;
    return loadTable(volume) ? 1 : 0;
}

int openVolume(VolumeState& volume, char driveLetter) {
    volume.fatTable.clear();
    volume.volumeHandle = platform::openVolumeDevice(driveLetter);
    if (volume.volumeHandle == platform::InvalidHandle) return 0;
    if (loadGeometry(volume) == 0) {
        closeVolume(volume);
        return 0;
    }
    return 1;
}

void closeVolume(VolumeState& volume) {
    if (volume.volumeHandle != platform::InvalidHandle) platform::closeHandle(volume.volumeHandle);
    volume.volumeHandle = platform::InvalidHandle;
    volume.fatTable.clear();
    volume.fatTable.shrink_to_fit();
}

}  // namespace chkmend
