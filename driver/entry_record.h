// One recovered file or folder, and the ordered list that carries records between the phases.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace chkmend {

using FileTime = platform::FileTime;
using ClusterNumber = std::uint32_t;

// FAT attribute bits; the platform's file attribute flags have the same values.
namespace attr {
inline constexpr std::uint32_t ReadOnly = 0x01;
inline constexpr std::uint32_t Hidden = 0x02;
inline constexpr std::uint32_t System = 0x04;
inline constexpr std::uint32_t VolumeLabel = 0x08;
inline constexpr std::uint32_t Directory = 0x10;
inline constexpr std::uint32_t Archive = 0x20;
}  // namespace attr

inline constexpr std::size_t NoParent = std::numeric_limits<std::size_t>::max();

struct EntryRecord {
    std::uint32_t attributes = 0;
    FileTime creationTime = 0;
    FileTime lastAccessTime = 0;
    FileTime lastWriteTime = 0;
    std::uint32_t sizeHigh = 0;
    std::uint32_t sizeLow = 0;
    std::uint32_t reserved0 = 0;
    std::uint32_t reserved1 = 0;
    // Names are UTF-8 text. The long name is the one the entry is written under; the 8.3 name
    // ("NAME.EXT", case flags applied) stands in where a platform cannot hold the long one.
    std::string longName;
    std::string shortName;
    ClusterNumber firstCluster = 0;
    // Position in the masterList of the directory that holds this record in the rebuilt tree.
    // A position, not a pointer, so that whole-record copies carry it unchanged.
    std::size_t parent = NoParent;
};

using EntryList = std::vector<EntryRecord>;

inline bool hasParent(const EntryRecord& record) {
    return record.parent != NoParent;
}
inline bool isDirectory(const EntryRecord& record) {
    return (record.attributes & attr::Directory) != 0;
}

inline std::string_view nameOf(const std::string& name) {
    return name;
}

inline void setName(std::string& name, std::string_view text) {
    name.assign(text);
}

}  // namespace chkmend
