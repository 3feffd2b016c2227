// The first three phases on small volumes: collecting orphans, rediscovering directories and
// naming what nobody claimed.
#include <gtest/gtest.h>

#include <string>

#include "fat/chain.h"
#include "recovery/collect.h"
#include "recovery/naming.h"
#include "recovery/rediscover.h"
#include "tests/image_builder.h"

namespace chkmend {
namespace {

using test::dotDotEntry;
using test::dotEntry;
using test::file;
using test::folder;
using test::namesOf;
using test::orphan;
using test::RawEntry;
using test::shortEntry;

TEST(CollectOrphans, GathersEveryFoundFolderInRootOrder) {
    test::FoundVolume v;
    v.root = {folder("FOUND   000", 3),  file("FOUND   001", 20),  // a file, not a folder
              folder("found   002", 21),                           // lower case prefix
              folder("XFOUND  003", 22),                           // prefix not at the start
              folder("FOUND   EMP", 4),                            // only "." and ".."
              folder("FOUND   ZER", 0),                            // would list the root itself
              folder("FOUND   001", 5)};
    v.directory(3, {orphan(0, 30), orphan(1, 31), folder("DIR0000 CHK", 32)});
    v.directory(4, {});
    v.directory(5, {orphan(0, 40), orphan(1, 41)});
    for (std::uint32_t c : {21u, 22u}) v.directory(c, {orphan(9, 99)});
    std::vector<FoundFolderReport> reports;
    const EntryList list = v.collect(&reports);
    EXPECT_EQ(namesOf(list),
              (std::vector<std::string>{"FILE0000.CHK", "FILE0001.CHK", "DIR0000.CHK",
                                        "FILE0000.CHK", "FILE0001.CHK"}));
    ASSERT_EQ(reports.size(), 4u);
    const std::pair<std::string, int> expected[] = {
        {"FOUND.000", 3}, {"FOUND.EMP", 0}, {"FOUND.ZER", 0}, {"FOUND.001", 2}};
    for (std::size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].name, expected[i].first);
        EXPECT_EQ(reports[i].orphanCount, expected[i].second);
    }
}

TEST(CollectOrphans, ALongNameEndingInTheDotCounts) {
    test::FoundVolume v;
    v.root = test::namedEntry(u"FOUND.",
                              {.name11 = "FOUND~1    ", .attributes = 0x10, .firstCluster = 3});
    v.directory(3, {orphan(0, 30)});
    std::vector<FoundFolderReport> reports;
    EXPECT_EQ(v.collect(&reports).size(), 1u);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].name, "FOUND.");
}

// Windows' FOUND folders come first, as they always did; then the root files of DOS CHKDSK and
// of fsck.fat, each kind in root order, then LOST.DIR of the BSD checker. Only names as those
// checkers write them count.
TEST(CollectOrphans, TakesEveryCheckersLeftoversAfterTheFoundFolders) {
    test::FoundVolume v;
    v.root = {file("FSCK0001REC", 40), file("LOST    DIR", 53),  folder("LOST    DIR", 4),
              file("FILE0007CHK", 41), folder("FOUND   000", 3), file("FSCK0000REC", 42),
              file("FILE12  CHK", 50), file("FSCK000AREC", 51),  file("FILE0000TXT", 52),
              file("XFILE000CHK", 54)};
    const auto lowerCase =
        test::namedEntry(u"file0003.chk", {.name11 = "FILE0003CHK", .firstCluster = 55});
    v.root.insert(v.root.end(), lowerCase.begin(), lowerCase.end());
    v.directory(3, {orphan(0, 30)});
    v.directory(4, {file("1234       ", 31), folder("1300       ", 32)});
    std::vector<FoundFolderReport> reports;
    const EntryList list = v.collect(&reports);
    EXPECT_EQ(namesOf(list),
              (std::vector<std::string>{"FILE0000.CHK", "FILE0007.CHK", "FSCK0001.REC",
                                        "FSCK0000.REC", "1234", "1300"}));
    EXPECT_EQ(list[1].firstCluster, 41u);
    EXPECT_EQ(list[5].attributes, 0x10u) << "a folder the checker kept is collected as it is";
    const std::vector<std::pair<std::string, int>> expected = {
        {"FOUND.000", 1}, {"root FILEnnnn.CHK", 1}, {"root FSCKnnnn.REC", 2}, {"LOST.DIR", 2}};
    std::vector<std::pair<std::string, int>> got;
    for (const auto& r : reports) got.emplace_back(r.name, r.orphanCount);
    EXPECT_EQ(got, expected);
}

