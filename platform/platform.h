// The one seam between chkmend and the operating system. Everything the tool needs from the
// platform is listed here; platform_win32.cpp and platform_posix.cpp implement it, and CMake
// picks one at build time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Reads up to `bytes` from an absolute byte position in one call, leaving the handle's own
// position aside: one request to the system instead of two. Returns how many arrived.
std::uint32_t readHandleAt(Handle handle, std::uint64_t position, void* buffer,
                           std::uint32_t bytes);

// A hint that [position, position + bytes) will be read soon. POSIX starts reading it into the
// page cache; Windows reads raw volumes past any cache, so there it does nothing.
void adviseReading(Handle handle, std::uint64_t position, std::uint64_t bytes);

void closeHandle(Handle handle);

// The output tree under out\, written entry by entry. Every output call names its entry by its
// whole output path, UTF-8 text with '\' separators relative to the current directory
// ("out\UnkDir0\a.txt"), and takes the OutputTree that the writer keeps for the run. On POSIX
// it holds descriptors of the folder in hand and of the folders above it, so that each call is
// made relative to the entry's folder: a path of any depth works, and the entries of one folder
// cost no lookup of the folders that lead to it. Win32 needs none of it: its "\\?\" paths
// reach 32,767 characters. closeOutputTree releases what it holds.
struct OutputTree {
    std::string folder;                  // the folder in hand; empty for the current directory
    std::vector<std::size_t> levelEnds;  // where each level's name ends in `folder`
    std::vector<Handle> handles;         // one per level; InvalidHandle where none is kept
};
void closeOutputTree(OutputTree& tree);

// Makes the folder at `path`, whose parent must exist. True when a folder stands there
// afterwards, made now or there already; a file left there by an earlier run gives way to it.
bool makeOutputFolder(OutputTree& tree, const std::string& path);

// Creates a file for writing with the given FAT attribute bits. A file that stands at the path,
// left by an earlier run, is replaced whatever its attributes or mode.
Handle createOutputFile(OutputTree& tree, const std::string& path, std::uint32_t attributes);

// Writes all bytes or fails.
bool writeHandle(Handle handle, const void* buffer, std::uint32_t bytes);

// Closes a file made by createOutputFile; false when the platform reports that what was
// written did not all reach it.
bool closeOutputFile(Handle handle);

// Removes a file that createOutputFile made, read-only or not.
bool removeOutputFile(OutputTree& tree, const std::string& path);

bool setFolderAttributes(OutputTree& tree, const std::string& path, std::uint32_t attributes);

// Sets the three times of a file or folder; a time of 0 leaves that time as it is.
bool setFileTimes(OutputTree& tree, const std::string& path, FileTime creation, FileTime lastAccess,
                  FileTime lastWrite);

// The same through the handle a file was just written with, before it is closed: no second
// open and no path lookup. Closing the handle afterwards leaves the times as set.
bool setHandleTimes(Handle handle, FileTime creation, FileTime lastAccess, FileTime lastWrite);

// Why the last output call failed, in the system's words as UTF-8 ("No space left on
// device"). Ask right after the failure: any later call may change it.
std::string lastErrorText();

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
