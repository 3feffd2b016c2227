// Telling what an anonymous file holds from its content, for the richer naming the user asks
// for: pictures, camera raws, video, audio, documents, archives and text. Pure functions of the
// bytes handed in; the caller reads the volume.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

namespace chkmend {

using Bytes = std::span<const std::uint8_t>;

// The first bytes of a file that every row may look at; a few rows ask for more.
inline constexpr std::uint32_t IdentifyHeadBytes = 4096;

// `length` bytes of the same content from `offset`, or an empty span when the content does not
// hold them. The span stays valid until the next call.
using ContentReader = std::function<Bytes(std::uint32_t offset, std::uint32_t length)>;

struct Content {
    // The first IdentifyHeadBytes bytes, or the whole content when it is shorter.
    Bytes head;
    // The unit the text row judges: a salvaged chain is whole clusters, so a short text is
    // followed by the zeros of its last cluster's slack.
    std::uint32_t clusterBytes = 0;
    // Where the rows that look past the head read; without it they fail.
    ContentReader read;
};

// The extension (with its dot, lower case) of the first row of the type table that matches, or
// the empty text. Content the classic signatures name keeps their extension unless a row names
// the same content more precisely (a ZIP that is a DOCX, an MZ file that is a DLL).
std::string_view identifyContent(const Content& content);

}  // namespace chkmend