// Android keeps an empty LOST.DIR on every card; a card checked on Windows must read as before.
TEST(CollectOrphans, OtherCheckersSourcesAreReportedOnlyWhenTheyHoldOrphans) {
    test::FoundVolume v;
    v.root = {file("README  TXT", 5), folder("LOST    DIR", 4), folder("FOUND   000", 3)};
    v.directory(4, {});
    v.directory(3, {});
    std::vector<FoundFolderReport> reports;
    EXPECT_TRUE(v.collect(&reports).empty());
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].name, "FOUND.000");
}

TEST(Rediscover, GivesListedOrphansTheirEntriesAtAnyDepth) {
    test::FoundVolume v;
    v.root = {folder("FOUND   000", 3)};
    // Orphans in list order: a file, the nested folder, a lone file, the top folder.
    v.directory(3, {orphan(0, 50), orphan(1, 60), orphan(2, 70), orphan(3, 80)});
    v.directory(80, {folder("LETTERS    ", 60), file("TOP     TXT", 90)});
    v.directory(60, {file("NOTE    TXT", 50, 5)});
    v.content(50, "hello");
    v.content(70, "%PDF-1.4");
    const EntryList list = v.rediscover();
    EXPECT_EQ(namesOf(list),
              (std::vector<std::string>{"NOTE.TXT", "LETTERS", "FILE0002.CHK", "FILE0003.CHK"}));
    EXPECT_EQ(list[0].parent, 1u);
    EXPECT_EQ(list[0].sizeLow, 5u) << "the listed entry's size replaces the orphan's";
    EXPECT_EQ(list[1].parent, 3u);
    EXPECT_EQ(list[1].attributes, 0x10u);
    EXPECT_FALSE(hasParent(list[2]));
    EXPECT_FALSE(hasParent(list[3]));
    EXPECT_EQ(list[3].attributes, 0x20u | 0x10u) << "found to be a directory";
    EXPECT_EQ(list[2].attributes, 0x20u);
}

// Matching is by first cluster over the whole list, whichever checker left each orphan.
TEST(Rediscover, AFolderFromOneCheckerGetsItsChildrenFromAnother) {
    test::FoundVolume v;
    v.root = {folder("FOUND   000", 3), file("FSCK0000REC", 70, 512), folder("LOST    DIR", 4)};
    v.directory(3, {orphan(0, 80)});
    v.directory(4, {file("60         ", 60, 512)});
    v.directory(80, {folder("LETTERS    ", 60), file("NOTE    TXT", 70, 5)});
    v.directory(60, {});
    v.content(70, "hello");
    const EntryList list = v.rediscover();
    EXPECT_EQ(namesOf(list), (std::vector<std::string>{"FILE0000.CHK", "NOTE.TXT", "LETTERS"}));
    EXPECT_EQ(list[1].parent, 0u);
    EXPECT_EQ(list[1].sizeLow, 5u);
    EXPECT_EQ(list[2].parent, 0u);
    EXPECT_TRUE(isDirectory(list[2]));
}

