#include "recovery/identify.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

namespace chkmend {

namespace {

using namespace std::string_view_literals;

// Every parse below is bounded by the bytes in hand and by a small step count: the content is
// whatever a lost chain holds, and no length inside it is trusted.
constexpr int MaxZipEntries = 16;
constexpr int MaxBrands = 64;
constexpr int MaxTiffEntries = 64;
constexpr int MaxElements = 16;
constexpr int MaxAsfObjects = 32;
constexpr int MaxCompoundSectors = 8;
constexpr std::size_t MaxCompoundEntries = 64;

bool holds(Bytes bytes, std::uint64_t at, std::uint64_t count) {
    return at <= bytes.size() && count <= bytes.size() - at;
}

std::uint32_t readUint(Bytes bytes, std::size_t at, int width, bool bigEndian) {
    std::uint32_t value = 0;
    for (int i = 0; i < width; ++i) {
        value = value << 8 | bytes[at + static_cast<std::size_t>(bigEndian ? i : width - 1 - i)];
    }
    return value;
}
std::uint32_t le16(Bytes bytes, std::size_t at) {
    return readUint(bytes, at, 2, false);
}
std::uint32_t le32(Bytes bytes, std::size_t at) {
    return readUint(bytes, at, 4, false);
}
std::uint32_t be32(Bytes bytes, std::size_t at) {
    return readUint(bytes, at, 4, true);
}

bool textAt(Bytes bytes, std::uint64_t at, std::string_view text) {
    return holds(bytes, at, text.size()) &&
           std::memcmp(bytes.data() + at, text.data(), text.size()) == 0;
}

std::string_view textOf(Bytes bytes, std::size_t at, std::size_t count) {
    return {reinterpret_cast<const char*>(bytes.data()) + at, count};
}

// Whether `name` is one of the '|'-separated names of `list`; a name there that ends in '*'
// stands for every name it begins.
bool listed(std::string_view name, std::string_view list) {
    while (!list.empty()) {
        const std::size_t bar = std::min(list.find('|'), list.size());
        const std::string_view item = list.substr(0, bar);
        if (item.ends_with('*') ? name.starts_with(item.substr(0, item.size() - 1))
                                : item == name) {
            return true;
        }
        list.remove_prefix(std::min(bar + 1, list.size()));
    }
    return false;
}

// `length` bytes from `offset`, from the head when it has them, else from the reader. A head
// shorter than IdentifyHeadBytes is the whole content.
Bytes bytesAt(const Content& content, std::uint64_t offset, std::uint32_t length) {
    if (holds(content.head, offset, length)) return content.head.subspan(offset, length);
    if (!content.read || content.head.size() < IdentifyHeadBytes) return {};
    if (offset + length > UINT32_MAX) return {};
    const Bytes bytes = content.read(static_cast<std::uint32_t>(offset), length);
    return bytes.size() == length ? bytes : Bytes{};
}

// ---- Containers that carry a form type: RIFF, IFF, TIFF-based raws.

bool tagAt8(const Content& content, std::string_view tag) {
    return textAt(content.head, 8, tag);
}

// ---- ISO base media (MP4, MOV, HEIC, AVIF, CR3...): the brands of the leading `ftyp` box.

// Brand lists are runs of four-character brands, some with blanks ("qt  ").
bool brandListed(Bytes brand, std::string_view brands) {
    for (std::size_t at = 0; at + 4 <= brands.size(); at += 4) {
        if (std::memcmp(brand.data(), brands.data() + at, 4) == 0) return true;
    }
    return false;
}

bool majorBrand(const Content& content, std::string_view brands) {
    return holds(content.head, 8, 4) && brandListed(content.head.subspan(8, 4), brands);
}

bool compatibleBrand(const Content& content, std::string_view brands) {
    const Bytes head = content.head;
    if (!holds(head, 0, 16)) return false;
    const std::size_t end = std::min<std::size_t>(be32(head, 0), head.size());
    int steps = 0;
    for (std::size_t at = 16; at + 4 <= end && steps < MaxBrands; at += 4, ++steps) {
        if (brandListed(head.subspan(at, 4), brands)) return true;
    }
    return false;
}

// A QuickTime file without `ftyp` starts with one of its top-level atoms.
bool atomSize(const Content& content, std::string_view) {
    return holds(content.head, 0, 8) && be32(content.head, 0) >= 8;
}

// ---- EBML (Matroska, WebM): the DocType element of the header.

struct Vint {
    std::uint64_t value = 0;
    std::size_t length = 0;  // 0: no valid number here
};

Vint readVint(Bytes bytes, std::size_t at, bool keepMarker) {
    if (!holds(bytes, at, 1) || bytes[at] == 0) return {};
    const auto length = static_cast<std::size_t>(std::countl_zero(bytes[at])) + 1;
    if (!holds(bytes, at, length)) return {};
    std::uint64_t value = keepMarker ? bytes[at] : bytes[at] & (0xFFu >> length);
    for (std::size_t i = 1; i < length; ++i) value = value << 8 | bytes[at + i];
    return {value, length};
}

bool ebmlDocType(const Content& content, std::string_view docType) {
    const Bytes head = content.head;
    const Vint headerSize = readVint(head, 4, false);
    if (headerSize.length == 0) return false;
    std::size_t at = 4 + headerSize.length;
    const std::size_t end =
        static_cast<std::size_t>(std::min<std::uint64_t>(at + headerSize.value, head.size()));
    for (int step = 0; step < MaxElements && at < end; ++step) {
        const Vint id = readVint(head, at, true);
        const Vint size = id.length == 0 ? Vint{} : readVint(head, at + id.length, false);
        if (size.length == 0 || size.value > end) return false;
        const std::size_t data = at + id.length + size.length;
        if (!holds(head, data, size.value)) return false;
        if (id.value == 0x4282) {
            const std::string_view value = textOf(head, data, size.value);
            return value.substr(0, value.find('\0')) == docType;
        }
        at = data + size.value;
    }
    return false;
}

// ---- TIFF and the raw formats built on it, told apart by IFD0's entries.

struct TiffEntry {
    std::uint32_t tag = 0;
    std::uint32_t count = 0;
    std::size_t valueAt = 0;  // where the value stands, inline or at its offset
};

// Calls `wanted` for IFD0's entries in hand until it says yes.
template <typename Wanted>
bool anyIfd0Entry(Bytes head, Wanted wanted) {
    if (!holds(head, 0, 8)) return false;
    const bool big = head[0] == 'M';
    if (!(textAt(head, 0, "II*\0"sv) || textAt(head, 0, "MM\0*"sv))) return false;
    const std::uint32_t ifd = readUint(head, 4, 4, big);
    if (!holds(head, ifd, 2)) return false;
    const std::uint32_t count =
        std::min<std::uint32_t>(readUint(head, ifd, 2, big), MaxTiffEntries);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t at = ifd + 2 + std::uint64_t{i} * 12;
        if (!holds(head, at, 12)) return false;
        TiffEntry entry{readUint(head, at, 2, big), readUint(head, at + 4, 4, big), at + 8};
        if (entry.count > 4) entry.valueAt = readUint(head, at + 8, 4, big);
        if (wanted(entry)) return true;
    }
    return false;
}

bool tiffMake(const Content& content, std::string_view make) {
    return anyIfd0Entry(content.head, [&](const TiffEntry& entry) {
        return entry.tag == 0x010F && entry.count >= make.size() &&
               textAt(content.head, entry.valueAt, make);
    });
}

// Any maker's camera may write DNG, so its version tag decides before the maker does.
bool dngVersion(const Content& content, std::string_view) {
    return anyIfd0Entry(content.head, [](const TiffEntry& entry) { return entry.tag == 0xC612; });
}

// ---- ZIP and the formats packed in it, told apart by the first entries' names.

struct ZipEntry {
    std::string_view name;
    Bytes stored;  // the data when stored uncompressed and in hand, else empty
};

// Calls `wanted` for the local headers in the head until it says yes. A header whose sizes
// follow its data leaves the next one to be searched for.
template <typename Wanted>
bool anyZipEntry(Bytes head, Wanted wanted) {
    std::size_t at = 0;
    for (int step = 0; step < MaxZipEntries && textAt(head, at, "PK\3\4"sv); ++step) {
        if (!holds(head, at, 30)) return false;
        const std::uint32_t flags = le16(head, at + 6);
        const std::uint32_t method = le16(head, at + 8);
        const std::uint32_t packed = le32(head, at + 18);
        const std::size_t name = at + 30;
        const std::size_t data = name + le16(head, at + 26) + le16(head, at + 28);
        if (!holds(head, name, le16(head, at + 26))) return false;
        const bool inHand = method == 0 && holds(head, data, packed);
        if (wanted(ZipEntry{textOf(head, name, le16(head, at + 26)),
                            inHand ? head.subspan(data, packed) : Bytes{}})) {
            return true;
        }
        if ((flags & 0x08) == 0 && packed != 0xFFFFFFFF) {
            at = data + packed;
            continue;
        }
        const auto rest = std::min(data, head.size());
        const auto next = std::search(head.begin() + static_cast<std::ptrdiff_t>(rest), head.end(),
                                      "PK\3\4"sv.begin(), "PK\3\4"sv.end());
        at = static_cast<std::size_t>(next - head.begin());
    }
    return false;
}

bool zipEntryNamed(const Content& content, std::string_view names) {
    return anyZipEntry(content.head, [&](const ZipEntry& e) { return listed(e.name, names); });
}

// OpenDocument and EPUB name their type in a first entry "mimetype", stored uncompressed.
bool zipMimetype(const Content& content, std::string_view mimetype) {
    bool first = true;
    return anyZipEntry(content.head, [&](const ZipEntry& e) {
        const bool match =
            first && e.name == "mimetype" && textOf(e.stored, 0, e.stored.size()) == mimetype;
        first = false;
        return match;
    });
}

// Office Open XML: a [Content_Types].xml entry and parts under the application's folder.
bool officePart(const Content& content, std::string_view folder) {
    return zipEntryNamed(content, "[Content_Types].xml") &&
           anyZipEntry(content.head, [&](const ZipEntry& e) { return e.name.starts_with(folder); });
}

// ---- MZ: a PE image whose header marks it a DLL.

bool peDll(const Content& content, std::string_view) {
    const Bytes head = content.head;
    if (!holds(head, 0x3C, 4)) return false;
    const std::uint32_t pe = le32(head, 0x3C);
    return textAt(head, pe, "PE\0\0"sv) && holds(head, pe + 22ull, 2) &&
           (le16(head, pe + 22) & 0x2000) != 0;
}

// ---- ASF: Windows Media video or audio, by the stream types the header declares.

constexpr std::string_view StreamPropertiesGuid =
    "\x91\x07\xDC\xB7\xB7\xA9\xCF\x11\x8E\xE6\x00\xC0\x0C\x20\x53\x65"sv;
constexpr std::string_view VideoMediaGuid =
    "\xC0\xEF\x19\xBC\x4D\x5B\xCF\x11\xA8\xFD\x00\x80\x5F\x5C\x44\x2B"sv;
constexpr std::string_view AudioMediaGuid =
    "\x40\x9E\x69\xF8\x4D\x5B\xCF\x11\xA8\xFD\x00\x80\x5F\x5C\x44\x2B"sv;

bool asfStream(const Content& content, std::string_view media) {
    const Bytes head = content.head;
    const std::string_view type = media == "video" ? VideoMediaGuid : AudioMediaGuid;
    std::uint64_t at = 30;  // the header object's own fields
    for (int step = 0; step < MaxAsfObjects && holds(head, at, 24); ++step) {
        if (textAt(head, at, StreamPropertiesGuid) && textAt(head, at + 24, type)) return true;
        const std::uint64_t objectSize =
            std::uint64_t{le32(head, at + 16)} | std::uint64_t{le32(head, at + 20)} << 32;
        if (objectSize < 24 || objectSize > head.size()) return false;
        at += objectSize;
    }
    return false;
}

// ---- Compound files (DOC, XLS, PPT, MSG): the names of the root storage's entries.

struct CompoundEntry {
    std::string name;  // UTF-16 names narrowed; only ASCII names are looked for
    std::uint8_t type = 0;
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    std::uint32_t child = 0;
};

constexpr std::uint32_t NoStream = 0xFFFFFFFF;
constexpr std::uint32_t LastRegularSector = 0xFFFFFFF9;

CompoundEntry compoundEntry(Bytes bytes, std::size_t at) {
    CompoundEntry entry;
    const std::size_t units = std::min<std::uint32_t>(le16(bytes, at + 64), 64) / 2;
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint32_t unit = le16(bytes, at + 2 * i);
        if (unit == 0) break;
        entry.name.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    entry.type = bytes[at + 66];
    entry.left = le32(bytes, at + 68);
    entry.right = le32(bytes, at + 72);
    entry.child = le32(bytes, at + 76);
    return entry;
}

// The successor of a directory sector, through the allocation sectors the header lists.
std::uint32_t nextCompoundSector(const Content& content, std::uint32_t sector, int shift) {
    const std::uint32_t perSector = (1u << shift) / 4;
    const std::uint32_t fatIndex = sector / perSector;
    if (fatIndex >= 109) return NoStream;  // beyond the header's list
    const std::uint32_t fatSector = le32(content.head, 0x4C + 4 * fatIndex);
    if (fatSector > LastRegularSector) return NoStream;
    const Bytes entry =
        bytesAt(content, ((std::uint64_t{fatSector} + 1) << shift) + 4 * (sector % perSector), 4);
    return entry.empty() ? NoStream : le32(entry, 0);
}

std::vector<CompoundEntry> compoundDirectory(const Content& content) {
    std::vector<CompoundEntry> entries;
    if (!holds(content.head, 0, 512)) return entries;
    const std::uint32_t shift = le16(content.head, 0x1E);
    if (shift != 9 && shift != 12) return entries;
    std::uint32_t sector = le32(content.head, 0x30);
    for (int step = 0; step < MaxCompoundSectors && sector <= LastRegularSector; ++step) {
        const Bytes bytes = bytesAt(content, (std::uint64_t{sector} + 1) << shift, 1u << shift);
        if (bytes.empty()) break;
        for (std::size_t at = 0; at + 128 <= bytes.size(); at += 128) {
            if (entries.size() == MaxCompoundEntries) return entries;
            entries.push_back(compoundEntry(bytes, at));
        }
        sector = nextCompoundSector(content, sector, static_cast<int>(shift));
    }
    return entries;
}

// Whether the root storage holds a stream or storage of one of the names (see `listed`).
bool compoundRootHolds(const Content& content, std::string_view names) {
    const std::vector<CompoundEntry> entries = compoundDirectory(content);
    if (entries.empty() || entries[0].type != 5) return false;
    // The root's children form a tree through left and right links; walk it, each entry once.
    std::array<bool, MaxCompoundEntries> seen{};
    std::vector<std::uint32_t> pending{entries[0].child};
    while (!pending.empty()) {
        const std::uint32_t id = pending.back();
        pending.pop_back();
        if (id >= entries.size() || seen[id]) continue;
        seen[id] = true;
        const CompoundEntry& entry = entries[id];
        if ((entry.type == 1 || entry.type == 2) && listed(entry.name, names)) return true;
        pending.push_back(entry.left);
        pending.push_back(entry.right);
    }
    return false;
}

// ---- Audio streams without a container: frames that follow each other.

constexpr std::array<std::uint16_t, 15> Mpeg1Layer3Kbps = {0,   32,  40,  48,  56,  64,  80, 96,
                                                           112, 128, 160, 192, 224, 256, 320};
constexpr std::array<std::uint16_t, 15> Mpeg2Layer3Kbps = {0,  8,  16, 24,  32,  40,  48, 56,
                                                           64, 80, 96, 112, 128, 144, 160};
constexpr std::array<std::uint32_t, 3> Mpeg1Rates = {44100, 48000, 32000};

// The length of the MPEG audio layer III frame whose header is at `at`, or 0.
std::uint32_t mp3FrameLength(Bytes bytes, std::size_t at) {
    if (!holds(bytes, at, 4) || bytes[at] != 0xFF || (bytes[at + 1] & 0xE0) != 0xE0) return 0;
    const unsigned version =
        (bytes[at + 1] >> 3) & 3u;  // 0: MPEG 2.5, 1: reserved, 2: MPEG 2, 3: MPEG 1
    const unsigned layer = (bytes[at + 1] >> 1) & 3u;  // 1: layer III
    const unsigned bitrate = bytes[at + 2] >> 4;
    const unsigned rate = (bytes[at + 2] >> 2) & 3u;
    if (version == 1 || layer != 1 || bitrate == 0 || bitrate == 15 || rate == 3) return 0;
    const std::uint32_t hertz = Mpeg1Rates[rate] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    const std::uint32_t kbps = (version == 3 ? Mpeg1Layer3Kbps : Mpeg2Layer3Kbps)[bitrate];
    const std::uint32_t padding = (bytes[at + 2] >> 1) & 1;
    return (version == 3 ? 144000 : 72000) * kbps / hertz + padding;
}

bool mp3Frames(const Content& content, std::string_view) {
    const std::uint32_t length = mp3FrameLength(content.head, 0);
    return length != 0 && mp3FrameLength(content.head, length) != 0;
}

// The length of the ADTS frame (AAC) whose header is at `at`, or 0.
std::uint32_t adtsFrameLength(Bytes bytes, std::size_t at) {
    if (!holds(bytes, at, 7) || bytes[at] != 0xFF || (bytes[at + 1] & 0xF6) != 0xF0) return 0;
    if (((bytes[at + 2] >> 2) & 0x0F) >= 13) return 0;  // sampling frequency index
    const std::uint32_t length =
        (bytes[at + 3] & 3u) << 11 | std::uint32_t{bytes[at + 4]} << 3 | bytes[at + 5] >> 5;
    return length >= 7 ? length : 0;
}

bool adtsFrames(const Content& content, std::string_view) {
    const std::uint32_t length = adtsFrameLength(content.head, 0);
    return length != 0 && adtsFrameLength(content.head, length) != 0;
}

// ---- MPEG systems streams.

// Transport stream packets of `step` bytes whose sync byte 0x47 sits at `first`.
bool syncEvery(Bytes head, std::size_t first, std::size_t step) {
    constexpr std::size_t MinPackets = 4;
    constexpr std::size_t MaxPackets = 16;
    std::size_t packets = 0;
    for (std::size_t at = first; holds(head, at, 1) && packets < MaxPackets; at += step) {
        if (head[at] != 0x47) return false;
        ++packets;
    }
    return packets >= MinPackets;
}

bool transportPackets(const Content& content, std::string_view) {
    return syncEvery(content.head, 0, 188);
}

// M2TS (AVCHD cameras) puts a four-byte time code before every packet.
bool timecodedPackets(const Content& content, std::string_view) {
    return syncEvery(content.head, 4, 192);
}

bool packHeader(const Content& content, std::string_view) {
    if (!holds(content.head, 4, 1)) return false;
    const std::uint8_t marker = content.head[4];
    return (marker & 0xC4) == 0x44 || (marker & 0xF1) == 0x21;  // MPEG-2, MPEG-1
}

// ---- Pictures whose few magic bytes need a second look.

bool bitmapHeader(const Content& content, std::string_view) {
    const Bytes head = content.head;
    if (!holds(head, 0, 18) || le32(head, 6) != 0) return false;
    const std::uint32_t info = le32(head, 14);
    return info == 12 || info == 40 || info == 52 || info == 56 || info == 64 || info == 108 ||
           info == 124;
}

bool iconDirectory(const Content& content, std::string_view) {
    const Bytes head = content.head;
    const std::uint32_t count = holds(head, 0, 22) ? le16(head, 4) : 0;
    if (count == 0 || head[9] != 0) return false;
    const std::uint32_t planes = le16(head, 10);
    const std::uint32_t bits = le16(head, 12);
    return planes <= 1 &&
           (bits == 0 || bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 ||
            bits == 32) &&
           le32(head, 14) != 0 && le32(head, 18) >= 6 + 16 * count;
}

// ---- Archives.

bool bzip2Block(const Content& content, std::string_view) {
    const Bytes head = content.head;
    return holds(head, 3, 1) && head[3] >= '1' && head[3] <= '9' &&
           (textAt(head, 4, "\x31\x41\x59\x26\x53\x59"sv) ||
            textAt(head, 4, "\x17\x72\x45\x38\x50\x90"sv));
}

// A tar header's checksum: its bytes summed with the checksum field taken as blanks.
bool tarChecksum(const Content& content, std::string_view) {
    const Bytes head = content.head;
    if (!holds(head, 0, 512)) return false;
    std::uint32_t stored = 0;
    for (std::size_t at = 148; at < 156 && head[at] >= '0' && head[at] <= '7'; ++at) {
        stored = stored * 8 + static_cast<std::uint32_t>(head[at] - '0');
    }
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < 512; ++at)
        sum += at >= 148 && at < 156 ? std::uint32_t{' '} : head[at];
    return sum == stored;
}

