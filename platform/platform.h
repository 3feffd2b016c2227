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

// Output paths are UTF-8 texts with '\' separators, relative to the current directory.
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

// Chooses the code page that 8.3 names are decoded with: the system's OEM code page on Win32;
// on POSIX the one CHKMEND_CODEPAGE names ("850", "CP850", any name iconv knows), 437 when it
// is unset. Returns the name it could not use, 437 standing in for it.
std::optional<std::string> chooseOemCodePage();

// The bytes of an 8.3 name as UTF-8 text, decoded with the chosen code page; a byte it cannot
// decode becomes '_'.
std::string oemToUtf8(std::string_view bytes);

// Whether a name of UTF-8 text is short enough for one path component: 255 bytes on POSIX,
// 255 UTF-16 units on Win32.
bool fitsPathComponent(std::string_view name);

// A wall-clock time of the user's time zone (as 100-nanosecond intervals counted as if that
// clock ran on UTC) as a file time. A clock time that a change to summer time skips is read
// with the summer offset; one that the change back repeats, as standard time. 0 when the zone
// step fails.
FileTime localToFileTime(FileTime wallClock);

// Prints UTF-8 text to standard output, or to standard error. Win32 writes a console in
// UTF-16 and anything else in the OEM code page.
void printText(std::string_view text);
void printError(std::string_view text);

}  // namespace chkmend::platform
