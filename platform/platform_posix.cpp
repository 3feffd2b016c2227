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
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/platform.h"

namespace chkmend::platform {

namespace {

int fd(Handle handle) {
    return static_cast<int>(handle);
}

std::string nativePath(const std::string& path) {
    std::string native = path;
    for (char& c : native) {
        if (c == '\\') c = '/';
    }
    return native;
}

// The umask, read once; new files and folders get 0666/0777 less it, as open and mkdir do.
mode_t processUmask() {
    static const mode_t mask = [] {
        const mode_t current = ::umask(0);
        ::umask(current);
        return current;
    }();
    return mask;
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

void closeHandle(Handle handle) {
    ::close(fd(handle));
}

bool createFolder(const std::string& path) {
    return ::mkdir(nativePath(path).c_str(), 0777) == 0;
}

Handle createOutputFile(const std::string& path, std::uint32_t attributes) {
    const mode_t mode = ((attributes & 0x01) != 0 ? 0444 : 0666) & ~processUmask();
    const std::string native = nativePath(path);
    // A new file gets `mode` from open() itself; only one that stood there already keeps its
    // old mode through open(), and has it replaced, as CREATE_ALWAYS replaces the attributes.
    int descriptor = ::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (descriptor < 0 && errno == EEXIST) {
        descriptor = ::open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
        if (descriptor >= 0) ::fchmod(descriptor, mode);
    }
    return descriptor < 0 ? InvalidHandle : descriptor;
}

bool writeHandle(Handle handle, const void* buffer, std::uint32_t bytes) {
    const auto* in = static_cast<const unsigned char*>(buffer);
    std::uint32_t total = 0;
    while (total < bytes) {
        const ssize_t put = ::write(fd(handle), in + total, bytes - total);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        total += static_cast<std::uint32_t>(put);
    }
    return true;
}

// Folder attributes have no POSIX counterpart; a read-only folder must not block the entries
// written into it afterwards.
bool setFolderAttributes(const std::string&, std::uint32_t) {
    return true;
}

bool setFileTimes(const std::string& path, FileTime, FileTime lastAccess, FileTime lastWrite) {
    const timespec times[2] = {toTimespec(lastAccess), toTimespec(lastWrite)};
    return ::utimensat(AT_FDCWD, nativePath(path).c_str(), times, 0) == 0;
}

bool setHandleTimes(Handle handle, FileTime, FileTime lastAccess, FileTime lastWrite) {
    const timespec times[2] = {toTimespec(lastAccess), toTimespec(lastWrite)};
    return ::futimens(fd(handle), times) == 0;
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
