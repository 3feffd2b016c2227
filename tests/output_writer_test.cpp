// Writing the rebuilt tree: paths, safe names, contents, attributes, times and the count.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "recovery/output_writer.h"
#include "recovery/safe_name.h"
#include "tests/image_builder.h"

namespace chkmend {
namespace {

namespace fs = std::filesystem;
using test::file;
using test::folder;
using test::orphan;
using test::shortEntry;

TEST(SafeName, HostileNamesBecomeHarmlessComponents) {
    const struct {
        std::string_view in;
        std::string_view out;
    } cases[] = {
        {"report.pdf", "report.pdf"},
        {"\xc3\x9c"
         "berweisung M\xc3\xa4rz.pdf",
         "\xc3\x9c"
         "berweisung M\xc3\xa4rz.pdf"},
        {"", "_"},
        {".", "_"},
        {"..", "__"},
        {"...", "..._"},
        {"a\\..\\b", "a_.._b"},
        {"../../etc/passwd", ".._.._etc_passwd"},
        {"C:evil", "C_evil"},
        {"file.txt:stream", "file.txt_stream"},
        {"a<b>c\"d|e?f*g", "a_b_c_d_e_f_g"},
        {"tab\there\x7f", "tab_here_"},
        {"name.", "name._"},
        {"name ", "name _"},
        {"CON", "CON_"},
        {"con.txt", "con_.txt"},
        {"NUL.tar.gz", "NUL_.tar.gz"},
        {"COM1", "COM1_"},
        {"lpt9.log", "lpt9_.log"},
        {"COM0", "COM0"},
        {"CONSOLE", "CONSOLE"},
        {"AUX .txt", "AUX _.txt"},
        {"PRN.", "PRN_._"},
    };
    for (const auto& c : cases) EXPECT_EQ(safeName(c.in), c.out) << c.in;
}

// Names that Windows takes for one in a folder fold alike; others stay apart.
TEST(SafeName, FoldCaseComparesAsWindowsFolders) {
    const struct {
        std::string_view a;
        std::string_view b;
        bool same;
    } cases[] = {
        {"Readme.TXT", "README.txt", true},
        {"äpfel", "ÄPFEL", true},
        {"ÿ", "Ÿ", true},
        {"łódź", "ŁÓDŹ", true},
        {"čeština", "ČEŠTINA", true},
        {"Ωμέγα", "ΩΜΈΓΑ", true},
        {"ς", "σ", true},  // final and plain sigma
        {"привет", "ПРИВЕТ", true},
        {"ёж", "ЁЖ", true},
        {"ґ", "Ґ", true},
        {"ß", "ss", false},              // no capital of its own here
        {"÷", "×", false},               // no letters
        {"a", "à", false},               // accents count
        {"\xff\xfe", "\xff\xfe", true},  // not UTF-8: kept as it is
        {"日本", "日本", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(foldCase(c.a) == foldCase(c.b), c.same) << c.a << " / " << c.b;
    }
    EXPECT_EQ(foldCase("Mixed.Txt"), "MIXED.TXT");
}

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

struct Written {
    int recovered = 0;
    int unwritten = 0;
    std::vector<std::string> saved;
    std::vector<std::string> failed;  // "<path>: <reason>", folders marked with a trailing '\'
};

Written writeTree(VolumeState& volume, const EntryList& list) {
    Written w;
    const OutputCounts counts = writeOutputTree(
        volume, list, [&](const std::string& path) { w.saved.push_back(path); },
        [&](const OutputFailure& f) {
            w.failed.push_back(f.outputPath + (f.isFolder ? "\\: " : ": ") + f.reason);
        });
    w.recovered = counts.recovered;
    w.unwritten = counts.unwritten;
    return w;
}

const auto Day = test::fatDate(2019, 3, 4);
const auto Noon = test::fatTime(12, 0, 2);

// The tree of the overview: a lost folder whose listing names a sub-folder and files.
struct TreeVolume : test::FoundVolume {
    TreeVolume() : test::FoundVolume(true) {
        root = {folder("FOUND   000", 3)};
        directory(3, {orphan(0, 50), orphan(1, 60), orphan(2, 70), orphan(3, 80), orphan(4, 90),
                      orphan(5, 91, 1024), orphan(6, 0, 0)});
        directory(80, {folder("LETTERS    ", 60), file("TOP     TXT", 90, 0),
                       file("SHORT   BIN", 91, 1024),
                       shortEntry({.name11 = "LOCKED  TXT",
                                   .attributes = 0x21,
                                   .firstCluster = 70,
                                   .size = 4,
                                   .writeDate = Day,
                                   .writeTime = Noon})});
        directory(60, {shortEntry({.name11 = "NOTE    TXT",
                                   .firstCluster = 50,
                                   .size = 5,
                                   .writeDate = Day,
                                   .writeTime = Noon,
                                   .accessDate = Day})});
        content(50, "hello");
        content(70, "lock");
        content(91, "JFIF");  // one cluster, where the entry claims two
    }
};

TEST(WriteOutputTree, RebuildsTheTreeAndCountsReattachedFiles) {
    TreeVolume v;
    const EntryList list = v.name();
    const Written w = writeTree(v.volume, list);
    EXPECT_EQ(w.saved, (std::vector<std::string>{"out\\UnkDir0\\LETTERS\\NOTE.TXT",
                                                 "out\\UnkDir0\\LOCKED.TXT",
                                                 "out\\UnkDir0\\TOP.TXT", "out\\UnkFil0"}));
    EXPECT_EQ(w.recovered, 3) << "top-level files and folders are not counted";
    EXPECT_EQ(contentOf("out/UnkDir0/LETTERS/NOTE.TXT"), "hello");
    EXPECT_EQ(contentOf("out/UnkDir0/TOP.TXT"), "");
    EXPECT_EQ(contentOf("out/UnkFil0"), "");
    EXPECT_FALSE(fs::exists("out/UnkDir0/SHORT.BIN")) << "a chain shorter than its size";
}

TEST(WriteOutputTree, AppliesReadOnlyAndTimesEvenToReadOnlyFiles) {
    TreeVolume v;
    writeTree(v.volume, v.name());
    struct stat note {};
    struct stat locked {};
    ASSERT_EQ(::stat("out/UnkDir0/LETTERS/NOTE.TXT", &note), 0);
    ASSERT_EQ(::stat("out/UnkDir0/LOCKED.TXT", &locked), 0);
    // 2019-03-04 12:00:02, the stored wall clock taken as it stands.
    EXPECT_EQ(note.st_mtime, 1551700802);
    EXPECT_EQ(note.st_atime, 1551657600);
    EXPECT_EQ(locked.st_mtime, 1551700802);
    EXPECT_EQ(locked.st_mode & 0222, 0u);
    EXPECT_NE(note.st_mode & 0200, 0u);
}

TEST(WriteOutputTree, ASecondRunReplacesContentModeAndTimesOfFilesLeftInPlace) {
    TreeVolume v;
    const EntryList list = v.name();
    writeTree(v.volume, list);
    const char* note = "out/UnkDir0/LETTERS/NOTE.TXT";
    // What an earlier run or a user may have left: other bytes, another mode, another time.
    std::ofstream(note, std::ios::binary | std::ios::trunc) << "stale and longer";
    ASSERT_EQ(::chmod(note, 0600), 0);
    const Written again = writeTree(v.volume, list);
    EXPECT_EQ(again.recovered, 3);
    EXPECT_EQ(contentOf(note), "hello");
    struct stat st {};
    ASSERT_EQ(::stat(note, &st), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);
    EXPECT_EQ(st.st_mtime, 1551700802);
}

// A folder's times are its entry's, even though files are written into it after its entry.
TEST(WriteOutputTree, FolderTimesSurviveTheFilesWrittenIntoThem) {
    test::FoundVolume v(true);
    v.root = {folder("FOUND   000", 3)};
    // List order: the lost folder, its sub-folder, then the file that goes into the sub-folder.
    v.directory(3, {orphan(0, 80), orphan(1, 60), orphan(2, 50)});
    v.directory(80, {shortEntry({.name11 = "LETTERS    ",
                                 .attributes = 0x10,
                                 .firstCluster = 60,
                                 .writeDate = Day,
                                 .writeTime = Noon})});
    v.directory(60, {file("NOTE    TXT", 50, 5)});
    v.content(50, "hello");
    EXPECT_EQ(writeOutputTree(v.volume, v.name(), nullptr).recovered, 1);
    struct stat letters {};
    ASSERT_EQ(::stat("out/UnkDir0/LETTERS", &letters), 0);
    EXPECT_EQ(letters.st_mtime, 1551700802);  // 2019-03-04 12:00:02
}

TEST(WriteOutputTree, AnEmptyListCreatesNothing) {
    test::ScratchDir dir(true);
    VolumeState volume;
    const Written w = writeTree(volume, {});
    EXPECT_EQ(w.recovered, 0);
    EXPECT_FALSE(fs::exists("out"));
}

TEST(WriteOutputTree, NamesFromTheVolumeNeverLeaveOut) {
    test::FoundVolume v(true);
    v.root = {folder("FOUND   000", 3)};
    v.directory(3, {orphan(0, 80), orphan(1, 50), orphan(2, 51), orphan(3, 52), orphan(4, 53)});
    v.directory(80, {folder("..         ", 50), file("/       ", 51, 1), file("CON     TXT", 52, 1),
                     file("C:X     ", 53, 1)});
    v.directory(50, {});
    for (std::uint32_t c : {51u, 52u, 53u}) v.content(c, "x");
    const Written w = writeTree(v.volume, v.name());
    EXPECT_EQ(w.saved, (std::vector<std::string>{"out\\UnkDir0\\_", "out\\UnkDir0\\CON_.TXT",
                                                 "out\\UnkDir0\\C_X"}));
    EXPECT_TRUE(fs::is_directory("out/UnkDir0/__"));
    std::size_t entries = 0;
    for (const auto& e : fs::recursive_directory_iterator(v.dir.path)) {
        ++entries;
        EXPECT_TRUE(e.path().string().starts_with((v.dir.path / "out").string()) ||
                    e.path().filename().string().starts_with("volume-"))
            << e.path();
    }
    EXPECT_EQ(entries, 1u + 6u);
}

// Entries of one folder that would land on one name are all kept; the later in list order take
// a number, which their "saved" line shows, and what is below a renamed folder follows it.
TEST(WriteOutputTree, EntriesThatLandOnOneNameAreAllKept) {
    test::FoundVolume v(true);
    v.root = {folder("FOUND   000", 3)};
    const auto named = [](std::u16string_view name, std::string_view name11, std::uint32_t c) {
        return test::namedEntry(name, {.name11 = name11, .firstCluster = c, .size = 2});
    };
    std::vector<test::RawEntry> listing = {file("DUP     TXT", 50, 2), file("DUP     TXT", 51, 2)};
    for (const auto& entries :
         {named(u"DUP (2).TXT", "DUP2    TXT", 52), named(u"Readme.txt", "README  TXT", 53),
          std::vector{file("README  TXT", 54, 2)}, named(u"a:b.txt", "AB      TXT", 55),
          named(u"a_b.txt", "AB~1    TXT", 56),
          named(u"\u03a9\u03bc\u03ad\u03b3\u03b1", "OMEGA   ", 57),
          named(u"\u03a9\u039c\u0388\u0393\u0391", "OMEGA~1 ", 58),
          std::vector{folder("SUB        ", 60), folder("SUB        ", 61)}}) {
        listing.insert(listing.end(), entries.begin(), entries.end());
    }
    listing.insert(listing.begin(), {test::dotEntry(80), test::dotDotEntry(0)});
    v.image.chain({80, 81});  // more entries than one cluster holds
    v.image.writeDirectory({80, 81}, listing);
    v.directory(60, {file("A       TXT", 62, 2)});
    v.directory(61, {file("A       TXT", 63, 2)});
    std::vector<test::RawEntry> orphans{orphan(0, 80)};
    for (std::uint32_t c : {50u, 51u, 52u, 53u, 54u, 55u, 56u, 57u, 58u, 60u, 61u, 62u, 63u}) {
        if (c != 60 && c != 61) v.content(c, std::to_string(c));
        orphans.push_back(orphan(static_cast<int>(orphans.size()), c));
    }
    v.directory(3, orphans);
    const Written w = writeTree(v.volume, v.name());
    EXPECT_EQ(w.saved, (std::vector<std::string>{
                           "out\\UnkDir0\\DUP.TXT",
                           "out\\UnkDir0\\DUP (3).TXT",  // " (2)" is a name of its own here
                           "out\\UnkDir0\\DUP (2).TXT",
                           "out\\UnkDir0\\Readme.txt",
                           "out\\UnkDir0\\README (2).TXT",
                           "out\\UnkDir0\\a_b.txt",
                           "out\\UnkDir0\\a_b (2).txt",
                           "out\\UnkDir0\\\u03a9\u03bc\u03ad\u03b3\u03b1",
                           "out\\UnkDir0\\\u03a9\u039c\u0388\u0393\u0391 (2)",
                           "out\\UnkDir0\\SUB\\A.TXT",
                           "out\\UnkDir0\\SUB (2)\\A.TXT",
                       }));
    EXPECT_EQ(w.recovered, 11);
    EXPECT_EQ(contentOf("out/UnkDir0/DUP (3).TXT"), "51");
    EXPECT_EQ(contentOf("out/UnkDir0/SUB (2)/A.TXT"), "63");
    EXPECT_TRUE(w.failed.empty());
}

// Keeps a file-size limit for the process while it lives; writes past it fail with EFBIG
// instead of a signal.
struct FileSizeLimit {
    rlimit before{};
    void (*handler)(int) = nullptr;
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &before);
        handler = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes, before.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, handler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
};

// A file whose write fails half way is said, counted and removed, times and all; the run goes
// on, and what still fits is saved.
TEST(WriteOutputTree, AFailedWriteLeavesNothingThatLooksRecovered) {
    test::FoundVolume v(true);
    v.root = {folder("FOUND   000", 3)};
    v.directory(3, {orphan(0, 80), orphan(1, 50, 1024), orphan(2, 52, 5)});
    v.directory(80, {file("BIG     BIN", 50, 1000), file("SMALL   TXT", 52, 5)});
    v.image.chain({50, 51});
    v.content(52, "small");
    const EntryList list = v.name();
    const Written w = [&] {
        const FileSizeLimit limit(600);
        return writeTree(v.volume, list);
    }();
    EXPECT_EQ(w.saved, std::vector<std::string>{"out\\UnkDir0\\SMALL.TXT"});
    EXPECT_EQ(w.failed, std::vector<std::string>{"out\\UnkDir0\\BIG.BIN: File too large"});
    EXPECT_EQ(w.unwritten, 1);
    EXPECT_EQ(w.recovered, 1);
    EXPECT_EQ(contentOf("out/UnkDir0/SMALL.TXT"), "small");
    EXPECT_FALSE(fs::exists("out/UnkDir0/BIG.BIN")) << "no truncated file";
}

// What an earlier run left gives way, whatever it is: a read-only file, a link (whose target
// stays untouched), a file where a folder goes. A file this run cannot read leaves what stands
// at its path alone, times and all.
TEST(WriteOutputTree, LeftoversAreReplacedAndOnlyWhatIsWrittenGetsTimes) {
    TreeVolume v;
    const EntryList list = v.name();
    writeTree(v.volume, list);
    test::ScratchDir elsewhere;
    const fs::path target = elsewhere.path / "target";
    std::ofstream(target) << "not ours";
    ASSERT_EQ(::chmod("out/UnkDir0/LOCKED.TXT", 0444), 0);
    std::ofstream("out/UnkDir0/LOCKED.TXT") << "";  // root may write; the mode must not matter
    fs::remove("out/UnkDir0/TOP.TXT");
    fs::create_symlink(target, "out/UnkDir0/TOP.TXT");
    fs::remove_all("out/UnkDir0/LETTERS");
    std::ofstream("out/UnkDir0/LETTERS") << "a file where a folder goes";
    std::ofstream("out/UnkDir0/SHORT.BIN") << "earlier card";
    ::utimes("out/UnkDir0/SHORT.BIN", nullptr);
    struct stat before {};
    ASSERT_EQ(::stat("out/UnkDir0/SHORT.BIN", &before), 0);

    const Written again = writeTree(v.volume, list);
    EXPECT_TRUE(again.failed.empty()) << again.failed.front();
    EXPECT_EQ(again.recovered, 3);
    EXPECT_EQ(contentOf("out/UnkDir0/LOCKED.TXT"), "lock");
    EXPECT_EQ(contentOf("out/UnkDir0/LETTERS/NOTE.TXT"), "hello");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status("out/UnkDir0/TOP.TXT")));
    EXPECT_EQ(contentOf(target), "not ours");
    struct stat after {};
    ASSERT_EQ(::stat("out/UnkDir0/SHORT.BIN", &after), 0);
    EXPECT_EQ(after.st_mtime, before.st_mtime) << "this run wrote nothing there";
    EXPECT_EQ(contentOf("out/UnkDir0/SHORT.BIN"), "earlier card");
}

