#include "fat/directory.h"

#include <span>
#include <string_view>
#include <vector>

#include "fat/byte_reader.h"
#include "fat/chain.h"

namespace chkmend {

namespace {

constexpr std::size_t MaxLongNameBytes = LongNameBytes - 1;
constexpr std::size_t CharsPerPiece = 13;
constexpr std::size_t PieceCharOffsets[CharsPerPiece] = {1,  3,  5,  7,  9,  14, 16,
                                                         18, 20, 22, 24, 28, 30};

std::string_view trimmedField(const std::uint8_t* bytes, std::size_t width) {
    std::string_view field(reinterpret_cast<const char*>(bytes), width);
    field = field.substr(0, field.find('\0'));
    const std::size_t end = field.find_last_not_of(' ');
    return end == std::string_view::npos ? std::string_view{} : field.substr(0, end + 1);
}

// Long-name state that runs on from one cluster of the walk to the next.
struct LongNameState {
    std::u16string pending;  // gathered characters, kept as UTF-16 until the short entry
    std::uint32_t expectedOrdinal = 0;
    std::uint8_t checksum = 0;

    void reset() {
        pending.clear();
        expectedOrdinal = 0;
    }
};

void takeLongNamePiece(LongNameState& state, const std::uint8_t* entry) {
    state.checksum = entry[dirent::Checksum];
    const std::uint8_t sequence = entry[dirent::Sequence];
    if ((sequence & dirent::LastPieceFlag) != 0) {
        state.pending.clear();
        state.expectedOrdinal = sequence - dirent::LastPieceFlag;
    } else if (sequence != state.expectedOrdinal) {
        state.reset();
    }
    if (state.expectedOrdinal == 0) return;
    std::u16string piece;
    for (const std::size_t offset : PieceCharOffsets) {
        const char16_t unit = readLe16(entry, offset);
        if (unit == 0) break;
        piece.push_back(unit);
    }
    state.pending.insert(0, piece);
    --state.expectedOrdinal;
}

// The long name when it belongs to this short entry and can be written as a real name;
// otherwise the short name, so that the file still comes out under a name of its own.
std::string chooseName(const LongNameState& state, std::uint8_t checksum,
                       const std::string& shortName) {
    if (state.pending.empty() || state.checksum != checksum) return shortName;
    std::string converted;
    if (!platform::utf16ToOem(state.pending, converted) || converted.size() > MaxLongNameBytes ||
        converted.find('\0') != std::string::npos) {
        return shortName;
    }
    return converted;
}

EntryRecord makeRecord(const std::uint8_t* entry, const std::string& name,
                       const std::string& shortName) {
    EntryRecord record;
    record.attributes = entry[dirent::Attributes];
    setName(record.longName, name);
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

// Reads one step, or one part of a step. After a short read the rest is read again sector by
// sector, so that a bad sector costs only the entries lying in it; `lost` then flags, per entry,
// the ones whose bytes did not all arrive, and stays empty when the whole step did.
void readStep(const VolumeState& volume, std::uint64_t position, std::span<std::uint8_t> step,
              std::uint32_t sectorBytes, std::uint32_t entryCount, std::vector<bool>& lost) {
    lost.clear();
    const auto stepBytes = static_cast<std::uint32_t>(step.size());
    const std::uint32_t got = readAt(volume, position, step.data(), stepBytes);
    if (got >= stepBytes) return;
    // Whole sectors of at least 512 bytes: a block claiming tiny sectors must not turn one
    // failed read into millions.
    const std::uint32_t unit = (511 + sectorBytes) / sectorBytes * sectorBytes;
    // arrivedEnd[s]: the step offset up to which piece s arrived.
    std::vector<std::uint32_t> arrivedEnd((stepBytes + unit - 1) / unit);
    for (std::uint32_t s = 0; s < arrivedEnd.size(); ++s) {
        const std::uint32_t end = std::min(stepBytes, (s + 1) * unit);
        const std::uint32_t from = std::max(got, s * unit);
        arrivedEnd[s] =
            from >= end ? end
                        : from + readAt(volume, position + from, step.data() + from, end - from);
    }
    lost.assign(entryCount, false);
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        const std::uint32_t begin = i * static_cast<std::uint32_t>(DirEntryBytes);
        const std::uint32_t end = begin + static_cast<std::uint32_t>(DirEntryBytes);
        for (std::uint32_t s = begin / unit; s <= (end - 1) / unit; ++s) {
            if (arrivedEnd[s] < std::min(end, (s + 1) * unit)) lost[i] = true;
        }
    }
}

}  // namespace

bool isLongNameEntry(const std::uint8_t* entry) {
    return (entry[dirent::Attributes] & 0x3F) == 0x0F;
}

std::uint8_t shortNameChecksum(const std::uint8_t* entry) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < 11; ++i) {
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + entry[i]);
    }
    return sum;
}

std::string shortNameOf(const std::uint8_t* entry) {
    std::string name(trimmedField(entry + dirent::Name, 8));
    const std::string_view extension = trimmedField(entry + dirent::Extension, 3);
    if (!extension.empty()) {
        name += '.';
        name += extension;
    }
    return name;
}

