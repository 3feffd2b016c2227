// Makes an image file read like a raw Windows volume, for the end-to-end runs: a read of the
// image that is not whole sectors at a sector boundary, into memory that begins on one, fails
// with EINVAL, as ReadFile fails there, and is written to a log so that the run can be failed for
// it. Loaded with LD_PRELOAD: CHKMEND_ALIGNED_IMAGE names the image, CHKMEND_ALIGNED_SECTOR its
// sector size (512 when unset), CHKMEND_ALIGNED_LOG the log. Every other descriptor reads as usual.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Image {
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
    long long sector = 512;
};

const Image& image() {
    static const Image cached = [] {
        Image found;
        struct stat status {};
        const char* path = std::getenv("CHKMEND_ALIGNED_IMAGE");
        if (path != nullptr && ::stat(path, &status) == 0) {
            found = {true, status.st_dev, status.st_ino, found.sector};
        }
        const char* sector = std::getenv("CHKMEND_ALIGNED_SECTOR");
        if (sector != nullptr && std::atoll(sector) > 0) found.sector = std::atoll(sector);
        return found;
    }();
    return cached;
}

bool isImage(int fd) {
    const Image& target = image();
    struct stat status {};
    return target.known && ::fstat(fd, &status) == 0 && status.st_dev == target.device &&
           status.st_ino == target.inode;
}

void logRefusal(long long position, unsigned long long bytes) {
    const char* path = std::getenv("CHKMEND_ALIGNED_LOG");
    if (path == nullptr) return;
    const int log = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) return;
    char line[128];
    const int length = std::snprintf(line, sizeof line, "%llu bytes at %lld (sectors of %lld)\n",
                                     bytes, position, image().sector);
    if (length > 0) {
        const ssize_t ignored = ::write(log, line, static_cast<std::size_t>(length));
        (void)ignored;
    }
    ::close(log);
}

// A negative position asks for the descriptor's own. Windows reads a raw volume straight into
// the caller's memory, so the buffer must begin on a sector boundary too.
bool refuse(int fd, long long position, const void* buffer, std::size_t bytes) {
    if (!isImage(fd)) return false;
    if (position < 0) position = ::lseek(fd, 0, SEEK_CUR);
    const long long sector = image().sector;
    const auto address = static_cast<long long>(reinterpret_cast<std::uintptr_t>(buffer) %
                                                static_cast<unsigned long long>(sector));
    if (position % sector == 0 && static_cast<long long>(bytes) % sector == 0 && address == 0) {
        return false;
    }
    logRefusal(position, bytes);
    errno = EINVAL;
    return true;
}

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t read(int fd, void* buffer, std::size_t bytes) {
    static const auto real = next<ssize_t (*)(int, void*, std::size_t)>("read");
    if (refuse(fd, -1, buffer, bytes)) return -1;
    return real(fd, buffer, bytes);
}

ssize_t __read_chk(int fd, void* buffer, std::size_t bytes, std::size_t) {
    return read(fd, buffer, bytes);
}

ssize_t pread(int fd, void* buffer, std::size_t bytes, off_t position) {
    static const auto real = next<ssize_t (*)(int, void*, std::size_t, off_t)>("pread");
    if (refuse(fd, position, buffer, bytes)) return -1;
    return real(fd, buffer, bytes, position);
}

ssize_t pread64(int fd, void* buffer, std::size_t bytes, off64_t position) {
    static const auto real = next<ssize_t (*)(int, void*, std::size_t, off64_t)>("pread64");
    if (refuse(fd, position, buffer, bytes)) return -1;
    return real(fd, buffer, bytes, position);
}

}  // extern "C"
