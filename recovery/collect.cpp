#include "recovery/collect.h"

#include <string>
#include <string_view>
#include <utility>

#include "fat/directory.h"

namespace chkmend {

bool isFoundFolder(const EntryRecord& record) {
    return isDirectory(record) && nameOf(record.longName).starts_with("FOUND.");
}

std::vector<FoundFolderReport> collectOrphans(const VolumeState& volume, EntryList& masterList) {
    std::vector<FoundFolderReport> reports;
    DirectoryScratch scratch;
    const EntryList rootListing = readDirectory(volume, 0, scratch);
    for (const EntryRecord& folder : rootListing) {
        if (!isFoundFolder(folder)) continue;
        FoundFolderReport report{std::string(nameOf(folder.longName)), 0};
        // Cluster 0 would list the root itself and collect the FOUND folders as orphans.
        if (folder.firstCluster != 0) {
            EntryList listing = readDirectory(volume, folder.firstCluster, scratch);
            if (listing.size() >= 2 && nameOf(listing[0].longName) == "." &&
                nameOf(listing[1].longName) == "..") {
                listing.erase(listing.begin(), listing.begin() + 2);
            }
            masterList.insert(masterList.end(), listing.begin(), listing.end());
            report.orphanCount = static_cast<int>(listing.size());
        }
        reports.push_back(std::move(report));
    }
    return reports;
}

}  // namespace chkmend
