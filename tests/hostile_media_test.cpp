// Failing media: reads that fail part-way must cost only what they cannot read. A volume is
// mapped into memory and read through /proc/self/mem, where an unmapped page fails with EIO the
// way a bad sector does, with no hook in the platform layer.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fat/volume.h"
#include "platform/platform.h"
#include "recovery/collect.h"
#include "recovery/naming.h"
#include "recovery/output_writer.h"
#include "recovery/rediscover.h"
#include "tests/hostile_support.h"

namespace chkmend {
namespace {

using test::dotDotEntry;
using test::dotEntry;
using test::RawEntry;
using test::shortEntry;

constexpr std::size_t Page = 4096;

// FAT12, 4 KiB clusters so that one page is one cluster, a 512-entry fixed root.
test::TestImage pageClusterImage() {
    return test::makeImage({.fatType = 12, .sectorsPerCluster = 8, .clusters = 64});
}

RawEntry orphanFile(int n, std::uint32_t cluster, std::uint32_t size) {
    std::string name = "FILE" + std::to_string(1000 + n) + "CHK";
    return shortEntry({.name11 = name, .attributes = 0x20, .firstCluster = cluster, .size = size});
}

RawEntry foundFolder(std::uint32_t cluster) {
    return shortEntry({.name11 = "FOUND   000", .attributes = 0x10, .firstCluster = cluster});
}

// The image laid into memory with its data clusters on page boundaries. On 64-bit Linux the
// mapping lies far above 4 GiB: the volume begins at a 64-bit offset of the device.
struct MappedVolume {
    void* base = MAP_FAILED;
    std::size_t length = 0;
    std::size_t pad = 0;
    VolumeState volume;

    explicit MappedVolume(const test::TestImage& image) {
        pad = (Page - image.dataStart % Page) % Page;
        length = (pad + image.bytes.size() + Page - 1) / Page * Page;
        base = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) return;
        std::memcpy(static_cast<std::uint8_t*>(base) + pad, image.bytes.data(), image.bytes.size());
    }
    ~MappedVolume() {
        closeVolume(volume);
        if (base != MAP_FAILED) ::munmap(base, length);
    }
    MappedVolume(const MappedVolume&) = delete;
    MappedVolume& operator=(const MappedVolume&) = delete;

