#include "fat/partition.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "fat/byte_reader.h"

namespace chkmend {

namespace {

namespace gpt {
inline constexpr std::size_t Signature = 0;
inline constexpr std::size_t HeaderSize = 12;
inline constexpr std::size_t HeaderCrc = 16;
inline constexpr std::size_t EntriesLba = 72;
inline constexpr std::size_t EntryCount = 80;
inline constexpr std::size_t EntryBytes = 84;
inline constexpr std::size_t MinHeaderBytes = 92;
// Within one entry.
inline constexpr std::size_t TypeGuid = 0;
inline constexpr std::size_t GuidBytes = 16;
inline constexpr std::size_t FirstLba = 32;
inline constexpr std::size_t LastLba = 40;
inline constexpr std::size_t MinEntryBytes = 128;
}  // namespace gpt

constexpr std::uint8_t MbrStatusActive = 0x80;
constexpr std::uint8_t MarkLow = 0x55;
constexpr std::uint8_t MarkHigh = 0xAA;

// Hostile tables must not make us read or list without end: a disk has at most this many
// partitions worth looking at, and a GPT entry array no more than this many bytes.
constexpr std::size_t MaxPartitions = 256;
constexpr std::size_t MaxLogicalPartitions = 64;
constexpr std::uint64_t MaxGptArrayBytes = 1u << 20;
// Block addresses from here up lie beyond any disk; below it, address × sector size fits.
constexpr std::uint64_t MaxLba = std::uint64_t{1} << 48;

constexpr std::uint32_t FirstLogicalNumber = 5;

constexpr std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < table.size(); ++i) {
        std::uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit)
            value = (value >> 1) ^ ((value & 1) != 0 ? 0xEDB88320u : 0);
        table[i] = value;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> CrcTable = makeCrcTable();

MbrEntry entryAt(std::span<const std::uint8_t, MbrBytes> sector, std::size_t index) {
    const std::size_t at = mbr::FirstEntry + index * mbr::EntryBytes;
    return {sector[at + mbr::Status], sector[at + mbr::Type], readLe32(sector, at + mbr::FirstLba),
            readLe32(sector, at + mbr::SectorCount)};
}

Partition partitionAt(std::uint32_t number, std::uint64_t firstLba, std::uint64_t sectors,
                      std::uint32_t sectorBytes, std::uint8_t type) {
    return {number, firstLba * sectorBytes, sectors * sectorBytes, type};
}

// The logical partitions along the chain of extended boot records. Each record's own entry is
// relative to the record, its link to the next one relative to the extended partition. The
// chain may loop or run on: it is bounded by a count and by the records already visited.
void addLogicalPartitions(PartitionTable& table, std::uint32_t extendedLba,
                          const DiskReader& read) {
    std::vector<std::uint64_t> visited;
    std::uint64_t record = extendedLba;
    std::uint32_t number = FirstLogicalNumber;
    while (visited.size() < MaxLogicalPartitions &&
           std::find(visited.begin(), visited.end(), record) == visited.end()) {
        visited.push_back(record);
        std::array<std::uint8_t, MbrBytes> sector{};
        if (!read(record * table.sectorBytes, sector)) return;
        const auto entries = parseMbr(sector);
        if (!entries) return;
        const MbrEntry& own = (*entries)[0];
        if (own.used() && !isExtendedType(own.type)) {
            table.partitions.push_back(partitionAt(number++, record + own.firstLba, own.sectorCount,
                                                   table.sectorBytes, own.type));
        }
        const MbrEntry& link = (*entries)[1];
        if (!link.used() || !isExtendedType(link.type)) return;
        record = std::uint64_t{extendedLba} + link.firstLba;
    }
}

PartitionTable mbrTable(const std::array<MbrEntry, mbr::EntryCount>& entries,
                        std::uint32_t sectorBytes, const DiskReader& read) {
    PartitionTable table{PartitionScheme::Mbr, sectorBytes, {}};
    const MbrEntry* extended = nullptr;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const MbrEntry& entry = entries[i];
        if (!entry.used() || entry.type == mbr::ProtectiveType) continue;
        // An extended partition is a container for logical ones, never a volume itself.
        if (isExtendedType(entry.type)) {
            if (extended == nullptr) extended = &entry;
            continue;
        }
        table.partitions.push_back(partitionAt(static_cast<std::uint32_t>(i + 1), entry.firstLba,
                                               entry.sectorCount, sectorBytes, entry.type));
    }
    if (extended != nullptr) addLogicalPartitions(table, extended->firstLba, read);
    if (table.partitions.empty()) table.scheme = PartitionScheme::None;
    return table;
}

