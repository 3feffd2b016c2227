// Finding the volume on what the user names: a volume from its first sector, a whole disk with
// a partition table, or a volume whose damaged boot sector has a good FAT32 copy.
#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include "fat/byte_reader.h"
#include "fat/partition.h"
#include "fat/volume.h"

namespace chkmend {

namespace {

using BootSector = std::array<std::uint8_t, BootSectorBytes>;

// Block addresses of a partition table and the copy of a boot sector count in the disk's
// sectors, which nothing on the disk states.
constexpr std::array<std::uint32_t, 4> SectorSizes = {512, 1024, 2048, 4096};

constexpr std::uint32_t UsualBackupSector = 6;
// Formatters keep the copy in the first reserved sectors; a larger number is garbage.
constexpr std::uint32_t MaxBackupSector = 255;

struct Found {
    std::uint64_t base = 0;
    BootSector boot{};
    bool backup = false;
};

bool isBackupCopy(const BootSector& copy, std::uint32_t sector, std::uint32_t sectorBytes) {
    return isPlausibleBootSector(copy) && hasFat32Layout(copy) &&
           readLe16(copy, bpb::BytesPerSector) == sectorBytes &&
           readLe16(copy, bpb::BackupBootSector) == sector &&
           sector < readLe16(copy, bpb::ReservedSectors);
}

// The FAT32 copy of the boot sector of a volume at `base`. The damaged sector's own field may
// be garbage, so the usual place is tried as well, in every sector size.
std::optional<Found> backupAt(const VolumeState& volume, std::uint64_t base,
                              const BootSector& damaged) {
    std::vector<std::uint32_t> sectors;
    const std::uint32_t named = readLe16(damaged, bpb::BackupBootSector);
    if (named != 0 && named != UsualBackupSector && named <= MaxBackupSector) {
        sectors.push_back(named);
    }
    sectors.push_back(UsualBackupSector);
    for (const std::uint32_t sector : sectors) {
        for (const std::uint32_t sectorBytes : SectorSizes) {
            Found found{base, {}, true};
            const std::uint64_t position = base + std::uint64_t{sector} * sectorBytes;
            if (readProbe(volume, position, found.boot) == BootSectorBytes &&
                isBackupCopy(found.boot, sector, sectorBytes)) {
                return found;
            }
        }
    }
    return std::nullopt;
}

std::optional<Found> volumeAt(const VolumeState& volume, std::uint64_t base) {
    Found found{base, {}, false};
    readProbe(volume, base, found.boot);
    if (isPlausibleBootSector(found.boot)) return found;
    return backupAt(volume, base, found.boot);
}

struct Hit {
    std::uint32_t number = 0;
    Found found;
    // A volume whose sectors are as large as the table's unit: the size the disk really has.
    bool exact = false;
};

// One reading of the partition table, its addresses taken in one sector size.
struct TableScan {
    PartitionTable table;
    std::vector<Hit> hits;
};

TableScan scanTable(const VolumeState& volume, std::span<const std::uint8_t, MbrBytes> sector0,
                    std::uint32_t sectorBytes) {
    const DiskReader read = [&volume](std::uint64_t position, std::span<std::uint8_t> out) {
        return readProbe(volume, position, out) == out.size();
    };
    TableScan scan{readPartitionTable(sector0, sectorBytes, read), {}};
    for (const Partition& partition : scan.table.partitions) {
        const std::optional<Found> found = volumeAt(volume, partition.startByte);
        if (!found) continue;
        const bool exact = scan.table.scheme == PartitionScheme::Gpt ||
                           readLe16(found->boot, bpb::BytesPerSector) == sectorBytes;
        scan.hits.push_back({partition.number, *found, exact});
    }
    return scan;
}

const Hit* pick(const TableScan& scan, const OpenRequest& request) {
    const auto hit = std::find_if(scan.hits.begin(), scan.hits.end(), [&](const Hit& h) {
        return !request.partition || h.number == *request.partition;
    });
    return hit == scan.hits.end() ? nullptr : &*hit;
}

void describe(const TableScan& scan, OpenReport& report) {
    report.scheme = scan.table.scheme;
    report.partitions.clear();
    for (const Partition& partition : scan.table.partitions) {
        const bool holdsFat = std::any_of(scan.hits.begin(), scan.hits.end(), [&](const Hit& hit) {
            return hit.number == partition.number;
        });
        report.partitions.push_back({partition, holdsFat});
    }
}

// The first partition that holds a FAT volume, or the one asked for. Sector sizes are tried in
// turn; one under which the table leads to a volume of that very sector size wins.
std::optional<Found> inPartitions(const VolumeState& volume, const BootSector& sector0,
                                  const OpenRequest& request, OpenReport& report) {
    std::optional<TableScan> chosenScan;
    Hit chosen;
    for (const std::uint32_t sectorBytes : SectorSizes) {
        if (chosenScan && chosen.exact) break;
        TableScan scan = scanTable(volume, sector0, sectorBytes);
        if (scan.table.scheme == PartitionScheme::None) continue;
        if (report.scheme == PartitionScheme::None) describe(scan, report);
        const Hit* hit = pick(scan, request);
        if (hit == nullptr || (chosenScan && !hit->exact)) continue;
        chosen = *hit;
        chosenScan = std::move(scan);
    }
    if (!chosenScan) return std::nullopt;
    describe(*chosenScan, report);
    report.chosenPartition = chosen.number;
    return chosen.found;
}

std::optional<Found> locateVolume(const VolumeState& volume, const OpenRequest& request,
                                  OpenReport& report) {
    std::array<std::uint8_t, ProbeBlockBytes> head{};
    if (readDriveHead(volume, head) < BootSectorBytes) return std::nullopt;
    Found atStart{0, {}, false};
    std::copy_n(head.begin(), BootSectorBytes, atStart.boot.begin());
    if (!request.partition && isPlausibleBootSector(atStart.boot)) return atStart;
    if (std::optional<Found> found = inPartitions(volume, atStart.boot, request, report)) {
        return found;
    }
    if (request.partition) return std::nullopt;
    if (std::optional<Found> found = backupAt(volume, 0, atStart.boot)) return found;
    // Whatever the first sector's parameter block gives, as every version before read it.
    if (deriveGeometry(atStart.boot)) return atStart;
    return std::nullopt;
}

}  // namespace

int openVolume(VolumeState& volume, char driveLetter, const OpenRequest& request,
               OpenReport& report) {
    report = {};
    volume.fatTable.clear();
    volume.baseOffset = 0;
    volume.volumeHandle = platform::openVolumeDevice(driveLetter);
    if (volume.volumeHandle == platform::InvalidHandle) return 0;
    const std::optional<Found> found = locateVolume(volume, request, report);
    if (found) {
        volume.baseOffset = found->base;
        report.fromBackupBootSector = found->backup;
    }
    if (!found || !loadVolume(volume, found->boot)) {
        closeVolume(volume);
        return 0;
    }
    return 1;
}

int openVolume(VolumeState& volume, char driveLetter) {
    OpenReport ignored;
    return openVolume(volume, driveLetter, {}, ignored);
}

}  // namespace chkmend
