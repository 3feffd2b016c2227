// UTF-16 as both builds read it: one decoder, so that both refuse the same unpaired surrogates.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace chkmend::platform {

constexpr bool isHighSurrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
constexpr bool isLowSurrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// The code point that begins at text[at], moving `at` past it; nothing for a surrogate that
// has no partner.
constexpr std::optional<char32_t> nextCodePoint(std::u16string_view text, std::size_t& at) {
    const char32_t unit = text[at++];
    if (isLowSurrogate(unit)) return std::nullopt;
    if (!isHighSurrogate(unit)) return unit;
    if (at >= text.size() || !isLowSurrogate(text[at])) return std::nullopt;
    const char32_t low = text[at++];
    return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
}

constexpr bool hasUnpairedSurrogate(std::u16string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        if (!nextCodePoint(text, at)) return true;
    }
    return false;
}

}  // namespace chkmend::platform
