// POSIX stand-in for the Win32 calls: drive letters map to images through the environment,
// '\' separators become '/', the OEM code page is UTF-8.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/utf16.h"

namespace chkmend::platform {

namespace {

int fd(Handle handle) {
    return static_cast<int>(handle);
}

// Descriptors kept for the top levels of the folder in hand (and always for the folder itself):
// enough for any usual tree, and a deep one costs no more descriptors than this.
constexpr std::size_t KeptLevels = 16;

// The descriptor of the folder that holds level `level`: the current directory for level 0.
int descriptorAbove(const OutputTree& tree, std::size_t level) {
    return level == 0 ? AT_FDCWD : fd(tree.handles[level - 1]);
}

// Closes the levels from `keep` on.
void dropLevels(OutputTree& tree, std::size_t keep) {
    const int saved = errno;
    while (tree.handles.size() > keep) {
        if (tree.handles.back() != InvalidHandle) ::close(fd(tree.handles.back()));
        tree.handles.pop_back();
        tree.levelEnds.pop_back();
    }
    tree.folder.resize(tree.levelEnds.empty() ? 0 : tree.levelEnds.back());
    errno = saved;
}

// Opens the folder `name` below `parent`.
int openLevel(int parent, const std::string& name) {
    // out/ itself may be a link the user made; below it every folder is the tool's own.
    const int noFollow = parent == AT_FDCWD ? 0 : O_NOFOLLOW;
    return ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | noFollow);
}

std::string levelName(const OutputTree& tree, std::size_t level) {
    const std::size_t begin = level == 0 ? 0 : tree.levelEnds[level - 1] + 1;
    return tree.folder.substr(begin, tree.levelEnds[level] - begin);
}

// Gives the deepest level a descriptor again when it was not kept, opening down from the
// deepest level that has one.
bool reopenDeepest(OutputTree& tree) {
    const std::size_t depth = tree.handles.size();
    if (depth == 0 || tree.handles.back() != InvalidHandle) return true;
    std::size_t from = depth - 1;
    while (from > 0 && tree.handles[from - 1] == InvalidHandle) --from;
    int parent = descriptorAbove(tree, from);
    for (std::size_t level = from; level < depth; ++level) {
        const int opened = openLevel(parent, levelName(tree, level));
        if (level > from) ::close(parent);  // opened on the way down, not kept
        if (opened < 0) {
            dropLevels(tree, level);
            return false;
        }
        parent = opened;
    }
    tree.handles.back() = parent;
    return true;
}

// How many levels of the folder in hand `folder` begins with.
std::size_t levelsInCommon(const OutputTree& tree, std::string_view folder) {
    std::size_t common = 0;
    while (common < tree.levelEnds.size()) {
        const std::size_t end = tree.levelEnds[common];
        if (end > folder.size() || (end < folder.size() && folder[end] != '\\') ||
            folder.compare(0, end, tree.folder, 0, end) != 0) {
            break;
        }
        ++common;
    }
    return common;
}

// Opens the levels of `folder` below the folder in hand, which `folder` begins with.
bool descend(OutputTree& tree, std::string_view folder) {
    std::size_t begin = tree.folder.empty() ? 0 : tree.folder.size() + 1;
    while (begin < folder.size()) {
        const std::size_t end = std::min(folder.find('\\', begin), folder.size());
        const int opened = openLevel(descriptorAbove(tree, tree.handles.size()),
                                     std::string(folder.substr(begin, end - begin)));
        if (opened < 0) return false;
        // The level above gives up its descriptor when it lies deeper than those kept.
        if (tree.handles.size() > KeptLevels) {
            ::close(fd(tree.handles.back()));
            tree.handles.back() = InvalidHandle;
        }
        tree.folder.assign(folder.substr(0, end));
        tree.levelEnds.push_back(end);
        tree.handles.push_back(opened);
        begin = end + 1;
    }
    return true;
}

// Moves the tree to `folder` and gives its descriptor; false, with errno, when a level of it
// cannot be opened.
bool enterFolder(OutputTree& tree, std::string_view folder, int& descriptor) {
    if (folder != tree.folder) dropLevels(tree, levelsInCommon(tree, folder));
    if (!reopenDeepest(tree) || !descend(tree, folder)) return false;
    descriptor = descriptorAbove(tree, tree.handles.size());
    return true;
}

// The folder descriptor and the name of an output path's last component.
struct EntryPlace {
    bool ok = false;
    int folder = AT_FDCWD;
    std::string name;
};

EntryPlace placeOf(OutputTree& tree, std::string_view path) {
    EntryPlace place;
    const std::size_t split = path.rfind('\\');
    const std::string_view folder = split == std::string_view::npos ? "" : path.substr(0, split);
    place.name = path.substr(split == std::string_view::npos ? 0 : split + 1);
    place.ok = enterFolder(tree, folder, place.folder);
    return place;
}

// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t EpochDifferenceSeconds = 11644473600;
constexpr std::int64_t TicksPerSecond = 10000000;

timespec toTimespec(FileTime time) {
    timespec result{};
    if (time == 0) {
        result.tv_nsec = UTIME_OMIT;
        return result;
    }
    const auto ticks = static_cast<std::int64_t>(time);
    result.tv_sec = static_cast<time_t>(ticks / TicksPerSecond - EpochDifferenceSeconds);
    result.tv_nsec = static_cast<long>(ticks % TicksPerSecond * 100);
    return result;
}

// The code point in UTF-8, the OEM code page of this build.
void appendUtf8(std::string& out, char32_t code) {
    const auto byte = [&out](char32_t value) { out += static_cast<char>(value); };
    if (code < 0x80) {
        byte(code);
    } else if (code < 0x800) {
        byte(0xC0 | (code >> 6));
        byte(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        byte(0xE0 | (code >> 12));
        byte(0x80 | ((code >> 6) & 0x3F));
        byte(0x80 | (code & 0x3F));
    } else {
        byte(0xF0 | (code >> 18));
        byte(0x80 | ((code >> 12) & 0x3F));
        byte(0x80 | ((code >> 6) & 0x3F));
        byte(0x80 | (code & 0x3F));
    }
}

}  // namespace

void useOemFileApis() {}

Handle openVolumeDevice(char driveLetter) {
    char device[8];
    std::snprintf(device, sizeof device, "\\\\.\\%c:", driveLetter);  // the Win32 device path
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(device[4])));
    const std::string variable = std::string("CHKMEND_DRIVE_") + letter;
    const char* target = std::getenv(variable.c_str());
    if (target == nullptr || *target == '\0') return InvalidHandle;
    const int descriptor = ::open(target, O_RDONLY | O_CLOEXEC);
    return descriptor < 0 ? InvalidHandle : descriptor;
}

