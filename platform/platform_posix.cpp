// POSIX stand-in for the Win32 calls: drive letters map to images through the environment,
// '\' separators become '/', names are UTF-8 and 8.3 names are decoded with iconv.
#include <fcntl.h>
#include <iconv.h>
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
#include <unordered_map>
#include <vector>

#include "platform/platform.h"

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

const iconv_t NoDecoder = reinterpret_cast<iconv_t>(-1);
iconv_t oemDecoder = NoDecoder;

// The name iconv knows a code page by: a bare number is an IBM/DOS code page.
std::string iconvName(std::string_view codePage) {
    const bool number = std::all_of(codePage.begin(), codePage.end(),
                                    [](unsigned char c) { return std::isdigit(c) != 0; });
    return number ? "CP" + std::string(codePage) : std::string(codePage);
}

// Every byte iconv can decode, as UTF-8; '_' for each it cannot.
std::string decode(iconv_t decoder, std::string_view bytes) {
    std::string out;
    char buffer[64];
    iconv(decoder, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    while (inLeft > 0) {
        char* to = buffer;
        std::size_t room = sizeof buffer;
        const std::size_t result = iconv(decoder, &in, &inLeft, &to, &room);
        out.append(buffer, static_cast<std::size_t>(to - buffer));
        if (result == static_cast<std::size_t>(-1) && errno != E2BIG) {
            out += '_';
            ++in;
            --inLeft;
            iconv(decoder, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

// Names in plain ASCII skip the decoder, so it must leave ASCII as it is.
iconv_t openDecoder(const std::string& codePage) {
    const iconv_t decoder = iconv_open("UTF-8", codePage.c_str());
    if (decoder == NoDecoder) return NoDecoder;
    std::string ascii;
    for (char c = ' '; c < 0x7F; ++c) ascii += c;
    if (decode(decoder, ascii) != ascii) {
        iconv_close(decoder);
        return NoDecoder;
    }
    return decoder;
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
    // Without O_NONBLOCK the open of a FIFO waits for a writer forever. Only an image file or a
    // block device holds a volume; a FIFO, socket, folder or character device is refused.
    const int descriptor = ::open(target, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return InvalidHandle;
    struct stat status {};
    const bool volumeLike =
        ::fstat(descriptor, &status) == 0 && (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode));
    const int flags = volumeLike ? ::fcntl(descriptor, F_GETFL) : -1;
    if (flags < 0 || ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(descriptor);
        return InvalidHandle;
    }
    return descriptor;
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

std::uint32_t readHandleAt(Handle handle, std::uint64_t position, void* buffer,
                           std::uint32_t bytes) {
    if (position > static_cast<std::uint64_t>(INT64_MAX) - bytes) return 0;
    auto* out = static_cast<unsigned char*>(buffer);
    std::uint32_t total = 0;
    while (total < bytes) {
        const ssize_t got =
            ::pread(fd(handle), out + total, bytes - total, static_cast<off_t>(position + total));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        total += static_cast<std::uint32_t>(got);
    }
    return total;
}

void adviseReading(Handle handle, std::uint64_t position, std::uint64_t bytes) {
    if (position > static_cast<std::uint64_t>(INT64_MAX) - bytes) return;
    ::posix_fadvise(fd(handle), static_cast<off_t>(position), static_cast<off_t>(bytes),
                    POSIX_FADV_WILLNEED);
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

std::optional<std::string> chooseOemCodePage() {
    if (oemDecoder != NoDecoder) iconv_close(oemDecoder);
    const char* chosen = std::getenv("CHKMEND_CODEPAGE");
    oemDecoder = chosen != nullptr && *chosen != '\0' ? openDecoder(iconvName(chosen)) : NoDecoder;
    if (oemDecoder != NoDecoder) return std::nullopt;
    oemDecoder = openDecoder("CP437");
    if (chosen == nullptr || *chosen == '\0') return std::nullopt;
    return std::string(chosen);
}

std::string oemToUtf8(std::string_view bytes) {
    if (oemDecoder == NoDecoder) chooseOemCodePage();
    if (oemDecoder == NoDecoder) {
        // No code page tables on this system: keep ASCII, mark the rest.
        std::string out(bytes);
        std::replace_if(
            out.begin(), out.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; },
            '_');
        return out;
    }
    return decode(oemDecoder, bytes);
}

bool fitsPathComponent(std::string_view name) {
    return name.size() <= 255;
}

namespace {

// Local time minus UTC, in ticks, for a wall clock: read as standard time first, the offset in
// force at that instant decides. mktime's own guess (tm_isdst -1) would leave the repeated
// hour to whatever it converted last.
std::optional<std::int64_t> offsetOf(std::int64_t wallClock) {
    const auto wallSeconds =
        static_cast<time_t>(wallClock / TicksPerSecond - EpochDifferenceSeconds);
    std::tm fields{};
    if (gmtime_r(&wallSeconds, &fields) == nullptr) return std::nullopt;
    fields.tm_isdst = 0;
    const time_t asStandard = std::mktime(&fields);
    std::tm zone{};
    if (asStandard == static_cast<time_t>(-1) || localtime_r(&asStandard, &zone) == nullptr) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(zone.tm_gmtoff) * TicksPerSecond;
}

// The offsets of local days without a clock change, so that most times cost a lookup rather
// than a walk through the zone rules; files of one card share few days. A change of TZ starts
// afresh.
struct DayOffsets {
    std::string zone;
    std::unordered_map<std::int64_t, std::int64_t> offsets;
};

constexpr std::int64_t TicksPerDay = 86400 * TicksPerSecond;
constexpr std::size_t MaxCachedDays = 4096;

std::optional<std::int64_t> dayOffset(DayOffsets& cache, std::int64_t day) {
    const auto found = cache.offsets.find(day);
    if (found != cache.offsets.end()) return found->second;
    const std::optional<std::int64_t> first = offsetOf(day * TicksPerDay);
    const std::optional<std::int64_t> last = offsetOf((day + 1) * TicksPerDay - TicksPerSecond);
    if (!first || first != last) return std::nullopt;
    if (cache.offsets.size() >= MaxCachedDays) cache.offsets.clear();
    cache.offsets.emplace(day, *first);
    return first;
}

}  // namespace

FileTime localToFileTime(FileTime wallClock) {
    static DayOffsets cache;
    const char* zone = std::getenv("TZ");
    if (std::string_view(zone != nullptr ? zone : "") != cache.zone) {
        cache.zone = zone != nullptr ? zone : "";
        cache.offsets.clear();
    }
    const auto wall = static_cast<std::int64_t>(wallClock);
    std::optional<std::int64_t> offset = dayOffset(cache, wall / TicksPerDay);
    if (!offset) offset = offsetOf(wall);  // the day of a clock change, or of a failure
    return offset ? static_cast<FileTime>(wall - *offset) : 0;
}

void printText(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void printError(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace chkmend::platform
