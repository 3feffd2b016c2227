// Second phase: finds the orphans that are directories and gives every orphan they list its
// own entry back, hung under the directory that lists it.
#pragma once

#include <cstddef>

#include "driver/entry_record.h"
#include "fat/volume.h"
#include "recovery/naming.h"

namespace chkmend {

// Empty files that a rediscovered directory lists are appended to the list under it, and so is
// everything below a folder the checker filed as a folder that no orphan stands for.
void rediscoverDirectories(const VolumeState& volume, EntryList& masterList);
// The same, noting for naming the extension of each orphan whose head it read, as `sniffing`
// names it.
void rediscoverDirectories(const VolumeState& volume, EntryList& masterList, Sniffing sniffing,
                           ExtensionNotes* notes);

// True when `record` is `directory` or one of its ancestors through parent links.
bool isSelfOrAncestor(const EntryList& list, std::size_t record, std::size_t directory);

}  // namespace chkmend
