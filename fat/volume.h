// The one open FAT volume: raw handle, geometry and the first allocation table held whole in
// memory. Also the one place that reads the volume.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "fat/layout.h"
#include "fat/partition.h"
#include "platform/platform.h"

namespace chkmend {

// Memory that reads of the volume go into. Windows reads a raw volume past its cache, straight
// into the caller's memory, which must then begin on a sector boundary; 4096 is a multiple of
// every sector size.
inline constexpr std::size_t ReadAlignment = 4096;

template <typename T>
struct SectorAligned {
    using value_type = T;
    SectorAligned() = default;
    template <typename U>
    SectorAligned(const SectorAligned<U>&) noexcept {}  // NOLINT: allocators convert freely
    T* allocate(std::size_t count) {
        return static_cast<T*>(::operator new (count * sizeof(T), std::align_val_t{ReadAlignment}));
    }
    void deallocate(T* memory, std::size_t) noexcept {
        ::operator delete (memory, std::align_val_t{ReadAlignment});
    }
    friend bool operator==(const SectorAligned&, const SectorAligned&) { return true; }
};
using ReadBuffer = std::vector<std::uint8_t, SectorAligned<std::uint8_t>>;

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
    std::uint32_t clusterCount = 0;
    // FAT32: the first cluster of the root directory's chain.
    ClusterNumber rootCluster = 0;
};

// Nothing when no FAT volume can be read with the boot sector (zero sizes, no table, a table
// that cannot lie inside the volume).
std::optional<Geometry> deriveGeometry(std::span<const std::uint8_t, BootSectorBytes> bootSector);

// The FAT32 shape of a parameter block: no 16-bit table size, a 32-bit one, no fixed root.
bool hasFat32Layout(std::span<const std::uint8_t, BootSectorBytes> bootSector);

// A boot sector as formatters write it: a jump, sizes that are powers of two, a media byte,
// tables that hold the clusters. Stricter than what deriveGeometry reads with, so that a master
// boot record whose code happens to look like a parameter block is not taken for a volume.
bool isPlausibleBootSector(std::span<const std::uint8_t, BootSectorBytes> bootSector);

std::uint32_t clusterBytes(const Geometry& geometry);

// The volume as it is; the walks over it keep their scratch to themselves, so that readers
// take it read-only.
struct VolumeState {
    platform::Handle volumeHandle = platform::InvalidHandle;
    std::uint64_t baseOffset = 0;  // where the volume begins on the device
    Geometry geometry;
    std::vector<std::uint8_t> fatTable;
};

// Which partition of a partitioned drive to read (numbered as Linux numbers them); none for the
// first that holds a FAT volume. 0 names no partition.
struct OpenRequest {
    std::optional<std::uint32_t> partition;
};

struct PartitionFound {
    Partition partition;
    bool holdsFat = false;
};

// How the volume was found on the drive, for the driver to tell the user.
struct OpenReport {
    PartitionScheme scheme = PartitionScheme::None;
    std::vector<PartitionFound> partitions;
    std::uint32_t chosenPartition = 0;  // 0: the volume is not read from a partition table
    bool fromBackupBootSector = false;  // the FAT32 copy stood in for a damaged first sector
};

// 1 when the volume is open with its geometry and table loaded, 0 otherwise. Where the volume
// begins: at sector 0 when that holds a FAT boot sector; else in the partition the request names
// or the first that holds one; else where the FAT32 backup of a damaged boot sector says; else
// at sector 0 with whatever geometry its parameter block gives.
int openVolume(VolumeState& volume, char driveLetter);
int openVolume(VolumeState& volume, char driveLetter, const OpenRequest& request,
               OpenReport& report);
// Reads the boot sector at baseOffset, derives the geometry and loads the table.
int loadGeometry(VolumeState& volume);
// The same with a boot sector in hand (read at baseOffset, or its backup copy).
bool loadVolume(VolumeState& volume, std::span<const std::uint8_t, BootSectorBytes> bootSector);
void closeVolume(VolumeState& volume);

// Reads for finding the volume, before its sector size is known: whole 4 KiB blocks at 4 KiB
// boundaries, which every sector size from 512 to 4096 divides, so that no device refuses them.
// Fills `out` from `position` and returns how many of its bytes arrived; the rest is zero.
std::size_t readProbe(const VolumeState& volume, std::uint64_t position,
                      std::span<std::uint8_t> out);
inline constexpr std::size_t ProbeBlockBytes = 4096;
// The first 4 KiB of the drive; when they do not arrive, sector 0 alone, so that a bad sector
// among the next ones of a 512-byte-sector disk does not hide the boot sector. How many arrived.
std::size_t readDriveHead(const VolumeState& volume, std::span<std::uint8_t, ProbeBlockBytes> head);

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

// Every read of the volume's contents: fills `buffer` (in a ReadBuffer, from a sector boundary
// of it) from `position`. What does not arrive in
// one read is read again in pieces of salvageUnitBytes, so that a bad sector costs only itself;
// whatever cannot be read is zero-filled, never left stale. Returns the parts of `buffer` that
// did not arrive (none when all did). Callers read whole sectors: raw Windows volumes
// refuse anything else.
std::vector<ByteRange> readSalvaging(const VolumeState& volume, std::uint64_t position,
                                     std::span<std::uint8_t> buffer);
// Tells the system that bytes [position, position + bytes) will be read soon, so that it can
// fetch them while the reader works on what it has. Nothing is read here, and nothing fails.
void adviseReading(const VolumeState& volume, std::uint64_t position, std::uint64_t bytes);
// One read, no retries: true when all of `buffer` arrived. For reads that take in more than
// their callers need, who then salvage only what they need.
bool readInOne(const VolumeState& volume, std::uint64_t position, std::span<std::uint8_t> buffer);

}  // namespace chkmend
