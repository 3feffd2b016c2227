// Lists one directory of the open volume as entry records. Also the tool's test of whether a
// cluster holds a directory: every directory but the root must begin with "." and "..".
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "driver/entry_record.h"
#include "fat/chain.h"
#include "fat/layout.h"
#include "fat/volume.h"

namespace chkmend {

// What listing needs from one directory to the next: the marks of the chain walk, the buffer
// of one step and which of its entries a failed read lost. Whoever lists many directories keeps
// one.
struct DirectoryScratch {
    WalkMarks marks;
    ReadBuffer step;
    std::vector<bool> lost;
};

// Cluster 0 asks for the root directory.
EntryList readDirectory(const VolumeState& volume, ClusterNumber cluster);
EntryList readDirectory(const VolumeState& volume, ClusterNumber cluster,
                        DirectoryScratch& scratch);

// Whether the first bytes of a chain already show that readDirectory would find no directory
// there: the first short entry is not ".", ".." does not follow, or the entries end before them.
// False when the bytes leave it open. Unread bytes must be zeros, as readSalvaging leaves them.
bool headRulesOutDirectory(std::span<const std::uint8_t> head);

// Pure helpers over the bytes of one 32-byte entry.
using DirEntry = std::span<const std::uint8_t, DirEntryBytes>;

enum class EntryKind { EndOfDirectory, Deleted, LongNamePiece, VolumeLabel, Short };
EntryKind classifyEntry(DirEntry entry);

bool isLongNameEntry(DirEntry entry);
// A directory's entry by its attribute bits: the directory bit without the volume-label bit.
// Systems set more bits on "." and ".." than the directory bit alone (macOS writes hidden ones).
bool isDirectoryEntry(std::uint32_t attributes);
std::uint8_t shortNameChecksum(DirEntry entry);
std::string shortNameOf(DirEntry entry);

}  // namespace chkmend
