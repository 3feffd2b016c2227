// Names from the volume are hostile input: a name must never leave its folder or mean
// something else to the platform (a device, a stream, a parent folder).
#pragma once

#include <string>
#include <string_view>

namespace chkmend {

// The name as a single, harmless path component; the same result on every platform.
std::string safeName(std::string_view name);

// The UTF-8 name with its letters upper-cased as Windows compares names in a folder: ASCII,
// Latin-1, Latin Extended-A, Greek and Cyrillic. Two names that fold alike cannot stand side by
// side there. Bytes that are not UTF-8 are kept as they are.
std::string foldCase(std::string_view name);

}  // namespace chkmend
