#pragma once

namespace chkmend {

// One whole run of the tool for a command line; the exit status (always 0).
int runChkmend(int argc, const char* const* argv);

}  // namespace chkmend
