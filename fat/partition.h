// Partition tables of a whole disk or disk image: MBR (primary entries, extended and logical
// ones) and GPT. Parsing works on bytes alone; the few further sectors a table names (the GPT
// header and entries, the chain of extended boot records) arrive through a reader callback.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace chkmend {

enum class PartitionScheme : std::uint8_t { None, Mbr, Gpt };

struct Partition {
    // As Linux numbers them: MBR primaries 1-4 by slot, logical ones from 5 in chain order;
    // GPT entries from 1 by their index in the table.
    std::uint32_t number = 0;
    std::uint64_t startByte = 0;
    std::uint64_t lengthBytes = 0;
    std::uint8_t mbrType = 0;  // 0 on GPT
};

struct PartitionTable {
    PartitionScheme scheme = PartitionScheme::None;
    std::uint32_t sectorBytes = 0;      // the unit its block addresses count in
    std::vector<Partition> partitions;  // in table order
};

// Fills `out` with the disk's bytes from `position`; false when not all of them arrived.
using DiskReader = std::function<bool(std::uint64_t position, std::span<std::uint8_t> out)>;

inline constexpr std::size_t MbrBytes = 512;

namespace mbr {
inline constexpr std::size_t FirstEntry = 446;
inline constexpr std::size_t EntryBytes = 16;
inline constexpr std::size_t EntryCount = 4;
// Within one entry.
inline constexpr std::size_t Status = 0;
inline constexpr std::size_t Type = 4;
inline constexpr std::size_t FirstLba = 8;
inline constexpr std::size_t SectorCount = 12;
inline constexpr std::size_t Signature = 510;

inline constexpr std::uint8_t ProtectiveType = 0xEE;  // the whole disk belongs to a GPT
}  // namespace mbr

struct MbrEntry {
    std::uint8_t status = 0;
    std::uint8_t type = 0;
    std::uint32_t firstLba = 0;
    std::uint32_t sectorCount = 0;

    bool used() const { return type != 0 && firstLba != 0 && sectorCount != 0; }
};

// The four entries of a master or extended boot record; nothing when the sector does not carry
// the 55 AA mark, an entry's status is neither 0 nor 0x80 (boot code, not a table) or no entry
// is used.
std::optional<std::array<MbrEntry, mbr::EntryCount>> parseMbr(
    std::span<const std::uint8_t, MbrBytes> sector);

bool isExtendedType(std::uint8_t type);

// CRC-32 as GPT uses it (reflected, polynomial 0xEDB88320).
std::uint32_t crc32(std::span<const std::uint8_t> bytes);

struct GptHeader {
    std::uint64_t entriesLba = 0;
    std::uint32_t entryCount = 0;
    std::uint32_t entryBytes = 0;
};

// The header in the sector at LBA 1; nothing unless its signature, size and CRC check out and
// its entry array is of a size worth reading. The array's own CRC is not asked for: a damaged
// array may still lead to a volume, and every entry is proven by the boot sector it leads to.
std::optional<GptHeader> parseGptHeader(std::span<const std::uint8_t> sector);

// The used entries of a GPT entry array, numbered by index.
std::vector<Partition> parseGptEntries(std::span<const std::uint8_t> entries,
                                       const GptHeader& header, std::uint32_t sectorBytes);

// The partitions that `sector0` describes when its block addresses count `sectorBytes`: a GPT
// when a protective entry leads to a valid header at LBA 1, else the MBR's own entries with the
// logical ones of its extended partition. Scheme None when sector 0 holds no table.
PartitionTable readPartitionTable(std::span<const std::uint8_t, MbrBytes> sector0,
                                  std::uint32_t sectorBytes, const DiskReader& read);

}  // namespace chkmend
