// Every console message of the program.
#pragma once

#include <string>
#include <string_view>

#include "fat/volume.h"

namespace chkmend::messages {

inline constexpr std::string_view Banner =
    "chkmend 1.0 - rebuilds the files and folders that the disk checker left in FOUND.nnn\n";
inline constexpr std::string_view Usage = "usage:\n\tchkmend.exe {drive letter}\n";
inline constexpr std::string_view CantOpen = "can't open FAT partition\n";
inline constexpr std::string_view Scanning = "scanning for directories\n";

std::string recoveringDrive(char driveLetter);
std::string foundFolder(std::string_view name, int orphanCount);
std::string saved(std::string_view outputPath);
std::string recovered(int count);
// Standard error, when the chosen code page is not to be had.
std::string unknownCodePage(std::string_view name);

// Standard-error notes on how the volume was found; empty when there is nothing to say.
// `requested` is the text of CHKMEND_PARTITION, null when it is not set.
std::string openFailed(char driveLetter, const char* requested, const OpenReport& report);
std::string openedHow(char driveLetter, const char* requested, const OpenReport& report);
// Standard error: what could not be written, and why.
std::string cantWrite(std::string_view outputPath, std::string_view reason);
std::string cantCreate(std::string_view folderPath, std::string_view reason);
std::string notWritten(int count);

}  // namespace chkmend::messages
