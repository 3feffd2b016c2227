#include "recovery/output_writer.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
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

// Files next to each other on the volume are read together, up to this much at once, through
// gaps of up to MergeGapBytes.
constexpr std::uint64_t WindowBytes = 1u << 20;
// How far ahead in the list the window looks for the next files.
constexpr std::size_t WindowLookAhead = 4096;

// Attribute bits a created file or folder may carry: read-only, hidden, system, archive.
// Stray bits from a damaged entry must not make the platform refuse the file.
constexpr std::uint32_t WritableAttributes =
    attr::ReadOnly | attr::Hidden | attr::System | attr::Archive;

// The names entries take instead of their own because an earlier entry of their folder has it.
// Few, so kept apart from the records.
using RenamedEntries = std::unordered_map<std::size_t, std::string>;

// A long name the platform cannot hold as one component would lose the file; its 8.3 name
// always fits.
std::string componentOf(const EntryRecord& record) {
    std::string name = safeName(nameOf(record.longName));
    if (!platform::fitsPathComponent(name)) name = safeName(nameOf(record.shortName));
    return name;
}

// Drops the last character of UTF-8 text, all of its bytes.
void dropLastCharacter(std::string& text) {
    while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) {
        text.pop_back();
    }
    if (!text.empty()) text.pop_back();
}

// `name` with " (n)" before its extension (a folder's name has none), cut to one component.
std::string withNumber(std::string_view name, std::size_t number, bool folder) {
    const std::string mark = " (" + std::to_string(number) + ")";
    std::size_t dot = folder ? std::string_view::npos : name.rfind('.');
    // A leading dot (".profile") starts no extension; an extension that would leave the name
    // no room is taken as part of it.
    if (dot == 0 || dot == std::string_view::npos || name.size() - dot > 127) dot = name.size();
    std::string base(name.substr(0, dot));
    const std::string extension(name.substr(dot));
    // The name gives way, a character at a time, where the number would not fit beside it.
    while (!base.empty() && !platform::fitsPathComponent(base + mark + extension)) {
        dropLastCharacter(base);
    }
    return base + mark + extension;
}

// Numbers the entries of one folder whose names an earlier entry of it has.
void renameInFolder(const EntryList& list, std::span<const EntryIndex> entries,
                    RenamedEntries& renamed) {
    std::unordered_set<std::string> taken;
    std::vector<std::size_t> later;
    for (const EntryIndex i : entries) {
        if (!taken.insert(foldCase(componentOf(list[i]))).second) later.push_back(i);
    }
    for (const std::size_t i : later) {
        const std::string name = componentOf(list[i]);
        // Each number tried is free or held by one entry of the folder: one of the first
        // entries.size() + 1 is free.
        for (std::size_t number = 2; number <= entries.size() + 2; ++number) {
            std::string candidate = withNumber(name, number, isDirectory(list[i]));
            if (taken.insert(foldCase(candidate)).second) {
                renamed.emplace(i, std::move(candidate));
                break;
            }
        }
    }
}

// Entries of one folder that would land on one name, compared case-blind as the output folders
// of Windows compare them: the first in list order keeps it. Only the volume's names need this;
// the running names of the entries at the top are unique as they are made.
RenamedEntries resolveCollisions(const EntryList& list) {
    std::vector<EntryIndex> named;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (hasParent(list[i]) && list[i].parent < list.size()) {
            named.push_back(static_cast<EntryIndex>(i));
        }
    }
    std::stable_sort(named.begin(), named.end(), [&list](EntryIndex a, EntryIndex b) {
        return list[a].parent < list[b].parent;
    });
    RenamedEntries renamed;
    for (std::size_t begin = 0; begin < named.size();) {
        std::size_t end = begin + 1;
        while (end < named.size() && list[named[end]].parent == list[named[begin]].parent) ++end;
        if (end - begin > 1) {
            renameInFolder(list, std::span(named).subspan(begin, end - begin), renamed);
        }
        begin = end;
    }
    return renamed;
}

// Paths of the entries that other entries name as parent, so that each path is built from its
// parent's instead of walking the whole chain again. Kept for parents only: a million orphans
// are a million records, not a million paths.
struct PathMemo {
    std::unordered_map<std::size_t, std::string> paths;
    std::vector<bool> known;
    std::vector<bool> isParent;
    std::vector<std::size_t> chain;  // scratch for the walk up to a known path
    const RenamedEntries* renamed = nullptr;
};

PathMemo makeMemo(const EntryList& list, const RenamedEntries& renamed) {
    PathMemo memo{{}, std::vector<bool>(list.size()), std::vector<bool>(list.size()), {}, &renamed};
    for (const EntryRecord& record : list) {
        if (hasParent(record) && record.parent < list.size()) memo.isParent[record.parent] = true;
    }
    return memo;
}

void appendComponent(const EntryList& list, std::size_t index, const PathMemo* memo,
                     std::string& out) {
    if (memo != nullptr) {
        const auto found = memo->renamed->find(index);
        if (found != memo->renamed->end()) {
            out += found->second;
            return;
        }
    }
    out += componentOf(list[index]);
}

