// Whole runs through the driver: the console lines exactly as a user sees them.
#include <sys/stat.h>

#include "tests/hostile_support.h"

namespace chkmend {
namespace {

using test::file;
using test::folder;
using test::orphan;
using test::runWith;

const std::string Banner(messages::Banner);

TEST(Run, WithoutArgumentPrintsUsage) {
    EXPECT_EQ(runWith({}), Banner + "usage:\n\tchkmend.exe {drive letter}\n");
}

TEST(Run, AVolumeThatCannotBeOpenedStopsTheRun) {
    test::ScratchDir dir(true);
    ::unsetenv("CHKMEND_DRIVE_Q");
    EXPECT_EQ(runWith({"q"}), Banner + "recovering drive q\ncan't open FAT partition\n");
    const std::string notFat = (dir.path / "zeros.img").string();
    std::ofstream{notFat};
    ::setenv("CHKMEND_DRIVE_Q", notFat.c_str(), 1);
    std::filesystem::resize_file(notFat, 1 << 20);
    EXPECT_EQ(runWith({"Q:"}), Banner + "recovering drive Q\ncan't open FAT partition\n");
    EXPECT_FALSE(std::filesystem::exists("out"));
}

// A code page the system does not know: one line on standard error, and the names of code
// page 437, as without a choice.
TEST(Run, AnUnknownCodePageFallsBackTo437WithOneLine) {
    test::FoundVolume v(true);
    v.root = {folder("FOUND   000", 3)};
    v.directory(3, {orphan(0, 80), orphan(1, 50)});
    v.directory(80, {file("\x8eRGER   TXT", 50, 2)});
    v.content(50, "ok");
    v.collect();
    ::setenv("CHKMEND_CODEPAGE", "CP99999", 1);
    std::string printed;
    std::string errors;
    const char* args[] = {"chkmend.exe", "T"};
    runChkmend(2, args,
               {[&printed](std::string_view text) { printed += text; },
                [&errors](std::string_view text) { errors += text; }});
    ::unsetenv("CHKMEND_CODEPAGE");
    platform::chooseOemCodePage();
    EXPECT_EQ(errors, "unknown code page CP99999, 8.3 names are read in code page 437\n");
    EXPECT_NE(printed.find("saved out\\UnkDir0\\\xc3\x84RGER.TXT\n"), std::string::npos) << printed;
}

TEST(Run, OnlyTheFirstCharacterOfTheFirstArgumentCounts) {
    test::FoundVolume v(true);
    v.root = {file("README  TXT", 5)};
    v.collect();  // writes the image and maps T to it
    const std::string quiet =
        Banner + "recovering drive T\nscanning for directories\n0 files have been recovered\n";
    for (const char* arg : {"T", "T:", "T:\\", "Txyz"}) EXPECT_EQ(runWith({arg, "extra"}), quiet);
    EXPECT_FALSE(std::filesystem::exists("out")) << "nothing to recover, nothing created";
}

TEST(Run, TheSecondArgumentAsksForAllTypesInThreeFormsAndAnyCase) {
    test::FoundVolume v(true);
    v.root = {folder("FOUND   000", 3)};
    v.directory(3, {orphan(0, 50)});
    v.content(50, std::string("\x89PNG\r\n\x1A\n", 8));
    v.collect();
    const std::string head =
        Banner + "recovering drive T\nFOUND.000 - 1 files\nscanning for directories\n";
    for (const char* form : {"/types", "/TYPES", "--types", "--Types", "-types", "-TYPES"}) {
        EXPECT_EQ(runWith({"T", form}),
                  head + "saved out\\UnkFil0.png\n0 files have been recovered\n")
            << form;
    }
    for (const char* other : {"types", "/type", "/typesx", "--type", "/t", "", "extra"}) {
        EXPECT_EQ(runWith({"T", other}), head + "saved out\\UnkFil0\n0 files have been recovered\n")
            << other;
    }
    EXPECT_EQ(runWith({"/types"}), Banner + "recovering drive /\ncan't open FAT partition\n")
        << "the first argument keeps its meaning";
}

// Two FOUND folders: a lost folder holding NOTE.TXT (written 2019-03-04) and a PDF.
void noteAndPdf(test::FoundVolume& v) {
    v.root = {folder("FOUND   000", 3), folder("FOUND   001", 4)};
    v.directory(3, {orphan(0, 80), orphan(1, 50)});
    v.directory(4, {orphan(0, 51)});
    v.directory(80, {test::shortEntry({.name11 = "NOTE    TXT",
                                       .firstCluster = 50,
                                       .size = 5,
                                       .writeDate = test::fatDate(2019, 3, 4)})});
    v.content(50, "hello");
    v.content(51, "%PDF-1.7");
    v.collect();
}

const std::string PhasesBeforeOutput = Banner +
                                       "recovering drive T\n"
                                       "FOUND.000 - 2 files\n"
                                       "FOUND.001 - 1 files\n"
                                       "scanning for directories\n";

TEST(Run, PrintsEveryPhaseInOrder) {
    test::FoundVolume v(true);
    noteAndPdf(v);
    EXPECT_EQ(runWith({"T"}), PhasesBeforeOutput +
                                  "saved out\\UnkDir0\\NOTE.TXT\n"
                                  "saved out\\UnkFil0.pdf\n"
                                  "1 files have been recovered\n");
}

// Both sides of the console of one run for drive T.
std::pair<std::string, std::string> runBothSides() {
    const test::ToolRun run = test::runCapturing({"T"});
    EXPECT_EQ(run.status, 0);
    return {run.printed, run.errors};
}

// On a whole disk the user learns on standard error which partition was read and how to pick
// another, and what the disk holds when none can be read; standard output stays as it was.
TEST(Run, APartitionedDriveSaysWhichPartitionItReads) {
    test::ScratchDir dir(true);
    auto volume = test::makeImage({.fatType = 12});
    volume.writeDirectory({0}, {file("README  TXT", 5)});
    auto second = test::makeImage({.fatType = 12});
    second.writeDirectory({0}, {orphan(0, 0, 0)});
    test::TestImage disk;
    disk.bytes = test::mbrDisk(
        512, 4096, {{2048, 1024, 0x01, &volume.bytes}, {3072, 1024, 0x01, &second.bytes}});
    test::saveImage(disk, dir.path, 'T');
    const std::string quiet =
        Banner + "recovering drive T\nscanning for directories\n0 files have been recovered\n";
    const std::string cantOpen = Banner + "recovering drive T\ncan't open FAT partition\n";
    const std::string listing =
        "MBR partitions 1 (type 01, 512 KiB, FAT), 2 (type 01, 512 KiB, FAT); "
        "CHKMEND_PARTITION=<number> picks one\n";
    const struct {
        const char* partition;  // null: unset
        std::string out;
        std::string err;
    } cases[] = {
        {nullptr, quiet, "drive T: reading partition 1 of " + listing},
        {"2",
         Banner + "recovering drive T\nroot FILEnnnn.CHK - 1 files\nscanning for directories\n"
                  "saved out\\UnkFil0\n0 files have been recovered\n",
         ""},
        {"3", cantOpen, "drive T: CHKMEND_PARTITION=3 names no FAT volume; " + listing},
        {"two", cantOpen, "drive T: CHKMEND_PARTITION=two names no FAT volume; " + listing},
    };
    for (const auto& c : cases) {
        if (c.partition == nullptr) {
            ::unsetenv("CHKMEND_PARTITION");
        } else {
            ::setenv("CHKMEND_PARTITION", c.partition, 1);
        }
        const auto [out, err] = runBothSides();
        EXPECT_EQ(out, c.out) << (c.partition ? c.partition : "unset");
        EXPECT_EQ(err, c.err) << (c.partition ? c.partition : "unset");
    }
    test::saveImage(volume, dir.path, 'T');
    ::setenv("CHKMEND_PARTITION", "1", 1);
    EXPECT_EQ(runBothSides(), std::make_pair(cantOpen, std::string("drive T: CHKMEND_PARTITION=1 "
                                                                   "names no FAT volume; the drive "
                                                                   "has no partition table\n")));
    ::unsetenv("CHKMEND_PARTITION");

    auto wiped = test::makeImage({.fatType = 32, .reservedSectors = 32, .clusters = 300});
    test::put16(wiped.bytes, bpb::BackupBootSector, 6);
    std::copy_n(wiped.bytes.begin(), 512, wiped.bytes.begin() + 6 * 512);
    std::fill_n(wiped.bytes.begin(), 512, std::uint8_t{0});
    test::saveImage(wiped, dir.path, 'T');
    EXPECT_EQ(runBothSides(),
              std::make_pair(quiet, std::string("drive T: the boot sector is damaged; "
                                                "reading the volume with its FAT32 "
                                                "backup copy\n")));
}

// Standard output tells what was saved as ever; what was not goes to standard error, and the
// status says the run fell short.
TEST(Run, FilesThatCannotBeWrittenAreSaidAndFailTheRun) {
    test::FoundVolume v(true);
    noteAndPdf(v);
    // What stands where a file goes and cannot give way: a folder with something in it.
    std::filesystem::create_directories("out/UnkDir0/NOTE.TXT/kept");
    std::filesystem::create_directories("out/UnkFil0.pdf/kept");
    const test::ToolRun run = test::runCapturing({"T"});
    EXPECT_EQ(run.printed, PhasesBeforeOutput + "0 files have been recovered\n");
    EXPECT_EQ(run.errors,
              "can't write out\\UnkDir0\\NOTE.TXT: Is a directory\n"
              "can't write out\\UnkFil0.pdf: Is a directory\n"
              "2 files could not be written\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(std::filesystem::is_directory("out/UnkDir0/NOTE.TXT/kept")) << "left as it was";
    struct stat st {};
    ASSERT_EQ(::stat("out/UnkDir0/NOTE.TXT", &st), 0);
    EXPECT_GT(st.st_mtime, 1551657600) << "no times on what this run did not write";
}

}  // namespace
}  // namespace chkmend
