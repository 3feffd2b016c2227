#include "fat/chain.h"

#include <algorithm>
#include <cstddef>

#include "fat/byte_reader.h"

namespace chkmend {

namespace {

// FAT12 and FAT16 values from the reserved range up, moved into the FAT32 numbering.
std::uint32_t widened(std::uint32_t entry, std::uint32_t mask, std::uint32_t firstWidened) {
    return entry >= firstWidened ? entry | (table::Fat32Mask & ~mask) : entry;
}

std::uint32_t tableEntry(const VolumeState& volume, ClusterNumber cluster) {
    const std::span<const std::uint8_t> bytes = volume.fatTable;
    const FatType type = volume.geometry.fatType;
    const std::size_t offset = std::size_t{cluster} * entryBits(type) / 8;
    switch (type) {
        case FatType::Fat12: {
            // Two entries share three bytes: an odd one takes the high twelve bits of its pair.
            const std::uint32_t pair = readLe16(bytes, offset);
            const std::uint32_t entry = (cluster & 1) != 0 ? pair >> 4 : pair & table::Fat12Mask;
            return widened(entry, table::Fat12Mask, table::Fat12FirstWidened);
        }
        case FatType::Fat16:
            return widened(readLe16(bytes, offset), table::Fat16Mask, table::Fat16FirstWidened);
        case FatType::Fat32:
            break;
    }
    return readLe32(bytes, offset) & table::Fat32Mask;
}

}  // namespace

std::uint64_t fatEntryCount(const VolumeState& volume) {
    const std::uint64_t bits = std::uint64_t{volume.geometry.fatBytes} * 8;
    return bits / entryBits(volume.geometry.fatType);
}

ClusterNumber nextCluster(const VolumeState& volume, ClusterNumber cluster) {
    if (cluster >= fatEntryCount(volume)) return EndOfChain;
    const std::uint32_t entry = tableEntry(volume, cluster);
    return entry >= EndOfChain ? EndOfChain : entry;
}

void beginWalk(const VolumeState& volume, WalkMarks& marks) {
    const auto words = static_cast<std::size_t>((fatEntryCount(volume) + 63) / 64);
    if (marks.bits.size() != words) marks.bits.assign(words, 0);
    marks.trail.clear();
}

bool firstVisit(WalkMarks& marks, ClusterNumber cluster) {
    // Clusters beyond the table end every chain anyway, so they need no mark.
    if (cluster / 64 >= marks.bits.size()) return true;
    std::uint64_t& word = marks.bits[cluster / 64];
    const std::uint64_t bit = std::uint64_t{1} << (cluster % 64);
    if ((word & bit) != 0) return false;
    word |= bit;
    marks.trail.push_back(cluster);
    return true;
}

void endWalk(WalkMarks& marks) {
    for (const ClusterNumber cluster : marks.trail) marks.bits[cluster / 64] = 0;
    marks.trail.clear();
}

bool chainHolds(const VolumeState& volume, std::uint32_t size, ClusterNumber firstCluster,
                WalkMarks& marks) {
    if (size == 0) return true;
    const std::uint32_t perCluster = clusterBytes(volume.geometry);
    if (perCluster == 0) return false;
    const std::uint64_t needed = (std::uint64_t{size} + perCluster - 1) / perCluster;
    beginWalk(volume, marks);
    std::uint64_t taken = 0;
    // Bounded by `needed` and, through the marks, by the number of table entries.
    for (ClusterNumber cluster = firstCluster; taken < needed;
         cluster = nextCluster(volume, cluster)) {
        if (cluster < 2 || endsChain(cluster) || !firstVisit(marks, cluster)) break;
        ++taken;
    }
    endWalk(marks);
    return taken == needed;
}

bool startChainStream(const VolumeState& volume, ChainStream& stream, std::uint32_t size,
                      ClusterNumber firstCluster) {
    if (!chainHolds(volume, size, firstCluster, stream.marks)) return false;
    stream.cluster = firstCluster;
    stream.remaining = size;
    return true;
}

namespace {

// The run of clusters from `cluster` that follow each other on the volume, for a chain with
// `remaining` bytes to go: its last cluster and the bytes it holds of them.
struct Run {
    ClusterNumber last = 0;
    std::uint32_t want = 0;       // bytes of the chain the run holds
    std::uint32_t readBytes = 0;  // the same in whole sectors
};

Run runFrom(const VolumeState& volume, ClusterNumber cluster, std::uint32_t remaining) {
    const std::uint32_t perCluster = clusterBytes(volume.geometry);
    const std::uint32_t sectorBytes = volume.geometry.bytesPerSector;
    const std::uint64_t capacity = std::max<std::uint64_t>(1, ChainStreamBufferBytes / perCluster);
    const std::uint64_t needed = (std::uint64_t{remaining} + perCluster - 1) / perCluster;
    const std::uint64_t runLimit = std::min(capacity, needed);
    Run run{cluster, 0, 0};
    std::uint64_t clusters = 1;
    while (clusters < runLimit && nextCluster(volume, run.last) == run.last + 1) {
        ++run.last;
        ++clusters;
    }
    run.want =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(clusters * perCluster, remaining));
    // Whole sectors only: raw Windows volumes refuse anything else.
    run.readBytes = (run.want + sectorBytes - 1) / sectorBytes * sectorBytes;
    return run;
}

}  // namespace