// ---- Text: the whole first cluster, or the whole content when shorter.

constexpr int InvalidSequence = -1;
constexpr int CutSequence = -2;

int utf8SequenceLength(Bytes bytes, std::size_t at) {
    const std::uint8_t lead = bytes[at];
    if (lead < 0x80) return 1;
    if (lead < 0xC2 || lead > 0xF4) return InvalidSequence;
    const int length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    // The second byte's range rules out overlong forms, surrogates and code points past U+10FFFF.
    const std::uint8_t low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const std::uint8_t high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    for (int i = 1; i < length; ++i) {
        const std::size_t nextAt = at + static_cast<std::size_t>(i);
        if (nextAt >= bytes.size()) return CutSequence;
        const std::uint8_t next = bytes[nextAt];
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return InvalidSequence;
    }
    return length;
}

bool textControl(std::uint8_t byte) {
    return byte == '\t' || byte == '\n' || byte == '\v' || byte == '\f' || byte == '\r' ||
           byte == 0x1A || byte == 0x1B;  // DOS end-of-file mark, terminal escapes
}

// Whether `bytes` is UTF-8 (or ASCII) text, with nothing but zeros after it. A sequence cut by
// the end of `bytes` counts when the text runs to that end: the content may go on.
bool isTextBytes(Bytes bytes) {
    std::size_t end = bytes.size();
    while (end > 0 && bytes[end - 1] == 0) --end;
    if (end == 0) return false;
    const Bytes text = bytes.first(end);
    for (std::size_t at = 0; at < text.size();) {
        const std::uint8_t byte = text[at];
        if ((byte < 0x20 && !textControl(byte)) || byte == 0x7F) return false;
        const int length = utf8SequenceLength(text, at);
        if (length == CutSequence) return end == bytes.size();
        if (length == InvalidSequence) return false;
        at += static_cast<std::size_t>(length);
    }
    return true;
}

