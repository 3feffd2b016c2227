// Names from the volume, end to end through a run: whatever a directory entry calls itself,
// everything lands inside out/ under a name of one path component, and no file is lost to it.
#include <set>

#include "tests/hostile_support.h"

namespace chkmend {
namespace {

using test::dotDotEntry;
using test::dotEntry;
using test::RawEntry;
using test::shortEntry;

struct HostileName {
    std::u16string longName;  // empty: the 8.3 name alone
    std::string_view name11;
};

// Every name is distinct after being made safe, so each file must come out as its own file
// (".." is the folder's name below).
const HostileName Names[] = {
    {u".", "DOT     TXT"},
    {u"../../escaped-up", "UP1     TXT"},
    {u"..\\..\\escaped-back", "UP2     TXT"},
    {u"/etc/passwd-abs", "ABS     TXT"},
    {u"\\\\server\\share", "UNC     TXT"},
    {u"C:\\drive-abs", "DRV1    TXT"},
    {u"C:drive-rel", "DRV2    TXT"},
    {u"file.txt:stream", "ADS     TXT"},
    {u"CON", "CON1    TXT"},
    {u"nul.txt", "NUL1    TXT"},
    {u"COM1", "COM     TXT"},
    {u"LPT9.log", "LPT     TXT"},
    {u"aux ", "AUX     TXT"},
    {u"trailing.", "TRAIL   TXT"},
    {u"wild*?<>|\"", "WILD    TXT"},
    {u"tab\there\x7f", "CTRL    TXT"},
    {u"\\\\?\\C:\\raw", "RAW     TXT"},
    {u"\U0001F600/..\\up", "EMOJI   TXT"},  // separators among characters beyond U+FFFF
    {u"a\uFF0Fb\uFF3Cc", "WIDE    TXT"},    // fullwidth look-alikes are no separators
    {u"", "A/B     \\C "},                  // separators inside an 8.3 name, taken byte for byte
    {u"", "..      ..."},
};

// A FOUND folder whose only orphan is a directory listing the files above (each on its own
// cluster, holding its own number) and a subfolder called ".." with one more file in it.
test::TestImage hostileVolume() {
    test::TestImage image = test::makeImage({.fatType = 12, .clusters = 200});
    image.writeDirectory(
        {0}, {shortEntry({.name11 = "FOUND   000", .attributes = 0x10, .firstCluster = 2})});
    image.chain({2, 40});
    std::vector<RawEntry> orphans{dotEntry(2), dotDotEntry(0)};
    std::vector<RawEntry> listing{dotEntry(3), dotDotEntry(0)};
    std::uint32_t cluster = 10;
    for (const HostileName& name : Names) {
        const std::string content = "file " + std::to_string(cluster);
        const test::EntrySpec fields{.name11 = name.name11,
                                     .firstCluster = cluster,
                                     .size = static_cast<std::uint32_t>(content.size())};
        if (name.longName.empty()) {
            listing.push_back(shortEntry(fields));
        } else {
            for (const RawEntry& e : test::namedEntry(name.longName, fields)) listing.push_back(e);
        }
        orphans.push_back(shortEntry({.name11 = "FILE0000CHK",
                                      .firstCluster = cluster,
                                      .size = static_cast<std::uint32_t>(content.size())}));
        image.chain({cluster});
        image.fill(cluster, content);
        ++cluster;
    }
    for (const RawEntry& e : test::namedEntry(
             u"..", {.name11 = "UPDIR      ", .attributes = 0x10, .firstCluster = 4})) {
        listing.push_back(e);
    }
    orphans.push_back(shortEntry({.name11 = "DIR0000 CHK", .attributes = 0x10, .firstCluster = 3}));
    orphans.push_back(shortEntry({.name11 = "DIR0001 CHK", .attributes = 0x10, .firstCluster = 4}));
    orphans.push_back(shortEntry({.name11 = "FILE0001CHK", .firstCluster = 5, .size = 6}));
    image.chain({3, 6, 7, 8, 41, 42});  // the listing spans clusters, not all in a row
    image.writeDirectory({3, 6, 7, 8, 41, 42}, listing);
    image.chain({4});
    std::vector<RawEntry> updir{dotEntry(4), dotDotEntry(3)};
    for (const RawEntry& e : test::namedEntry(
             u"../../../inside-updir", {.name11 = "INSIDE  TXT", .firstCluster = 5, .size = 6})) {
        updir.push_back(e);
    }
    image.writeDirectory({4}, updir);
    image.chain({5});
    image.fill(5, "inside");
    image.writeDirectory({2, 40}, orphans);
    return image;
}

TEST(HostileNames, EverythingLandsInsideOutAndNothingIsLost) {
    const test::TestImage image = hostileVolume();
    test::ScratchDir images;
    test::saveImage(image, images.path, 'T');
    // The run works two levels down, so that anything that climbs out would be seen above it.
    test::ScratchDir top;
    const std::filesystem::path work = top.path / "a" / "b";
    std::filesystem::create_directories(work);
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(work);
    const std::string printed = test::runTool('T');
    std::filesystem::current_path(previous);

    const auto tree = test::treeOf(top.path);
    std::multiset<std::string> contents;
    for (const auto& [path, content] : tree) {
        ASSERT_TRUE(path == "a" || path == "a/b" || path.starts_with("a/b/out"))
            << "created outside out/: " << path;
        EXPECT_NE(content, "<other>") << path;
        if (content != "<dir>") contents.insert(content);
    }
    std::multiset<std::string> expected{"inside"};
    for (std::uint32_t c = 10; c < 10 + std::size(Names); ++c) {
        expected.insert("file " + std::to_string(c));
    }
    EXPECT_EQ(contents, expected) << printed;
    // Every saved file was given back its place (none fell back to a running name).
    EXPECT_NE(printed.find(std::to_string(std::size(Names) + 1) + " files have been recovered"),
              std::string::npos)
        << printed;
    // The folder called ".." holds its file one level down, not beside or above it.
    EXPECT_EQ(tree.count("a/b/out/UnkDir0/__"), 1u);
    std::size_t inUpdir = 0;
    for (const auto& [path, content] : tree) {
        if (path.starts_with("a/b/out/UnkDir0/__/") && content == "inside") ++inUpdir;
    }
    EXPECT_EQ(inUpdir, 1u);
}

}  // namespace
}  // namespace chkmend
