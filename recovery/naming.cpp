#include "recovery/naming.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "fat/chain.h"
#include "recovery/identify.h"

namespace chkmend {

namespace {

struct Signature {
    std::initializer_list<std::uint8_t> magic;
    std::string_view extension;
};

// Tested in this order; the first match decides.
const Signature Signatures[] = {
    {{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46}, ".jpg"},
    {{0x52, 0x61, 0x72, 0x21}, ".rar"},
    {{0x50, 0x4B, 0x03, 0x04}, ".zip"},
    {{0x46, 0x57, 0x53}, ".swf"},
    {{0x25, 0x50, 0x44, 0x46}, ".pdf"},
    {{0x49, 0x44, 0x33}, ".mp3"},
    {{0x4F, 0x67, 0x67, 0x53}, ".ogg"},
    {{0x4D, 0x5A}, ".exe"},
};

// The bytes the chain holds from its start, up to `limit`: whole clusters, or `limit`.
std::uint32_t heldBytes(const VolumeState& volume, ClusterNumber firstCluster, std::uint32_t limit,
                        WalkMarks& marks) {
    const std::uint32_t perCluster = clusterBytes(volume.geometry);
    std::uint32_t held = 0;
    while (perCluster != 0 && held < limit) {
        const std::uint32_t more = std::min(limit, held + perCluster);
        if (!chainHolds(volume, more, firstCluster, marks)) break;
        held = more;
    }
    return held;
}

// `length` bytes from `offset` along the chain into `out`, or nothing when the chain does not
// hold them. Clusters before the one holding `offset` are passed over in the table, not read.
Bytes readRange(const VolumeState& volume, ChainStream& stream, ClusterNumber firstCluster,
                std::uint32_t offset, std::uint32_t length, std::vector<std::uint8_t>& out) {
    const std::uint64_t end = std::uint64_t{offset} + length;
    const std::uint32_t perCluster = clusterBytes(volume.geometry);
    if (length == 0 || end > UINT32_MAX || perCluster == 0 ||
        !chainHolds(volume, static_cast<std::uint32_t>(end), firstCluster, stream.marks)) {
        return {};
    }
    // chainHolds has walked these clusters: each is in the table and none repeats.
    ClusterNumber cluster = firstCluster;
    for (std::uint32_t skip = offset / perCluster; skip > 0; --skip) {
        cluster = nextCluster(volume, cluster);
    }
    const std::uint32_t inCluster = offset % perCluster;
    out.clear();
    if (!startChainStream(volume, stream, inCluster + length, cluster)) return {};
    for (auto piece = readNextPiece(volume, stream); !piece.empty();
         piece = readNextPiece(volume, stream)) {
        out.insert(out.end(), piece.begin(), piece.end());
    }
    if (out.size() != inCluster + length) return {};
    return Bytes(out).subspan(inCluster);
}

}  // namespace

std::string_view extensionForContent(std::span<const std::uint8_t> content) {
    for (const Signature& signature : Signatures) {
        if (content.size() >= signature.magic.size() &&
            std::equal(signature.magic.begin(), signature.magic.end(), content.begin())) {
            return signature.extension;
        }
    }
    return {};
}

std::string_view sniffExtension(const VolumeState& volume, ClusterNumber firstCluster) {
    ChainStream stream;
    return sniffExtension(volume, firstCluster, stream);
}

std::string_view sniffExtension(const VolumeState& volume, ClusterNumber firstCluster,
                                ChainStream& stream) {
    // The head of the chain as readChain would give it, without a buffer per file.
    if (!startChainStream(volume, stream, SniffBytes, firstCluster)) return {};
    std::array<std::uint8_t, SniffBytes> head{};
    std::size_t filled = 0;
    for (auto piece = readNextPiece(volume, stream); !piece.empty();
         piece = readNextPiece(volume, stream)) {
        const std::size_t take = std::min(piece.size(), head.size() - filled);
        std::memcpy(head.data() + filled, piece.data(), take);
        filled += take;
    }
    if (filled != SniffBytes) return {};
    return extensionForContent(head);
}

std::string_view identifyExtension(const VolumeState& volume, ClusterNumber firstCluster,
                                   ChainStream& stream) {
    const std::uint32_t held = heldBytes(volume, firstCluster, IdentifyHeadBytes, stream.marks);
    std::vector<std::uint8_t> headBuffer;
    std::vector<std::uint8_t> furtherBuffer;
    const Bytes head = readRange(volume, stream, firstCluster, 0, held, headBuffer);
    const Content content{
        head, clusterBytes(volume.geometry), [&](std::uint32_t offset, std::uint32_t length) {
            return readRange(volume, stream, firstCluster, offset, length, furtherBuffer);
        }};
    return identifyContent(content);
}

std::uint32_t headReadBytes(const VolumeState& volume, Sniffing sniffing) {
    const std::uint32_t sector = volume.geometry.bytesPerSector;
    const std::uint32_t wanted = sniffing == Sniffing::AllTypes ? IdentifyHeadBytes : SniffBytes;
    const std::uint32_t whole = (std::max(wanted, salvageUnitBytes(volume)) + sector - 1) / sector;
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{whole} * sector, clusterBytes(volume.geometry)));
}

