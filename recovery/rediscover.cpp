#include "recovery/rediscover.h"

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "fat/directory.h"

namespace chkmend {

namespace {

// First cluster -> first record in list order that has it.
using ClusterIndex = std::unordered_map<ClusterNumber, std::size_t>;

// Hangs what directory `d` lists under it: the orphan of the same first cluster takes the
// listed entry, or, for an empty file, the entry joins the list. In a `reachable` directory an
// entry that no record stands for joins the list too.
void adoptListed(EntryList& masterList, ClusterIndex& firstWithCluster, std::size_t d,
                 const EntryRecord& listed, bool reachable) {
    if (listed.firstCluster == 0) {
        // An empty file owns no cluster, so no orphan stands for it: its entry is all there
        // is, and it joins the list here or is lost. Records added at the end keep every
        // position, and hence every parent link, valid.
        if (!isDirectory(listed) && listed.sizeLow == 0) {
            masterList.push_back(listed);
            masterList.back().parent = d;
        }
        return;
    }
    const auto found = firstWithCluster.find(listed.firstCluster);
    if (found == firstWithCluster.end()) {
        // Only orphans were cut loose; what a reachable directory lists was not, and exists
        // nowhere else. Its cluster is known from now on, so that it joins once.
        if (reachable) {
            firstWithCluster.emplace(listed.firstCluster, masterList.size());
            masterList.push_back(listed);
            masterList.back().parent = d;
        }
        return;
    }
    const std::size_t r = found->second;
    // A damaged volume can make a directory name itself or an ancestor; linking it would make
    // a cycle, so that record keeps what it had.
    if (isSelfOrAncestor(masterList, r, d)) return;
    masterList[r] = listed;
    masterList[r].parent = d;
}

}  // namespace

bool isSelfOrAncestor(const EntryList& list, std::size_t record, std::size_t directory) {
    std::size_t at = directory;
    // Bounded by the list's size even if links were ever to loop.
    for (std::size_t steps = 0; at != NoParent && steps <= list.size(); ++steps) {
        if (at == record) return true;
        at = list[at].parent;
    }
    return false;
}

void rediscoverDirectories(const VolumeState& volume, EntryList& masterList) {
    // A replacement never changes a record's first cluster, so the index stays right for the
    // whole phase.
    ClusterIndex firstWithCluster;
    firstWithCluster.reserve(masterList.size());
    for (std::size_t i = 0; i < masterList.size(); ++i) {
        if (masterList[i].firstCluster != 0)
            firstWithCluster.emplace(masterList[i].firstCluster, i);
    }

    // A lost directory the checker recognised it filed as a folder (DIR0000.CHK): what it lists
    // hangs below it, reachable, and was not collected. So were the folders appended below it.
    const std::size_t collected = masterList.size();
    std::vector<bool> filedAsFolder(collected);
    for (std::size_t i = 0; i < collected; ++i) filedAsFolder[i] = isDirectory(masterList[i]);

    DirectoryScratch scratch;
    // The list grows by appended entries, each of a cluster not seen before or an empty file of
    // a listing read once; the walk ends with them.
    for (std::size_t d = 0; d < masterList.size(); ++d) {
        // Cluster 0 means the root to the reader; an empty file is not the root directory.
        if (masterList[d].firstCluster == 0) continue;
        const bool reachable = d >= collected || filedAsFolder[d];
        // An appended entry says what it is; only orphans need the test.
        if (d >= collected && !isDirectory(masterList[d])) continue;
        const EntryList listing = readDirectory(volume, masterList[d].firstCluster, scratch);
        if (listing.size() < 2) continue;
        masterList[d].attributes |= attr::Directory;
        for (std::size_t l = 2; l < listing.size(); ++l) {
            adoptListed(masterList, firstWithCluster, d, listing[l], reachable);
        }
    }
}

}  // namespace chkmend