    bool mapped() const { return base != MAP_FAILED; }
    // Makes the page holding image byte `offset` unreadable.
    void breakPageAt(std::size_t offset) {
        const std::size_t page = (pad + offset) / Page * Page;
        ASSERT_EQ(::munmap(static_cast<std::uint8_t*>(base) + page, Page), 0);
    }
    bool open() {
        volume.volumeHandle = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
        if (volume.volumeHandle < 0) return false;
        volume.baseOffset = reinterpret_cast<std::uintptr_t>(base) + pad;
        return loadGeometry(volume) == 1;
    }
    // The four phases of a run; returns the folder reports.
    std::vector<FoundFolderReport> recover() {
        EntryList list;
        auto reports = collectOrphans(volume, list);
        ExtensionNotes notes;
        rediscoverDirectories(volume, list, Sniffing::EightSignatures, &notes);
        nameOrphans(volume, list, Sniffing::EightSignatures, &notes);
        writeOutputTree(volume, list, nullptr);
        return reports;
    }
};

#define OPEN_OR_SKIP(mappedVolume)                                            \
    if (!(mappedVolume).mapped()) GTEST_SKIP() << "no memory for the volume"; \
    if (!(mappedVolume).open()) GTEST_SKIP() << "/proc/self/mem cannot be read here"

TEST(UnreadableMedia, AFailedClusterGivesZerosAndTheRestOfTheFileArrives) {
    auto image = pageClusterImage();
    const std::uint32_t cb = image.clusterBytes();
    image.writeDirectory({0}, {foundFolder(2)});
    image.chain({2});
    image.writeDirectory({2}, {dotEntry(2), dotDotEntry(0), orphanFile(0, 10, 3 * cb - 100),
                               orphanFile(1, 20, 2 * cb)});
    image.chain({10, 11, 12});  // one run, read at once
    image.chain({20, 30});      // the bad cluster follows a good one in the same buffer
    for (std::uint32_t c : {10u, 11u, 12u, 20u, 30u}) {
        std::memset(image.cluster(c), static_cast<int>('a' + c % 26), cb);
    }
    MappedVolume mapped(image);
    if (mapped.mapped()) {
        mapped.breakPageAt(image.cluster(11) - image.bytes.data());
        mapped.breakPageAt(image.cluster(30) - image.bytes.data());
    }
    OPEN_OR_SKIP(mapped);
    test::ScratchDir out(true);
    mapped.recover();
    const auto tree = test::treeOf("out");
    EXPECT_EQ(tree.at("UnkFil0"),
              std::string(cb, 'k') + std::string(cb, '\0') + std::string(cb - 100, 'm'));
    EXPECT_EQ(tree.at("UnkFil1"), std::string(cb, 'u') + std::string(cb, '\0'));
}

// Heads of neighbouring orphans are read together; one that cannot be read must not cost the
// others their test or their name, nor be taken for what its neighbour holds.
TEST(UnreadableMedia, AnUnreadableHeadCostsOnlyItsOwnOrphan) {
    auto image = pageClusterImage();
    image.writeDirectory({0}, {foundFolder(2)});
    image.chain({2});
    image.writeDirectory({2}, {dotEntry(2), dotDotEntry(0), orphanFile(0, 10, 9),
                               orphanFile(1, 11, 9), orphanFile(2, 12, 0), orphanFile(3, 14, 5)});
    for (std::uint32_t c : {10u, 11u, 12u, 14u}) image.chain({c});
    image.fill(10, "%PDF-1.4\n");
    image.fill(11, "%PDF-1.4\n");
    image.writeDirectory({12}, {dotEntry(12), dotDotEntry(0), orphanFile(9, 14, 5)});
    image.fill(14, "hello");
    MappedVolume mapped(image);
    if (mapped.mapped()) mapped.breakPageAt(image.cluster(11) - image.bytes.data());
    OPEN_OR_SKIP(mapped);
    test::ScratchDir out(true);
    mapped.recover();
    const auto tree = test::treeOf("out");
    EXPECT_EQ(tree.at("UnkFil0.pdf"), "%PDF-1.4\n");
    EXPECT_EQ(tree.at("UnkFil1"), std::string(9, '\0'));
    EXPECT_EQ(tree.at("UnkDir0/FILE1009.CHK"), "hello");
}

TEST(UnreadableMedia, ABadSectorCostsOnlyItselfNotItsWholeCluster) {
    // 8 KiB clusters: two pages each, the first of them unreadable in clusters 10 and 20.
    auto image = test::makeImage({.fatType = 12, .sectorsPerCluster = 16, .clusters = 64});
    const std::uint32_t cb = image.clusterBytes();
    image.writeDirectory({0}, {foundFolder(2)});
    image.chain({2});
    image.writeDirectory(
        {2}, {dotEntry(2), dotDotEntry(0), orphanFile(0, 10, 2 * cb), orphanFile(1, 20, cb)});
    image.chain({10, 11});  // a run read at once
    image.chain({20});      // a single cluster
    for (std::uint32_t c : {10u, 11u, 20u}) {
        std::memset(image.cluster(c), static_cast<int>('a' + c % 26), cb);
    }
    MappedVolume mapped(image);
    if (mapped.mapped()) {
        mapped.breakPageAt(image.cluster(10) - image.bytes.data());
        mapped.breakPageAt(image.cluster(20) - image.bytes.data());
    }
    OPEN_OR_SKIP(mapped);
    test::ScratchDir out(true);
    mapped.recover();
    const auto tree = test::treeOf("out");
    const std::string half(Page, '\0');
    EXPECT_EQ(tree.at("UnkFil0"), half + std::string(cb - Page, 'k') + std::string(cb, 'l'));
    EXPECT_EQ(tree.at("UnkFil1"), half + std::string(cb - Page, 'u'));
}

TEST(UnreadableMedia, ADirectoryGoesOnPastAClusterThatCannotBeRead) {
    auto image = pageClusterImage();
    const std::uint32_t perCluster = image.clusterBytes() / 32;
    image.writeDirectory({0}, {foundFolder(2)});
    image.chain({2, 3, 4});
    std::vector<RawEntry> entries{dotEntry(2), dotDotEntry(0)};
    for (std::uint32_t i = 2; i < 2 * perCluster; ++i) entries.push_back(orphanFile(0, 0, 0));
    entries.push_back(orphanFile(1, 40, 5));  // first entry of cluster 4
    image.writeDirectory({2, 3, 4}, entries);
    image.chain({40});
    image.fill(40, "hello");
    MappedVolume mapped(image);
    if (mapped.mapped()) mapped.breakPageAt(image.cluster(3) - image.bytes.data());
    OPEN_OR_SKIP(mapped);
    test::ScratchDir out(true);
    const auto reports = mapped.recover();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].orphanCount, static_cast<int>(perCluster - 2 + 1));
    const auto tree = test::treeOf("out");
    EXPECT_EQ(tree.at("UnkFil" + std::to_string(perCluster - 2)), "hello");
}

