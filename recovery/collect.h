// First phase: gathers every orphan of every FOUND folder at the root into the master list.
#pragma once

#include <string>
#include <vector>

#include "driver/entry_record.h"
#include "fat/volume.h"

namespace chkmend {

struct FoundFolderReport {
    std::string name;
    int orphanCount = 0;
};

// Appends the orphans folder by folder, in root order; returns one report per FOUND folder.
std::vector<FoundFolderReport> collectOrphans(const VolumeState& volume, EntryList& masterList);

bool isFoundFolder(const EntryRecord& record);

}  // namespace chkmend