std::optional<std::string_view> extensionFromHead(const VolumeState& volume,
                                                  ClusterNumber firstCluster,
                                                  std::span<const std::uint8_t> head,
                                                  Sniffing sniffing, ChainStream& stream) {
    const std::uint32_t perCluster = clusterBytes(volume.geometry);
    if (sniffing == Sniffing::EightSignatures) {
        // A cluster smaller than the signatures' reach spreads them over the chain.
        if (head.size() < SniffBytes) return std::nullopt;
        if (!chainHolds(volume, SniffBytes, firstCluster, stream.marks)) return std::string_view{};
        return extensionForContent(head.first(SniffBytes));
    }
    const std::uint32_t held = heldBytes(volume, firstCluster, IdentifyHeadBytes, stream.marks);
    std::vector<std::uint8_t> headBuffer;
    Bytes start = head.first(std::min<std::size_t>(held, head.size()));
    if (held > head.size()) {
        // Only a whole first cluster is continued: the rest starts on the next one.
        if (head.size() != perCluster) return std::nullopt;
        std::vector<std::uint8_t> rest;
        const Bytes more =
            readRange(volume, stream, firstCluster, perCluster, held - perCluster, rest);
        if (more.empty()) return std::nullopt;
        headBuffer.assign(head.begin(), head.end());
        headBuffer.insert(headBuffer.end(), more.begin(), more.end());
        start = headBuffer;
    }
    std::vector<std::uint8_t> furtherBuffer;
    const Content content{start, perCluster, [&](std::uint32_t offset, std::uint32_t length) {
                              return readRange(volume, stream, firstCluster, offset, length,
                                               furtherBuffer);
                          }};
    return identifyContent(content);
}

void noteExtension(ExtensionNotes& notes, std::size_t record, std::string_view extension) {
    if (record >= notes.byRecord.size()) return;
    auto known = std::find(notes.extensions.begin(), notes.extensions.end(), extension);
    if (known == notes.extensions.end()) {
        // More extensions than codes: the rest are sniffed again when named.
        if (notes.extensions.size() >= NotNoted) return;
        known = notes.extensions.insert(notes.extensions.end(), extension);
    }
    notes.byRecord[record] = static_cast<std::uint8_t>(known - notes.extensions.begin());
}

void nameOrphans(const VolumeState& volume, EntryList& masterList, Sniffing sniffing,
                 const ExtensionNotes* notes) {
    int directories = 0;
    int files = 0;
    ChainStream stream;
    const bool useNotes = notes != nullptr && notes->sniffing == sniffing;
    for (std::size_t i = 0; i < masterList.size(); ++i) {
        EntryRecord& record = masterList[i];
        if (hasParent(record)) continue;
        if (isDirectory(record)) {
            setName(record.longName, "UnkDir" + std::to_string(directories++));
            continue;
        }
        const std::uint8_t code =
            useNotes && i < notes->byRecord.size() ? notes->byRecord[i] : NotNoted;
        std::string_view extension;
        if (code != NotNoted) {
            extension = notes->extensions[code];
        } else {
            extension = sniffing == Sniffing::AllTypes
                            ? identifyExtension(volume, record.firstCluster, stream)
                            : sniffExtension(volume, record.firstCluster, stream);
        }
        setName(record.longName, "UnkFil" + std::to_string(files++) + std::string(extension));
    }
}

}  // namespace chkmend
