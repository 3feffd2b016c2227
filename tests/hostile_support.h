// Helpers for the tests that run the whole tool over damaged or hostile volumes.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "driver/messages.h"
#include "driver/run.h"
#include "tests/image_builder.h"

namespace chkmend::test {

struct ToolRun {
    int status = 0;
    std::string printed;  // standard output
    std::string errors;   // standard error
};

// Runs the tool with `args` in the current directory.
inline ToolRun runCapturing(std::vector<const char*> args) {
    args.insert(args.begin(), "chkmend.exe");
    ToolRun run;
    const OutputSink sink{[&run](std::string_view text) { run.printed += text; },
                          [&run](std::string_view text) { run.errors += text; }};
    run.status = runChkmend(static_cast<int>(args.size()), args.data(), sink);
    return run;
}

// Runs the tool with `args` in the current directory and returns what it printed. Nothing is
// expected on the error side.
inline std::string runWith(std::vector<const char*> args) {
    const ToolRun run = runCapturing(std::move(args));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.errors, "");
    return run.printed;
}

// A run for drive `letter`.
inline std::string runTool(char letter = 'T') {
    const char drive[2] = {letter, '\0'};
    return runWith({drive});
}

inline std::string cantOpenOutput(char letter = 'T') {
    return std::string(messages::Banner) + messages::recoveringDrive(letter) +
           std::string(messages::CantOpen);
}

// Every path below `root`, relative to it, with the file's content or "<dir>"; a symbolic link
// or any other kind of entry shows as "<other>".
inline std::map<std::string, std::string> treeOf(const std::filesystem::path& root) {
    std::map<std::string, std::string> tree;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(root, error);
         it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        const std::string relative = std::filesystem::relative(it->path(), root).string();
        const auto status = it->symlink_status();
        if (std::filesystem::is_directory(status)) {
            tree[relative] = "<dir>";
        } else if (std::filesystem::is_regular_file(status)) {
            std::ifstream in(it->path(), std::ios::binary);
            tree[relative] = std::string(std::istreambuf_iterator<char>(in), {});
        } else {
            tree[relative] = "<other>";
        }
    }
    return tree;
}

inline std::string readWholeFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Peak resident memory grown since the last call of resetPeakMemory, in KiB; -1 when the
// kernel cannot reset the peak.
inline long resetPeakMemory() {
    const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const bool ok = ::write(fd, "5", 1) == 1;
    ::close(fd);
    if (!ok) return -1;
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}
inline long peakMemoryKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A test that loops over disk data forever is killed by the alarm instead of hanging the suite.
struct Watchdog {
    explicit Watchdog(unsigned seconds) { ::alarm(seconds); }
    ~Watchdog() { ::alarm(0); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
};

}  // namespace chkmend::test
