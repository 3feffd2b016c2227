// The one open FAT volume: raw handle, geometry and the first allocation table held whole in
// memory. Also the one place that reads the volume.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fat/layout.h"
#include "platform/platform.h"

namespace chkmend {

// What a boot sector says about its volume, checked and derived once.
struct Geometry {
    FatType fatType = FatType::Fat12;
    std::uint32_t bytesPerSector = 0;
    std::uint32_t sectorsPerCluster = 0;
    std::uint32_t reservedSectors = 0;
    std::uint32_t fatCount = 0;
    std::uint32_t rootEntryCount = 0;
    std::uint32_t fatSectors = 0;
    std::uint32_t totalSectors = 0;
    std::uint32_t rootDirSectors = 0;
    std::uint32_t firstDataSector = 0;
    std::uint32_t fatBytes = 0;
};

// Nothing when no FAT volume can be read with the boot sector (zero sizes, no table, a table
// that cannot lie inside the volume).
std::optional<Geometry> deriveGeometry(std::span<const std::uint8_t, BootSectorBytes> bootSector);

std::uint32_t clusterBytes(const Geometry& geometry);

// The volume as it is; the walks over it keep their scratch to themselves, so that readers
// take it read-only.
struct VolumeState {
    platform::Handle volumeHandle = platform::InvalidHandle;
    std::uint64_t baseOffset = 0;  // where the volume begins on the device
    Geometry geometry;
    std::vector<std::uint8_t> fatTable;
};

// 1 when the volume is open with its geometry and table loaded, 0 otherwise.
int openVolume(VolumeState& volume, char driveLetter);
int loadGeometry(VolumeState& volume);
void closeVolume(VolumeState& volume);

// Byte position of data cluster `cluster`. Clusters 0 and 1 have none; callers end a chain
// there instead of asking.
std::uint64_t clusterPosition(const VolumeState& volume, std::uint32_t cluster);
// Byte position of the fixed root directory of FAT12 and FAT16.
std::uint64_t rootDirectoryPosition(const VolumeState& volume);

// The piece a failed read is retried in: whole sectors, at least 512 bytes, so that a block
// claiming tiny sectors cannot turn one failed read into millions.
std::uint32_t salvageUnitBytes(const VolumeState& volume);

// Bytes [begin, end) of a buffer.
struct ByteRange {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
};

// Every read of the volume's contents: fills `buffer` from `position`. What does not arrive in
// one read is read again in pieces of salvageUnitBytes, so that a bad sector costs only itself;
// whatever cannot be read is zero-filled, never left stale. Returns the parts of `buffer` that
// did not arrive (none when all did). Callers read whole sectors: raw Windows volumes
// refuse anything else.
std::vector<ByteRange> readSalvaging(const VolumeState& volume, std::uint64_t position,
                                     std::span<std::uint8_t> buffer);

}  // namespace chkmend
