// A fat-layer object that calls up into recovery, as a wrong include would: linking it with
// only the layers below fat must fail.
#include <cstdint>
#include <span>

#include "recovery/naming.h"

namespace chkmend {

std::size_t upwardCall() {
    return extensionForContent(std::span<const std::uint8_t>{}).size();
}

}  // namespace chkmend
