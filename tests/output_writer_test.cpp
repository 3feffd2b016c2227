// Writing the rebuilt tree: paths, safe names, contents, attributes, times and the count.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

TEST(BuildPath, FollowsParentsAndSurvivesLoops) {
    EntryList list(4);
    setName(list[0].longName, "UnkDir0");
    setName(list[1].longName, "Letters");
    list[1].parent = 0;
    setName(list[2].longName, "note.txt");
    list[2].parent = 1;
    EXPECT_EQ(buildPath(list, 2), "UnkDir0\\Letters\\note.txt");
    EXPECT_EQ(buildPath(list, 3), "_") << "an unnamed record still gets a usable name";
    // 256 bytes is more than one component may hold (UTF-8 makes that 86 Japanese letters).
    setName(list[3].longName, std::string(256, 'x'));
    setName(list[3].shortName, "XXXXXX~1");
    EXPECT_EQ(buildPath(list, 3), "XXXXXX~1");
    setName(list[3].longName, std::string(255, 'x'));
    EXPECT_EQ(buildPath(list, 3), std::string(255, 'x'));
    // Links that loop (never made by rediscovery, but a path must still end).
    list[0].parent = 2;
    const std::string looped = buildPath(list, 2);
    EXPECT_FALSE(looped.empty());
    EXPECT_TRUE(looped.ends_with("note.txt"));
}

}  // namespace
}  // namespace chkmend
