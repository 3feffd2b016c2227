// Lower case for 8.3 names whose case flags ask for it. The letters of the OEM code pages are
// Latin, Greek and Cyrillic (and fullwidth Latin in the East Asian ones); each maps to its
// Unicode lower-case partner, as mtools shows such names, whatever code page they came from.
#pragma once

#include <string>
#include <string_view>

#include "platform/utf16.h"

namespace chkmend {

// Upper and lower case alternate from an even (or odd) first letter to a last one.
constexpr bool inPairedRange(char32_t c, char32_t first, char32_t last) {
    return c >= first && c <= last && (c - first) % 2 == 0;
}

constexpr char32_t lowerCaseLetter(char32_t c) {
    const auto shifted = [c](char32_t first, char32_t last, char32_t by) {
        return c >= first && c <= last ? c + by : 0;
    };
    for (const char32_t lower :
         {shifted('A', 'Z', 32), shifted(0xC0, 0xD6, 32), shifted(0xD8, 0xDE, 32),
          shifted(0x391, 0x3A1, 32), shifted(0x3A3, 0x3AB, 32), shifted(0x388, 0x38A, 37),
          shifted(0x38E, 0x38F, 63), shifted(0x400, 0x40F, 80), shifted(0x410, 0x42F, 32),
          shifted(0x2160, 0x216F, 16), shifted(0xFF21, 0xFF3A, 32)}) {
        if (lower != 0) return lower;
    }
    if (c == 0x130) return 'i';  // dotted capital I
    if (c == 0x178) return 0xFF;
    if (c == 0x386) return 0x3AC;
    if (c == 0x38C) return 0x3CC;
    if (c == 0x4C0) return 0x4CF;
    if (inPairedRange(c, 0x100, 0x12E) || inPairedRange(c, 0x132, 0x136) ||
        inPairedRange(c, 0x139, 0x147) || inPairedRange(c, 0x14A, 0x176) ||
        inPairedRange(c, 0x179, 0x17D) || inPairedRange(c, 0x460, 0x480) ||
        inPairedRange(c, 0x48A, 0x4BE) || inPairedRange(c, 0x4C1, 0x4CD) ||
        inPairedRange(c, 0x4D0, 0x52E)) {
        return c + 1;
    }
    return c;
}

static_assert(lowerCaseLetter('N') == 'n' && lowerCaseLetter('n') == 'n');
static_assert(lowerCaseLetter(0xC4) == 0xE4);    // Ä
static_assert(lowerCaseLetter(0xD7) == 0xD7);    // multiplication sign
static_assert(lowerCaseLetter(0x3A3) == 0x3C3);  // Σ
static_assert(lowerCaseLetter(0x3A2) == 0x3A2);  // no capital final sigma
static_assert(lowerCaseLetter(0x141) == 0x142);  // Ł
static_assert(lowerCaseLetter(0x142) == 0x142);
static_assert(lowerCaseLetter(0x401) == 0x451);  // Ё
static_assert(lowerCaseLetter(0x490) == 0x491);  // Ґ

inline std::string lowerCased(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t at = 0; at < utf8.size();) {
        platform::appendUtf8(out, lowerCaseLetter(platform::nextUtf8CodePoint(utf8, at)));
    }
    return out;
}

}  // namespace chkmend