TEST(Rediscover, TieBreaksFollowListOrder) {
    test::FoundVolume v;
    v.root = {folder("FOUND   000", 3)};
    // 50 appears twice: only the first record with it can be replaced. 60 is named by both
    // directories: the one scanned last wins.
    v.directory(3, {orphan(0, 80), orphan(1, 50), orphan(2, 50), orphan(3, 60), orphan(4, 81)});
    v.directory(80, {file("FIRST   TXT", 50), file("EARLY   TXT", 60), file("NOBODY  TXT", 99)});
    v.directory(81, {file("LATE    TXT", 60), file("SAME1   TXT", 60), file("SAME2   TXT", 60)});
    const EntryList list = v.rediscover();
    EXPECT_EQ(namesOf(list), (std::vector<std::string>{"FILE0000.CHK", "FIRST.TXT", "FILE0002.CHK",
                                                       "SAME2.TXT", "FILE0004.CHK"}));
    EXPECT_EQ(list[1].parent, 0u);
    EXPECT_FALSE(hasParent(list[2]));
    EXPECT_EQ(list[3].parent, 4u);
}

// Orphans cross-linked onto one directory: its chain is read once, what it lists hangs under
// the first of them, and the others come out as folders too.
TEST(Rediscover, OrphansSharingADirectoryShareOneListing) {
    test::FoundVolume v;
    v.root = {folder("FOUND   000", 3)};
    v.directory(3, {orphan(0, 80), orphan(1, 50), orphan(2, 80), orphan(3, 70)});
    v.directory(80, {file("NOTE    TXT", 50, 5), file("EMPTY   TXT", 0, 0)});
    v.content(50, "hello");
    v.content(70, "%PDF");
    const EntryList list = v.rediscover();
    EXPECT_EQ(namesOf(list), (std::vector<std::string>{"FILE0000.CHK", "NOTE.TXT", "FILE0002.CHK",
                                                       "FILE0003.CHK", "EMPTY.TXT"}));
    EXPECT_EQ(list[1].parent, 0u);
    EXPECT_EQ(list[4].parent, 0u) << "listed once: one empty file, not one per orphan";
    EXPECT_TRUE(isDirectory(list[2]));
    EXPECT_FALSE(hasParent(list[2]));
    EXPECT_FALSE(isDirectory(list[3]));
}

TEST(Rediscover, NeverMakesAParentCycle) {
    test::FoundVolume v;
    v.root = {folder("FOUND   000", 3)};
    v.directory(3, {orphan(0, 80), orphan(1, 81), orphan(2, 82)});
    v.directory(80, {folder("SELF       ", 80)});  // names itself
    v.directory(81, {folder("CHILD      ", 82)});  // 81 and 82 name each other
    v.directory(82, {folder("PARENT     ", 81)});
    const EntryList list = v.rediscover();
    EXPECT_FALSE(hasParent(list[0]));
    EXPECT_EQ(nameOf(list[0].longName), "FILE0000.CHK");
    EXPECT_EQ(list[2].parent, 1u);
    EXPECT_FALSE(hasParent(list[1])) << "linking 81 under 82 would close a loop";
    EXPECT_EQ(nameOf(list[1].longName), "FILE0001.CHK");
}

TEST(Rediscover, ClusterZeroIsNeitherScannedNorMatched) {
    test::FoundVolume v;
    v.root = {folder("FOUND   000", 3), file("A       TXT", 0), file("B       TXT", 0),
              file("C       TXT", 0)};
    v.directory(3, {orphan(0, 0, 0), orphan(1, 80)});
    v.directory(80, {file("EMPTY   TXT", 0, 0)});
    const EntryList list = v.rediscover();
    EXPECT_EQ(list[0].attributes, 0x20u) << "an empty file is not the root directory";
    EXPECT_FALSE(hasParent(list[0]));
    EXPECT_EQ(nameOf(list[0].longName), "FILE0000.CHK");
}