TEST(UnreadableMedia, ABadSectorInTheRootHidesOnlyTheEntriesInIt) {
    auto image = pageClusterImage();
    const std::size_t perPage = Page / 32;
    std::vector<RawEntry> root;
    for (std::size_t i = 0; i < 2 * perPage; ++i) {
        root.push_back(shortEntry({.name11 = "FILLER  TXT"}));
    }
    root.push_back(foundFolder(2));  // first entry of the root's third page
    image.writeDirectory({0}, root);
    image.chain({2});
    image.writeDirectory({2}, {dotEntry(2), dotDotEntry(0), orphanFile(0, 40, 5)});
    image.chain({40});
    image.fill(40, "saved");
    MappedVolume mapped(image);
    if (mapped.mapped()) mapped.breakPageAt(image.rootStart + Page);
    OPEN_OR_SKIP(mapped);
    test::ScratchDir out(true);
    const auto reports = mapped.recover();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(test::treeOf("out").at("UnkFil0"), "saved");
}

// A FAT16 volume whose tables fill whole pages once mapped: pages 1-2 hold the first table,
// pages 3-4 the second. One file on a chain that only the table tells.
test::TestImage twoTableImage() {
    auto image = test::makeImage({.fatType = 16});
    image.writeDirectory({0}, {foundFolder(2)});
    image.chain({2});
    image.writeDirectory({2}, {dotEntry(2), dotDotEntry(0), orphanFile(0, 3000, 1030)});
    image.chain({3000, 10, 4000});
    image.fill(3000, std::string(512, 'a'));
    image.fill(10, std::string(512, 'b'));
    image.fill(4000, "end");
    std::memcpy(image.bytes.data() + image.fatStart + image.fatBytes,
                image.bytes.data() + image.fatStart, image.fatBytes);
    return image;
}

