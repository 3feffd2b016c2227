#include "recovery/safe_name.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/utf16.h"

namespace chkmend {

namespace {

bool isForbidden(unsigned char c) {
    constexpr std::string_view Forbidden = "\\/:<>\"|?*";
    return c < 0x20 || c == 0x7F || Forbidden.find(static_cast<char>(c)) != std::string_view::npos;
}

// Windows opens a device, not a file, for these base names, with or without extension.
bool isDeviceName(std::string_view base) {
    static constexpr std::array<std::string_view, 6> Plain = {"CON", "PRN",    "AUX",
                                                              "NUL", "CONIN$", "CONOUT$"};
    std::string upper(base);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    // Windows ignores trailing blanks of the base when it looks for a device.
    upper.erase(upper.find_last_not_of(' ') + 1);
    if (std::find(Plain.begin(), Plain.end(), upper) != Plain.end()) return true;
    return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) &&
           upper[3] >= '1' && upper[3] <= '9';
}

// The capital of a letter whose partner lies next to it: the capital on the even code point of
// the pair when `capitalsEven`, on the odd one otherwise.
char32_t pairedCapital(char32_t c, bool capitalsEven) {
    const bool even = (c & 1) == 0;
    return even == capitalsEven ? c : c - 1;
}

char32_t latinCapital(char32_t c) {
    if (c >= U'a' && c <= U'z') return c - 0x20;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;  // à..þ, not ÷
    if (c == 0xFF) return 0x178;                               // ÿ
    // Latin Extended-A alternates capital and small; ı, ĸ, ŉ and ſ have no partner there.
    if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) {
        return pairedCapital(c, true);
    }
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return pairedCapital(c, false);
    return c;
}

char32_t greekCapital(char32_t c) {
    if (c == 0x3C2) return 0x3A3;                   // final sigma
    if (c >= 0x3B1 && c <= 0x3CB) return c - 0x20;  // α..ω, ϊ, ϋ
    if (c == 0x3AC) return 0x386;                   // ά
    if (c >= 0x3AD && c <= 0x3AF) return c - 0x25;  // έ, ή, ί
    if (c == 0x3CC) return 0x38C;                   // ό
    if (c == 0x3CD || c == 0x3CE) return c - 0x3F;  // ύ, ώ
    return c;
}

char32_t cyrillicCapital(char32_t c) {
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;  // а..я
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;  // ѐ..џ
    if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F)) {
        return pairedCapital(c, true);
    }
    if (c >= 0x4C1 && c <= 0x4CE) return pairedCapital(c, false);
    if (c == 0x4CF) return 0x4C0;
    return c;
}

char32_t capitalOf(char32_t c) {
    if (c < 0x180) return latinCapital(c);
    if (c >= 0x370 && c < 0x400) return greekCapital(c);
    if (c >= 0x400 && c < 0x530) return cyrillicCapital(c);
    return c;
}

}  // namespace

std::string foldCase(std::string_view name) {
    std::string folded;
    folded.reserve(name.size());
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t start = at;
        const char32_t code = platform::nextUtf8CodePoint(name, at);
        const char32_t capital = code < 0x80 || at > start + 1 ? capitalOf(code) : code;
        if (capital == code) {
            folded.append(name, start, at - start);
        } else {
            platform::appendUtf8(folded, capital);
        }
    }
    return folded;
}

std::string safeName(std::string_view name) {
    if (name.empty()) return "_";
    if (name == ".") return "_";
    if (name == "..") return "__";
    std::string safe(name);
    for (char& c : safe) {
        if (isForbidden(static_cast<unsigned char>(c))) c = '_';
    }
    const std::size_t baseEnd = std::min(safe.find('.'), safe.size());
    if (isDeviceName(std::string_view(safe).substr(0, baseEnd))) {
        safe = safe.substr(0, baseEnd) + '_' + safe.substr(baseEnd);
    }
    // Windows drops trailing dots and blanks, so "a." would land on "a".
    if (safe.back() == '.' || safe.back() == ' ') safe += '_';
    return safe;
}

}  // namespace chkmend
