// Cluster chains: following them through the in-memory allocation table and reading their bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "driver/entry_record.h"
#include "fat/volume.h"

namespace chkmend {

// Cluster values in the FAT32 numbering, whatever the variant.
inline constexpr ClusterNumber BadCluster = 0x0FFFFFF7;
inline constexpr ClusterNumber EndOfChain = 0x0FFFFFF8;
inline constexpr ClusterNumber FirstChainEnd = 0x0FFFFFF0;  // this value and above end a chain

inline bool endsChain(ClusterNumber cluster) {
    return cluster >= FirstChainEnd;
}

// Entries lying wholly inside the table; only clusters below this may be looked up.
std::uint64_t fatEntryCount(const VolumeState& volume);

// The successor of `cluster` (which must be below fatEntryCount), normalised to FAT32 values.
ClusterNumber nextCluster(const VolumeState& volume, ClusterNumber cluster);

// Loop detection for one walk over a chain at a time.
void beginWalk(VolumeState& volume);
bool firstVisit(VolumeState& volume, ClusterNumber cluster);  // false on a revisit
void endWalk(VolumeState& volume);

// Whether the chain from `firstCluster` yields `size` bytes, decided from the table alone.
// Clusters 0 and 1 have no data and end the chain; a chain that comes back to a cluster it
// already passed is corrupt and ends there too.
bool chainHolds(VolumeState& volume, std::uint32_t size, ClusterNumber firstCluster);

// Exactly `size` bytes along the chain, or nothing when the chain does not hold them.
// Unreadable clusters contribute zeros.
std::optional<std::vector<std::uint8_t>> readChain(VolumeState& volume, std::uint32_t size,
                                                   ClusterNumber firstCluster);

// Reads a chain piece by piece into a bounded buffer, one read per run of contiguous clusters.
// Use only on a chain for which chainHolds said yes.
struct ChainStream {
    ClusterNumber cluster = 0;
    std::uint32_t remaining = 0;
    std::vector<std::uint8_t> buffer;
};
inline constexpr std::uint32_t ChainStreamBufferBytes = 4u << 20;

// Points the stream at a new chain, keeping its buffer for reuse.
void restartChainStream(ChainStream& stream, std::uint32_t size, ClusterNumber firstCluster);
// The next piece; empty once `size` bytes have been handed out.
std::span<const std::uint8_t> readNextPiece(const VolumeState& volume, ChainStream& stream);

}  // namespace chkmend
