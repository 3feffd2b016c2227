// The richer identification behind the types switch: hand-made heads for the cases a real file
// seldom shows (hostile lengths, short content, nesting), then every real sample file that
// tests/e2e/make_samples.py made with the tools people use, against libmagic's opinion.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "recovery/identify.h"

namespace chkmend {
namespace {

using namespace std::string_view_literals;

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

void putLe(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value, int width) {
    if (bytes.size() < at + width) bytes.resize(at + width);
    for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A file as a salvaged chain holds it: whole clusters, zeros after the end. Counts the reads
// past the head.
struct SampleFile {
    std::vector<std::uint8_t> bytes;
    std::uint32_t clusterBytes;
    int furtherReads = 0;

    explicit SampleFile(std::vector<std::uint8_t> content, std::uint32_t cluster = 512)
        : bytes(std::move(content)), clusterBytes(cluster) {
        bytes.resize((bytes.size() + cluster - 1) / cluster * cluster);
    }

    std::string_view identify() {
        const Bytes all(bytes);
        const Content content{all.first(std::min<std::size_t>(all.size(), IdentifyHeadBytes)),
                              clusterBytes,
                              [this, all](std::uint32_t offset, std::uint32_t length) {
                                  ++furtherReads;
                                  if (offset > all.size() || length > all.size() - offset) {
                                      return Bytes{};
                                  }
                                  return all.subspan(offset, length);
                              }};
        return identifyContent(content);
    }
};

std::string_view identify(std::vector<std::uint8_t> bytes, std::uint32_t cluster = 512) {
    return SampleFile(std::move(bytes), cluster).identify();
}

// A ZIP local header for `name` followed by `data`; `sizeField` replaces the size it records.
std::vector<std::uint8_t> zipEntry(std::string_view name, std::string_view data,
                                   std::uint32_t flags = 0,
                                   std::optional<std::uint32_t> sizeField = {}) {
    std::vector<std::uint8_t> entry = bytesOf("PK\3\4"sv);
    putLe(entry, 6, flags, 2);
    putLe(entry, 18, sizeField.value_or(static_cast<std::uint32_t>(data.size())), 4);
    putLe(entry, 26, static_cast<std::uint32_t>(name.size()), 2);
    entry.resize(30);  // no extra field
    entry.insert(entry.end(), name.begin(), name.end());
    entry.insert(entry.end(), data.begin(), data.end());
    return entry;
}

std::vector<std::uint8_t> joined(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(Identify, TheClassicSignaturesKeepTheirExtensionUnlessARowIsMorePrecise) {
    std::vector<std::uint8_t> dll = bytesOf("MZ"sv);
    putLe(dll, 0x3C, 0x80, 4);
    putLe(dll, 0x80, 0x4550, 4);  // "PE\0\0"
    putLe(dll, 0x80 + 22, 0x2102, 2);
    std::vector<std::uint8_t> program = dll;
    putLe(program, 0x80 + 22, 0x0102, 2);
    std::vector<std::uint8_t> farHeader = dll;
    putLe(farHeader, 0x3C, 0x7FFFFFF0, 4);  // points far past anything in hand
    const struct {
        std::vector<std::uint8_t> head;
        std::string_view extension;
    } cases[] = {
        {bytesOf("\xFF\xD8\xFF\xE0\x00\x10JFIF\0"sv), ".jpg"},
        {bytesOf("\xFF\xD8\xFF\xE1\x00\x16"
                 "Exif\0\0"sv),
         ".jpg"},
        {bytesOf("\xFF\xD8\xFF\xDB\x00\x43"sv), ".jpg"},
        {bytesOf("Rar!\x1A\x07"sv), ".rar"},
        {zipEntry("readme.txt", "hello"), ".zip"},
        {zipEntry("word/document.xml", "<w/>"), ".zip"},  // parts alone make no DOCX
        {joined({zipEntry("[Content_Types].xml", "<Types/>"), zipEntry("word/document.xml", "")}),
         ".docx"},
        {joined({zipEntry("mimetype", "application/vnd.oasis.opendocument.text"),
                 zipEntry("content.xml", "")}),
         ".odt"},
        {joined({zipEntry("mimetype", "application/vnd.oasis.opendocument.text-template"),
                 zipEntry("content.xml", "")}),
         ".zip"},
        {joined({zipEntry("META-INF/MANIFEST.MF", "M"), zipEntry("AndroidManifest.xml", "")}),
         ".apk"},
        {bytesOf("FWS\x09"sv), ".swf"},
        {bytesOf("%PDF-1.7"sv), ".pdf"},
        {bytesOf("ID3\x04\0"sv), ".mp3"},
        {bytesOf("OggS\0\2"sv), ".ogg"},
        {dll, ".dll"},
        {program, ".exe"},
        {farHeader, ".exe"},
        {bytesOf("MZ"sv), ".exe"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(identify(c.head), c.extension) << std::string(c.head.begin(), c.head.end());
    }
}

TEST(Identify, ZipEntriesAreFoundWithinTheHeadWhateverTheSizesSay) {
    // Sizes after the data (bit 3): the next header is searched for.
    const auto streamed = joined(
        {zipEntry("[Content_Types].xml", "<Types/>", 0x08, 0), zipEntry("xl/workbook.xml", "")});
    EXPECT_EQ(identify(streamed), ".xlsx");
    // Sizes that point past the head or wrap: the walk stops, the file stays a ZIP.
    for (const std::uint32_t size : {0x7FFFFFFFu, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
        const auto hostile = joined(
            {zipEntry("[Content_Types].xml", "", 0, size), zipEntry("ppt/presentation.xml", "")});
        EXPECT_EQ(identify(hostile), size == 0xFFFFFFFFu ? ".pptx" : ".zip") << size;
    }
    // A name length past the end of the head.
    auto cut = zipEntry("[Content_Types].xml", "");
    putLe(cut, 26, 0xFFFF, 2);
    EXPECT_EQ(identify(cut), ".zip");
}

std::vector<std::uint8_t> isoBox(std::string_view kind, std::string_view payload) {
    std::vector<std::uint8_t> box(4);
    const auto size = static_cast<std::uint32_t>(8 + payload.size());
    for (int i = 0; i < 4; ++i) box[i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
    box.insert(box.end(), kind.begin(), kind.end());
    box.insert(box.end(), payload.begin(), payload.end());
    return box;
}

TEST(Identify, IsoMediaBrandsAreReadOnlyFromTheBytesInHand) {
    // The real samples cover the brands; these are the boxes a damaged file may carry.
    EXPECT_EQ(identify(isoBox("ftyp", "abcd\0\0\0\0abcdmp42"sv)), ".mp4") << "by compatible brand";
    EXPECT_EQ(identify(isoBox("ftyp", "abcd\0\0\0\0abcdefgh"sv)), "");
    EXPECT_EQ(identify(isoBox("ftyp", "ab"sv)), "") << "too short for a brand";
    // A box that claims more brands than there are bytes: only those in hand count.
    auto huge = isoBox("ftyp", "mif1\0\0\0\0mif1"sv);
    huge[0] = 0x7F;
    EXPECT_EQ(identify(huge), ".heif");
    EXPECT_EQ(identify(isoBox("moov", "")), ".mov");
}

TEST(Identify, TiffRawsAreToldApartByTheirOwnMarkers) {
    // IFD0 at 8 with one entry: Make (ASCII) of `make`, stored after the IFD.
    const auto tiff = [](std::string_view make, std::uint32_t makeAt = 26,
                         std::uint32_t tag = 0x010F) {
        std::vector<std::uint8_t> bytes = bytesOf("II*\0\x08\0\0\0"sv);
        putLe(bytes, 8, 1, 2);
        putLe(bytes, 10, tag, 2);
        putLe(bytes, 12, 2, 2);
        putLe(bytes, 14, static_cast<std::uint32_t>(make.size() + 1), 4);
        putLe(bytes, 18, makeAt, 4);
        putLe(bytes, 22, 0, 4);
        bytes.resize(26);
        bytes.insert(bytes.end(), make.begin(), make.end());
        bytes.push_back(0);
        return bytes;
    };
    EXPECT_EQ(identify(tiff("NIKON CORPORATION")), ".nef");
    EXPECT_EQ(identify(tiff("NIKON CORPORATION", 0x7FFFFFF0)), ".tif") << "Make beyond the head";
    EXPECT_EQ(identify(tiff("anything", 26, 0xC612)), ".dng");
    auto manyEntries = tiff("NIKON");
    putLe(manyEntries, 8, 0xFFFF, 2);  // more entries than bytes
    EXPECT_EQ(identify(manyEntries), ".nef");
    auto farIfd = tiff("NIKON");
    putLe(farIfd, 4, 0xFFFFFFF0, 4);
    EXPECT_EQ(identify(farIfd), ".tif");
    auto cr2 = tiff("Canon");
    cr2[8] = 'C', cr2[9] = 'R', cr2[10] = 2, cr2[11] = 0;
    EXPECT_EQ(identify(cr2), ".cr2");
}

std::vector<std::uint8_t> repeated(std::vector<std::uint8_t> unit, int times) {
    std::vector<std::uint8_t> all;
    for (int i = 0; i < times; ++i) all.insert(all.end(), unit.begin(), unit.end());
    return all;
}

TEST(Identify, StreamsWithoutAContainerNeedASecondFrameOrPacket) {
    // MPEG-1 layer III, 128 kbit/s, 44.1 kHz, no padding: 417 bytes a frame.
    std::vector<std::uint8_t> frame = bytesOf("\xFF\xFB\x90\x00"sv);
    frame.resize(417, 0x55);
    EXPECT_EQ(identify(repeated(frame, 3)), ".mp3");
    EXPECT_EQ(identify(frame), "") << "one frame alone is no stream";
    std::vector<std::uint8_t> layer2 = repeated(frame, 3);
    layer2[1] = 0xFD;
    EXPECT_EQ(identify(layer2), "");
    // ADTS, 100-byte frames.
    std::vector<std::uint8_t> adts = bytesOf("\xFF\xF1\x50\x80\x0C\x9F\xFC"sv);
    adts.resize(100, 0x21);
    EXPECT_EQ(identify(repeated(adts, 3)), ".aac");
    EXPECT_EQ(identify(adts), "");
    // Transport stream packets.
    std::vector<std::uint8_t> packet(188, 0xFF);
    packet[0] = 0x47;
    EXPECT_EQ(identify(repeated(packet, 20)), ".ts");
    EXPECT_EQ(identify(repeated(packet, 3), 3 * 188), "") << "a chain too short for the row";
    std::vector<std::uint8_t> timed(4, 0);
    timed.insert(timed.end(), packet.begin(), packet.end());
    EXPECT_EQ(identify(repeated(timed, 20)), ".m2ts");
}

TEST(Identify, EbmlDocTypeDecidesAndHostileSizesEndTheWalk) {
    const auto ebml = [](std::string_view docType, std::uint8_t headerSize = 0) {
        std::vector<std::uint8_t> bytes = bytesOf("\x1A\x45\xDF\xA3"sv);
        const std::vector<std::uint8_t> version = bytesOf("\x42\x86\x81\x01"sv);
        std::vector<std::uint8_t> type = {0x42, 0x82,
                                          static_cast<std::uint8_t>(0x80 | docType.size())};
        type.insert(type.end(), docType.begin(), docType.end());
        bytes.push_back(headerSize != 0
                            ? headerSize
                            : static_cast<std::uint8_t>(0x80 | (version.size() + type.size())));
        bytes.insert(bytes.end(), version.begin(), version.end());
        bytes.insert(bytes.end(), type.begin(), type.end());
        return bytes;
    };
    EXPECT_EQ(identify(ebml("webm")), ".webm");
    EXPECT_EQ(identify(ebml("matroska")), ".mkv");
    EXPECT_EQ(identify(ebml("other")), "");
    EXPECT_EQ(identify(ebml("webm", 0x01)), "") << "an eight-byte size running past the head";
    auto element = ebml("webm");
    element[7] = 0x01;  // the first child's size: eight bytes, all beyond sense
    EXPECT_EQ(identify(element), "");
}

// A version 3 compound file with one directory sector at 512: `entries` as (name, type, left,
// right, child).
struct DirectoryEntry {
    std::u16string_view name;
    std::uint8_t type;
    std::uint32_t left = ~0u, right = ~0u, child = ~0u;
};

std::vector<std::uint8_t> compoundFile(std::initializer_list<DirectoryEntry> entries) {
    std::vector<std::uint8_t> bytes = bytesOf("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv);
    putLe(bytes, 0x1A, 3, 2);
    putLe(bytes, 0x1E, 9, 2);
    putLe(bytes, 0x30, 0, 4);  // the directory starts at sector 0
    putLe(bytes, 0x4C, ~0u, 4);
    bytes.resize(512 + 512, 0);
    std::size_t at = 512;
    for (const DirectoryEntry& entry : entries) {
        for (std::size_t i = 0; i < entry.name.size(); ++i)
            putLe(bytes, at + 2 * i, entry.name[i], 2);
        putLe(bytes, at + 64, static_cast<std::uint32_t>(2 * entry.name.size() + 2), 2);
        bytes[at + 66] = entry.type;
        putLe(bytes, at + 68, entry.left, 4);
        putLe(bytes, at + 72, entry.right, 4);
        putLe(bytes, at + 76, entry.child, 4);
        at += 128;
    }
    return bytes;
}

TEST(Identify, CompoundFilesAreNamedByTheRootStorageOnly) {
    // A workbook with an embedded Word document: WordDocument lies one storage down.
    EXPECT_EQ(identify(compoundFile({{u"Root Entry", 5, ~0u, ~0u, 1},
                                     {u"Workbook", 2, ~0u, 2},
                                     {u"MBD0001", 1, ~0u, ~0u, 3},
                                     {u"WordDocument", 2}})),
              ".xls");
    // A message with an attached document.
    EXPECT_EQ(identify(compoundFile({{u"Root Entry", 5, ~0u, ~0u, 2},
                                     {u"WordDocument", 2},
                                     {u"__attach_version1.0_#00000000", 1, ~0u, 3, 1},
                                     {u"__substg1.0_0037001F", 2}})),
              ".msg");
    EXPECT_EQ(
        identify(compoundFile({{u"Root Entry", 5, ~0u, ~0u, 1}, {u"PowerPoint Document", 2}})),
        ".ppt");
    // Links that loop, or point outside the directory, end the walk.
    EXPECT_EQ(
        identify(compoundFile(
            {{u"Root Entry", 5, ~0u, ~0u, 1}, {u"Data", 2, 1, 2}, {u"Other", 2, 0, 0x7FFFFFFF}})),
        "");
}

TEST(Identify, CompoundDirectoryIsFollowedThroughTheAllocationTable) {
    // The directory's second sector (sector 2, at 1536) names the document; sector 1 at 1024
    // holds the allocation table: sector 0 -> 2.
    std::vector<std::uint8_t> bytes =
        compoundFile({{u"Root Entry", 5, ~0u, ~0u, 4}, {u"A", 2}, {u"B", 2}, {u"C", 2}});
    putLe(bytes, 0x4C, 1, 4);
    bytes.resize(2048, 0);
    putLe(bytes, 1024, 2, 4);
    putLe(bytes, 1024 + 8, 0xFFFFFFFE, 4);
    const std::u16string_view name = u"WordDocument";
    for (std::size_t i = 0; i < name.size(); ++i) putLe(bytes, 1536 + 2 * i, name[i], 2);
    putLe(bytes, 1536 + 64, 26, 2);
    bytes[1536 + 66] = 2;
    putLe(bytes, 1536 + 68, ~0u, 4);
    putLe(bytes, 1536 + 72, ~0u, 4);
    EXPECT_EQ(identify(bytes), ".doc");
    // An allocation sector far beyond the content: the directory ends with its first sector.
    putLe(bytes, 0x4C, 0x00FFFFFF, 4);
    EXPECT_EQ(identify(bytes), "");
}

TEST(Identify, TextIsJudgedOnTheWholeFirstCluster) {
    const std::string line = "Grüße aus München, 日本語.\r\n\tindented\n";
    std::string text;
    while (text.size() < 6000) text += line;
    EXPECT_EQ(identify(bytesOf(text)), ".txt");
    EXPECT_EQ(identify(bytesOf("short note\n")), ".txt") << "zeros of the slack follow it";
    EXPECT_EQ(identify(bytesOf("caf\xE9 au lait\n"sv)), "") << "Latin-1, not UTF-8";
    EXPECT_EQ(identify(bytesOf("text\0with a NUL"sv)), "");
    EXPECT_EQ(identify(bytesOf("bell\x07"sv)), "");
    EXPECT_EQ(identify(bytesOf("\xED\xA0\x80 surrogate"sv)), "");
    EXPECT_EQ(identify(bytesOf("\xC0\xAF overlong"sv)), "");
    EXPECT_EQ(identify(std::vector<std::uint8_t>(600, 0)), "");
    // A sequence cut by the end of the cluster: the text goes on in the next one.
    std::string cut(4095, 'a');
    cut += "\xC3\xA4 and more";
    EXPECT_EQ(identify(bytesOf(cut), 4096), ".txt");
    // With 32 KiB clusters, binary bytes past the head but in the first cluster count.
    std::string longer(20000, 'x');
    EXPECT_EQ(identify(bytesOf(longer), 32768), ".txt");
    longer[10000] = '\x01';
    SampleFile mixed(bytesOf(longer), 32768);
    EXPECT_EQ(mixed.identify(), "");
    EXPECT_EQ(mixed.furtherReads, 2) << "the cluster for the text row, the ISO 9660 row before";
}

TEST(Identify, ReadsPastTheHeadOnlyForTheRowsThatNeedThem) {
    std::vector<std::uint8_t> image(32768 + 2048 * 3, 0);
    const auto descriptor = bytesOf(
        "\x01"
        "CD001\x01"sv);
    std::copy(descriptor.begin(), descriptor.end(), image.begin() + 32768);
    EXPECT_EQ(identify(image), ".iso");
    image[32769] = 'X';
    EXPECT_EQ(identify(image), "");
    SampleFile picture(bytesOf("\x89PNG\r\n\x1A\n"sv));
    EXPECT_EQ(picture.identify(), ".png");
    EXPECT_EQ(picture.furtherReads, 0);
    // Content shorter than the head is all there is: nothing further is asked for.
    SampleFile small(std::vector<std::uint8_t>(1024, 0xEE));
    EXPECT_EQ(small.identify(), "");
    EXPECT_EQ(small.furtherReads, 0);
    EXPECT_EQ(identifyContent(Content{}), "") << "nothing at all";
}

// Every real file of the sample folder (CHKMEND_SAMPLES, made by tests/e2e/make_samples.py):
// chkmend's extension, and libmagic's opinion where it has one ("-": libmagic missing here; a
// note in the fifth column: a known disagreement).
TEST(IdentifySamples, RealFilesGetTheirExtension) {
    const char* folder = std::getenv("CHKMEND_SAMPLES");
    if (folder == nullptr) GTEST_SKIP() << "CHKMEND_SAMPLES names no sample folder";
    std::ifstream list(std::filesystem::path(folder) / "samples.tsv");
    ASSERT_TRUE(list) << "no samples.tsv in " << folder;
    int checked = 0;
    for (std::string line; std::getline(list, line);) {
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        fields.resize(5);
        const std::string& name = fields[0];
        std::ifstream file(std::filesystem::path(folder) / name, std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), {});
        ASSERT_FALSE(bytes.empty()) << name;
        // On a card of 32 KiB clusters, as most camera cards are formatted.
        const std::string extension(identify(bytes, 32768));
        EXPECT_EQ(extension, fields[1]) << name;
        const std::string oracle = "/" + fields[2] + "/";
        const bool agrees = oracle.find("/" + fields[1].substr(1) + "/") != std::string::npos;
        EXPECT_TRUE(agrees || fields[2] == "-" || !fields[4].empty())
            << name << ": libmagic says " << fields[2] << " (" << fields[3] << ")";
        ++checked;
    }
    EXPECT_GT(checked, 0);
}

}  // namespace
}  // namespace chkmend
