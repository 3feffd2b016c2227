// Lists one directory of the open volume as entry records. Also the tool's test of whether a
// cluster holds a directory: every directory but the root must begin with "." and "..".
#pragma once

#include <cstdint>
#include <string>

#include "driver/entry_record.h"
#include "fat/volume.h"

namespace chkmend {

inline constexpr std::size_t DirEntryBytes = 32;

// Offsets within one 32-byte directory entry.
namespace dirent {
inline constexpr std::size_t Name = 0;
inline constexpr std::size_t Extension = 8;
inline constexpr std::size_t Attributes = 11;
inline constexpr std::size_t CreationHundredths = 13;
inline constexpr std::size_t CreationTime = 14;
inline constexpr std::size_t CreationDate = 16;
inline constexpr std::size_t LastAccessDate = 18;
inline constexpr std::size_t ClusterHigh = 20;
inline constexpr std::size_t WriteTime = 22;
inline constexpr std::size_t WriteDate = 24;
inline constexpr std::size_t ClusterLow = 26;
inline constexpr std::size_t Size = 28;
// Long-name pieces.
inline constexpr std::size_t Sequence = 0;
inline constexpr std::size_t Checksum = 13;
inline constexpr std::uint8_t LastPieceFlag = 0x40;
}  // namespace dirent

inline constexpr std::uint8_t EndOfDirectoryMark = 0x00;
inline constexpr std::uint8_t DeletedMark = 0xE5;
inline constexpr std::uint8_t EscapedE5Mark = 0x05;

// Cluster 0 asks for the root directory.
EntryList readDirectory(VolumeState& volume, ClusterNumber cluster);

// Pure helpers over the bytes of one 32-byte entry.
bool isLongNameEntry(const std::uint8_t* entry);
std::uint8_t shortNameChecksum(const std::uint8_t* entry);
std::string shortNameOf(const std::uint8_t* entry);
// A FAT date and time as a file time, 0 when they make no valid calendar time.
FileTime fatTimeToFileTime(std::uint16_t date, std::uint16_t time, std::uint8_t hundredths);

}  // namespace chkmend