// An entry below the current directory, whatever the length of its path, reached one folder at
// a time as the writer goes: its write time, and its content when it is a file.
struct Below {
    std::string content;
    time_t writeTime = 0;
};
Below entryBelow(const std::vector<std::string>& folders, const std::string& name) {
    const fs::path previous = fs::current_path();
    for (const std::string& folder : folders) fs::current_path(folder);
    Below found;
    struct stat st {};
    if (::stat(name.c_str(), &st) == 0) {
        found.writeTime = st.st_mtime;
        if (S_ISREG(st.st_mode)) found.content = contentOf(name);
    }
    fs::current_path(previous);
    return found;
}

// Paths far past the 4,096 bytes of one Linux path: every folder is reached from the one above.
TEST(WriteOutputTree, APathOfAnyDepthIsWrittenWhole) {
    test::FoundVolume v(true);
    v.content(50, "deep");
    v.content(51, "side");
    v.collect();
    EntryList list;
    const auto add = [&list](std::string name, std::size_t parent, std::uint32_t cluster,
                             std::uint32_t size) {
        EntryRecord& record = list.emplace_back();
        setName(record.longName, name);
        record.parent = parent;
        record.attributes = cluster == 0 ? attr::Directory : attr::Archive;
        record.firstCluster = cluster;
        record.sizeLow = size;
        record.lastWriteTime = (1551700802 + 11644473600) * 10'000'000ull;
        return list.size() - 1;
    };
    std::vector<std::string> folders{"out"};
    std::size_t parent = NoParent;
    for (int level = 0; level < 24; ++level) {
        folders.push_back(std::string(250, static_cast<char>('a' + level)));
        parent = add(folders.back(), parent, 0, 0);
    }
    const std::size_t twentieth = 19;
    add("leaf.txt", parent, 50, 4);
    const std::size_t side = add("side", twentieth, 0, 0);
    add("side.txt", side, 51, 4);
    add("again.txt", parent, 51, 4);  // back down after the side folder
    const Written w = writeTree(v.volume, list);
    ASSERT_EQ(w.saved.size(), 3u);
    EXPECT_GT(w.saved.front().size(), 6000u);
    EXPECT_TRUE(w.failed.empty()) << w.failed.front();
    const Below leaf = entryBelow(folders, "leaf.txt");
    EXPECT_EQ(leaf.content, "deep");
    EXPECT_EQ(leaf.writeTime, 1551700802);
    EXPECT_EQ(entryBelow(folders, "again.txt").content, "side");
    std::vector<std::string> sideFolders(folders.begin(), folders.begin() + 21);
    sideFolders.push_back("side");
    EXPECT_EQ(entryBelow(sideFolders, "side.txt").content, "side");
    const std::string deepest = folders.back();
    folders.pop_back();
    EXPECT_EQ(entryBelow(folders, deepest).writeTime, 1551700802) << "the deepest folder's own";
}