// Empty files inside a lost directory own no cluster, so the disk checker salvages no chain
// for them; only their directory's listing still knows them.
TEST(Rediscover, EmptyFilesOfALostDirectoryAreNotLost) {
    test::FoundVolume v;
    v.root = {folder("FOUND   000", 3)};
    v.directory(3, {orphan(0, 80), orphan(1, 50)});
    // A corrupt entry with cluster 0 and a size, and a folder with cluster 0, have nothing to
    // give back and stay out.
    v.directory(80,
                {file("EMPTY   TXT", 0, 0), file("DATA    TXT", 50, 5), file("BROKEN  TXT", 0, 9),
                 folder("NOWHERE    ", 0), file("ALSO    TXT", 0, 0)});
    v.content(50, "hello");
    const EntryList list = v.name();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(nameOf(list[0].longName), "UnkDir0");
    EXPECT_EQ(nameOf(list[1].longName), "DATA.TXT");
    EXPECT_EQ(nameOf(list[2].longName), "EMPTY.TXT") << "appended, in listing order";
    EXPECT_EQ(nameOf(list[3].longName), "ALSO.TXT");
    for (std::size_t i = 1; i < list.size(); ++i) EXPECT_EQ(list[i].parent, 0u);
    EXPECT_EQ(list[2].sizeLow, 0u);
}

// The checker filed a lost directory it recognised as a folder, DIR0000.CHK: what it lists was
// never cut loose, so no orphan stands for it. Its whole subtree joins the list below it, each
// entry once; an entry that is an orphan takes its place as anywhere else.
TEST(Rediscover, AFolderTheCheckerFiledKeepsItsWholeSubtree) {
    test::FoundVolume v;
    v.root = {folder("FOUND   000", 3)};
    v.directory(3, {folder("DIR0000 CHK", 80), orphan(0, 50), orphan(1, 90)});
    v.directory(80, {file("A       TXT", 51), folder("SUB        ", 60), file("ORPHAN  TXT", 50),
                     file("EMPTY   TXT", 0, 0), file("TWIN    TXT", 51)});
    v.directory(60,
                {file("B       TXT", 52), folder("DEEP       ", 61), folder("BACK       ", 80)});
    v.directory(61, {file("C       TXT", 53)});
    // A lost directory filed as a file: what it lists and no orphan stands for is not known to
    // be whole, and stays out.
    v.directory(90, {file("GONE    TXT", 99)});
    const EntryList list = v.rediscover();
    EXPECT_EQ(namesOf(list),
              (std::vector<std::string>{"DIR0000.CHK", "ORPHAN.TXT", "FILE0001.CHK", "TWIN.TXT",
                                        "SUB", "EMPTY.TXT", "B.TXT", "DEEP", "C.TXT"}));
    const std::size_t parents[] = {NoParent, 0, NoParent, 0, 0, 0, 4, 4, 7};
    for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i].parent, parents[i]) << i;
    EXPECT_EQ(list[3].firstCluster, 51u) << "one record for the cluster listed twice";
}

