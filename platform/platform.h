// The one seam between chkmend and the operating system. Everything the tool needs from the
// platform is listed here; platform_win32.cpp and platform_posix.cpp implement it, and CMake
// picks one at build time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace chkmend::platform {

// A handle of the platform's file API. On Win32 it holds a HANDLE, on POSIX a descriptor.
using Handle = std::intptr_t;
inline constexpr Handle InvalidHandle = -1;

// 100-nanosecond intervals since 1601-01-01 00:00:00; 0 means "no time".
using FileTime = std::uint64_t;

// Makes the narrow file calls read names in the OEM code page. Call before any file is opened.
void useOemFileApis();

// Opens the raw volume of a drive letter ("\\.\%c:") read-only, sharing reading and writing.
// On POSIX the letter maps to the image or device named by CHKMEND_DRIVE_<LETTER>.
Handle openVolumeDevice(char driveLetter);

// Moves the handle to an absolute byte position. False when the platform refused.
bool seekHandle(Handle handle, std::uint64_t position);

// Reads up to `bytes` at the current position; returns how many arrived (0 on failure).
std::uint32_t readHandle(Handle handle, void* buffer, std::uint32_t bytes);

void closeHandle(Handle handle);

// Output paths are OEM texts with '\' separators, relative to the current directory.
bool createFolder(const std::string& path);

// Creates or replaces a file for writing with the given FAT attribute bits.
Handle createOutputFile(const std::string& path, std::uint32_t attributes);

// Writes all bytes or fails.
bool writeHandle(Handle handle, const void* buffer, std::uint32_t bytes);

bool setFolderAttributes(const std::string& path, std::uint32_t attributes);

// Sets the three times of a file or folder; a time of 0 leaves that time as it is.
bool setFileTimes(const std::string& path, FileTime creation, FileTime lastAccess,
                  FileTime lastWrite);

// The same through the handle a file was just written with, before it is closed: no second
// open and no path lookup. Closing the handle afterwards leaves the times as set.
bool setHandleTimes(Handle handle, FileTime creation, FileTime lastAccess, FileTime lastWrite);

// The text in the OEM code page; nothing when a character has no exact OEM form (no best-fit
// look-alikes) or the text holds an unpaired surrogate.
std::optional<std::string> utf16ToOem(std::u16string_view text);

// Prints text to standard output, or to standard error, as it stands.
void printText(std::string_view text);
void printError(std::string_view text);

}  // namespace chkmend::platform
