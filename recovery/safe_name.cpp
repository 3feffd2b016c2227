#include "recovery/safe_name.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>

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

}  // namespace

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
