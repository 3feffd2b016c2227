// libFuzzer target: the fuzzer's bytes are a whole volume image, and the whole run recovers it
// into a scratch folder, as a user would on a damaged card.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "driver/run.h"

namespace {

int imageFd = -1;
std::filesystem::path scratch;

void removeScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The image lives in memory; the tool opens it anew by path each run, read-only.
    imageFd = ::memfd_create("chkmend-fuzz-volume", MFD_CLOEXEC);
    if (imageFd < 0) std::abort();
    const std::string imagePath = "/proc/self/fd/" + std::to_string(imageFd);
    ::setenv("CHKMEND_DRIVE_F", imagePath.c_str(), 1);

    std::string pattern = (std::filesystem::temp_directory_path() / "chkmend-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    scratch = pattern;
    std::filesystem::current_path(scratch);
    std::atexit(removeScratch);

    // A hostile size on a long chain of unreadable clusters is written out as zeros: cap each
    // output file so that one input cannot fill the disk (the write then fails, as on a full one).
    const rlimit fileSize{64u << 20, 64u << 20};
    ::setrlimit(RLIMIT_FSIZE, &fileSize);
    std::signal(SIGXFSZ, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (::ftruncate(imageFd, 0) != 0) std::abort();
    for (std::size_t at = 0; at < size;) {
        const ssize_t put = ::pwrite(imageFd, data + at, size - at, static_cast<off_t>(at));
        if (put <= 0) std::abort();
        at += static_cast<std::size_t>(put);
    }
    // Every other input runs with the types switch, whose parsers read the content of orphans.
    const bool allTypes = size > 0 && (data[size - 1] & 1) != 0;
    const char* argv[] = {"chkmend", "F", allTypes ? "/types" : nullptr, nullptr};
    // The tool prints a line per file; the fuzzer reports on its own.
    const chkmend::OutputSink quiet{[](std::string_view) {}, [](std::string_view) {}};
    chkmend::runChkmend(allTypes ? 3 : 2, argv, quiet);
    std::error_code ignored;
    std::filesystem::remove_all("out", ignored);
    return 0;
}
