// One whole run of the tool, printing through a sink that the caller chooses.
#pragma once

#include <functional>
#include <string_view>

namespace chkmend {

// Where the console lines go: `out` for progress and results, `err` for failures.
struct OutputSink {
    std::function<void(std::string_view)> out;
    std::function<void(std::string_view)> err;
};

// Standard output and standard error.
OutputSink consoleSink();

// The exit status: 1 when a file whose content could be read was not written, else 0.
int runChkmend(int argc, const char* const* argv, const OutputSink& sink);

}  // namespace chkmend
