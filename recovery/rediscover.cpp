#include "recovery/rediscover.h"

#include <algorithm>
#include <cstddef>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fat/chain.h"
#include "fat/directory.h"

namespace chkmend {

namespace {

// The heads of orphans close together are read in windows of up to this much.
constexpr std::uint64_t HeadWindowBytes = 4u << 20;

// First cluster -> first record in list order that has it: the collected orphans sorted once,
// and the few entries a reachable directory adds on the way.
struct ClusterIndex {
    std::vector<std::pair<ClusterNumber, EntryIndex>> collected;
    std::unordered_map<ClusterNumber, EntryIndex> added;

    std::size_t find(ClusterNumber cluster) const {
        const auto at = std::lower_bound(collected.begin(), collected.end(),
                                         std::pair<ClusterNumber, EntryIndex>{cluster, 0});
        if (at != collected.end() && at->first == cluster) return at->second;
        const auto more = added.find(cluster);
        return more == added.end() ? NoParent : more->second;
    }
};

ClusterIndex indexOrphans(const EntryList& masterList) {
    ClusterIndex index;
    for (std::size_t i = 0; i < masterList.size(); ++i) {
        const ClusterNumber cluster = masterList[i].firstCluster;
        if (cluster != 0) index.collected.emplace_back(cluster, static_cast<EntryIndex>(i));
    }
    std::sort(index.collected.begin(), index.collected.end());
    return index;
}

// What the head of each collected orphan showed.
enum class Head : std::uint8_t { Unread, NoDirectory, Open };

struct HeadPass {
    const VolumeState& volume;
    Sniffing sniffing;
    ExtensionNotes* notes;
    std::vector<Head>& heads;
    ChainStream stream;  // its window holds the heads in hand, for naming's further reads too
};

// The heads of a run of orphans close together on the volume, read in one request.
void readWindow(HeadPass& pass, std::span<const std::pair<ClusterNumber, EntryIndex>> run,
                std::uint32_t headBytes) {
    const std::uint64_t start = clusterPosition(pass.volume, run.front().first);
    const std::uint64_t end = clusterPosition(pass.volume, run.back().first) + headBytes;
    ReadWindow& window = pass.stream.window;
    fillWindow(pass.volume, window, start, end);
    // A bad sector in a gap must not cost retries: then each head is salvaged by itself.
    const bool whole = window.end == end;
    for (const auto& [cluster, record] : run) {
        const auto offset = static_cast<std::size_t>(clusterPosition(pass.volume, cluster) - start);
        const std::span<std::uint8_t> head = std::span(window.bytes).subspan(offset, headBytes);
        if (!whole) readSalvaging(pass.volume, start + offset, head);
        pass.heads[record] = headRulesOutDirectory(head) ? Head::NoDirectory : Head::Open;
        if (pass.notes == nullptr || pass.heads[record] == Head::Open) continue;
        const std::optional<std::string_view> extension =
            extensionFromHead(pass.volume, cluster, head, pass.sniffing, pass.stream);
        if (extension) noteExtension(*pass.notes, record, *extension);
    }
}

using SortedHeads = std::span<const std::pair<ClusterNumber, EntryIndex>>;

// The orphans from `begin` whose heads one window holds: [begin, returned). Clusters that hold no
// data are passed over: readDirectory refuses them.
std::pair<std::size_t, std::size_t> nextWindow(const VolumeState& volume, SortedHeads sorted,
                                               std::size_t begin, std::uint32_t headBytes) {
    while (begin < sorted.size() && (sorted[begin].first < 2 || endsChain(sorted[begin].first))) {
        ++begin;
    }
    if (begin == sorted.size()) return {begin, begin};
    const std::uint64_t start = clusterPosition(volume, sorted[begin].first);
    std::uint64_t reach = start + headBytes;
    std::size_t end = begin + 1;
    while (end < sorted.size() && !endsChain(sorted[end].first)) {
        const std::uint64_t next = clusterPosition(volume, sorted[end].first);
        if (next > reach + MergeGapBytes || next + headBytes - start > HeadWindowBytes) break;
        reach = next + headBytes;
        ++end;
    }
    return {begin, end};
}

// Reads the head of every collected orphan once, in volume order, gaps of up to MergeGapBytes
// read through: the directory test and the naming both come from it. The system hears of the
// windows up to ReadAheadBytes ahead, so that the card is read while the heads in hand are
// looked at.
void readHeads(HeadPass& pass, const ClusterIndex& index) {
    const std::uint32_t headBytes = headReadBytes(pass.volume, pass.sniffing);
    if (headBytes == 0) return;
    const SortedHeads sorted = index.collected;
    std::size_t hinted = 0;
    for (auto window = nextWindow(pass.volume, sorted, 0, headBytes); window.first < sorted.size();
         window = nextWindow(pass.volume, sorted, window.second, headBytes)) {
        const std::uint64_t start = clusterPosition(pass.volume, sorted[window.first].first);
        for (hinted = std::max(hinted, window.second); hinted < sorted.size();) {
            const auto ahead = nextWindow(pass.volume, sorted, hinted, headBytes);
            if (ahead.first == ahead.second) break;
            const std::uint64_t from = clusterPosition(pass.volume, sorted[ahead.first].first);
            if (from > start + ReadAheadBytes) break;
            const std::uint64_t to = clusterPosition(pass.volume, sorted[ahead.second - 1].first);
            adviseReading(pass.volume, from, to + headBytes - from);
            hinted = ahead.second;
        }
        readWindow(pass, sorted.subspan(window.first, window.second - window.first), headBytes);
    }
}

// Hangs what directory `d` lists under it: the orphan of the same first cluster takes the
// listed entry, or, for an empty file, the entry joins the list. In a `reachable` directory an
// entry that no record stands for joins the list too.
void adoptListed(EntryList& masterList, ClusterIndex& index, std::size_t d,
                 const EntryRecord& listed, bool reachable) {
    const auto parent = static_cast<EntryIndex>(d);
    if (listed.firstCluster == 0) {
        // An empty file owns no cluster, so no orphan stands for it: its entry is all there
        // is, and it joins the list here or is lost. Records added at the end keep every
        // position, and hence every parent link, valid.
        if (!isDirectory(listed) && listed.sizeLow == 0 && masterList.size() < MaxEntries) {
            masterList.push_back(listed);
            masterList.back().parent = parent;
        }
        return;
    }
    const std::size_t r = index.find(listed.firstCluster);
    if (r == NoParent) {
        // Only orphans were cut loose; what a reachable directory lists was not, and exists
        // nowhere else. Its cluster is known from now on, so that it joins once.
        if (reachable && masterList.size() < MaxEntries) {
            index.added.emplace(listed.firstCluster, static_cast<EntryIndex>(masterList.size()));
            masterList.push_back(listed);
            masterList.back().parent = parent;
        }
        return;
    }
    // A damaged volume can make a directory name itself or an ancestor; linking it would make
    // a cycle, so that record keeps what it had.
    if (isSelfOrAncestor(masterList, r, d)) return;
    masterList[r] = listed;
    masterList[r].parent = parent;
}

// Whether record `d` may be a directory whose listing is still to be read. `heads` covers the
// collected orphans; the records after them were appended from listings.
bool worthListing(EntryList& masterList, const ClusterIndex& index, const std::vector<Head>& heads,
                  std::size_t d) {
    const ClusterNumber cluster = masterList[d].firstCluster;
    // Cluster 0 means the root to the reader; an empty file is not the root directory.
    if (cluster == 0) return false;
    // An appended entry says what it is; only orphans need the test.
    if (d >= heads.size()) return isDirectory(masterList[d]);
    if (heads[d] == Head::NoDirectory) return false;
    // Orphans that share a first cluster share one listing: each directory chain is read once,
    // and what it lists hangs under the first of them.
    const std::size_t first = index.find(cluster);
    if (first == d || first >= heads.size()) return true;
    if (heads[first] == Head::Open && isDirectory(masterList[first])) {
        masterList[d].attributes |= attr::Directory;
    }
    return false;
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
    rediscoverDirectories(volume, masterList, Sniffing::EightSignatures, nullptr);
}

void rediscoverDirectories(const VolumeState& volume, EntryList& masterList, Sniffing sniffing,
                           ExtensionNotes* notes) {
    // A replacement never changes a record's first cluster, so the index stays right for the
    // whole phase.
    ClusterIndex index = indexOrphans(masterList);
    const std::size_t collected = masterList.size();
    std::vector<Head> heads(collected, Head::Unread);
    if (notes != nullptr) {
        notes->sniffing = sniffing;
        notes->byRecord.assign(collected, NotNoted);
    }
    {
        HeadPass pass{volume, sniffing, notes, heads, {}};
        readHeads(pass, index);
    }

    // A lost directory the checker recognised it filed as a folder (DIR0000.CHK): what it lists
    // hangs below it, reachable, and was not collected. So were the folders appended below it.
    std::vector<bool> filedAsFolder(collected);
    for (std::size_t i = 0; i < collected; ++i) filedAsFolder[i] = isDirectory(masterList[i]);

    DirectoryScratch scratch;
    // The list grows by appended entries, each of a cluster not seen before or an empty file of
    // a listing read once; the walk ends with them.
    for (std::size_t d = 0; d < masterList.size(); ++d) {
        if (!worthListing(masterList, index, heads, d)) continue;
        const ClusterNumber cluster = masterList[d].firstCluster;
        const bool reachable = d >= collected || filedAsFolder[d];
        const EntryList listing = readDirectory(volume, cluster, scratch);
        if (listing.size() < 2) {
            if (d < collected) heads[d] = Head::NoDirectory;
            continue;
        }
        masterList[d].attributes |= attr::Directory;
        for (std::size_t l = 2; l < listing.size(); ++l) {
            adoptListed(masterList, index, d, listing[l], reachable);
        }
    }
}

}  // namespace chkmend