FileTime fatTimeToFileTime(std::uint16_t date, std::uint16_t time, std::uint8_t hundredths) {
    platform::CalendarTime calendar;
    calendar.year = static_cast<std::uint16_t>(1980 + (date >> 9));
    calendar.month = (date >> 5) & 0x0F;
    calendar.day = date & 0x1F;
    calendar.hour = time >> 11;
    calendar.minute = (time >> 5) & 0x3F;
    calendar.second = static_cast<std::uint16_t>((time & 0x1F) * 2 + hundredths / 100);
    calendar.milliseconds = static_cast<std::uint16_t>(hundredths % 100 * 10);
    FileTime result = 0;
    return platform::calendarToFileTime(calendar, result) ? result : 0;
}

EntryList readDirectory(VolumeState& volume, ClusterNumber cluster) {
    EntryList result;
    if (cluster == 1 || endsChain(cluster)) return result;

    const bool root = cluster == 0;
    const bool fixedRoot = root && volume.fatType != 32;
    if (root && !fixedRoot) cluster = 2;  // the FAT32 root is taken to begin at cluster 2
    int dotCheck = root ? 0 : 2;

    const std::uint32_t sectorBytes = bytesPerSector(volume);
    const std::uint32_t entriesPerStep =
        fixedRoot ? rootEntryCount(volume) : clusterBytes(volume) / DirEntryBytes;
    if (entriesPerStep == 0) return result;
    // Read whole sectors (raw Windows volumes refuse less), parse the step's entries.
    const std::uint32_t stepBytes =
        fixedRoot ? volume.rootDirSectors * sectorBytes : clusterBytes(volume);
    // Reused from call to call: rediscovery lists every orphan once.
    std::vector<std::uint8_t>& step = volume.directoryStep;
    if (step.size() < stepBytes) step.resize(stepBytes);
    std::vector<bool> lost;
    // Most orphans are files, and for a file the first sector already fails the "." and ".."
    // test: while the test runs, a step reads that sector first and the rest only if needed.
    const std::uint32_t headBytes = (511 + sectorBytes) / sectorBytes * sectorBytes;
    const bool canSplit = !fixedRoot && headBytes < stepBytes && headBytes % DirEntryBytes == 0;
    const std::uint64_t entries = fatEntryCount(volume);

    LongNameState longName;
    StepEnd end = StepEnd::Continue;
    beginWalk(volume);
    while (end == StepEnd::Continue) {
        // A chain that comes back to a cluster it passed would list the same entries forever.
        if (!fixedRoot && !firstVisit(volume, cluster)) break;
        const std::uint64_t position =
            fixedRoot ? volume.baseOffset + (std::uint64_t{reservedSectors(volume)} +
                                             std::uint64_t{fatCount(volume)} * volume.fatSectors) *
                                                sectorBytes
                      : clusterPosition(volume, cluster);
        const bool split = canSplit && dotCheck > 0;
        const std::uint32_t headEntries =
            split ? headBytes / static_cast<std::uint32_t>(DirEntryBytes) : entriesPerStep;
        std::uint32_t partStart = 0;  // first entry of the part read last
        readStep(volume, position, std::span(step).first(split ? headBytes : stepBytes),
                 sectorBytes, headEntries, lost);

        for (std::uint32_t i = 0; i < entriesPerStep && end == StepEnd::Continue; ++i) {
            if (i == headEntries) {
                const std::uint32_t restBytes = stepBytes - headBytes;
                readStep(volume, position + headBytes,
                         std::span(step).subspan(headBytes, restBytes), sectorBytes,
                         entriesPerStep - headEntries, lost);
                partStart = headEntries;
            }
            if (!lost.empty() && lost[i - partStart]) {
                // Unread bytes say nothing. Only a directory already known by its "." and ".."
                // goes on past them: anything else would walk its whole chain unread.
                if (dotCheck > 0) end = StepEnd::EndOfDirectory;
                longName.reset();
                continue;
            }
            std::uint8_t* entry = step.data() + std::size_t{i} * DirEntryBytes;
            const std::uint8_t first = entry[0];
            const std::uint8_t attributes = entry[dirent::Attributes];
            if (first == EndOfDirectoryMark) {
                end = StepEnd::EndOfDirectory;
            } else if (first == DeletedMark) {
                longName.reset();
            } else if (isLongNameEntry(entry)) {
                takeLongNamePiece(longName, entry);
            } else if ((attributes & attr::VolumeLabel) != 0) {
                longName.reset();
            } else {
                if (first == EscapedE5Mark) entry[0] = DeletedMark;
                const std::string shortName = shortNameOf(entry);
                const std::string name = chooseName(longName, shortNameChecksum(entry), shortName);
                EntryRecord record = makeRecord(entry, name, shortName);
                if (dotCheck > 0) {
                    const std::string_view want = dotCheck == 2 ? "." : "..";
                    if (nameOf(record.longName) != want || record.attributes != attr::Directory) {
                        end = StepEnd::NotADirectory;
                        break;
                    }
                    --dotCheck;
                }
                result.push_back(record);
                longName.reset();
            }
        }
        if (end != StepEnd::Continue) break;
        if (fixedRoot || cluster >= entries) break;
        cluster = nextCluster(volume, cluster);
        if (cluster < 2 || endsChain(cluster)) break;
    }
    endWalk(volume);
    if (end == StepEnd::NotADirectory) result.clear();
    return result;
}

}  // namespace chkmend