std::optional<PartitionTable> gptTable(std::uint32_t sectorBytes, const DiskReader& read) {
    std::vector<std::uint8_t> sector(sectorBytes);
    if (!read(sectorBytes, sector)) return std::nullopt;
    const std::optional<GptHeader> header = parseGptHeader(sector);
    if (!header) return std::nullopt;
    std::vector<std::uint8_t> entries(std::size_t{header->entryCount} * header->entryBytes);
    if (!read(header->entriesLba * sectorBytes, entries)) return std::nullopt;
    return PartitionTable{PartitionScheme::Gpt, sectorBytes,
                          parseGptEntries(entries, *header, sectorBytes)};
}

}  // namespace

std::optional<std::array<MbrEntry, mbr::EntryCount>> parseMbr(
    std::span<const std::uint8_t, MbrBytes> sector) {
    if (sector[mbr::Signature] != MarkLow || sector[mbr::Signature + 1] != MarkHigh) {
        return std::nullopt;
    }
    std::array<MbrEntry, mbr::EntryCount> entries{};
    bool anyUsed = false;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i] = entryAt(sector, i);
        if (entries[i].status != 0 && entries[i].status != MbrStatusActive) return std::nullopt;
        anyUsed = anyUsed || entries[i].used();
    }
    if (!anyUsed) return std::nullopt;
    return entries;
}

bool isExtendedType(std::uint8_t type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const std::uint8_t byte : bytes) crc = CrcTable[(crc ^ byte) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::optional<GptHeader> parseGptHeader(std::span<const std::uint8_t> sector) {
    if (sector.size() < gpt::MinHeaderBytes ||
        std::memcmp(sector.data() + gpt::Signature, "EFI PART", 8) != 0) {
        return std::nullopt;
    }
    const std::uint32_t headerBytes = readLe32(sector, gpt::HeaderSize);
    if (headerBytes < gpt::MinHeaderBytes || headerBytes > sector.size()) return std::nullopt;
    std::vector<std::uint8_t> copy(sector.begin(), sector.begin() + headerBytes);
    std::fill_n(copy.begin() + gpt::HeaderCrc, 4, 0);
    if (crc32(copy) != readLe32(sector, gpt::HeaderCrc)) return std::nullopt;

    GptHeader header{readLe64(sector, gpt::EntriesLba), readLe32(sector, gpt::EntryCount),
                     readLe32(sector, gpt::EntryBytes)};
    if (header.entryBytes < gpt::MinEntryBytes || !std::has_single_bit(header.entryBytes)) {
        return std::nullopt;
    }
    const std::uint64_t arrayBytes = std::uint64_t{header.entryCount} * header.entryBytes;
    if (header.entryCount == 0 || arrayBytes > MaxGptArrayBytes) return std::nullopt;
    if (header.entriesLba < 2 || header.entriesLba >= MaxLba) return std::nullopt;
    return header;
}

std::vector<Partition> parseGptEntries(std::span<const std::uint8_t> entries,
                                       const GptHeader& header, std::uint32_t sectorBytes) {
    std::vector<Partition> partitions;
    const std::size_t count =
        std::min<std::size_t>(header.entryCount, entries.size() / header.entryBytes);
    for (std::size_t i = 0; i < count && partitions.size() < MaxPartitions; ++i) {
        const std::span<const std::uint8_t> entry =
            entries.subspan(i * header.entryBytes, header.entryBytes);
        const auto type = entry.subspan(gpt::TypeGuid, gpt::GuidBytes);
        if (std::all_of(type.begin(), type.end(), [](std::uint8_t b) { return b == 0; })) continue;
        const std::uint64_t first = readLe64(entry, gpt::FirstLba);
        const std::uint64_t last = readLe64(entry, gpt::LastLba);
        if (first == 0 || last < first || last >= MaxLba) continue;
        partitions.push_back(partitionAt(static_cast<std::uint32_t>(i + 1), first, last - first + 1,
                                         sectorBytes, 0));
    }
    return partitions;
}

PartitionTable readPartitionTable(std::span<const std::uint8_t, MbrBytes> sector0,
                                  std::uint32_t sectorBytes, const DiskReader& read) {
    const auto entries = parseMbr(sector0);
    if (!entries) return {};
    const bool protective = std::any_of(entries->begin(), entries->end(), [](const MbrEntry& e) {
        return e.used() && e.type == mbr::ProtectiveType;
    });
    if (protective) {
        if (std::optional<PartitionTable> table = gptTable(sectorBytes, read)) return *table;
    }
    return mbrTable(*entries, sectorBytes, read);
}

}  // namespace chkmend
