// Cluster chains: following them through the in-memory allocation table and reading their bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "driver/entry_record.h"
#include "fat/layout.h"
#include "fat/volume.h"

namespace chkmend {

inline bool endsChain(ClusterNumber cluster) {
    return cluster >= FirstChainEnd;
}

// Entries lying wholly inside the table.
std::uint64_t fatEntryCount(const VolumeState& volume);

// The successor of `cluster`, normalised to FAT32 values; the end of the chain for a cluster
// that has no entry in the table.
ClusterNumber nextCluster(const VolumeState& volume, ClusterNumber cluster);

// Loop detection for one walk over a chain at a time: one bit per table entry, and the
// clusters marked on the walk in hand so that clearing costs no more than the walk did. The
// walker owns it and keeps it from walk to walk.
struct WalkMarks {
    std::vector<std::uint64_t> bits;
    std::vector<ClusterNumber> trail;
};
void beginWalk(const VolumeState& volume, WalkMarks& marks);
bool firstVisit(WalkMarks& marks, ClusterNumber cluster);  // false on a revisit
void endWalk(WalkMarks& marks);

// Whether the chain from `firstCluster` yields `size` bytes, decided from the table alone.
// Clusters 0 and 1 have no data and end the chain; a chain that comes back to a cluster it
// already passed is corrupt and ends there too.
bool chainHolds(const VolumeState& volume, std::uint32_t size, ClusterNumber firstCluster,
                WalkMarks& marks);

// Exactly `size` bytes along the chain, or nothing when the chain does not hold them.
// Unreadable clusters contribute zeros.
std::optional<std::vector<std::uint8_t>> readChain(const VolumeState& volume, std::uint32_t size,
                                                   ClusterNumber firstCluster);

// Gaps between needed bytes that a read goes through rather than ending and starting anew: a
// slow card (20 MB/s, about a millisecond per request) reads this much in the time a new request
// costs.
inline constexpr std::uint64_t MergeGapBytes = 16u << 10;
// How far ahead of its reads a walk tells the system what it will read next.
inline constexpr std::uint64_t ReadAheadBytes = 8u << 20;

// Bytes of the volume read in one request ahead of the runs that lie inside them: many small
// files next to each other cost one request, not one each.
struct ReadWindow {
    ReadBuffer bytes;
    std::uint64_t start = 0;
    std::uint64_t end = 0;  // equal to start when the window holds nothing
    // The last span that did not arrive whole: not tried again as a window, so that a failing
    // card is not asked for the same bad sectors once per file.
    std::uint64_t failedStart = 0;
    std::uint64_t failedEnd = 0;
};
// Reads [start, end) into the window; when it does not all arrive the window holds nothing, so
// that unreadable sectors are still salvaged one by one where they are needed.
void fillWindow(const VolumeState& volume, ReadWindow& window, std::uint64_t start,
                std::uint64_t end);

// Where the first read of a chain of `size` bytes lies: its first run of clusters that follow
// each other, in whole sectors, as readNextPiece reads it.
struct VolumeExtent {
    std::uint64_t position = 0;
    std::uint32_t bytes = 0;
};
std::optional<VolumeExtent> firstRead(const VolumeState& volume, ClusterNumber firstCluster,
                                      std::uint32_t size);

// Reads a chain piece by piece into a bounded buffer, one read per run of contiguous clusters,
// or from the window when the run lies inside it. Kept from file to file, with its buffers and
// marks.
struct ChainStream {
    ClusterNumber cluster = 0;
    std::uint32_t remaining = 0;
    ReadBuffer buffer;
    WalkMarks marks;
    ReadWindow window;
};
inline constexpr std::uint32_t ChainStreamBufferBytes = 4u << 20;

// Points the stream at a chain when it holds `size` bytes (see chainHolds); false otherwise.
bool startChainStream(const VolumeState& volume, ChainStream& stream, std::uint32_t size,
                      ClusterNumber firstCluster);
// The next piece; empty once `size` bytes have been handed out.
std::span<const std::uint8_t> readNextPiece(const VolumeState& volume, ChainStream& stream);

}  // namespace chkmend
