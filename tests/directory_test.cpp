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
    explicit DirVolume(int type = 12) : image(test::makeImage({.fatType = type})) {}
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

TEST(ReadDirectory, DotTestDecidesWhatIsADirectory) {
    RawEntry dotArchive = dotEntry(5);
    dotArchive[11] = 0x30;
    RawEntry dotDotReadOnly = dotDotEntry(0);
    dotDotReadOnly[11] = 0x11;
    const struct {
        const char* what;
        std::vector<RawEntry> entries;
        std::size_t records;
    } cases[] = {
        {"dot with archive bit", {dotArchive, dotDotEntry(0)}, 0},
        {"dotdot with read-only bit", {dotEntry(5), dotDotReadOnly}, 0},
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

// 8.3 names as Windows and mcopy show them: the OEM bytes decoded (code page 437 unless chosen
// otherwise), then A-Z lower-cased where byte 12 says so.
TEST(ReadDirectory, ShortNamesAreDecodedAndTakeTheirCaseFlags) {
    const struct {
        std::string_view name11;
        std::uint8_t caseFlags;
        const char* codePage;
        std::string name;
    } cases[] = {
        {"ABCDEF  TXT", 0, "", "ABCDEF.TXT"},
        {"ABCDEFGH   ", 0, "", "ABCDEFGH"},
        {"lower   a  ", 0, "", "lower.a"},  // lower case on disk stays as it is
        {"NOTES   TXT", 0x18, "", "notes.txt"},
        {"README  MD ", 0x10, "", "README.md"},
        {"PHOTOS     ", 0x08, "", "photos"},
        {"MAKEFILE   ", 0x10, "", "MAKEFILE"},
        {"A1_B~2  TXT", 0x08, "", "a1_b~2.TXT"},
        {"NOTES   TXT", 0xE7, "", "NOTES.TXT"},  // other bits of the byte say nothing of case
        {"\x8eRGER   TXT", 0, "", "\xc3\x84RGER.TXT"},  // ÄRGER.TXT
        // Only A-Z change case, not the code page's letters: Ärger.txt, Σigma.Öl, Ángel.
        {"\x8eRGER   TXT", 0x18, "", "\xc3\x84rger.txt"},
        {"\xe4IGMA   \x99L ", 0x18, "", "\xce\xa3igma.\xc3\x96l"},
        {"\xb5NGEL   ", 0x08, "850", "\xc3\x81ngel"},
        {"\xb5NGEL   ", 0x08, "437", "\xe2\x95\xa1ngel"},  // a box-drawing piece
        {"\x8f\xe0\xa8\xa2\xa5\xe2  TXT", 0x08, "866",
         "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2"
         "\xd0\xb5\xd1\x82.TXT"},  // Привет
        {"\x05"
         "BC     TXT",
         0, "",
         "\xcf\x83"
         "BC.TXT"},  // 0x05 stands for a first byte 0xE5, σ
    };
    for (const auto& c : cases) {
        const test::CodePage page(c.codePage);
        DirVolume v;
        v.image.chain({5});
        RawEntry entry = shortEntry({.name11 = c.name11});
        entry[12] = c.caseFlags;
        v.image.writeDirectory({5}, {dotEntry(5), dotDotEntry(0), entry});
        const EntryList list = v.list(5);
        ASSERT_EQ(list.size(), 3u) << c.name;
        EXPECT_EQ(nameOf(list[2].longName), c.name);
        EXPECT_EQ(nameOf(list[2].shortName), c.name);
    }
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
        // Through no code page: a name 437 cannot hold is kept whole.
        {"Japanese", namedEntry(u"\u65e5\u672c\u8a9e\u306e\u30e1\u30e2.txt", file),
         "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe3\x83\xa1\xe3\x83\xa2.txt"},
        {"unpaired surrogate", namedEntry(std::u16string(u"a") + char16_t{0xD800} + u"b", file),
         "TWENTY~1.TXT"},
        // The first piece ends early, yet the second goes on: a NUL inside the name.
        {"embedded NUL", namedEntry(std::u16string(u"ab") + u'\0' + u"characters!.x", file),
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
    for (const auto& [length, kept] : {std::pair{255, true}, std::pair{256, false}}) {
        DirVolume v;
        v.image.chain({5, 6, 7});
        // 20 pieces of 13 characters hold 260, more than any system writes or can create.
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

// FAT keeps local wall-clock time of no stated zone: each date is read in the user's zone
// with its own summer time. Where the change to summer time skips an hour, a clock time in it
// takes the summer offset; where the change back repeats one, standard time: as mcopy -m reads
// them. Values in UTC (the comments) are the stored clock itself.
TEST(FatTime, FollowsTheCalendarAndTheUserZone) {
    using test::fatDate;
    using test::fatTime;
    const struct {
        const char* zone;
        const char* what;
        std::uint16_t date;
        std::uint16_t time;
        std::uint8_t hundredths;
        FileTime expected;
    } cases[] = {
        {"UTC", "first FAT day", fatDate(1980, 1, 1), 0, 0, 119600064000000000},
        {"UTC", "leap day", fatDate(2000, 2, 29), fatTime(12, 34, 56), 78, 125963012967800000},
        {"UTC", "hundredths past a second", fatDate(2000, 2, 29), fatTime(12, 34, 56), 178,
         125963012977800000},
        {"UTC", "last FAT time", fatDate(2107, 12, 31), fatTime(23, 59, 58), 0, 159992927980000000},
        {"UTC", "century without leap day", fatDate(2100, 2, 29), 0, 0, 0},
        {"UTC", "31 April", fatDate(2001, 4, 31), 0, 0, 0},
        {"UTC", "month 0", fatDate(2001, 0, 1), 0, 0, 0},
        {"UTC", "month 13", fatDate(2001, 13, 1), 0, 0, 0},
        {"UTC", "day 0", fatDate(2001, 1, 0), 0, 0, 0},
        {"UTC", "hour 24", fatDate(2001, 1, 1), fatTime(24, 0, 0), 0, 0},
        {"UTC", "minute 60", fatDate(2001, 1, 1), fatTime(0, 60, 0), 0, 0},
        {"UTC", "second 60", fatDate(2001, 1, 1), fatTime(0, 0, 60), 0, 0},
        {"UTC", "hundredths past the minute", fatDate(2001, 1, 1), fatTime(0, 0, 58), 200, 0},
        {"Europe/Berlin", "winter: 13:00", fatDate(2021, 1, 15), fatTime(14, 0, 0), 0,
         132551892000000000},
        {"Europe/Berlin", "summer: 12:00:01.5", fatDate(2021, 7, 15), fatTime(14, 0, 0), 150,
         132708240015000000},
        {"Europe/Berlin", "last winter second: 00:59:58", fatDate(2021, 3, 28), fatTime(1, 59, 58),
         0, 132613667980000000},
        {"Europe/Berlin", "the skipped hour: 00:30", fatDate(2021, 3, 28), fatTime(2, 30, 0), 0,
         132613650000000000},
        {"Europe/Berlin", "first summer hour: 01:00", fatDate(2021, 3, 28), fatTime(3, 0, 0), 0,
         132613668000000000},
        {"Europe/Berlin", "last summer second: 23:59:58 the day before", fatDate(2021, 10, 31),
         fatTime(1, 59, 58), 0, 132801119980000000},
        {"Europe/Berlin", "the repeated hour as standard time: 01:30", fatDate(2021, 10, 31),
         fatTime(2, 30, 0), 0, 132801174000000000},
        {"America/New_York", "the rules of 2005, DST from 3 April: 17:00", fatDate(2005, 4, 1),
         fatTime(12, 0, 0), 0, 127568484000000000},
        {"Europe/Berlin", "no such day", fatDate(2021, 2, 30), 0, 0, 0},
    };
    for (const auto& c : cases) {
        const test::TimeZone zone(c.zone);
        EXPECT_EQ(fatTimeToFileTime(c.date, c.time, c.hundredths), c.expected)
            << c.zone << ", " << c.what;
    }
}

TEST(ReadDirectory, Fat32RootStartsAtClusterTwoWithoutTheDotTest) {
    DirVolume v(32);
    v.image.writeDirectory({2}, {shortEntry({.name11 = "ROOTFILE   "})});
    EXPECT_EQ(namesOf(v.list(0)), (std::vector<std::string>{"ROOTFILE"}));
    EXPECT_TRUE(v.list(2).empty());
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
