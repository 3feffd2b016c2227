#include "recovery/collect.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

#include "fat/directory.h"

namespace chkmend {

namespace {

// Lost chains that a checker saved as files in the root itself, named as it names them.
struct RootFileKind {
    std::string_view stem;
    std::string_view extension;
    std::string_view label;
};
constexpr std::array<RootFileKind, 2> RootFileKinds = {{
    {"FILE", ".CHK", "root FILEnnnn.CHK"},  // DOS CHKDSK, Windows 9x ScanDisk
    {"FSCK", ".REC", "root FSCKnnnn.REC"},  // dosfstools fsck.fat -f
}};
constexpr std::size_t NameDigits = 4;

// The BSD checker of macOS and Android reconnects lost chains into this root folder.
constexpr std::string_view LostDirName = "LOST.DIR";

bool isNumberedName(std::string_view name, const RootFileKind& kind) {
    if (name.size() != kind.stem.size() + NameDigits + kind.extension.size() ||
        !name.starts_with(kind.stem) || !name.ends_with(kind.extension)) {
        return false;
    }
    const std::string_view digits = name.substr(kind.stem.size(), NameDigits);
    return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Appends a folder's entries but its own "." and ".."; how many were appended.
int collectFolder(const VolumeState& volume, const EntryRecord& folder, DirectoryScratch& scratch,
                  EntryList& masterList) {
    // Cluster 0 would list the root itself and collect the FOUND folders as orphans.
    if (folder.firstCluster == 0) return 0;
    EntryList listing = readDirectory(volume, folder.firstCluster, scratch);
    if (listing.size() >= 2 && nameOf(listing[0].longName) == "." &&
        nameOf(listing[1].longName) == "..") {
        listing.erase(listing.begin(), listing.begin() + 2);
    }
    const std::size_t room = MaxEntries - std::min(masterList.size(), MaxEntries);
    const std::size_t taken = std::min(listing.size(), room);
    masterList.insert(
        masterList.end(), std::make_move_iterator(listing.begin()),
        std::make_move_iterator(listing.begin() + static_cast<std::ptrdiff_t>(taken)));
    return static_cast<int>(taken);
}

}  // namespace

bool isFoundFolder(const EntryRecord& record) {
    return isDirectory(record) && nameOf(record.longName).starts_with("FOUND.");
}

std::vector<FoundFolderReport> collectOrphans(const VolumeState& volume, EntryList& masterList) {
    std::vector<FoundFolderReport> reports;
    DirectoryScratch scratch;
    const EntryList rootListing = readDirectory(volume, 0, scratch);
    for (const EntryRecord& folder : rootListing) {
        if (!isFoundFolder(folder)) continue;
        const int count = collectFolder(volume, folder, scratch, masterList);
        reports.push_back({std::string(nameOf(folder.longName)), count});
    }
    // The other checkers' leftovers come after, so that a volume with FOUND folders alone reads
    // as it always did.
    for (const RootFileKind& kind : RootFileKinds) {
        int count = 0;
        for (const EntryRecord& record : rootListing) {
            if (!isNumberedName(nameOf(record.longName), kind) || masterList.size() >= MaxEntries) {
                continue;
            }
            masterList.push_back(record);
            ++count;
        }
        if (count > 0) reports.push_back({std::string(kind.label), count});
    }
    // Android keeps an empty LOST.DIR on every card: it says nothing until it holds orphans.
    const auto lost = std::find_if(rootListing.begin(), rootListing.end(), [](const auto& r) {
        return isDirectory(r) && nameOf(r.longName) == LostDirName;
    });
    const int lostCount =
        lost == rootListing.end() ? 0 : collectFolder(volume, *lost, scratch, masterList);
    if (lostCount > 0) reports.push_back({std::string(LostDirName), lostCount});
    return reports;
}

}  // namespace chkmend
