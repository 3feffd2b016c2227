// Listing directories: entry kinds, the "." and ".." test, names, long names and times.
#include <gtest/gtest.h>

#include <string>

#include "fat/chain.h"
#include "fat/directory.h"
#include "fat/fat_time.h"
#include "tests/image_builder.h"

namespace chkmend {
namespace {

using test::dotDotEntry;
using test::dotEntry;
using test::EntrySpec;
using test::namedEntry;
using test::namesOf;
using test::RawEntry;
using test::shortEntry;

std::vector<RawEntry> concat(std::initializer_list<std::vector<RawEntry>> parts) {
    std::vector<RawEntry> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

RawEntry deleted(RawEntry entry) {
    entry[0] = 0xE5;
    return entry;
}

// A FAT12 volume with one-sector clusters: 16 entries per directory cluster.
struct DirVolume {
    test::ScratchDir dir;
    test::TestImage image;
    VolumeState volume;
    explicit DirVolume(int type = 12, std::uint32_t clusters = 0)
        : image(test::makeImage({.fatType = type, .clusters = clusters})) {}
    EntryList list(ClusterNumber cluster) {
        if (volume.volumeHandle == platform::InvalidHandle) test::openImage(image, dir, volume);
        return readDirectory(volume, cluster);
    }
    ~DirVolume() { closeVolume(volume); }
};

TEST(ReadDirectory, RootSkipsLabelsAndDeletedEntriesAndStopsAtTheEnd) {
    DirVolume v(16);
    v.image.writeDirectory(
        {0}, {shortEntry({.name11 = "MY VOLUME  ", .attributes = 0x08}),
              deleted(shortEntry({.name11 = "GONE    TXT"})),
              shortEntry({.name11 = "KEEP    TXT", .firstCluster = 7, .size = 42}),
              shortEntry({.name11 = "DOCS       ", .attributes = 0x10, .firstCluster = 8}),
              RawEntry{}, shortEntry({.name11 = "AFTER   TXT"})});
    const EntryList root = v.list(0);
    EXPECT_EQ(namesOf(root), (std::vector<std::string>{"KEEP.TXT", "DOCS"}));
    EXPECT_EQ(root[0].firstCluster, 7u);
    EXPECT_EQ(root[0].sizeLow, 42u);
    EXPECT_EQ(root[1].attributes, 0x10u);
    EXPECT_FALSE(hasParent(root[0]));
}

TEST(ReadDirectory, SubdirectoryKeepsDotEntriesFirst) {
    DirVolume v;
    v.image.chain({5});
    v.image.writeDirectory({5}, {dotEntry(5), dotDotEntry(0), shortEntry({.name11 = "A       "})});
    const EntryList list = v.list(5);
    EXPECT_EQ(namesOf(list), (std::vector<std::string>{".", "..", "A"}));
    EXPECT_EQ(list[0].attributes, 0x10u);
    EXPECT_EQ(list[1].attributes, 0x10u);
}

// The directory bit decides, whatever other bits a system sets beside it (macOS writes "." and
// ".." hidden); a volume label or a file named "." is no directory entry.
TEST(ReadDirectory, DotTestDecidesWhatIsADirectory) {
    const auto withAttributes = [](RawEntry entry, std::uint8_t attributes) {
        entry[11] = attributes;
        return entry;
    };
    const struct {
        const char* what;
        std::vector<RawEntry> entries;
        std::size_t records;
    } cases[] = {
        {"dot with archive bit", {withAttributes(dotEntry(5), 0x30), dotDotEntry(0)}, 2},
        {"dotdot with read-only bit", {dotEntry(5), withAttributes(dotDotEntry(0), 0x11)}, 2},
        {"dots hidden, as macOS writes them",
         {withAttributes(dotEntry(5), 0x12), withAttributes(dotDotEntry(0), 0x12)},
         2},
        {"dot a plain file", {withAttributes(dotEntry(5), 0x20), dotDotEntry(0)}, 0},
        {"dotdot a plain file", {dotEntry(5), withAttributes(dotDotEntry(0), 0x00)}, 0},
        {"dot a volume label", {withAttributes(dotEntry(5), 0x18), dotDotEntry(0)}, 0},
        {"file data", {shortEntry({.name11 = "JFIF    BIN"}), dotEntry(5)}, 0},
        {"dots swapped", {dotDotEntry(0), dotEntry(5)}, 0},
        {"deleted entry before dots", {deleted(dotEntry(9)), dotEntry(5), dotDotEntry(0)}, 2},
        {"long name before dots",
         concat({test::longNameEntries(u"x", shortEntry({.name11 = "OTHER"})),
                 {dotEntry(5), dotDotEntry(0)}}),
         2},
        {"ends right after dot", {dotEntry(5)}, 1},
        {"empty cluster", {}, 0},
    };
    for (const auto& c : cases) {
        DirVolume v;
        v.image.chain({5});
        v.image.writeDirectory({5}, c.entries);
        EXPECT_EQ(v.list(5).size(), c.records) << c.what;
    }
}

TEST(ReadDirectory, ShortNamesAreTakenByteForByte) {
    DirVolume v;
    v.image.chain({5});
    RawEntry escaped = shortEntry({.name11 = "xBC     TXT"});
    escaped[0] = 0x05;
    v.image.writeDirectory({5}, {dotEntry(5), dotDotEntry(0), shortEntry({.name11 = "ABCDEF  TXT"}),
                                 shortEntry({.name11 = "ABCDEFGH   "}),
                                 shortEntry({.name11 = "lower   a  "}), escaped});
    EXPECT_EQ(namesOf(v.list(5)),
              (std::vector<std::string>{".", "..", "ABCDEF.TXT", "ABCDEFGH", "lower.a",
                                        "\xE5"
                                        "BC.TXT"}));
}

TEST(ReadDirectory, LongNamesNeedAnUnbrokenMatchingSequence) {
    const EntrySpec file{.name11 = "TWENTY~1TXT", .firstCluster = 9, .size = 3};
    const std::u16string twenty = u"Twenty characters!.x";
    const auto pieces = test::longNameEntries(twenty, shortEntry(file));
    ASSERT_EQ(pieces.size(), 2u);
    RawEntry wrongSum = pieces[1];
    wrongSum[13] ^= 0x55;
    const struct {
        const char* what;
        std::vector<RawEntry> entries;
        std::string name;
    } cases[] = {
        {"whole sequence", namedEntry(twenty, file), "Twenty characters!.x"},
        {"wrong checksum", {pieces[0], wrongSum, shortEntry(file)}, "TWENTY~1.TXT"},
        {"deleted entry between",
         {pieces[0], pieces[1], deleted(pieces[1]), shortEntry(file)},
         "TWENTY~1.TXT"},
        {"volume label between",
         {pieces[0], pieces[1], shortEntry({.name11 = "LABEL", .attributes = 0x08}),
          shortEntry(file)},
         "TWENTY~1.TXT"},
        // An incomplete sequence with the right checksum gives what it gathered.
        {"pieces out of order", {pieces[1], pieces[0], shortEntry(file)}, "ters!.x"},
        {"lowest piece lost", {pieces[0], shortEntry(file)}, "ters!.x"},
        {"piece repeated",
         {pieces[0], pieces[0], pieces[1], shortEntry(file)},
         "Twenty characters!.x"},
        {"non-ASCII", namedEntry(u"\u00dcberweisung M\u00e4rz.pdf", file),
         "\xc3\x9c"
         "berweisung M\xc3\xa4rz.pdf"},
        {"unpaired surrogate", namedEntry(std::u16string(u"a") + char16_t{0xD800} + u"b", file),
         "TWENTY~1.TXT"},
        // Pieces are joined before conversion, so a pair split across two pieces survives.
        {"pair across pieces", namedEntry(u"123456789012\U0001F600.txt", file),
         "123456789012\xf0\x9f\x98\x80.txt"},
    };
    for (const auto& c : cases) {
        DirVolume v;
        v.image.chain({5});
        v.image.writeDirectory({5}, concat({{dotEntry(5), dotDotEntry(0)}, c.entries}));
        const EntryList list = v.list(5);
        ASSERT_EQ(list.size(), 3u) << c.what;
        EXPECT_EQ(nameOf(list[2].longName), c.name) << c.what;
        EXPECT_EQ(nameOf(list[2].shortName), "TWENTY~1.TXT") << c.what;
    }
}

TEST(ReadDirectory, OverlongLongNameFallsBackToTheShortName) {
    const EntrySpec file{.name11 = "LONG~1  TXT"};
    for (const auto& [length, kept] : {std::pair{259, true}, std::pair{260, false}}) {
        DirVolume v;
        v.image.chain({5, 6, 7});
        // 20 pieces of 13 characters hold 260; a checksum-valid but corrupt sequence can
        // carry that many.
        const std::u16string name(length, u'n');
        auto entries = namedEntry(name, file);
        entries[0][0] = 0x40 | 20;
        v.image.writeDirectory({5, 6, 7}, concat({{dotEntry(5), dotDotEntry(0)}, entries}));
        const EntryList list = v.list(5);
        ASSERT_EQ(list.size(), 3u);
        EXPECT_EQ(nameOf(list[2].longName), kept ? std::string(length, 'n') : "LONG~1.TXT");
    }
}

TEST(ReadDirectory, LongNameAcrossAClusterBoundaryIsAssembled) {
    DirVolume v;
    v.image.chain({5, 12});
    std::vector<RawEntry> entries{dotEntry(5), dotDotEntry(0)};
    for (int i = 0; i < 12; ++i) entries.push_back(shortEntry({.name11 = "FILLER  TXT"}));
    const auto named = namedEntry(u"Twenty characters!.x", {.name11 = "TWENTY~1TXT"});
    entries.insert(entries.end(), named.begin(), named.end());  // pieces 15-16, short entry in 12
    v.image.writeDirectory({5, 12}, entries);
    const EntryList list = v.list(5);
    ASSERT_EQ(list.size(), 15u);
    EXPECT_EQ(nameOf(list[14].longName), "Twenty characters!.x");
}

TEST(ReadDirectory, ADirectoryChainThatLoopsIsListedOnce) {
    DirVolume v;
    v.image.setFat(5, 6);
    v.image.setFat(6, 5);
    std::vector<RawEntry> entries{dotEntry(5), dotDotEntry(0)};
    for (int i = 0; i < 30; ++i) entries.push_back(shortEntry({.name11 = "F       "}));
    v.image.writeDirectory({5, 6}, entries);
    EXPECT_EQ(v.list(5).size(), 32u);
}

TEST(ReadDirectory, TimesComeFromTheStoredWallClock) {
    DirVolume v;
    v.image.chain({5});
    const auto june15 = test::fatDate(2021, 6, 15);
    v.image.writeDirectory({5}, {dotEntry(5), dotDotEntry(0),
                                 shortEntry({.writeDate = june15,
                                             .writeTime = test::fatTime(10, 20, 30),
                                             .creationDate = june15,
                                             .creationTime = test::fatTime(10, 20, 30),
                                             .creationHundredths = 150,
                                             .accessDate = june15}),
                                 shortEntry({.writeDate = june15,
                                             .writeTime = test::fatTime(10, 20, 30),
                                             .creationDate = test::fatDate(2021, 2, 30)}),
                                 shortEntry({.writeDate = june15, .writeTime = 0xFFFF})});
    const EntryList list = v.list(5);
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[2].creationTime, 132682260315000000u);  // 10:20:31.500
    EXPECT_EQ(list[2].lastWriteTime, 132682260300000000u);
    EXPECT_EQ(list[2].lastAccessTime, 132681888000000000u);  // midnight
    EXPECT_EQ(list[3].creationTime, 0u) << "30 February";
    EXPECT_EQ(list[3].lastAccessTime, 0u) << "date never recorded";
    EXPECT_EQ(list[4].lastWriteTime, 0u) << "hour 31";
    EXPECT_EQ(list[0].lastWriteTime, 0u);
}

TEST(FatTime, FollowsTheCalendarRules) {
    using test::fatDate;
    using test::fatTime;
    const struct {
        const char* what;
        std::uint16_t date;
        std::uint16_t time;
        std::uint8_t hundredths;
        FileTime expected;
    } cases[] = {
        {"first FAT day", fatDate(1980, 1, 1), 0, 0, 119600064000000000},
        {"leap day", fatDate(2000, 2, 29), fatTime(12, 34, 56), 78, 125963012967800000},
        {"hundredths past a second", fatDate(2000, 2, 29), fatTime(12, 34, 56), 178,
         125963012977800000},
        {"last FAT time", fatDate(2107, 12, 31), fatTime(23, 59, 58), 0, 159992927980000000},
        {"century without leap day", fatDate(2100, 2, 29), 0, 0, 0},
        {"31 April", fatDate(2001, 4, 31), 0, 0, 0},
        {"month 0", fatDate(2001, 0, 1), 0, 0, 0},
        {"month 13", fatDate(2001, 13, 1), 0, 0, 0},
        {"day 0", fatDate(2001, 1, 0), 0, 0, 0},
        {"hour 24", fatDate(2001, 1, 1), fatTime(24, 0, 0), 0, 0},
        {"minute 60", fatDate(2001, 1, 1), fatTime(0, 60, 0), 0, 0},
        {"second 60", fatDate(2001, 1, 1), fatTime(0, 0, 60), 0, 0},
        {"hundredths past the minute", fatDate(2001, 1, 1), fatTime(0, 0, 58), 200, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fatTimeToFileTime(c.date, c.time, c.hundredths), c.expected) << c.what;
    }
}

// The FAT32 root lies where the boot sector says when that is a data cluster, else at cluster 2;
// it has no "." and "..". Small FAT32 volumes (below the FAT16 cluster limit) list the same.
TEST(ReadDirectory, Fat32RootIsWhereTheBootSectorSaysWithoutTheDotTest) {
    const struct {
        const char* what;
        std::uint32_t clusters;
        std::uint32_t field;
        std::uint32_t root;
    } cases[] = {
        {"the usual cluster 2", 65525, 2, 2},
        {"moved by the formatter", 65525, 9, 9},
        {"small FAT32, moved", 1000, 9, 9},
        {"the last cluster", 1000, 1001, 1001},
        {"field 0", 1000, 0, 2},
        {"field 1", 1000, 1, 2},
        {"beyond the last cluster", 1000, 1002, 2},
    };
    for (const auto& c : cases) {
        DirVolume v(32, c.clusters);
        test::put32(v.image.bytes, bpb::RootCluster32, c.field);
        v.image.chain({c.root});
        v.image.writeDirectory({c.root}, {shortEntry({.name11 = "ROOTFILE   "})});
        EXPECT_EQ(namesOf(v.list(0)), (std::vector<std::string>{"ROOTFILE"})) << c.what;
        EXPECT_TRUE(v.list(c.root).empty()) << c.what;
    }
}

TEST(ReadDirectory, ClustersWithoutDataListNothing) {
    DirVolume v;
    v.image.writeDirectory({0}, {shortEntry({.name11 = "ROOTFILE   "})});
    EXPECT_TRUE(v.list(1).empty());
    EXPECT_TRUE(v.list(0x0FFFFFF0).empty());
    EXPECT_TRUE(v.list(0xFFFFFFFF).empty());
}

// The first sector of a cluster is read on its own while the "." and ".." test runs; entries
// on either side of that seam must list as if the cluster came in one read.
TEST(ReadDirectory, EntriesAcrossTheFirstSectorOfAClusterListWhole) {
    const auto fillers = [](int n, bool gone) {
        std::vector<RawEntry> entries;
        for (int i = 0; i < n; ++i) {
            const RawEntry e = shortEntry({.name11 = "FILLER  TXT"});
            entries.push_back(gone ? deleted(e) : e);
        }
        return entries;
    };
    const auto named = namedEntry(u"Twenty characters!.x", {.name11 = "TWENTY~1TXT"});
    const struct {
        const char* what;
        std::vector<RawEntry> entries;  // 16 entries per sector, 64 per cluster
        std::size_t records;
        std::string last;
    } cases[] = {
        {"dots behind a sector of deleted entries",
         concat({fillers(16, true), {dotEntry(5), dotDotEntry(0)}, fillers(3, false)}), 5,
         "FILLER.TXT"},
        {"dot ends the sector, dotdot opens the next",
         concat({fillers(15, true), {dotEntry(5), dotDotEntry(0)}}), 2, ".."},
        {"long name across the seam",
         concat({{dotEntry(5), dotDotEntry(0)}, fillers(13, false), named}), 16,
         "Twenty characters!.x"},
        {"entries up to the cluster's end and on",
         concat({{dotEntry(5), dotDotEntry(0)}, fillers(70, false)}), 72, "FILLER.TXT"},
        {"file data in the first sector", concat({fillers(1, false), {dotEntry(5)}}), 0, ""},
    };
    for (const auto& c : cases) {
        DirVolume v;
        v.image = test::makeImage({.fatType = 16, .sectorsPerCluster = 4});
        v.image.chain({5, 9});
        v.image.writeDirectory({5, 9}, c.entries);
        const EntryList list = v.list(5);
        ASSERT_EQ(list.size(), c.records) << c.what;
        if (!list.empty()) {
            EXPECT_EQ(nameOf(list.back().longName), c.last) << c.what;
        }
    }
}

TEST(ReadDirectory, AShortReadEndsTheWalk) {
    DirVolume v;
    v.image.chain({60, 61});
    std::vector<RawEntry> entries{dotEntry(60), dotDotEntry(0)};
    for (int i = 0; i < 30; ++i) entries.push_back(shortEntry({.name11 = "F       "}));
    v.image.writeDirectory({60, 61}, entries);
    // The image ends 8 entries into cluster 61.
    const std::size_t cluster61 = v.image.cluster(61) - v.image.bytes.data();
    v.image.bytes.resize(cluster61 + 8 * 32);
    EXPECT_EQ(v.list(60).size(), 16u + 8u);
}

}  // namespace
}  // namespace chkmend
