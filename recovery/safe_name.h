// Names from the volume are hostile input: a name must never leave its folder or mean
// something else to the platform (a device, a stream, a parent folder).
#pragma once

#include <string>
#include <string_view>

namespace chkmend {

// The name as a single, harmless path component; the same result on every platform.
std::string safeName(std::string_view name);

}  // namespace chkmend
