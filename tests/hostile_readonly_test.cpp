// The volume is only ever read, and anything that is not a readable FAT volume gets the one
// refusal and nothing else: no output folder, no other line.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>

#include "fat/volume.h"
#include "platform/platform.h"
#include "tests/fuzz/seed_volumes.h"
#include "tests/hostile_support.h"

namespace chkmend {
namespace {

using test::put16;
using test::put32;

void writeFile(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

TEST(ReadOnlyVolume, ARunNeitherWritesNorTouchesTheImage) {
    for (const auto& seed : test::seeds::allSeeds()) {
        test::ScratchDir images;
        const std::filesystem::path file = images.path / seed.name;
        writeFile(file, seed.bytes);
        ::chmod(file.c_str(), 0444);
        struct stat before {};
        ASSERT_EQ(::stat(file.c_str(), &before), 0);
        // Root may write to a 0444 file, so watch for any change as well.
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(::inotify_add_watch(watch, file.c_str(), IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE),
                  0);
        ::setenv("CHKMEND_DRIVE_T", file.c_str(), 1);
        {
            test::ScratchDir work(true);
            const std::string printed = test::runTool('T');
            EXPECT_NE(printed.find("files have been recovered"), std::string::npos)
                << seed.name << ": " << printed;
        }
        char events[4096];
        EXPECT_LT(::read(watch, events, sizeof events), 0) << seed.name << " was changed";
        ::close(watch);
        struct stat after {};
        ASSERT_EQ(::stat(file.c_str(), &after), 0);
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        EXPECT_EQ(after.st_mode, before.st_mode);
        const std::string now = test::readWholeFile(file);
        EXPECT_TRUE(std::vector<std::uint8_t>(now.begin(), now.end()) == seed.bytes)
            << seed.name << " differs after the run";
    }
}

TEST(ReadOnlyVolume, TheDeviceIsOpenedForReadingOnly) {
    test::ScratchDir images;
    const std::filesystem::path file = images.path / "volume.img";
    writeFile(file, test::seeds::allSeeds().front().bytes);
    ::setenv("CHKMEND_DRIVE_T", file.c_str(), 1);
    const platform::Handle handle = platform::openVolumeDevice('T');
    ASSERT_NE(handle, platform::InvalidHandle);
    EXPECT_EQ(::fcntl(static_cast<int>(handle), F_GETFL) & O_ACCMODE, O_RDONLY);
    platform::closeHandle(handle);
}

// A valid FAT16 volume to spoil field by field.
std::vector<std::uint8_t> fat16Volume() {
    return test::makeImage({.fatType = 16, .rootEntries = 16}).bytes;
}

std::vector<std::uint8_t> bootSectorLike(std::string_view oem, int bytesPerSector,
                                         int sectorsPerCluster) {
    std::vector<std::uint8_t> bytes(64 * 1024, 0);
    bytes[bpb::JumpByte] = 0xEB;
    bytes[bpb::JumpByte + 1] = 0x52;
    bytes[bpb::JumpByte + 2] = 0x90;
    std::memcpy(bytes.data() + bpb::OemName, oem.data(), oem.size());
    put16(bytes, bpb::BytesPerSector, static_cast<std::uint32_t>(bytesPerSector));
    bytes[bpb::SectorsPerCluster] = static_cast<std::uint8_t>(sectorsPerCluster);
    bytes[bpb::Signature] = 0x55;
    bytes[bpb::Signature + 1] = 0xAA;
    return bytes;
}

TEST(NotAFatVolume, GetsTheOneRefusalAndNothingElse) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Case> cases;
    cases.push_back({"all zeros", std::vector<std::uint8_t>(1 << 20, 0)});
    cases.push_back({"empty", {}});
    {
        // NTFS keeps sector and cluster sizes where FAT does, but has no reserved sectors
        // and no allocation tables in the block.
        auto ntfs = bootSectorLike("NTFS    ", 512, 8);
        ntfs[bpb::Media] = 0xF8;
        put32(ntfs, 40, 0x00100000);  // total sectors, 64 bits at 40
        put32(ntfs, 48, 4);           // $MFT cluster
        cases.push_back({"NTFS", ntfs});
    }
    {
        // exFAT zeroes the whole FAT parameter block (bytes 11-63).
        auto exfat = bootSectorLike("EXFAT   ", 0, 0);
        put32(exfat, 72, 0x00100000);  // volume length
        put32(exfat, 80, 24);          // FAT offset
        put32(exfat, 84, 128);         // FAT length
        exfat[108] = 9;                // bytes per sector shift
        exfat[109] = 3;                // sectors per cluster shift
        cases.push_back({"exFAT", exfat});
    }
    {
        auto shortImage = fat16Volume();
        shortImage.resize(300);
        cases.push_back({"shorter than its boot sector", shortImage});
    }
    {
        auto cut = fat16Volume();
        cut.resize(512 + 700);  // ends inside the first table
        cases.push_back({"ends inside its table", cut});
    }
    const struct {
        const char* what;
        std::size_t at;
        int width;
        std::uint32_t value;
    } spoiled[] = {
        {"0 bytes per sector", bpb::BytesPerSector, 2, 0},
        {"0 sectors per cluster", bpb::SectorsPerCluster, 1, 0},
        {"no tables", bpb::FatCount, 1, 0},
        {"0 sectors per table", bpb::FatSectors16, 2, 0},
        {"table past the end of the volume", bpb::TotalSectors16, 2, 4},
    };
    for (const auto& s : spoiled) {
        auto bytes = fat16Volume();
        if (s.width == 1) bytes[s.at] = static_cast<std::uint8_t>(s.value);
        if (s.width == 2) put16(bytes, s.at, s.value);
        cases.push_back({s.what, bytes});
    }
    {
        // 4 GiB of table claimed by a 1 MiB image.
        auto huge = fat16Volume();
        huge.resize(1 << 20);
        put16(huge, bpb::FatSectors16, 0);
        put32(huge, bpb::FatSectors32, 0x007FFFFF);
        put16(huge, bpb::TotalSectors16, 0);
        put32(huge, bpb::TotalSectors32, 0xFFFFFFFF);
        cases.push_back({"a table larger than the image", huge});
    }

    for (const auto& c : cases) {
        test::ScratchDir images;
        const std::filesystem::path file = images.path / "volume.img";
        writeFile(file, c.bytes);
        ::setenv("CHKMEND_DRIVE_T", file.c_str(), 1);
        test::ScratchDir work(true);
        EXPECT_EQ(test::runTool('T'), test::cantOpenOutput('T')) << c.what;
        EXPECT_FALSE(std::filesystem::exists("out")) << c.what;
    }
}

TEST(NotAFatVolume, NothingOpenableGetsTheRefusalToo) {
    test::ScratchDir images;
    // Opening a FIFO for reading waits for a writer: the watchdog ends a test that blocks.
    const test::Watchdog watchdog(20);
    const std::string fifo = (images.path / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string socketPath = (images.path / "socket").string();
    const int listening = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listening, 1), 0);
    const struct {
        const char* what;
        std::string target;
    } cases[] = {
        {"a folder", images.path.string()},
        {"a missing file", (images.path / "missing.img").string()},
        {"an empty variable", ""},
        {"a FIFO", fifo},
        {"a socket", socketPath},
        {"a character device", "/dev/zero"},
    };
    for (const auto& c : cases) {
        ::setenv("CHKMEND_DRIVE_T", c.target.c_str(), 1);
        test::ScratchDir work(true);
        EXPECT_EQ(test::runTool('T'), test::cantOpenOutput('T')) << c.what;
        EXPECT_FALSE(std::filesystem::exists("out")) << c.what;
    }
    ::close(listening);
    ::unsetenv("CHKMEND_DRIVE_Q");
    test::ScratchDir work(true);
    EXPECT_EQ(test::runTool('q'), test::cantOpenOutput('q')) << "no variable at all";
}

}  // namespace
}  // namespace chkmend
