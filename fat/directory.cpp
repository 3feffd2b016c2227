#include "fat/directory.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

#include "fat/byte_reader.h"
#include "fat/fat_time.h"
#include "platform/platform.h"
#include "platform/utf16.h"

namespace chkmend {

namespace {

// No system makes a longer long name, and none can write one.
constexpr std::size_t MaxLongNameUnits = 255;

std::string_view trimmedField(DirEntry entry, std::size_t offset, std::size_t width) {
    std::string_view field(reinterpret_cast<const char*>(entry.data() + offset), width);
    field = field.substr(0, field.find('\0'));
    const std::size_t end = field.find_last_not_of(' ');
    return end == std::string_view::npos ? std::string_view{} : field.substr(0, end + 1);
}

// Long-name state that runs on from one cluster of the walk to the next.
struct LongNameState {
    std::u16string pending;  // gathered characters, kept as UTF-16 until the short entry
    std::uint32_t expectedOrdinal = 0;
    std::uint8_t checksum = 0;
    bool broken = false;  // a NUL inside the name: no text to write it under

    void reset() {
        pending.clear();
        expectedOrdinal = 0;
        broken = false;
    }
};

void takeLongNamePiece(LongNameState& state, DirEntry entry) {
    state.checksum = entry[dirent::Checksum];
    const std::uint8_t sequence = entry[dirent::Sequence];
    const bool lastPiece = (sequence & dirent::LastPieceFlag) != 0;
    if (lastPiece) {
        state.reset();
        state.expectedOrdinal = sequence - dirent::LastPieceFlag;
    } else if (sequence != state.expectedOrdinal) {
        state.reset();
    }
    if (state.expectedOrdinal == 0) return;
    std::u16string piece;
    for (const std::size_t offset : dirent::PieceCharOffsets) {
        const char16_t unit = readLe16(entry, offset);
        if (unit == 0) {
            // Only the name's last piece may end before its 13 characters.
            state.broken = state.broken || !lastPiece;
            break;
        }
        piece.push_back(unit);
    }
    state.pending.insert(0, piece);
    --state.expectedOrdinal;
}

// The long name when it belongs to this short entry and is text a system can write;
// otherwise the short name, so that the file still comes out under a name of its own.
std::string chooseName(const LongNameState& state, std::uint8_t checksum,
                       const std::string& shortName) {
    if (state.pending.empty() || state.checksum != checksum || state.broken ||
        state.pending.size() > MaxLongNameUnits) {
        return shortName;
    }
    std::optional<std::string> text = platform::utf16ToUtf8(state.pending);
    return text ? std::move(*text) : shortName;
}

// One part of an 8.3 name as Windows and mcopy show it: decoded with the OEM code page (ASCII,
// the common case, is the same in all of them), then A-Z lower-cased when its case flag says
// so. Letters of the code page keep their case: 0x8E is "Ä" with or without the flag.
std::string shortNamePart(std::string_view bytes, bool lowerCase) {
    const bool ascii = std::all_of(bytes.begin(), bytes.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    std::string text = ascii ? std::string(bytes) : platform::oemToUtf8(bytes);
    if (lowerCase) {
        for (char& c : text) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

EntryRecord makeRecord(DirEntry entry, std::string name, const std::string& shortName) {
    EntryRecord record;
    record.attributes = entry[dirent::Attributes];
    record.longName = std::move(name);
    setName(record.shortName, shortName);
    record.firstCluster = (std::uint32_t{readLe16(entry, dirent::ClusterHigh)} << 16) |
                          readLe16(entry, dirent::ClusterLow);
    record.sizeLow = readLe32(entry, dirent::Size);
    record.creationTime =
        fatTimeToFileTime(readLe16(entry, dirent::CreationDate),
                          readLe16(entry, dirent::CreationTime), entry[dirent::CreationHundredths]);
    record.lastAccessTime = fatTimeToFileTime(readLe16(entry, dirent::LastAccessDate), 0, 0);
    record.lastWriteTime = fatTimeToFileTime(readLe16(entry, dirent::WriteDate),
                                             readLe16(entry, dirent::WriteTime), 0);
    return record;
}

enum class StepEnd { Continue, EndOfDirectory, NotADirectory };

// The listing in hand, carried from one step of the walk to the next.
struct Listing {
    EntryList records;
    LongNameState longName;
    // "." and ".." still to come as the first short entries; 0 for the root, which has none.
    int dotsPending = 0;
};

StepEnd takeShortEntry(Listing& listing, DirEntry onDisk) {
    std::array<std::uint8_t, DirEntryBytes> entry{};
    std::copy(onDisk.begin(), onDisk.end(), entry.begin());
    if (entry[dirent::Name] == dirent::EscapedE5Mark) entry[dirent::Name] = dirent::DeletedMark;
    // Most orphans are files, whose first bytes fail the test: decided before any name is
    // decoded or time converted.
    if (listing.dotsPending > 0 && !isDirectoryEntry(entry[dirent::Attributes])) {
        return StepEnd::NotADirectory;
    }
    const std::string shortName = shortNameOf(entry);
    std::string name = chooseName(listing.longName, shortNameChecksum(entry), shortName);
    if (listing.dotsPending > 0) {
        if (name != (listing.dotsPending == 2 ? "." : "..")) return StepEnd::NotADirectory;
        --listing.dotsPending;
    }
    listing.records.push_back(makeRecord(entry, std::move(name), shortName));
    listing.longName.reset();
    return StepEnd::Continue;
}

StepEnd takeEntry(Listing& listing, DirEntry entry, bool lost) {
    if (lost) {
        // Unread bytes say nothing. Only a directory already known by its "." and ".." goes on
        // past them: anything else would walk its whole chain unread.
        listing.longName.reset();
        return listing.dotsPending > 0 ? StepEnd::EndOfDirectory : StepEnd::Continue;
    }
    switch (classifyEntry(entry)) {
        case EntryKind::EndOfDirectory:
            return StepEnd::EndOfDirectory;
        case EntryKind::LongNamePiece:
            takeLongNamePiece(listing.longName, entry);
            return StepEnd::Continue;
        case EntryKind::Short:
            return takeShortEntry(listing, entry);
        case EntryKind::Deleted:
        case EntryKind::VolumeLabel:
            break;
    }
    listing.longName.reset();
    return StepEnd::Continue;
}

// Where a directory's entries lie: the fixed root region in one step, or a cluster chain one
// cluster a step.
struct DirectoryPlace {
    bool fixedRoot = false;
    ClusterNumber firstCluster = 0;
    std::uint32_t stepBytes = 0;
    std::uint32_t entriesPerStep = 0;
    // Most orphans are files, and for a file the first sector already fails the "." and ".."
    // test: while the test runs, a step reads this much first and the rest only if needed.
    // 0 when the step is not split.
    std::uint32_t headBytes = 0;
};

std::optional<DirectoryPlace> locateDirectory(const VolumeState& volume, ClusterNumber cluster) {
    if (cluster == 1 || endsChain(cluster)) return std::nullopt;
    const Geometry& g = volume.geometry;
    DirectoryPlace place;
    place.fixedRoot = cluster == 0 && g.fatType != FatType::Fat32;
    place.firstCluster = cluster == 0 && !place.fixedRoot ? g.rootCluster : cluster;
    // Whole sectors: raw Windows volumes refuse less.
    place.stepBytes = place.fixedRoot ? g.rootDirSectors * g.bytesPerSector : clusterBytes(g);
    place.entriesPerStep = place.fixedRoot ? g.rootEntryCount : clusterBytes(g) / DirEntryBytes;
    if (place.entriesPerStep == 0) return std::nullopt;
    const std::uint32_t head = salvageUnitBytes(volume);
    if (!place.fixedRoot && head < place.stepBytes && head % DirEntryBytes == 0) {
        place.headBytes = head;
    }
    return place;
}

// The entries of one step, read as they are needed.
struct StepCursor {
    std::uint64_t position = 0;
    std::span<std::uint8_t> step;
    std::uint32_t entries = 0;
    std::uint32_t readBytes = 0;  // the step's bytes read so far
    std::uint32_t next = 0;       // the entry handed out next
};

// Reads the step on up to `end` and flags the entries whose bytes did not all arrive.
void readStepUpTo(const VolumeState& volume, StepCursor& cursor, std::uint32_t end,
                  std::vector<bool>& lost) {
    const std::uint32_t start = cursor.readBytes;
    const auto missing =
        readSalvaging(volume, cursor.position + start, cursor.step.subspan(start, end - start));
    for (const ByteRange& range : missing) {
        if (lost.empty()) lost.assign(cursor.entries, false);
        const std::uint32_t first = (start + range.begin) / DirEntryBytes;
        const std::uint32_t last = (start + range.end + DirEntryBytes - 1) / DirEntryBytes;
        for (std::uint32_t i = first; i < std::min(last, cursor.entries); ++i) lost[i] = true;
    }
    cursor.readBytes = end;
}

struct CursorEntry {
    DirEntry bytes;
    bool lost = false;
};

std::optional<CursorEntry> nextEntry(const VolumeState& volume, StepCursor& cursor,
                                     std::vector<bool>& lost) {
    if (cursor.next >= cursor.entries) return std::nullopt;
    const std::uint32_t index = cursor.next++;
    const std::uint32_t offset = index * DirEntryBytes;
    if (offset >= cursor.readBytes) {
        readStepUpTo(volume, cursor, static_cast<std::uint32_t>(cursor.step.size()), lost);
    }
    return CursorEntry{cursor.step.subspan(offset).first<DirEntryBytes>(),
                       !lost.empty() && lost[index]};
}

StepEnd listStep(const VolumeState& volume, const DirectoryPlace& place, std::uint64_t position,
                 Listing& listing, DirectoryScratch& scratch) {
    StepCursor cursor{position, std::span(scratch.step).first(place.stepBytes),
                      place.entriesPerStep};
    scratch.lost.clear();
    const bool split = place.headBytes != 0 && listing.dotsPending > 0;
    readStepUpTo(volume, cursor, split ? place.headBytes : place.stepBytes, scratch.lost);
    while (const std::optional<CursorEntry> entry = nextEntry(volume, cursor, scratch.lost)) {
        const StepEnd end = takeEntry(listing, entry->bytes, entry->lost);
        if (end != StepEnd::Continue) return end;
    }
    return StepEnd::Continue;
}

StepEnd listChain(const VolumeState& volume, const DirectoryPlace& place, Listing& listing,
                  DirectoryScratch& scratch) {
    StepEnd end = StepEnd::Continue;
    beginWalk(volume, scratch.marks);
    // A chain that comes back to a cluster it passed would list the same entries forever.
    for (ClusterNumber cluster = place.firstCluster;
         end == StepEnd::Continue && cluster >= 2 && !endsChain(cluster) &&
         firstVisit(scratch.marks, cluster);
         cluster = nextCluster(volume, cluster)) {
        end = listStep(volume, place, clusterPosition(volume, cluster), listing, scratch);
    }
    endWalk(scratch.marks);
    return end;
}

}  // namespace

EntryKind classifyEntry(DirEntry entry) {
    const std::uint8_t first = entry[dirent::Name];
    if (first == dirent::EndOfDirectoryMark) return EntryKind::EndOfDirectory;
    if (first == dirent::DeletedMark) return EntryKind::Deleted;
    // Long-name pieces carry the volume-label bit too: they are told apart first.
    if (isLongNameEntry(entry)) return EntryKind::LongNamePiece;
    if ((entry[dirent::Attributes] & attr::VolumeLabel) != 0) return EntryKind::VolumeLabel;
    return EntryKind::Short;
}

bool isDirectoryEntry(std::uint32_t attributes) {
    return (attributes & attr::Directory) != 0 && (attributes & attr::VolumeLabel) == 0;
}

bool isLongNameEntry(DirEntry entry) {
    return (entry[dirent::Attributes] & dirent::LongNameAttributeMask) ==
           dirent::LongNameAttributes;
}

std::uint8_t shortNameChecksum(DirEntry entry) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < dirent::NameBytes; ++i) {
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + entry[dirent::Name + i]);
    }
    return sum;
}

std::string shortNameOf(DirEntry entry) {
    const std::uint8_t caseFlags = entry[dirent::CaseFlags];
    std::string name = shortNamePart(trimmedField(entry, dirent::Name, dirent::BaseBytes),
                                     (caseFlags & dirent::LowerCaseBase) != 0);
    const std::string_view extension =
        trimmedField(entry, dirent::Extension, dirent::ExtensionBytes);
    if (!extension.empty()) {
        name += '.';
        name += shortNamePart(extension, (caseFlags & dirent::LowerCaseExtension) != 0);
    }
    return name;
}

bool headRulesOutDirectory(std::span<const std::uint8_t> head) {
    Listing listing;
    listing.dotsPending = 2;
    for (std::size_t offset = 0; offset + DirEntryBytes <= head.size() && listing.dotsPending > 0;
         offset += DirEntryBytes) {
        // Zeros where a read failed end the directory here just as a lost entry would.
        switch (takeEntry(listing, head.subspan(offset).first<DirEntryBytes>(), false)) {
            case StepEnd::NotADirectory:
            case StepEnd::EndOfDirectory:
                return true;
            case StepEnd::Continue:
                break;
        }
    }
    return false;
}

EntryList readDirectory(const VolumeState& volume, ClusterNumber cluster) {
    DirectoryScratch scratch;
    return readDirectory(volume, cluster, scratch);
}

EntryList readDirectory(const VolumeState& volume, ClusterNumber cluster,
                        DirectoryScratch& scratch) {
    const std::optional<DirectoryPlace> place = locateDirectory(volume, cluster);
    if (!place) return {};
    if (scratch.step.size() < place->stepBytes) scratch.step.resize(place->stepBytes);
    Listing listing;
    listing.dotsPending = cluster == 0 ? 0 : 2;
    const StepEnd end =
        place->fixedRoot ? listStep(volume, *place, rootDirectoryPosition(volume), listing, scratch)
                         : listChain(volume, *place, listing, scratch);
    if (end == StepEnd::NotADirectory) return {};
    return std::move(listing.records);
}

}  // namespace chkmend