TEST(UnreadableMedia, BadSectorsInTheFirstTableAreReadFromTheSecond) {
    const struct {
        const char* what;
        std::vector<std::size_t> brokenPages;  // of the mapping
        bool opens;
    } cases[] = {
        {"first table's first half", {1}, true},
        {"each copy a different half", {1, 4}, true},
        {"the same half of both copies", {2, 4}, false},
    };
    for (const auto& c : cases) {
        const auto image = twoTableImage();
        MappedVolume mapped(image);
        if (!mapped.mapped()) GTEST_SKIP() << "no memory for the volume";
        ASSERT_EQ((mapped.pad + image.fatStart) % Page, 0u) << "layout assumed by the test";
        ASSERT_EQ(image.fatBytes, 2 * Page);
        for (const std::size_t page : c.brokenPages) {
            mapped.breakPageAt(page * Page - mapped.pad);
        }
        const bool opened = mapped.open();
        ASSERT_EQ(opened, c.opens) << c.what;
        if (!opened) continue;
        test::ScratchDir out(true);
        mapped.recover();
        EXPECT_EQ(test::readWholeFile("out/UnkFil0"),
                  std::string(512, 'a') + std::string(512, 'b') + std::string("end\0\0\0", 6))
            << c.what;
    }
}

// An image that ends before its geometry does, as a card that dies part-way reads.
TEST(UnreadableMedia, ATruncatedImageStillGivesEveryFileItCanRead) {
    auto image = test::makeImage({.fatType = 16});
    const std::uint32_t cb = image.clusterBytes();
    image.writeDirectory({0}, {foundFolder(2)});
    image.chain({2});
    image.writeDirectory(
        {2}, {dotEntry(2), dotDotEntry(0), orphanFile(0, 10, cb + 10), orphanFile(1, 30, 2 * cb),
              orphanFile(2, 40, 3),
              shortEntry({.name11 = "DIR0000 CHK", .attributes = 0x10, .firstCluster = 50})});
    image.chain({10, 11});
    image.fill(10, std::string(cb, 'a'));
    image.fill(11, std::string(cb, 'b'));
    image.chain({30, 31});
    image.fill(30, std::string(cb, 'c'));
    image.fill(31, std::string(cb, 'd'));
    image.chain({40});
    image.chain({50});
    image.writeDirectory({50},
                         {dotEntry(50), dotDotEntry(0),
                          shortEntry({.name11 = "NAMED   TXT", .firstCluster = 40, .size = 3})});
    // The image ends 100 bytes into cluster 31.
    image.bytes.resize(image.cluster(31) - image.bytes.data() + 100);
    test::ScratchDir dir;
    test::saveImage(image, dir.path, 'T');
    test::ScratchDir work(true);
    const std::string printed = test::runTool('T');
    const auto tree = test::treeOf("out");
    EXPECT_EQ(tree.at("UnkFil0"), std::string(cb, 'a') + std::string(10, 'b'));
    EXPECT_EQ(tree.at("UnkFil1"),
              std::string(cb, 'c') + std::string(100, 'd') + std::string(cb - 100, '\0'));
    // Cluster 50 lies past the end: its directory cannot be told, its file is saved unnamed.
    EXPECT_EQ(tree.at("UnkFil2"), std::string(3, '\0'));
    EXPECT_EQ(tree.at("UnkDir0"), "<dir>");
    EXPECT_NE(printed.find("FOUND.000 - 4 files"), std::string::npos) << printed;
}

// Read calls made by this process so far, or -1.
long readCalls() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long value = 0;
    while (io >> key >> value) {
        if (key == "syscr:") return value;
    }
    return -1;
}

TEST(UnreadableMedia, TinyClaimedSectorsDoNotMultiplyFailedReads) {
    // One-byte sectors and a 2 MiB fixed root, all of it past the end of the image: reading
    // the root again sector by sector must not take millions of calls.
    std::vector<std::uint8_t> boot(1536, 0);
    boot[bpb::JumpByte] = 0xEB;
    test::put16(boot, bpb::BytesPerSector, 1);
    boot[bpb::SectorsPerCluster] = 1;
    test::put16(boot, bpb::ReservedSectors, 0x0200);
    boot[bpb::FatCount] = 1;
    test::put16(boot, bpb::RootEntryCount, 0xFFFF);
    test::put16(boot, bpb::FatSectors16, 1024);               // one-byte sectors of table
    test::put32(boot, bpb::TotalSectors32, 2098656 + 10000);  // about 10000 clusters: FAT16
    test::ScratchDir images;
    {
        std::ofstream out(images.path / "tiny.img", std::ios::binary);
        out.write(reinterpret_cast<const char*>(boot.data()),
                  static_cast<std::streamsize>(boot.size()));
    }
    ::setenv("CHKMEND_DRIVE_T", (images.path / "tiny.img").c_str(), 1);
    test::ScratchDir work(true);
    const long before = readCalls();
    if (before < 0) GTEST_SKIP() << "/proc/self/io cannot be read here";
    const std::string printed = test::runTool('T');
    EXPECT_NE(printed.find("0 files have been recovered"), std::string::npos) << printed;
    EXPECT_LT(readCalls() - before, 10000);
}

