// UTF-16 and UTF-8 as both builds read them: one decoder, so that both refuse the same unpaired
// surrogates and count the same lengths.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
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

inline void appendUtf8(std::string& out, char32_t code) {
    const auto byte = [&out](char32_t value) { out += static_cast<char>(value); };
    if (code < 0x80) {
        byte(code);
    } else if (code < 0x800) {
        byte(0xC0 | (code >> 6));
        byte(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        byte(0xE0 | (code >> 12));
        byte(0x80 | ((code >> 6) & 0x3F));
        byte(0x80 | (code & 0x3F));
    } else {
        byte(0xF0 | (code >> 18));
        byte(0x80 | ((code >> 12) & 0x3F));
        byte(0x80 | ((code >> 6) & 0x3F));
        byte(0x80 | (code & 0x3F));
    }
}

// Nothing for text with an unpaired surrogate.
inline std::optional<std::string> utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::optional<char32_t> code = nextCodePoint(text, at);
        if (!code) return std::nullopt;
        appendUtf8(out, *code);
    }
    return out;
}

// The code point that begins at text[at] of UTF-8 text, moving `at` past it. A byte that
// begins no complete sequence stands for itself, so that any bytes can be walked.
constexpr char32_t nextUtf8CodePoint(std::string_view text, std::size_t& at) {
    const auto lead = static_cast<unsigned char>(text[at++]);
    const std::size_t tail = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (tail == 0 || at + tail > text.size()) return lead;
    char32_t code = lead & (0x3Fu >> tail);
    for (std::size_t i = 0; i < tail; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) return lead;
        code = (code << 6) | (next & 0x3Fu);
    }
    at += tail;
    return code;
}

// UTF-8 as UTF-16; a byte that begins no complete sequence becomes U+FFFD, the rest is kept.
inline std::u16string utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t start = at;
        char32_t code = nextUtf8CodePoint(text, at);
        if (code >= 0x80 && at == start + 1) code = 0xFFFD;
        if (code >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
    }
    return out;
}

// How many UTF-16 units the UTF-8 text takes: one per code point, two above the first plane.
constexpr std::size_t utf16Length(std::string_view utf8) {
    std::size_t units = 0;
    for (std::size_t at = 0; at < utf8.size();) {
        units += nextUtf8CodePoint(utf8, at) >= 0x10000 ? 2u : 1u;
    }
    return units;
}

}  // namespace chkmend::platform
