#include "fat/volume.h"

#include <algorithm>
#include <cstring>

#include "fat/byte_reader.h"

namespace chkmend {

namespace {

// The table is read in pieces so that memory grows only with bytes the volume really holds:
// a garbage parameter block on a small image must not make us allocate gigabytes up front.
constexpr std::uint32_t TableReadChunk = 4u << 20;

constexpr std::uint32_t Fat12ClusterLimit = 4085;
constexpr std::uint32_t Fat16ClusterLimit = 65525;

}  // namespace

std::uint32_t bytesPerSector(const VolumeState& volume) {
    return readLe16(volume.bootSector.data(), bpb::BytesPerSector);
}
std::uint32_t sectorsPerCluster(const VolumeState& volume) {
    return volume.bootSector[bpb::SectorsPerCluster];
}
std::uint32_t reservedSectors(const VolumeState& volume) {
    return readLe16(volume.bootSector.data(), bpb::ReservedSectors);
}
std::uint32_t fatCount(const VolumeState& volume) {
    return volume.bootSector[bpb::FatCount];
}
std::uint32_t rootEntryCount(const VolumeState& volume) {
    return readLe16(volume.bootSector.data(), bpb::RootEntryCount);
}
std::uint32_t clusterBytes(const VolumeState& volume) {
    return bytesPerSector(volume) * sectorsPerCluster(volume);
}

Geometry deriveGeometry(const std::array<std::uint8_t, BootSectorBytes>& boot) {
    Geometry g;
    const std::uint32_t sectorBytes = readLe16(boot.data(), bpb::BytesPerSector);
    const std::uint32_t perCluster = boot[bpb::SectorsPerCluster];
    const std::uint32_t reserved = readLe16(boot.data(), bpb::ReservedSectors);
    const std::uint32_t tables = boot[bpb::FatCount];
    const std::uint32_t rootEntries = readLe16(boot.data(), bpb::RootEntryCount);

    const std::uint32_t fat16 = readLe16(boot.data(), bpb::FatSectors16);
    g.fatSectors = fat16 != 0 ? fat16 : readLe32(boot.data(), bpb::FatSectors32);
    const std::uint32_t total16 = readLe16(boot.data(), bpb::TotalSectors16);
    g.totalSectors = total16 != 0 ? total16 : readLe32(boot.data(), bpb::TotalSectors32);

    if (sectorBytes == 0 || perCluster == 0 || tables == 0 || g.fatSectors == 0) return g;

    g.rootDirSectors = (rootEntries * 32 + sectorBytes - 1) / sectorBytes;
    // Worked in 64 bits so that a hostile block cannot wrap its way into looking sane.
    const std::uint64_t overhead =
        std::uint64_t{reserved} + std::uint64_t{tables} * g.fatSectors + g.rootDirSectors;
    const std::uint64_t tableBytes = std::uint64_t{sectorBytes} * g.fatSectors;
    if (overhead > UINT32_MAX || tableBytes > UINT32_MAX) return g;
    if (std::uint64_t{reserved} + g.fatSectors > g.totalSectors) return g;

    g.firstDataSector = static_cast<std::uint32_t>(overhead);
    g.fatBytes = static_cast<std::uint32_t>(tableBytes);
    const std::uint32_t clusterCount =
        g.totalSectors < g.firstDataSector ? 0 : (g.totalSectors - g.firstDataSector) / perCluster;
    g.fatType = clusterCount < Fat12ClusterLimit ? 12 : clusterCount < Fat16ClusterLimit ? 16 : 32;
    g.usable = true;
    return g;
}

std::uint64_t clusterPosition(const VolumeState& volume, std::uint32_t cluster) {
    // 64-bit sector arithmetic: a hostile cluster number must not wrap onto another cluster.
    const std::uint64_t sector =
        std::uint64_t{cluster - 2} * sectorsPerCluster(volume) + volume.firstDataSector;
    return volume.baseOffset + sector * bytesPerSector(volume);
}

std::uint32_t readAt(const VolumeState& volume, std::uint64_t position, std::uint8_t* buffer,
                     std::uint32_t bytes) {
    // A position the platform refuses reads nothing, rather than whatever the handle stands on.
    const std::uint32_t got = platform::seekHandle(volume.volumeHandle, position)
                                  ? platform::readHandle(volume.volumeHandle, buffer, bytes)
                                  : 0;
    if (got < bytes) std::memset(buffer + got, 0, bytes - got);
    return got;
}

namespace {

// Reads a piece of the first table. What cannot be read whole is read again in sectors (of at
// least 512 bytes), each unreadable one taken from the second copy: a failing card wears out
// its table first, and one bad sector there must not cost the whole volume.
bool readTablePiece(const VolumeState& volume, std::uint64_t position, std::uint8_t* out,
                    std::uint32_t bytes) {
    if (readAt(volume, position, out, bytes) == bytes) return true;
    if (fatCount(volume) < 2) return false;
    const std::uint32_t sectorBytes = bytesPerSector(volume);
    const std::uint32_t unit = (511 + sectorBytes) / sectorBytes * sectorBytes;
    const std::uint64_t copyDistance = std::uint64_t{volume.fatSectors} * sectorBytes;
    for (std::uint32_t at = 0; at < bytes; at += unit) {
        const std::uint32_t n = std::min(unit, bytes - at);
        if (readAt(volume, position + at, out + at, n) == n) continue;
        if (readAt(volume, position + copyDistance + at, out + at, n) != n) return false;
    }
    return true;
}

}  // namespace

int loadGeometry(VolumeState& volume) {
    if (readAt(volume, volume.baseOffset, volume.bootSector.data(), BootSectorBytes) !=
        BootSectorBytes) {
        return 0;
    }
    const Geometry g = deriveGeometry(volume.bootSector);
    if (!g.usable) return 0;
    volume.fatType = g.fatType;
    volume.fatSectors = g.fatSectors;
    volume.totalSectors = g.totalSectors;
    volume.rootDirSectors = g.rootDirSectors;
    volume.firstDataSector = g.firstDataSector;
    volume.fatBytes = g.fatBytes;

    const std::uint32_t sectorBytes = bytesPerSector(volume);
    // Whole sectors per piece: raw Windows volumes refuse reads that are not sector-aligned.
    const std::uint32_t chunk = std::max(sectorBytes, TableReadChunk / sectorBytes * sectorBytes);
    std::uint64_t position =
        volume.baseOffset + std::uint64_t{reservedSectors(volume)} * sectorBytes;
    volume.fatTable.clear();
    while (volume.fatTable.size() < volume.fatBytes) {
        const auto want = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(chunk, volume.fatBytes - volume.fatTable.size()));
        const std::size_t at = volume.fatTable.size();
        volume.fatTable.resize(at + want);
        if (!readTablePiece(volume, position, volume.fatTable.data() + at, want)) return 0;
        position += want;
    }
    return 1;
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
