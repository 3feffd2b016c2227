// The one open FAT volume: raw handle, boot sector, derived geometry and the first allocation
// table held whole in memory.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace chkmend {

// Offsets of the boot-sector fields the tool reads.
namespace bpb {
inline constexpr std::size_t JumpByte = 0;
inline constexpr std::size_t BytesPerSector = 11;
inline constexpr std::size_t SectorsPerCluster = 13;
inline constexpr std::size_t ReservedSectors = 14;
inline constexpr std::size_t FatCount = 16;
inline constexpr std::size_t RootEntryCount = 17;
inline constexpr std::size_t TotalSectors16 = 19;
inline constexpr std::size_t FatSectors16 = 22;
inline constexpr std::size_t TotalSectors32 = 32;
inline constexpr std::size_t FatSectors32 = 36;
inline constexpr std::size_t ExtendedSignature = 38;
inline constexpr std::size_t TypeLabel = 54;
}  // namespace bpb

inline constexpr std::size_t BootSectorBytes = 512;

struct VolumeState {
    platform::Handle volumeHandle = platform::InvalidHandle;
    std::vector<std::uint8_t> fatTable;
    std::uint32_t fatBytes = 0;
    std::uint32_t baseOffset = 0;
    std::int8_t fatType = 0;  // 12, 16 or 32: also the width of one table entry in bits
    std::uint32_t fatSectors = 0;
    std::uint32_t firstDataSector = 0;
    std::uint32_t rootDirSectors = 0;
    std::uint32_t totalSectors = 0;
    std::array<std::uint8_t, BootSectorBytes> bootSector{};
    // Scratch for loop detection on chain walks: one bit per table entry, and the clusters
    // marked on the walk in hand so that clearing costs no more than the walk did.
    std::vector<std::uint64_t> walkMarks;
    std::vector<std::uint32_t> walkTrail;
    // The directory reader's step buffer, kept between calls.
    std::vector<std::uint8_t> directoryStep;
};

// Boot-sector fields, read in place.
std::uint32_t bytesPerSector(const VolumeState& volume);
std::uint32_t sectorsPerCluster(const VolumeState& volume);
std::uint32_t reservedSectors(const VolumeState& volume);
std::uint32_t fatCount(const VolumeState& volume);
std::uint32_t rootEntryCount(const VolumeState& volume);
std::uint32_t clusterBytes(const VolumeState& volume);

// Geometry derived from a boot sector; `usable` is false when no FAT volume can be read
// with it (zero sizes, no table, a table that cannot lie inside the volume).
struct Geometry {
    bool usable = false;
    std::int8_t fatType = 0;
    std::uint32_t fatSectors = 0;
    std::uint32_t totalSectors = 0;
    std::uint32_t rootDirSectors = 0;
    std::uint32_t firstDataSector = 0;
    std::uint32_t fatBytes = 0;
};
Geometry deriveGeometry(const std::array<std::uint8_t, BootSectorBytes>& bootSector);

// 1 when the volume is open with its geometry and table loaded, 0 otherwise.
int openVolume(VolumeState& volume, char driveLetter);
int loadGeometry(VolumeState& volume);
void closeVolume(VolumeState& volume);

// Byte position of data cluster `cluster`. Clusters 0 and 1 have none; callers end a chain
// there instead of asking.
std::uint64_t clusterPosition(const VolumeState& volume, std::uint32_t cluster);

// Every read of the volume: positions the handle at `position`, then reads `bytes` there.
// Whatever does not arrive is zero-filled, so a failed read never hands on stale bytes.
// Returns how many bytes were really read. Readers re-read around bad sectors, so they work
// with positions rather than a shared handle position.
std::uint32_t readAt(const VolumeState& volume, std::uint64_t position, std::uint8_t* buffer,
                     std::uint32_t bytes);

}  // namespace chkmend
