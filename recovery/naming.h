// Third phase: running names for the orphans no directory claimed, with an extension sniffed
// from the content of files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

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

// The bytes of the first cluster a head read takes, so that one read serves both the directory
// test and the table in use: whole sectors, never past the first cluster.
std::uint32_t headReadBytes(const VolumeState& volume, Sniffing sniffing);

// The extension for the chain from `firstCluster` whose first bytes are `head` (as
// headReadBytes says, or all of the first cluster when that is shorter), reading only what the
// head does not hold. Nothing when the head cannot stand in for the chain's start.
std::optional<std::string_view> extensionFromHead(const VolumeState& volume,
                                                  ClusterNumber firstCluster,
                                                  std::span<const std::uint8_t> head,
                                                  Sniffing sniffing, ChainStream& stream);

// Extensions noted for records while their heads were in hand, so that naming reads no head
// twice: per record, a position in `extensions`, or NotNoted.
struct ExtensionNotes {
    Sniffing sniffing = Sniffing::EightSignatures;
    std::vector<std::uint8_t> byRecord;
    std::vector<std::string_view> extensions;
};
inline constexpr std::uint8_t NotNoted = 0xFF;
void noteExtension(ExtensionNotes& notes, std::size_t record, std::string_view extension);

void nameOrphans(const VolumeState& volume, EntryList& masterList,
                 Sniffing sniffing = Sniffing::EightSignatures,
                 const ExtensionNotes* notes = nullptr);

}  // namespace chkmend
