#include "recovery/output_writer.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "fat/chain.h"
#include "platform/platform.h"
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
    std::vector<std::size_t> chain;  // scratch for the walk up to a known path
};

PathMemo makeMemo(const EntryList& list) {
    PathMemo memo{std::vector<std::string>(list.size()),
                  std::vector<bool>(list.size()),
                  std::vector<bool>(list.size()),
                  {}};
    for (const EntryRecord& record : list) {
        if (hasParent(record) && record.parent < list.size()) memo.isParent[record.parent] = true;
    }
    return memo;
}

// A long name the platform cannot hold as one component would lose the file; its 8.3 name
// always fits.
void appendComponent(const EntryRecord& record, std::string& out) {
    std::string name = safeName(nameOf(record.longName));
    if (!platform::fitsPathComponent(name)) name = safeName(nameOf(record.shortName));
    out += name;
}

// Appends the relative path to `out`; false, with `out` as it was, when the path is too long
// to create anywhere.
bool appendRelativePath(const EntryList& list, std::size_t index, PathMemo* memo,
                        std::string& out) {
    std::vector<std::size_t> ownChain;
    std::vector<std::size_t>& chain = memo != nullptr ? memo->chain : ownChain;
    chain.assign(1, index);
    std::size_t above = list[index].parent;
    while (above < list.size() && !(memo != nullptr && memo->known[above]) &&
           chain.size() <= list.size()) {
        chain.push_back(above);
        above = list[above].parent;
    }
    const std::size_t start = out.size();
    // More links than records means they loop: the walk is cut and starts a new top there.
    if (memo != nullptr && above < list.size() && chain.size() <= list.size()) {
        out += memo->paths[above];
    }
    for (auto at = chain.rbegin(); at != chain.rend(); ++at) {
        if (out.size() != start) out += '\\';
        appendComponent(list[*at], out);
        if (out.size() - start > MaxRelativePathBytes) {
            out.resize(start);
            return false;
        }
        if (memo != nullptr && memo->isParent[*at] && !memo->known[*at]) {
            memo->paths[*at].assign(out, start);
            memo->known[*at] = true;
        }
    }
    return true;
}

// Folder paths already made, looked up by views into the path in hand without a copy.
struct PathHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view path) const noexcept {
        return std::hash<std::string_view>{}(path);
    }
};
using FolderSet = std::unordered_set<std::string, PathHash, std::equal_to<>>;

// Creates the folders that lead to `outputPath`, each once per run.
void createLeadingFolders(std::string_view outputPath, FolderSet& made) {
    const std::size_t last = outputPath.rfind('\\');
    if (last == std::string_view::npos || made.contains(outputPath.substr(0, last))) return;
    for (std::size_t at = outputPath.find('\\'); at != std::string_view::npos;
         at = outputPath.find('\\', at + 1)) {
        const std::string_view folder = outputPath.substr(0, at);
        if (made.contains(folder)) continue;
        platform::createFolder(*made.emplace(folder).first);
    }
}

// False when the content was not saved. A file that was created gets its times through the
// handle it was written with, last as for every entry; `timesSet` says so.
bool writeFileContent(const VolumeState& volume, const EntryRecord& record, const std::string& path,
                      ChainStream& stream, bool& timesSet) {
    timesSet = false;
    if (!startChainStream(volume, stream, record.sizeLow, record.firstCluster)) return false;
    const platform::Handle file =
        platform::createOutputFile(path, record.attributes & WritableAttributes);
    if (file == platform::InvalidHandle) return false;
    std::uint64_t written = 0;
    bool ok = true;
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
    std::string path;
    appendRelativePath(list, index, nullptr, path);
    return path;
}

int writeOutputTree(const VolumeState& volume, const EntryList& masterList,
                    const SavedFileFn& onSaved) {
    int recovered = 0;
    PathMemo memo = makeMemo(masterList);
    FolderSet madeFolders;
    std::string outputPath;  // reused: one path in hand at a time
    ChainStream stream;
    // Writing into a folder moves its write time, and its entries mostly come after its own;
    // so folder times are applied once more when everything is written.
    std::vector<std::pair<std::string, std::size_t>> folderTimes;
    for (std::size_t i = 0; i < masterList.size(); ++i) {
        const EntryRecord& record = masterList[i];
        bool timesSet = false;
        outputPath.assign(OutputRoot);
        if (!appendRelativePath(masterList, i, &memo, outputPath)) continue;
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
