// Little-endian field readers for on-disk structures; never cast a buffer to a struct.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace chkmend {

inline std::uint16_t readLe16(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

inline std::uint32_t readLe32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return std::uint32_t{readLe16(bytes, offset)} |
           (std::uint32_t{readLe16(bytes, offset + 2)} << 16);
}

inline std::uint64_t readLe64(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return std::uint64_t{readLe32(bytes, offset)} |
           (std::uint64_t{readLe32(bytes, offset + 4)} << 32);
}

}  // namespace chkmend