// Appends the relative path to `out`; false when the path is too long to create anywhere, with
// `out` holding its beginning.
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
        out += memo->paths.find(above)->second;
    }
    for (auto at = chain.rbegin(); at != chain.rend(); ++at) {
        if (out.size() != start) out += '\\';
        appendComponent(list, *at, memo, out);
        if (out.size() - start > MaxRelativePathBytes) return false;
        if (memo != nullptr && memo->isParent[*at] && !memo->known[*at]) {
            memo->paths[*at].assign(out, start, std::string::npos);
            memo->known[*at] = true;
        }
    }
    return true;
}

// Folder paths looked up by views into the path in hand without a copy.
struct PathHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view path) const noexcept {
        return std::hash<std::string_view>{}(path);
    }
};
// Each folder this run needed: true when it stands there as a folder, made now or found.
using FolderStates = std::unordered_map<std::string, bool, PathHash, std::equal_to<>>;

struct TreeWriter {
    const VolumeState& volume;
    const FailedFn& onFailed;
    PathMemo memo;
    platform::OutputTree tree;
    FolderStates folders;
    ChainStream stream;
    OutputCounts counts;
    std::size_t advisedUntil = 0;  // the records before it were announced to the system
};

void reportFailure(const TreeWriter& w, bool isFolder, const std::string& path,
                   std::string reason) {
    if (w.onFailed) w.onFailed({isFolder, path, std::move(reason)});
}

void reportUnwrittenFile(TreeWriter& w, const std::string& path, std::string reason) {
    ++w.counts.unwritten;
    reportFailure(w, false, path, std::move(reason));
}

// Makes a folder once per run; false when it cannot be had, said the first time.
bool haveFolder(TreeWriter& w, std::string_view folder) {
    const auto known = w.folders.find(folder);
    if (known != w.folders.end()) return known->second;
    std::string path(folder);
    const bool made = platform::makeOutputFolder(w.tree, path);
    if (!made) reportFailure(w, true, path, platform::lastErrorText());
    w.folders.emplace(std::move(path), made);
    return made;
}

// Makes the folders that lead to `outputPath`, shortest first, up to the first that fails.
bool haveLeadingFolders(TreeWriter& w, std::string_view outputPath) {
    const std::size_t last = outputPath.rfind('\\');
    if (last == std::string_view::npos) return true;
    const auto known = w.folders.find(outputPath.substr(0, last));
    if (known != w.folders.end()) return known->second;
    for (std::size_t at = outputPath.find('\\'); at != std::string_view::npos;
         at = outputPath.find('\\', at + 1)) {
        if (!haveFolder(w, outputPath.substr(0, at))) return false;
    }
    return true;
}

// True when the folder stands at `path`. One below a folder that could not be made is not
// tried: the folder above has said why.
bool writeFolder(TreeWriter& w, const EntryRecord& record, const std::string& path) {
    if (!haveLeadingFolders(w, path)) {
        w.folders.emplace(path, false);
        return false;
    }
    if (!haveFolder(w, path)) return false;
    platform::setFolderAttributes(w.tree, path,
                                  record.attributes & (WritableAttributes | attr::Directory));
    return true;
}

// The first reads of the files from `index` on that follow each other on the volume, within
// WindowBytes and through gaps of up to MergeGapBytes: [start, reach), and the record after them.
struct FileGroup {
    std::uint64_t start = 0;
    std::uint64_t reach = 0;
    std::size_t next = 0;
};

FileGroup groupFrom(const VolumeState& volume, const EntryList& list, std::size_t index,
                    const VolumeExtent& first) {
    FileGroup group{first.position, first.position + first.bytes, index + 1};
    const std::size_t last = std::min(list.size(), index + WindowLookAhead);
    for (; group.next < last; ++group.next) {
        const EntryRecord& record = list[group.next];
        if (isDirectory(record)) continue;
        const std::optional<VolumeExtent> extent =
            firstRead(volume, record.firstCluster, record.sizeLow);
        if (!extent) continue;
        if (extent->position < group.start || extent->position > group.reach + MergeGapBytes ||
            extent->position + extent->bytes - group.start > WindowBytes) {
            break;
        }
        group.reach = std::max(group.reach, extent->position + extent->bytes);
    }
    return group;
}

// Tells the system of the groups after `index`, up to ReadAheadBytes past `position`, each once.
void adviseGroupsAfter(TreeWriter& w, const EntryList& list, std::size_t index,
                       std::uint64_t position) {
    for (std::size_t at = std::max(index, w.advisedUntil); at < list.size();) {
        const EntryRecord& record = list[at];
        const std::optional<VolumeExtent> first =
            isDirectory(record) ? std::nullopt
                                : firstRead(w.volume, record.firstCluster, record.sizeLow);
        if (!first) {
            w.advisedUntil = ++at;
            continue;
        }
        if (first->position > position + ReadAheadBytes ||
            first->position + ReadAheadBytes < position) {
            return;
        }
        const FileGroup group = groupFrom(w.volume, list, at, *first);
        adviseReading(w.volume, group.start, group.reach - group.start);
        at = w.advisedUntil = group.next;
    }
}

