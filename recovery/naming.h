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

// Which table names anonymous files: the eight classic signatures, or, when the user asks for
// it, the richer table of recovery/identify.h.
enum class Sniffing { EightSignatures, AllTypes };

// The extension (with its dot) whose signature starts `content`, or the empty text.
std::string_view extensionForContent(std::span<const std::uint8_t> content);

std::string_view sniffExtension(const VolumeState& volume, ClusterNumber firstCluster);
// The same with a stream whose buffer is kept from file to file.
std::string_view sniffExtension(const VolumeState& volume, ClusterNumber firstCluster,
                                ChainStream& stream);
// The richer table's extension, reading the head of the chain and, for the rows that need it,
// further bytes along it.
std::string_view identifyExtension(const VolumeState& volume, ClusterNumber firstCluster,
                                   ChainStream& stream);

void nameOrphans(const VolumeState& volume, EntryList& masterList,
                 Sniffing sniffing = Sniffing::EightSignatures);

}  // namespace chkmend
