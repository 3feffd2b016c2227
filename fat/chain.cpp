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

std::span<const std::uint8_t> readNextPiece(const VolumeState& volume, ChainStream& stream) {
    if (stream.remaining == 0 || stream.cluster < 2 || endsChain(stream.cluster)) return {};
    const std::uint32_t perCluster = clusterBytes(volume.geometry);
    const std::uint32_t sectorBytes = volume.geometry.bytesPerSector;

    const std::uint64_t capacity = std::max<std::uint64_t>(1, ChainStreamBufferBytes / perCluster);
    const std::uint64_t needed = (std::uint64_t{stream.remaining} + perCluster - 1) / perCluster;
    const std::uint64_t runLimit = std::min(capacity, needed);

    // One read for a run of clusters that follow each other on the volume.
    ClusterNumber last = stream.cluster;
    std::uint64_t run = 1;
    while (run < runLimit && nextCluster(volume, last) == last + 1) {
        ++last;
        ++run;
    }
    const auto want =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(run * perCluster, stream.remaining));
    // Whole sectors only: raw Windows volumes refuse anything else.
    const std::uint32_t readBytes = (want + sectorBytes - 1) / sectorBytes * sectorBytes;
    if (stream.buffer.size() < readBytes) stream.buffer.resize(readBytes);
    // The clusters of a run lie back to back on the volume; what cannot be read comes as zeros.
    readSalvaging(volume, clusterPosition(volume, stream.cluster),
                  std::span(stream.buffer).first(readBytes));

    stream.remaining -= want;
    stream.cluster = stream.remaining == 0 ? EndOfChain : nextCluster(volume, last);
    return {stream.buffer.data(), want};
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