// The first read of the file at `index` and of the files after it that follow it on the volume,
// in one request, unless the window already holds it. Files far apart are read one by one.
void readAhead(TreeWriter& w, const EntryList& list, std::size_t index) {
    const EntryRecord& record = list[index];
    const std::optional<VolumeExtent> first =
        firstRead(w.volume, record.firstCluster, record.sizeLow);
    const ReadWindow& window = w.stream.window;
    if (!first || first->bytes >= WindowBytes ||
        (first->position >= window.start && first->position + first->bytes <= window.end) ||
        (first->position >= window.failedStart && first->position < window.failedEnd)) {
        return;
    }
    const FileGroup group = groupFrom(w.volume, list, index, *first);
    adviseGroupsAfter(w, list, group.next, group.start);
    if (group.reach > first->position + first->bytes) {
        fillWindow(w.volume, w.stream.window, group.start, group.reach);
    }
}

// True when the content was saved whole. A file whose chain does not hold its size cannot be
// read and is passed over; any other failure removes what was written and is reported.
bool writeFile(TreeWriter& w, const EntryList& list, std::size_t index, const std::string& path) {
    const EntryRecord& record = list[index];
    haveLeadingFolders(w, path);
    if (!startChainStream(w.volume, w.stream, record.sizeLow, record.firstCluster)) return false;
    readAhead(w, list, index);
    const platform::Handle file =
        platform::createOutputFile(w.tree, path, record.attributes & WritableAttributes);
    if (file == platform::InvalidHandle) {
        reportUnwrittenFile(w, path, platform::lastErrorText());
        return false;
    }
    bool ok = true;
    std::string reason;
    for (auto piece = readNextPiece(w.volume, w.stream); ok && !piece.empty();
         piece = readNextPiece(w.volume, w.stream)) {
        ok = platform::writeHandle(file, piece.data(), static_cast<std::uint32_t>(piece.size()));
        if (!ok) reason = platform::lastErrorText();
    }
    // Times through the handle, last, and only on a whole file.
    if (ok) {
        platform::setHandleTimes(file, record.creationTime, record.lastAccessTime,
                                 record.lastWriteTime);
    }
    if (!platform::closeOutputFile(file) && ok) {
        ok = false;
        reason = platform::lastErrorText();
    }
    if (!ok) {
        // A truncated file under the entry's name would look recovered.
        platform::removeOutputFile(w.tree, path);
        reportUnwrittenFile(w, path, std::move(reason));
    }
    return ok;
}

// A path too deep for any platform: said for a folder, and for a file whose content is there.
void reportTooDeep(TreeWriter& w, const EntryRecord& record, const std::string& start) {
    const std::string path = start + "...";
    if (isDirectory(record)) {
        reportFailure(w, true, path, "path too long");
    } else if (startChainStream(w.volume, w.stream, record.sizeLow, record.firstCluster)) {
        reportUnwrittenFile(w, path, "path too long");
    }
}

}  // namespace

std::string buildPath(const EntryList& list, std::size_t index) {
    std::string path;
    if (!appendRelativePath(list, index, nullptr, path)) path.clear();
    return path;
}

OutputCounts writeOutputTree(const VolumeState& volume, const EntryList& masterList,
                             const SavedFileFn& onSaved, const FailedFn& onFailed) {
    const RenamedEntries renamed = resolveCollisions(masterList);
    TreeWriter w{volume, onFailed, makeMemo(masterList, renamed), {}, {}, {}, {}};
    std::string outputPath;  // reused: one path in hand at a time
    // Writing into a folder moves its write time, and its entries mostly come after its own;
    // so folder times are applied when everything is written.
    std::vector<std::pair<std::string, std::size_t>> folderTimes;
    for (std::size_t i = 0; i < masterList.size(); ++i) {
        const EntryRecord& record = masterList[i];
        outputPath.assign(OutputRoot);
        if (!appendRelativePath(masterList, i, &w.memo, outputPath)) {
            reportTooDeep(w, record, outputPath);
        } else if (isDirectory(record)) {
            if (writeFolder(w, record, outputPath)) folderTimes.emplace_back(outputPath, i);
        } else if (writeFile(w, masterList, i, outputPath)) {
            if (onSaved) onSaved(outputPath);
            if (hasParent(record)) ++w.counts.recovered;
        }
    }
    for (const auto& [path, i] : folderTimes) {
        const EntryRecord& record = masterList[i];
        platform::setFileTimes(w.tree, path, record.creationTime, record.lastAccessTime,
                               record.lastWriteTime);
    }
    platform::closeOutputTree(w.tree);
    return w.counts;
}

}  // namespace chkmend
