// Third phase: running names for the orphans no directory claimed, with an extension sniffed
// from the content of files.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "driver/entry_record.h"
#include "fat/chain.h"
#include "fat/volume.h"

namespace chkmend {

inline constexpr std::uint32_t SniffBytes = 256;

// The extension (with its dot) whose signature starts `content`, or the empty text.
std::string_view extensionForContent(std::span<const std::uint8_t> content);

std::string_view sniffExtension(const VolumeState& volume, ClusterNumber firstCluster);
// The same with a stream whose buffer is kept from file to file.
std::string_view sniffExtension(const VolumeState& volume, ClusterNumber firstCluster,
                                ChainStream& stream);

void nameOrphans(const VolumeState& volume, EntryList& masterList);

}  // namespace chkmend