TEST(BuildPath, FollowsParentsAndSurvivesLoops) {
    EntryList list(4);
    setName(list[0].longName, "UnkDir0");
    setName(list[1].longName, "Letters");
    list[1].parent = 0;
    setName(list[2].longName, "note.txt");
    list[2].parent = 1;
    EXPECT_EQ(buildPath(list, 2), "UnkDir0\\Letters\\note.txt");
    EXPECT_EQ(buildPath(list, 3), "_") << "an unnamed record still gets a usable name";
    // 256 bytes is more than one component may hold.
    setName(list[3].longName, std::string(256, 'x'));
    setName(list[3].shortName, "XXXXXX~1");
    EXPECT_EQ(buildPath(list, 3), "XXXXXX~1");
    setName(list[3].longName, std::string(255, 'x'));
    EXPECT_EQ(buildPath(list, 3), std::string(255, 'x'));
    // Bytes count here, not characters: 85 Japanese letters fit, 86 do not.
    std::string japanese;
    for (int i = 0; i < 85; ++i) japanese += "\xe6\x97\xa5";
    setName(list[3].longName, japanese);
    EXPECT_EQ(buildPath(list, 3), japanese);
    setName(list[3].longName, japanese + "\xe6\x97\xa5");
    EXPECT_EQ(buildPath(list, 3), "XXXXXX~1");
    // Links that loop (never made by rediscovery, but a path must still end).
    list[0].parent = 2;
    const std::string looped = buildPath(list, 2);
    EXPECT_FALSE(looped.empty());
    EXPECT_TRUE(looped.ends_with("note.txt"));
}

}  // namespace
}  // namespace chkmend
