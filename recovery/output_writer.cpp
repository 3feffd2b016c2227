#include "recovery/output_writer.h"

#include <unordered_set>
#include <utility>
#include <vector>

#include "fat/chain.h"
#include "recovery/safe_name.h"

namespace chkmend {

namespace {

// No platform creates a path longer than this; an entry deeper than it cannot be written.
constexpr std::size_t MaxRelativePathBytes = 32000;

// Attribute bits a created file or folder may carry: read-only, hidden, system, archive.
// Stray bits from a damaged entry must not make the platform refuse the file.
constexpr std::uint32_t WritableAttributes =
    attr::ReadOnly | attr::Hidden | attr::System | attr::Archive;

// Paths of the entries that other entries name as parent, so that each path is built from its
// parent's instead of walking the whole chain again.
struct PathMemo {
    std::vector<std::string> paths;
    std::vector<bool> known;
    std::vector<bool> isParent;
};

PathMemo makeMemo(const EntryList& list) {
    PathMemo memo{std::vector<std::string>(list.size()), std::vector<bool>(list.size()),
                  std::vector<bool>(list.size())};
    for (const EntryRecord& record : list) {
        if (hasParent(record) && record.parent < list.size()) memo.isParent[record.parent] = true;
    }
    return memo;
}

// Empty when the path is too long to create anywhere.
std::string relativePath(const EntryList& list, std::size_t index, PathMemo* memo) {
    std::vector<std::size_t> chain{index};
    std::size_t above = list[index].parent;
    while (above < list.size() && !(memo != nullptr && memo->known[above]) &&
           chain.size() <= list.size()) {
        chain.push_back(above);
        above = list[above].parent;
    }
    std::string path;
    // More links than records means they loop: the walk is cut and starts a new top there.
    if (memo != nullptr && above < list.size() && chain.size() <= list.size()) {
        path = memo->paths[above];
    }
    for (auto at = chain.rbegin(); at != chain.rend(); ++at) {
        if (!path.empty()) path += '\\';
        path += safeName(nameOf(list[*at].longName));
        if (path.size() > MaxRelativePathBytes) return {};
        if (memo != nullptr && memo->isParent[*at] && !memo->known[*at]) {
            memo->paths[*at] = path;
            memo->known[*at] = true;
        }
    }
    return path;
}

// Creates the folders that lead to `outputPath`, each once per run.
void createLeadingFolders(const std::string& outputPath, std::unordered_set<std::string>& made) {
    const std::size_t last = outputPath.rfind('\\');
    if (last == std::string::npos || made.contains(outputPath.substr(0, last))) return;
    for (std::size_t at = outputPath.find('\\'); at != std::string::npos;
         at = outputPath.find('\\', at + 1)) {
        std::string folder = outputPath.substr(0, at);
        if (made.insert(folder).second) platform::createFolder(folder);
    }
}

// False when the content was not saved. A file that was created gets its times through the
// handle it was written with, last as for every entry; `timesSet` says so.
bool writeFileContent(VolumeState& volume, const EntryRecord& record, const std::string& path,
                      ChainStream& stream, bool& timesSet) {
    timesSet = false;
    if (!chainHolds(volume, record.sizeLow, record.firstCluster)) return false;
    const platform::Handle file =
        platform::createOutputFile(path, record.attributes & WritableAttributes);
    if (file == platform::InvalidHandle) return false;
    std::uint64_t written = 0;
    bool ok = true;
    restartChainStream(stream, record.sizeLow, record.firstCluster);
    for (auto piece = readNextPiece(volume, stream); ok && !piece.empty();
         piece = readNextPiece(volume, stream)) {
        ok = platform::writeHandle(file, piece.data(), static_cast<std::uint32_t>(piece.size()));
        written += piece.size();
    }
    platform::setHandleTimes(file, record.creationTime, record.lastAccessTime,
                             record.lastWriteTime);
    timesSet = true;
    platform::closeHandle(file);
    return ok && written == record.sizeLow;
}

}  // namespace

std::string buildPath(const EntryList& list, std::size_t index) {
    return relativePath(list, index, nullptr);
}

int writeOutputTree(VolumeState& volume, const EntryList& masterList, const SavedFileFn& onSaved) {
    int recovered = 0;
    PathMemo memo = makeMemo(masterList);
    std::unordered_set<std::string> madeFolders;
    ChainStream stream;
    // Writing into a folder moves its write time, and its entries mostly come after its own;
    // so folder times are applied once more when everything is written.
    std::vector<std::pair<std::string, std::size_t>> folderTimes;
    for (std::size_t i = 0; i < masterList.size(); ++i) {
        const EntryRecord& record = masterList[i];
        bool timesSet = false;
        const std::string relative = relativePath(masterList, i, &memo);
        if (relative.empty()) continue;
        const std::string outputPath = std::string(OutputRoot) + relative;
        createLeadingFolders(outputPath, madeFolders);
        if (isDirectory(record)) {
            if (madeFolders.insert(outputPath).second) platform::createFolder(outputPath);
            platform::setFolderAttributes(
                outputPath, record.attributes & (WritableAttributes | attr::Directory));
            folderTimes.emplace_back(outputPath, i);
        } else if (writeFileContent(volume, record, outputPath, stream, timesSet)) {
            if (onSaved) onSaved(outputPath);
            if (hasParent(record)) ++recovered;
        }
        if (!timesSet) {
            platform::setFileTimes(outputPath, record.creationTime, record.lastAccessTime,
                                   record.lastWriteTime);
        }
    }
    for (const auto& [path, i] : folderTimes) {
        const EntryRecord& record = masterList[i];
        platform::setFileTimes(path, record.creationTime, record.lastAccessTime,
                               record.lastWriteTime);
    }
    return recovered;
}

}  // namespace chkmend
