#include "driver/messages.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace chkmend::messages {

std::string recoveringDrive(char driveLetter) {
    return std::string("recovering drive ") + driveLetter + "\n";
}

std::string foundFolder(std::string_view name, int orphanCount) {
    return std::string(name) + " - " + std::to_string(orphanCount) + " files\n";
}

std::string saved(std::string_view outputPath) {
    return "saved " + std::string(outputPath) + "\n";
}

std::string recovered(int count) {
    return std::to_string(count) + " files have been recovered\n";
}

namespace {

constexpr std::string_view PickHint = "CHKMEND_PARTITION=<number> picks one";

std::string drivePrefix(char driveLetter) {
    return std::string("drive ") + driveLetter + ": ";
}

std::string sizeText(std::uint64_t bytes) {
    constexpr std::uint64_t KiB = 1024;
    constexpr std::uint64_t MiB = 1024 * KiB;
    return bytes >= MiB ? std::to_string(bytes / MiB) + " MiB"
                        : std::to_string(bytes / KiB) + " KiB";
}

// "MBR partitions 1 (type 83, 4 MiB), 2 (type 0C, 60 MiB, FAT)"
std::string partitionList(const OpenReport& report) {
    std::string text =
        report.scheme == PartitionScheme::Gpt ? "GPT partitions " : "MBR partitions ";
    for (std::size_t i = 0; i < report.partitions.size(); ++i) {
        const PartitionFound& found = report.partitions[i];
        text += (i == 0 ? "" : ", ") + std::to_string(found.partition.number) + " (";
        if (report.scheme == PartitionScheme::Mbr) {
            char type[16];
            std::snprintf(type, sizeof type, "type %02X, ", found.partition.mbrType);
            text += type;
        }
        text += sizeText(found.partition.lengthBytes) + (found.holdsFat ? ", FAT)" : ")");
    }
    return text;
}

}  // namespace

std::string openFailed(char driveLetter, const char* requested, const OpenReport& report) {
    std::string text;
    if (requested != nullptr) {
        text = "CHKMEND_PARTITION=" + std::string(requested) + " names no FAT volume; ";
    }
    if (report.scheme == PartitionScheme::None) {
        return requested != nullptr
                   ? drivePrefix(driveLetter) + text + "the drive has no partition table\n"
                   : std::string();
    }
    const bool anyFat = std::any_of(report.partitions.begin(), report.partitions.end(),
                                    [](const PartitionFound& p) { return p.holdsFat; });
    text += partitionList(report);
    text += anyFat ? "; " + std::string(PickHint) : "; none holds a FAT volume";
    return drivePrefix(driveLetter) + text + "\n";
}

std::string openedHow(char driveLetter, const char* requested, const OpenReport& report) {
    std::string text;
    const auto fatCount = std::count_if(report.partitions.begin(), report.partitions.end(),
                                        [](const PartitionFound& p) { return p.holdsFat; });
    if (fatCount > 1 && requested == nullptr) {
        text += drivePrefix(driveLetter) + "reading partition " +
                std::to_string(report.chosenPartition) + " of " + partitionList(report) + "; " +
                std::string(PickHint) + "\n";
    }
    if (report.fromBackupBootSector) {
        text += drivePrefix(driveLetter) +
                "the boot sector is damaged; reading the volume with its FAT32 backup copy\n";
    }
    return text;
}

std::string cantWrite(std::string_view outputPath, std::string_view reason) {
    return "can't write " + std::string(outputPath) + ": " + std::string(reason) + "\n";
}

std::string cantCreate(std::string_view folderPath, std::string_view reason) {
    return "can't create " + std::string(folderPath) + ": " + std::string(reason) + "\n";
}

std::string notWritten(int count) {
    return std::to_string(count) + " files could not be written\n";
}

std::string unknownCodePage(std::string_view name) {
    return "unknown code page " + std::string(name) + ", 8.3 names are read in code page 437\n";
}

}  // namespace chkmend::messages