bool isText(const Content& content, std::string_view) {
    if (!isTextBytes(content.head)) return false;
    if (content.clusterBytes <= content.head.size() || content.head.size() < IdentifyHeadBytes) {
        return true;  // the head is the whole cluster, or the whole content
    }
    // The head looks like text: judge the whole first cluster, which the chain holds whole.
    const Bytes cluster = bytesAt(content, 0, content.clusterBytes);
    return !cluster.empty() && isTextBytes(cluster);
}

// ---- The table.

using Check = bool (*)(const Content&, std::string_view argument);

struct TypeRow {
    std::string_view name;
    std::uint32_t offset;       // where `magic` stands
    std::string_view magic;     // may be empty: the check alone decides
    Check check;                // nullptr: the magic alone decides
    std::string_view argument;  // handed to the check
    std::string_view extension;
};

constexpr std::string_view Zip = "PK\3\4"sv;
constexpr std::string_view Compound = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv;
constexpr std::string_view Asf =
    "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"sv;
constexpr std::string_view Ebml = "\x1A\x45\xDF\xA3"sv;

// Tested in this order; the first match decides. The classic eight signatures come first, each
// after the rows that name its content more precisely, so that what they name keeps its
// extension; the further types follow, the costly reads (compound directory, ISO 9660, a text
// cluster) last.
constexpr TypeRow TypeTable[] = {
    // The classic signatures and their refinements.
    {"JPEG picture, any first segment", 0, "\xFF\xD8\xFF"sv, nullptr, {}, ".jpg"},
    {"RAR archive", 0, "Rar!"sv, nullptr, {}, ".rar"},
    {"EPUB book", 0, Zip, zipMimetype, "application/epub+zip", ".epub"},
    {"OpenDocument text", 0, Zip, zipMimetype, "application/vnd.oasis.opendocument.text", ".odt"},
    {"OpenDocument spreadsheet", 0, Zip, zipMimetype,
     "application/vnd.oasis.opendocument.spreadsheet", ".ods"},
    {"OpenDocument presentation", 0, Zip, zipMimetype,
     "application/vnd.oasis.opendocument.presentation", ".odp"},
    {"Word document (Office Open XML)", 0, Zip, officePart, "word/", ".docx"},
    {"Excel workbook (Office Open XML)", 0, Zip, officePart, "xl/", ".xlsx"},
    {"PowerPoint presentation (Office Open XML)", 0, Zip, officePart, "ppt/", ".pptx"},
    {"Android package", 0, Zip, zipEntryNamed, "AndroidManifest.xml|classes.dex|resources.arsc",
     ".apk"},
    {"Java archive", 0, Zip, zipEntryNamed, "META-INF/MANIFEST.MF|META-INF/", ".jar"},
    {"ZIP archive", 0, Zip, nullptr, {}, ".zip"},
    {"Flash movie", 0, "FWS"sv, nullptr, {}, ".swf"},
    {"PDF document", 0, "%PDF"sv, nullptr, {}, ".pdf"},
    {"MP3 audio with ID3 tag", 0, "ID3"sv, nullptr, {}, ".mp3"},
    {"Ogg media", 0, "OggS"sv, nullptr, {}, ".ogg"},
    {"Windows DLL", 0, "MZ"sv, peDll, {}, ".dll"},
    {"DOS or Windows program", 0, "MZ"sv, nullptr, {}, ".exe"},

    // Pictures and camera raws.
    {"PNG picture", 0, "\x89PNG\r\n\x1A\n"sv, nullptr, {}, ".png"},
    {"GIF picture", 0, "GIF87a"sv, nullptr, {}, ".gif"},
    {"GIF picture", 0, "GIF89a"sv, nullptr, {}, ".gif"},
    {"BMP picture", 0, "BM"sv, bitmapHeader, {}, ".bmp"},
    {"WebP picture", 0, "RIFF"sv, tagAt8, "WEBP", ".webp"},
    {"Photoshop picture", 0, "8BPS\0\1"sv, nullptr, {}, ".psd"},
    {"Photoshop large picture", 0, "8BPS\0\2"sv, nullptr, {}, ".psb"},
    {"Windows icon", 0, "\0\0\1\0"sv, iconDirectory, {}, ".ico"},
    {"Canon raw (CR2)", 0, "II*\0"sv, tagAt8, "CR\x02\x00"sv, ".cr2"},
    {"Olympus raw", 0, "IIRO"sv, nullptr, {}, ".orf"},
    {"Olympus raw", 0, "IIRS"sv, nullptr, {}, ".orf"},
    {"Olympus raw", 0, "MMOR"sv, nullptr, {}, ".orf"},
    {"Panasonic raw", 0, "IIU\0"sv, nullptr, {}, ".rw2"},
    {"Fujifilm raw", 0, "FUJIFILMCCD-RAW "sv, nullptr, {}, ".raf"},
    {"Digital negative", 0, {}, dngVersion, {}, ".dng"},
    {"Nikon raw", 0, {}, tiffMake, "NIKON", ".nef"},
    {"Sony raw", 0, {}, tiffMake, "SONY", ".arw"},
    {"TIFF picture", 0, "II*\0"sv, nullptr, {}, ".tif"},
    {"TIFF picture", 0, "MM\0*"sv, nullptr, {}, ".tif"},

    // ISO base media, by the brand of the leading ftyp box.
    {"AVIF picture", 4, "ftyp"sv, majorBrand, "avifavis", ".avif"},
    {"HEIC picture", 4, "ftyp"sv, majorBrand, "heicheixhevchevxheimheis", ".heic"},
    {"Canon raw (CR3)", 4, "ftyp"sv, majorBrand, "crx ", ".cr3"},
    {"QuickTime movie", 4, "ftyp"sv, majorBrand, "qt  ", ".mov"},
    {"iTunes video", 4, "ftyp"sv, majorBrand, "M4V M4VHM4VP", ".m4v"},
    {"MPEG-4 audio", 4, "ftyp"sv, majorBrand, "M4A M4B M4P ", ".m4a"},
    {"3GPP video", 4, "ftyp"sv, majorBrand, "3gp43gp53gp63gp73ge63ge73gg63gs63gs7", ".3gp"},
    {"3GPP2 video", 4, "ftyp"sv, majorBrand, "3g2a3g2b3g2c", ".3g2"},
    {"MPEG-4 video", 4, "ftyp"sv, majorBrand,
     "isomiso2iso3iso4iso5iso6mp41mp42avc1dashmmp4MSNVNDASXAVC", ".mp4"},
    {"AVIF picture", 4, "ftyp"sv, compatibleBrand, "avifavis", ".avif"},
    {"HEIC picture", 4, "ftyp"sv, compatibleBrand, "heicheix", ".heic"},
    {"HEIF picture", 4, "ftyp"sv, majorBrand, "mif1msf1", ".heif"},
    {"QuickTime movie", 4, "ftyp"sv, compatibleBrand, "qt  ", ".mov"},
    {"MPEG-4 video", 4, "ftyp"sv, compatibleBrand, "isomiso2mp41mp42", ".mp4"},
    {"QuickTime movie without ftyp", 4, "moov"sv, atomSize, {}, ".mov"},
    {"QuickTime movie without ftyp", 4, "mdat"sv, atomSize, {}, ".mov"},
    {"QuickTime movie without ftyp", 4, "wide"sv, atomSize, {}, ".mov"},

    // Other video.
    {"AVI video", 0, "RIFF"sv, tagAt8, "AVI ", ".avi"},
    {"WebM video", 0, Ebml, ebmlDocType, "webm", ".webm"},
    {"Matroska video", 0, Ebml, ebmlDocType, "matroska", ".mkv"},
    {"MPEG transport stream", 0, "G"sv, transportPackets, {}, ".ts"},
    {"MPEG transport stream with time codes (AVCHD)", 4, "G"sv, timecodedPackets, {}, ".m2ts"},
    {"MPEG program stream", 0, "\0\0\1\xBA"sv, packHeader, {}, ".mpg"},
    {"Windows Media video", 0, Asf, asfStream, "video", ".wmv"},
    {"Windows Media audio", 0, Asf, asfStream, "audio", ".wma"},
    {"Advanced Systems Format", 0, Asf, nullptr, {}, ".asf"},
    {"Flash video", 0, "FLV\1"sv, nullptr, {}, ".flv"},

    // Audio.
    {"WAVE audio", 0, "RIFF"sv, tagAt8, "WAVE", ".wav"},
    {"FLAC audio", 0, "fLaC"sv, nullptr, {}, ".flac"},
    {"AIFF audio", 0, "FORM"sv, tagAt8, "AIFF", ".aif"},
    {"AIFF-C audio", 0, "FORM"sv, tagAt8, "AIFC", ".aifc"},
    {"AAC audio (ADTS)", 0, {}, adtsFrames, {}, ".aac"},
    {"MP3 audio without tag", 0, {}, mp3Frames, {}, ".mp3"},
    {"AMR speech", 0, "#!AMR\n"sv, nullptr, {}, ".amr"},
    {"AMR wideband speech", 0, "#!AMR-WB\n"sv, nullptr, {}, ".awb"},
    {"MIDI music", 0, "MThd\0\0\0\6"sv, nullptr, {}, ".mid"},

    // Documents and archives.
    {"RTF document", 0, "{\\rtf"sv, nullptr, {}, ".rtf"},
    {"Encapsulated PostScript", 0, "%!PS-Adobe-3.0 EPSF-"sv, nullptr, {}, ".eps"},
    {"PostScript document", 0, "%!PS"sv, nullptr, {}, ".ps"},
    {"7-Zip archive", 0, "7z\xBC\xAF\x27\x1C"sv, nullptr, {}, ".7z"},
    {"gzip archive", 0, "\x1F\x8B\x08"sv, nullptr, {}, ".gz"},
    {"bzip2 archive", 0, "BZh"sv, bzip2Block, {}, ".bz2"},
    {"xz archive", 0, "\xFD\x37\x7A\x58\x5A\x00"sv, nullptr, {}, ".xz"},
    {"Zstandard archive", 0, "\x28\xB5\x2F\xFD"sv, nullptr, {}, ".zst"},
    {"tar archive", 257, "ustar"sv, tarChecksum, {}, ".tar"},
    {"SQLite database", 0, "SQLite format 3\0"sv, nullptr, {}, ".sqlite"},
    {"ELF program or library", 0, "\x7F\x45LF"sv, nullptr, {}, ".elf"},
    {"Compressed Flash movie", 0, "CWS"sv, nullptr, {}, ".swf"},
    {"LZMA Flash movie", 0, "ZWS"sv, nullptr, {}, ".swf"},
    {"Outlook message", 0, Compound, compoundRootHolds, "__properties_version1.0|__substg1.0_*",
     ".msg"},
    {"Word document", 0, Compound, compoundRootHolds, "WordDocument", ".doc"},
    {"Excel workbook", 0, Compound, compoundRootHolds, "Workbook|Book", ".xls"},
    {"PowerPoint presentation", 0, Compound, compoundRootHolds, "PowerPoint Document", ".ppt"},
    {"ISO 9660 disc image", 32769, "CD001"sv, nullptr, {}, ".iso"},
    {"Text", 0, {}, isText, {}, ".txt"},
};

bool matches(const Content& content, const TypeRow& row) {
    if (!row.magic.empty()) {
        const Bytes bytes =
            bytesAt(content, row.offset, static_cast<std::uint32_t>(row.magic.size()));
        if (!textAt(bytes, 0, row.magic)) return false;
    }
    return row.check == nullptr || row.check(content, row.argument);
}

}  // namespace

std::string_view identifyContent(const Content& content) {
    if (content.head.empty()) return {};
    for (const TypeRow& row : TypeTable) {
        if (matches(content, row)) return row.extension;
    }
    return {};
}

}  // namespace chkmend
