// POSIX stand-in for the Win32 calls: drive letters map to images through the environment,
// '\' separators become '/', the OEM code page is UTF-8.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

#include "platform/platform.h"
#include "platform/utf16.h"

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
