// Small valid volumes for the fuzzer to start from: every FAT variant, FOUND folders, orphans
// that are directories naming other orphans, long names, signatures, and a volume of the damage
// the tool must survive (loops, cycles, hostile names). Kept to a few KiB each: the layout is
// cut down to a short table and the clusters in use, and the rest of the claimed volume simply
// is not there, which the reader must survive too.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/image_builder.h"

namespace chkmend::test::seeds {

struct Seed {
    std::string name;
    std::vector<std::uint8_t> bytes;
};

inline std::vector<RawEntry> join(std::vector<std::vector<RawEntry>> parts) {
    std::vector<RawEntry> all;
    for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The tree every seed carries, its clusters counted from `base` (the FAT32 root takes 2).
inline void populate(TestImage& image, std::uint32_t base) {
    auto c = [base](std::uint32_t n) { return base + n; };
    const std::uint16_t day = fatDate(2021, 6, 15);
    const std::uint16_t noon = fatTime(12, 0, 0);
    std::vector<RawEntry> root = {
        shortEntry({.name11 = "CARD       ", .attributes = 0x08}),
        file("README  TXT", c(20), 5),
        folder("FOUND   000", c(0)),
        folder("FOUND   001", c(12)),
    };
    image.writeDirectory({image.fatType == 32 ? 2u : 0u}, root);
    image.chain({c(0)});
    image.writeDirectory(
        {c(0)}, {dotEntry(c(0)), dotDotEntry(0), folder("DIR0000 CHK", c(1)), orphan(0, c(3), 700),
                 orphan(1, c(5), 600), orphan(2, c(7), 300), folder("DIR0001 CHK", c(8))});
    image.chain({c(1)});
    RawEntry deleted = file("GONE    TXT", c(9), 10);
    deleted[0] = 0xE5;
    RawEntry escaped = file("xSCAPED TXT", c(9), 10);
    escaped[0] = 0x05;
    image.writeDirectory({c(1)},
                         join({{dotEntry(c(1)), dotDotEntry(0)},
                               namedEntry(u"Report for 2021.txt", {.name11 = "REPORT~1TXT",
                                                                   .attributes = 0x21,
                                                                   .firstCluster = c(3),
                                                                   .size = 700,
                                                                   .writeDate = day,
                                                                   .writeTime = noon,
                                                                   .creationDate = day,
                                                                   .creationTime = noon,
                                                                   .creationHundredths = 150,
                                                                   .accessDate = day}),
                               namedEntry(u"Photos", {.name11 = "PHOTOS     ",
                                                      .attributes = 0x10,
                                                      .firstCluster = c(8),
                                                      .writeDate = day}),
                               {deleted, escaped}}));
    image.chain({c(8)});
    image.writeDirectory({c(8)}, join({{dotEntry(c(8)), dotDotEntry(c(1))},
                                       namedEntry(u"pic.jpg", {.name11 = "PIC     JPG",
                                                               .firstCluster = c(5),
                                                               .size = 600,
                                                               .writeDate = day})}));
    image.chain({c(3), c(4)});
    image.fill(c(3), std::string(image.clusterBytes(), 'r'));
    image.fill(c(4), "end of report");
    image.chain({c(5), c(6)});
    image.fill(c(5), std::string_view("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00", 11));
    image.chain({c(7)});
    image.fill(c(7), "%PDF-1.4");
    image.chain({c(9)});
    image.chain({c(12)});
    image.writeDirectory({c(12)}, {dotEntry(c(12)), dotDotEntry(0), orphan(0, c(13), 100)});
    image.chain({c(13)});
    image.fill(c(13), "ID3");
    image.chain({c(20)});
    image.fill(c(20), "hello");
}

// The boot sector, a table cut to `tableSectors`, the fixed root and `clusters` data clusters.
inline std::vector<std::uint8_t> compact(const TestImage& image, std::uint32_t tableSectors,
                                         std::uint32_t clusters) {
    const std::uint32_t bps = image.bytesPerSector;
    const std::uint8_t copies = image.bytes[bpb::FatCount];
    std::vector<std::uint8_t> out(image.bytes.begin(), image.bytes.begin() + image.fatStart);
    for (std::uint32_t k = 0; k < copies; ++k) {
        const auto from = image.bytes.begin() + image.fatStart + k * image.fatBytes;
        out.insert(out.end(), from, from + tableSectors * bps);
    }
    out.insert(out.end(), image.bytes.begin() + image.rootStart,
               image.bytes.begin() + image.dataStart + clusters * image.clusterBytes());
    if (image.fatType == 32) {
        put32(out, bpb::FatSectors32, tableSectors);
    } else {
        put16(out, bpb::FatSectors16, tableSectors);
    }
    return out;
}

// Damage of every kind the tool must survive, on one FAT16 volume.
inline TestImage damagedVolume() {
    TestImage image = makeImage({.fatType = 16, .rootEntries = 32});
    image.writeDirectory({0}, {folder("FOUND   000", 2), folder("FOUND   001", 30)});
    image.chain({2});
    image.writeDirectory(
        {2},
        {dotEntry(2), dotDotEntry(0), orphan(0, 5, 0xFFFFFFFF),  // its chain loops: 5 -> 6 -> 5
         folder("DIR0000 CHK", 8),   // directory chain loops, no end mark
         folder("DIR0001 CHK", 11),  // names itself
         folder("DIR0002 CHK", 13),  // 13 and 14 name each other
         folder("DIR0003 CHK", 14), orphan(1, 16), orphan(2, 17), orphan(3, 18), orphan(4, 19)});
    image.setFat(5, 6);
    image.setFat(6, 5);
    image.setFat(8, 9);
    image.setFat(9, 8);
    std::vector<RawEntry> looping{dotEntry(8), dotDotEntry(0)};
    while (looping.size() < 2 * image.clusterBytes() / 32) looping.push_back(file("LOOP", 16));
    image.writeDirectory({8, 9}, looping);
    image.chain({11});
    image.writeDirectory({11}, {dotEntry(11), dotDotEntry(0), folder("SELF", 11)});
    image.chain({13});
    image.writeDirectory({13}, {dotEntry(13), dotDotEntry(0), folder("OTHER", 14)});
    image.chain({14});
    image.writeDirectory({14},
                         join({{dotEntry(14), dotDotEntry(0), folder("OTHER", 13)},
                               namedEntry(u"..", {.name11 = "DOTDOT", .firstCluster = 16}),
                               namedEntry(u"a/b\\C:x", {.name11 = "SLASH", .firstCluster = 17}),
                               namedEntry(u"CON", {.name11 = "CON", .firstCluster = 18}),
                               namedEntry(u"..\\..\\up", {.name11 = "UP", .firstCluster = 19})}));
    for (std::uint32_t c : {16u, 17u, 18u, 19u}) image.chain({c});
    // A FOUND folder that lists itself among its orphans.
    image.chain({30});
    image.writeDirectory({30}, {dotEntry(30), dotDotEntry(0), folder("DIR0000 CHK", 30)});
    return image;
}

inline std::vector<Seed> allSeeds() {
    std::vector<Seed> seeds;
    {
        TestImage image = makeImage({.fatType = 12, .rootEntries = 32, .clusters = 64});
        populate(image, 2);
        seeds.push_back({"fat12.img", image.bytes});
    }
    {
        TestImage image = makeImage({.fatType = 16, .rootEntries = 32});
        populate(image, 2);
        seeds.push_back({"fat16.img", compact(image, 1, 24)});
    }
    {
        TestImage image = makeImage({.fatType = 32, .fatCount = 2});
        populate(image, 3);
        seeds.push_back({"fat32.img", compact(image, 1, 26)});
    }
    {
        TestImage image = makeImage({.fatType = 16, .sectorsPerCluster = 4, .rootEntries = 32});
        populate(image, 2);
        seeds.push_back({"fat16-2k-clusters.img", compact(image, 1, 24)});
    }
    seeds.push_back({"damaged.img", compact(damagedVolume(), 1, 32)});
    return seeds;
}

}  // namespace chkmend::test::seeds