TEST(Sniffing, SignaturesAreTestedInOrder) {
    const struct {
        std::vector<std::uint8_t> head;
        std::string_view extension;
    } cases[] = {
        {{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0}, ".jpg"},
        {{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x10, 'E', 'x', 'i', 'f'}, ""},
        {{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x11, 'J', 'F', 'I', 'F'}, ""},
        {{'R', 'a', 'r', '!', 0x1A}, ".rar"},
        {{'P', 'K', 3, 4}, ".zip"},
        {{'P', 'K', 5, 6}, ""},
        {{'F', 'W', 'S', 0x99}, ".swf"},
        {{'C', 'W', 'S', 0x09}, ""},
        {{'%', 'P', 'D', 'F', '-'}, ".pdf"},
        {{'I', 'D', '3', 4}, ".mp3"},
        {{0xFF, 0xFB, 0x90}, ""},
        {{'O', 'g', 'g', 'S'}, ".ogg"},
        {{'M', 'Z'}, ".exe"},
        {{'M', 'Z', 'P', 'K', 3, 4}, ".exe"},
        {{'h', 'e', 'l', 'l', 'o'}, ""},
        {{'R', 'a', 'r'}, ""},  // too short for its row
        {{}, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(extensionForContent(c.head), c.extension)
            << std::string(c.head.begin(), c.head.end());
    }
}

// Heads the eight rows leave as they are by default and the types switch names precisely.
std::string zipHeader(std::string_view name) {
    std::string header("PK\3\4", 4);
    header.resize(30, '\0');
    header[26] = static_cast<char>(name.size());
    return header + std::string(name);
}
const std::string ExifHead(
    "\xFF\xD8\xFF\xE1\x00\x16"
    "Exif\0\0",
    12);
const std::string PngHead("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16);
const std::string DocxHead = zipHeader("[Content_Types].xml") + zipHeader("word/document.xml");
const std::string DllHead = [] {
    std::string head(0x60, '\0');
    head.replace(0, 2, "MZ");
    head[0x3C] = 0x40;
    head.replace(0x40, 4, std::string("PE\0\0", 4));
    head[0x40 + 23] = 0x21;  // IMAGE_FILE_DLL
    return head;
}();

TEST(Sniffing, TheDefaultKeepsTheEightRowsForContentTheSwitchNamesPrecisely) {
    const std::pair<const std::string&, std::string_view> cases[] = {
        {ExifHead, ""}, {PngHead, ""}, {DocxHead, ".zip"}, {DllHead, ".exe"}};
    for (const auto& [head, extension] : cases) {
        const std::vector<std::uint8_t> bytes(head.begin(), head.end());
        EXPECT_EQ(extensionForContent(bytes), extension) << head;
    }
}

TEST(NameOrphans, TheTypesSwitchNamesWhatTheEightRowsLeaveOrNameLoosely) {
    test::FoundVolume v;
    v.root = {folder("FOUND   000", 3)};
    v.directory(3, {orphan(0, 50), orphan(1, 51), orphan(2, 52), orphan(3, 53), orphan(4, 54),
                    orphan(5, 55), orphan(6, 169, 70 * 512)});
    v.content(50, ExifHead);
    v.content(51, PngHead);
    v.content(52, DocxHead);
    v.content(53, DllHead);
    v.content(54, "%PDF-1.4");
    v.content(55, "A note to self.\n");
    // A disc image whose descriptor at 32,769 lies in the 65th cluster of a chain that runs
    // backwards over the volume: only the table leads there.
    std::vector<std::uint32_t> backwards;
    for (std::uint32_t c = 169; c >= 100; --c) backwards.push_back(c);
    v.image.chain(backwards);
    v.image.fill(backwards[64], std::string("\x01"
                                            "CD001\x01",
                                            7));
    v.image.fill(backwards[0], std::string(8, '\0'));
    const EntryList found = v.rediscover();
    EntryList plain = found;
    nameOrphans(v.volume, plain);
    EXPECT_EQ(namesOf(plain),
              (std::vector<std::string>{"UnkFil0", "UnkFil1", "UnkFil2.zip", "UnkFil3.exe",
                                        "UnkFil4.pdf", "UnkFil5", "UnkFil6"}));
    EntryList typed = found;
    nameOrphans(v.volume, typed, Sniffing::AllTypes);
    EXPECT_EQ(namesOf(typed),
              (std::vector<std::string>{"UnkFil0.jpg", "UnkFil1.png", "UnkFil2.docx", "UnkFil3.dll",
                                        "UnkFil4.pdf", "UnkFil5.txt", "UnkFil6.iso"}));
    // The run names from the heads rediscovery read, and must come to the same names.
    EXPECT_EQ(namesOf(v.nameInOnePass(Sniffing::EightSignatures)), namesOf(plain));
    EXPECT_EQ(namesOf(v.nameInOnePass(Sniffing::AllTypes)), namesOf(typed));
}

TEST(NameOrphans, WithTheTypesSwitchAChainTooShortForARowFailsOnlyThatRow) {
    test::FoundVolume v;
    // 128-byte clusters: the classic sniffing wants two of them, the types switch takes one.
    v.image = test::makeImage({.fatType = 12, .bytesPerSector = 128, .clusters = 200});
    v.root = {folder("FOUND   000", 3)};
    v.directory(3, {orphan(0, 50), orphan(1, 0)});  // cluster 0 has no data: nothing to read
    v.image.setFat(50, 0x0FFF);
    v.image.fill(50, "%PDF");
    EntryList list = v.collect();
    nameOrphans(v.volume, list, Sniffing::AllTypes);
    EXPECT_EQ(namesOf(list), (std::vector<std::string>{"UnkFil0.pdf", "UnkFil1"}));
    EXPECT_EQ(namesOf(v.nameInOnePass(Sniffing::AllTypes)), namesOf(list));
}

TEST(NameOrphans, NumbersFilesAndFoldersApart) {
    test::FoundVolume v;
    v.root = {folder("FOUND   000", 3)};
    v.directory(3, {orphan(0, 50), orphan(1, 80), orphan(2, 51), orphan(3, 52, 100), orphan(4, 53),
                    folder("DIR0000 CHK", 54), orphan(5, 0, 0)});
    v.content(50, "%PDF");
    v.directory(80, {file("KEPT    TXT", 53)});
    v.content(51, "MZ");
    v.content(52, "ID3");
    v.content(53, "PK\x03\x04");
    v.content(54, "");  // a folder the checker filed as such, holding nothing we can list
    EntryList list = v.rediscover();
    nameOrphans(v.volume, list);
    EXPECT_EQ(namesOf(list),
              (std::vector<std::string>{"UnkFil0.pdf", "UnkDir0", "UnkFil1.exe", "UnkFil2.mp3",
                                        "KEPT.TXT", "UnkDir1", "UnkFil3"}));
    EXPECT_EQ(nameOf(list[0].shortName), "FILE0000.CHK") << "the short name stays";
    EXPECT_EQ(namesOf(v.nameInOnePass(Sniffing::EightSignatures)), namesOf(list));
}

TEST(NameOrphans, AChainTooShortToSniffStillTakesANumber) {
    test::FoundVolume v;
    // 128-byte clusters: sniffing needs two of them.
    v.image = test::makeImage({.fatType = 12, .bytesPerSector = 128, .clusters = 200});
    v.root = {folder("FOUND   000", 3)};
    v.directory(3, {orphan(0, 50), orphan(1, 60)});
    v.image.setFat(50, 0);  // the chain runs into a free entry after one cluster
    v.image.fill(50, "%PDF");
    v.image.chain({60, 61});
    v.image.fill(60, "%PDF");
    EntryList list = v.collect();
    nameOrphans(v.volume, list);
    EXPECT_EQ(namesOf(list), (std::vector<std::string>{"UnkFil0", "UnkFil1.pdf"}));
    EXPECT_EQ(namesOf(v.nameInOnePass(Sniffing::EightSignatures)), namesOf(list));
}

// Records copy their names whole, in place up to 15 bytes and in a block of their own beyond.
TEST(NameOrphans, NamesSurviveCopiesAndMovesAtEveryLength) {
    for (const std::size_t length : {0u, 1u, 14u, 15u, 16u, 17u, 255u, 765u}) {
        const std::string text(length, 'n');
        EntryRecord record;
        setName(record.longName, text);
        setName(record.shortName, text.substr(0, 12));
        EntryRecord copy = record;
        EXPECT_EQ(nameOf(copy.longName), text) << length;
        EntryRecord moved = std::move(copy);
        EXPECT_EQ(nameOf(moved.longName), text) << length;
        EXPECT_EQ(nameOf(moved.shortName), text.substr(0, 12)) << length;
        moved = record;  // over a name of its own length
        const EntryRecord& same = moved;
        moved = same;
        EXPECT_EQ(nameOf(moved.longName), text) << length;
        setName(moved.longName, nameOf(moved.longName).substr(length / 2));  // from itself
        EXPECT_EQ(nameOf(moved.longName), text.substr(length / 2)) << length;
        EXPECT_EQ(nameOf(record.longName), text) << "the first record keeps its own";
    }
}

}  // namespace
}  // namespace chkmend