// Many small files read ahead together, with a bad page at the end of them: the window that
// fails is not asked for again by every file before it, which on a failing card would cost a
// timeout per file.
TEST(UnreadableMedia, AWindowThatFailedIsNotReadAgainForEachFile) {
    auto image = test::makeImage({.fatType = 12, .sectorsPerCluster = 8, .clusters = 300});
    constexpr std::uint32_t Files = 250;
    std::vector<RawEntry> entries{dotEntry(2), dotDotEntry(0)};
    for (std::uint32_t i = 0; i < Files; ++i) {
        entries.push_back(orphanFile(static_cast<int>(i), 10 + i, 100));
        image.chain({10 + i});
        image.fill(10 + i, "file " + std::to_string(i));
    }
    image.writeDirectory({0}, {foundFolder(2)});
    image.chain({2, 3});
    image.writeDirectory({2, 3}, entries);
    MappedVolume mapped(image);
    if (mapped.mapped()) mapped.breakPageAt(image.cluster(10 + Files - 1) - image.bytes.data());
    OPEN_OR_SKIP(mapped);
    test::ScratchDir out(true);
    const long before = readCalls();
    if (before < 0) GTEST_SKIP() << "/proc/self/io cannot be read here";
    mapped.recover();
    // A head each, a first read each, and a few for the table and the folders.
    EXPECT_LT(readCalls() - before, 2 * Files + 50);
    const auto tree = test::treeOf("out");
    EXPECT_EQ(tree.at("UnkFil0").substr(0, 6), "file 0");
    EXPECT_EQ(tree.at("UnkFil" + std::to_string(Files - 1)), std::string(100, '\0'));
}

TEST(PosixReads, FailedReadsReportWhatArrived) {
    // A directory opens for reading but every read fails with EISDIR.
    test::ScratchDir dir;
    const int folder = ::open(dir.path.c_str(), O_RDONLY);
    ASSERT_GE(folder, 0);
    char buffer[512];
    EXPECT_EQ(platform::readHandle(folder, buffer, sizeof buffer), 0u);
    ::close(folder);

    // A read running into a page that fails with EIO hands on what came before it.
    void* region =
        ::mmap(nullptr, 2 * Page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    std::memset(region, 'x', Page);
    ASSERT_EQ(::munmap(static_cast<std::uint8_t*>(region) + Page, Page), 0);
    const int memory = ::open("/proc/self/mem", O_RDONLY);
    if (memory < 0) GTEST_SKIP() << "/proc/self/mem cannot be read here";
    std::vector<std::uint8_t> got(2 * Page, 0xEE);
    ASSERT_TRUE(platform::seekHandle(memory, reinterpret_cast<std::uintptr_t>(region)));
    EXPECT_EQ(platform::readHandle(memory, got.data(), 2 * Page), Page);
    ASSERT_TRUE(platform::seekHandle(memory, reinterpret_cast<std::uintptr_t>(region) + Page));
    EXPECT_EQ(platform::readHandle(memory, got.data(), Page), 0u);
    EXPECT_FALSE(platform::seekHandle(memory, std::uint64_t{1} << 63));
    ::close(memory);
    ::munmap(region, Page);
}

}  // namespace
}  // namespace chkmend