bool seekHandle(Handle handle, std::uint64_t position) {
    if (position > static_cast<std::uint64_t>(INT64_MAX)) return false;
    return ::lseek(fd(handle), static_cast<off_t>(position), SEEK_SET) >= 0;
}

std::uint32_t readHandle(Handle handle, void* buffer, std::uint32_t bytes) {
    auto* out = static_cast<unsigned char*>(buffer);
    std::uint32_t total = 0;
    while (total < bytes) {
        const ssize_t got = ::read(fd(handle), out + total, bytes - total);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        total += static_cast<std::uint32_t>(got);
    }
    return total;
}

void closeHandle(Handle handle) {
    ::close(fd(handle));
}

void closeOutputTree(OutputTree& tree) {
    dropLevels(tree, 0);
}

bool makeOutputFolder(OutputTree& tree, const std::string& path) {
    const EntryPlace place = placeOf(tree, path);
    if (!place.ok) return false;
    if (::mkdirat(place.folder, place.name.c_str(), 0777) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat status {};
    if (::fstatat(place.folder, place.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(status.st_mode)) {
        return true;
    }
    // A file or link an earlier run left where a folder now goes: out/ is the tool's own.
    if (::unlinkat(place.folder, place.name.c_str(), 0) != 0) return false;
    return ::mkdirat(place.folder, place.name.c_str(), 0777) == 0;
}

Handle createOutputFile(OutputTree& tree, const std::string& path, std::uint32_t attributes) {
    const EntryPlace place = placeOf(tree, path);
    if (!place.ok) return InvalidHandle;
    // open() gives a new file this mode less the umask, as CREATE_ALWAYS gives the attributes.
    const mode_t mode = (attributes & 0x01) != 0 ? 0444 : 0666;
    constexpr int Flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    int descriptor = ::openat(place.folder, place.name.c_str(), Flags, mode);
    if (descriptor < 0 && errno == EEXIST) {
        // What stands there is removed, not written through: a read-only file refuses the
        // write for anyone but root, and a link would lead out of out/.
        if (::unlinkat(place.folder, place.name.c_str(), 0) != 0) return InvalidHandle;
        descriptor = ::openat(place.folder, place.name.c_str(), Flags, mode);
    }
    return descriptor < 0 ? InvalidHandle : descriptor;
}

bool writeHandle(Handle handle, const void* buffer, std::uint32_t bytes) {
    const auto* in = static_cast<const unsigned char*>(buffer);
    std::uint32_t total = 0;
    while (total < bytes) {
        const ssize_t put = ::write(fd(handle), in + total, bytes - total);
        if (put < 0 && errno == EINTR) continue;
        if (put == 0) errno = ENOSPC;  // no progress and no error: nothing more fits
        if (put <= 0) return false;
        total += static_cast<std::uint32_t>(put);
    }
    return true;
}

bool closeOutputFile(Handle handle) {
    return ::close(fd(handle)) == 0;
}

bool removeOutputFile(OutputTree& tree, const std::string& path) {
    const EntryPlace place = placeOf(tree, path);
    return place.ok && ::unlinkat(place.folder, place.name.c_str(), 0) == 0;
}

// Folder attributes have no POSIX counterpart; a read-only folder must not block the entries
// written into it afterwards.
bool setFolderAttributes(OutputTree&, const std::string&, std::uint32_t) {
    return true;
}

bool setFileTimes(OutputTree& tree, const std::string& path, FileTime, FileTime lastAccess,
                  FileTime lastWrite) {
    const EntryPlace place = placeOf(tree, path);
    const timespec times[2] = {toTimespec(lastAccess), toTimespec(lastWrite)};
    return place.ok &&
           ::utimensat(place.folder, place.name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool setHandleTimes(Handle handle, FileTime, FileTime lastAccess, FileTime lastWrite) {
    const timespec times[2] = {toTimespec(lastAccess), toTimespec(lastWrite)};
    return ::futimens(fd(handle), times) == 0;
}

std::string lastErrorText() {
    return std::strerror(errno);
}

std::optional<std::string> utf16ToOem(std::u16string_view text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::optional<char32_t> code = nextCodePoint(text, at);
        if (!code) return std::nullopt;
        appendUtf8(out, *code);
    }
    return out;
}

void printText(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void printError(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace chkmend::platform