void fillWindow(const VolumeState& volume, ReadWindow& window, std::uint64_t start,
                std::uint64_t end) {
    window.start = start;
    window.end = start;
    if (end <= start) return;
    window.bytes.resize(static_cast<std::size_t>(end - start));
    if (readInOne(volume, start, window.bytes)) {
        window.end = end;
    } else {
        window.failedStart = start;
        window.failedEnd = end;
    }
}

std::optional<VolumeExtent> firstRead(const VolumeState& volume, ClusterNumber firstCluster,
                                      std::uint32_t size) {
    if (size == 0 || firstCluster < 2 || endsChain(firstCluster) ||
        clusterBytes(volume.geometry) == 0) {
        return std::nullopt;
    }
    const Run run = runFrom(volume, firstCluster, size);
    return VolumeExtent{clusterPosition(volume, firstCluster), run.readBytes};
}

std::span<const std::uint8_t> readNextPiece(const VolumeState& volume, ChainStream& stream) {
    if (stream.remaining == 0 || stream.cluster < 2 || endsChain(stream.cluster)) return {};
    if (clusterBytes(volume.geometry) == 0) return {};
    // One read for a run of clusters that follow each other on the volume.
    const Run run = runFrom(volume, stream.cluster, stream.remaining);
    const std::uint64_t position = clusterPosition(volume, stream.cluster);
    stream.remaining -= run.want;
    stream.cluster = stream.remaining == 0 ? EndOfChain : nextCluster(volume, run.last);

    const ReadWindow& window = stream.window;
    if (position >= window.start && position + run.readBytes <= window.end) {
        return {window.bytes.data() + (position - window.start), run.want};
    }
    if (stream.buffer.size() < run.readBytes) stream.buffer.resize(run.readBytes);
    // The clusters of a run lie back to back on the volume; what cannot be read comes as zeros.
    readSalvaging(volume, position, std::span(stream.buffer).first(run.readBytes));
    return {stream.buffer.data(), run.want};
}

std::optional<std::vector<std::uint8_t>> readChain(const VolumeState& volume, std::uint32_t size,
                                                   ClusterNumber firstCluster) {
    std::vector<std::uint8_t> result;
    if (size == 0) return result;
    ChainStream stream;
    if (!startChainStream(volume, stream, size, firstCluster)) return std::nullopt;
    result.reserve(size);
    for (auto piece = readNextPiece(volume, stream); !piece.empty();
         piece = readNextPiece(volume, stream)) {
        result.insert(result.end(), piece.begin(), piece.end());
    }
    if (result.size() != size) return std::nullopt;
    return result;
}

}  // namespace chkmend
