// The on-disk layout of a FAT volume in one place: boot-sector fields, directory-entry fields
// and flags, date and time bit fields, allocation-table values. Offsets count bytes from the
// start of their structure; every field is little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "driver/entry_record.h"

namespace chkmend {

// The variant, by the width of one table entry in bits.
enum class FatType : std::uint8_t { Fat12 = 12, Fat16 = 16, Fat32 = 32 };

constexpr std::uint32_t entryBits(FatType type) {
    return static_cast<std::uint32_t>(type);
}

// Offsets of the boot-sector fields.
namespace bpb {
inline constexpr std::size_t JumpByte = 0;
inline constexpr std::size_t OemName = 3;
inline constexpr std::size_t BytesPerSector = 11;
inline constexpr std::size_t SectorsPerCluster = 13;
inline constexpr std::size_t ReservedSectors = 14;
inline constexpr std::size_t FatCount = 16;
inline constexpr std::size_t RootEntryCount = 17;
inline constexpr std::size_t TotalSectors16 = 19;
inline constexpr std::size_t Media = 21;
inline constexpr std::size_t FatSectors16 = 22;
inline constexpr std::size_t TotalSectors32 = 32;
inline constexpr std::size_t FatSectors32 = 36;
inline constexpr std::size_t RootCluster32 = 44;
// FAT12 and FAT16 only; FAT32 keeps its extended block further on.
inline constexpr std::size_t ExtendedSignature = 38;
inline constexpr std::size_t TypeLabel = 54;
inline constexpr std::size_t Signature = 510;
}  // namespace bpb

inline constexpr std::size_t BootSectorBytes = 512;

// Cluster counts from which a volume is FAT16, and FAT32.
inline constexpr std::uint32_t Fat12ClusterLimit = 4085;
inline constexpr std::uint32_t Fat16ClusterLimit = 65525;

// Cluster values in the FAT32 numbering, whatever the variant.
inline constexpr ClusterNumber BadCluster = 0x0FFFFFF7;
inline constexpr ClusterNumber EndOfChain = 0x0FFFFFF8;
inline constexpr ClusterNumber FirstChainEnd = 0x0FFFFFF0;  // this value and above end a chain

// Allocation-table entries as each variant stores them.
namespace table {
inline constexpr std::uint32_t Fat12Mask = 0x0FFF;
inline constexpr std::uint32_t Fat16Mask = 0xFFFF;
inline constexpr std::uint32_t Fat32Mask = 0x0FFFFFFF;  // the top four bits are not the entry's
// From these values up, a FAT12 or FAT16 entry stands for the FAT32 value with the high bits set.
inline constexpr std::uint32_t Fat12FirstWidened = 0x0FF7;
inline constexpr std::uint32_t Fat16FirstWidened = 0xFFF0;
}  // namespace table

inline constexpr std::uint32_t DirEntryBytes = 32;

// Offsets within one 32-byte directory entry.
namespace dirent {
inline constexpr std::size_t Name = 0;
inline constexpr std::size_t NameBytes = 11;  // base and extension, blank-padded
inline constexpr std::size_t BaseBytes = 8;
inline constexpr std::size_t Extension = 8;
inline constexpr std::size_t ExtensionBytes = 3;
inline constexpr std::size_t Attributes = 11;
// Windows NT and Linux store a lower-case 8.3 name in upper case with these flags.
inline constexpr std::size_t CaseFlags = 12;
inline constexpr std::uint8_t LowerCaseBase = 0x08;
inline constexpr std::uint8_t LowerCaseExtension = 0x10;
inline constexpr std::size_t CreationHundredths = 13;
inline constexpr std::size_t CreationTime = 14;
inline constexpr std::size_t CreationDate = 16;
inline constexpr std::size_t LastAccessDate = 18;
inline constexpr std::size_t ClusterHigh = 20;
inline constexpr std::size_t WriteTime = 22;
inline constexpr std::size_t WriteDate = 24;
inline constexpr std::size_t ClusterLow = 26;
inline constexpr std::size_t Size = 28;

// Marks in the first byte of the name.
inline constexpr std::uint8_t EndOfDirectoryMark = 0x00;
inline constexpr std::uint8_t DeletedMark = 0xE5;
inline constexpr std::uint8_t EscapedE5Mark = 0x05;  // a name that really begins with 0xE5

// Long-name pieces: 13 UTF-16 units each, spread over three runs of the entry.
inline constexpr std::size_t Sequence = 0;
inline constexpr std::size_t Checksum = 13;
inline constexpr std::uint8_t LastPieceFlag = 0x40;
inline constexpr std::size_t CharsPerPiece = 13;
inline constexpr std::array<std::size_t, CharsPerPiece> PieceCharOffsets = {
    1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
// A piece carries exactly these attribute bits among those of the mask.
inline constexpr std::uint32_t LongNameAttributes =
    attr::ReadOnly | attr::Hidden | attr::System | attr::VolumeLabel;
inline constexpr std::uint32_t LongNameAttributeMask =
    LongNameAttributes | attr::Directory | attr::Archive;
}  // namespace dirent

// Bit fields of the date and time words.
namespace fattime {
inline constexpr int BaseYear = 1980;
inline constexpr unsigned YearShift = 9;
inline constexpr unsigned MonthShift = 5;
inline constexpr unsigned MonthMask = 0x0F;
inline constexpr unsigned DayMask = 0x1F;
inline constexpr unsigned HourShift = 11;
inline constexpr unsigned MinuteShift = 5;
inline constexpr unsigned MinuteMask = 0x3F;
inline constexpr unsigned TwoSecondsMask = 0x1F;  // seconds are stored halved
}  // namespace fattime

}  // namespace chkmend
