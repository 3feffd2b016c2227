#include "fat/chain.h"

#include <algorithm>

#include "fat/byte_reader.h"

namespace chkmend {

std::uint64_t fatEntryCount(const VolumeState& volume) {
    if (volume.fatType == 0) return 0;
    return std::uint64_t{volume.fatBytes} * 8 / static_cast<std::uint64_t>(volume.fatType);
}

ClusterNumber nextCluster(const VolumeState& volume, ClusterNumber cluster) {
    const std::uint8_t* table = volume.fatTable.data();
    std::uint32_t entry = 0;
    switch (volume.fatType) {
        case 12: {
            const std::uint32_t pair = readLe16(table, std::size_t{cluster} * 3 / 2);
            entry = (cluster & 1) != 0 ? pair >> 4 : pair & 0x0FFF;
            if (entry >= 0xFF7) entry |= 0x0FFFF000;
            break;
        }
        case 16:
            entry = readLe16(table, std::size_t{cluster} * 2);
            if (entry >= 0xFFF0) entry |= 0x0FFF0000;
            break;
        default:
            entry = readLe32(table, std::size_t{cluster} * 4) & 0x0FFFFFFF;
            break;
    }
    return entry >= EndOfChain ? EndOfChain : entry;
}

void beginWalk(VolumeState& volume) {
    const std::size_t words = static_cast<std::size_t>((fatEntryCount(volume) + 63) / 64);
    if (volume.walkMarks.size() != words) volume.walkMarks.assign(words, 0);
    volume.walkTrail.clear();
}

bool firstVisit(VolumeState& volume, ClusterNumber cluster) {
    // Clusters beyond the table end every chain anyway, so they need no mark.
    if (cluster >= fatEntryCount(volume)) return true;
    std::uint64_t& word = volume.walkMarks[cluster / 64];
    const std::uint64_t bit = std::uint64_t{1} << (cluster % 64);
    if ((word & bit) != 0) return false;
    word |= bit;
    volume.walkTrail.push_back(cluster);
    return true;
}

void endWalk(VolumeState& volume) {
    for (const ClusterNumber cluster : volume.walkTrail) volume.walkMarks[cluster / 64] = 0;
    volume.walkTrail.clear();
}

bool chainHolds(VolumeState& volume, std::uint32_t size, ClusterNumber firstCluster) {
    if (size == 0) return true;
    const std::uint32_t perCluster = clusterBytes(volume);
    if (perCluster == 0) return false;
    const std::uint64_t needed = (std::uint64_t{size} + perCluster - 1) / perCluster;
    const std::uint64_t entries = fatEntryCount(volume);
    beginWalk(volume);
    bool holds = false;
    ClusterNumber cluster = firstCluster;
    // Bounded by `needed` and, through the marks, by the number of table entries.
    for (std::uint64_t taken = 1;; ++taken) {
        if (cluster < 2 || endsChain(cluster) || !firstVisit(volume, cluster)) break;
        if (taken == needed) {
            holds = true;
            break;
        }
        if (cluster >= entries) break;
        cluster = nextCluster(volume, cluster);
    }
    endWalk(volume);
    return holds;
}

void restartChainStream(ChainStream& stream, std::uint32_t size, ClusterNumber firstCluster) {
    stream.cluster = firstCluster;
    stream.remaining = size;
}

std::span<const std::uint8_t> readNextPiece(const VolumeState& volume, ChainStream& stream) {
    if (stream.remaining == 0 || stream.cluster < 2 || endsChain(stream.cluster)) return {};
    const std::uint32_t perCluster = clusterBytes(volume);
    const std::uint32_t sectorBytes = bytesPerSector(volume);
    const std::uint64_t entries = fatEntryCount(volume);

    const std::uint64_t capacity = std::max<std::uint64_t>(1, ChainStreamBufferBytes / perCluster);
    const std::uint64_t needed = (std::uint64_t{stream.remaining} + perCluster - 1) / perCluster;
    const std::uint64_t runLimit = std::min(capacity, needed);

    // One read for a run of clusters that follow each other on the volume.
    ClusterNumber last = stream.cluster;
    std::uint64_t run = 1;
    while (run < runLimit && last < entries && nextCluster(volume, last) == last + 1) {
        ++last;
        ++run;
    }
    const auto want =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(run * perCluster, stream.remaining));
    // Whole sectors only: raw Windows volumes refuse anything else.
    const std::uint32_t readBytes = (want + sectorBytes - 1) / sectorBytes * sectorBytes;
    if (stream.buffer.size() < readBytes) stream.buffer.resize(readBytes);

    std::uint8_t* out = stream.buffer.data();
    const std::uint32_t got =
        readAt(volume, clusterPosition(volume, stream.cluster), out, readBytes);
    if (got < readBytes) {
        // A bad spot: read the rest again sector by sector (at least 512 bytes each) so that
        // every readable sector after it still arrives; readAt zero-fills what cannot be read.
        // The clusters of a run lie back to back on the volume.
        const std::uint32_t unit = (511 + sectorBytes) / sectorBytes * sectorBytes;
        const std::uint64_t start = clusterPosition(volume, stream.cluster);
        for (std::uint32_t offset = got; offset < readBytes;) {
            const std::uint32_t end = std::min(readBytes, (offset / unit + 1) * unit);
            readAt(volume, start + offset, out + offset, end - offset);
            offset = end;
        }
    }

    stream.remaining -= want;
    stream.cluster =
        stream.remaining == 0 || last >= entries ? EndOfChain : nextCluster(volume, last);
    return {out, want};
}

std::optional<std::vector<std::uint8_t>> readChain(VolumeState& volume, std::uint32_t size,
                                                   ClusterNumber firstCluster) {
    std::vector<std::uint8_t> result;
    if (size == 0) return result;
    if (!chainHolds(volume, size, firstCluster)) return std::nullopt;
    result.reserve(size);
    ChainStream stream;
    restartChainStream(stream, size, firstCluster);
    for (auto piece = readNextPiece(volume, stream); !piece.empty();
         piece = readNextPiece(volume, stream)) {
        result.insert(result.end(), piece.begin(), piece.end());
    }
    if (result.size() != size) return std::nullopt;
    return result;
}

}  // namespace chkmend
