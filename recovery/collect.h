// First phase: gathers into the master list the orphans every disk checker leaves: the FOUND
// folders of Windows' checker, the root files of DOS CHKDSK and of fsck.fat, and LOST.DIR of the
// BSD checker that macOS and Android use.
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

// Appends the orphans folder by folder in root order, then the root FILEnnnn.CHK files, the
// root FSCKnnnn.REC files and the entries of LOST.DIR. Returns one report per FOUND folder, and
// one per other source that holds orphans.
std::vector<FoundFolderReport> collectOrphans(const VolumeState& volume, EntryList& masterList);

bool isFoundFolder(const EntryRecord& record);

}  // namespace chkmend
