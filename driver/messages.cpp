#include "driver/messages.h"

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
