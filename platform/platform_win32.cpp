// Win32 implementation. The volume is read through the raw device of its drive letter; output
// names arrive as UTF-8 texts and are written through the wide calls with the "\\?\" prefix, so
// that a rebuilt tree deeper than MAX_PATH is still written whole.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/utf16.h"

namespace chkmend::platform {

namespace {

HANDLE toNative(Handle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

Handle fromNative(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? InvalidHandle : reinterpret_cast<Handle>(handle);
}

// The FAT attribute bits a created file or folder may carry. Higher bits of CreateFile's
// flags-and-attributes are flags (delete-on-close, overlapped…) that a damaged entry must
// never switch on.
constexpr DWORD FileAttributeBits = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
constexpr DWORD FolderAttributeBits = FileAttributeBits | FILE_ATTRIBUTE_DIRECTORY;

// The UTF-16 text of the wide calls is handed over as it stands.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

bool isRelative(std::wstring_view path) {
    const bool rooted = !path.empty() && (path[0] == L'\\' || path[0] == L'/');
    const bool drive = path.size() >= 2 && path[1] == L':';
    return !rooted && !drive;
}

// Bytes of a code page as UTF-16; empty when they are not valid in it.
std::wstring toWide(UINT codePage, std::string_view bytes) {
    constexpr DWORD flags = MB_ERR_INVALID_CHARS;
    if (bytes.empty() || bytes.size() > 32767) return {};
    const int length = static_cast<int>(bytes.size());
    const int units = MultiByteToWideChar(codePage, flags, bytes.data(), length, nullptr, 0);
    if (units <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    if (MultiByteToWideChar(codePage, flags, bytes.data(), length, wide.data(), units) != units) {
        return {};
    }
    return wide;
}

std::u16string_view asUtf16(const std::wstring& wide) {
    return {reinterpret_cast<const char16_t*>(wide.data()), wide.size()};
}

// The UTF-8 path as an absolute wide path with the "\\?\" prefix; empty when it cannot be
// made. The prefix lifts the MAX_PATH limit. A relative path is joined to the current directory
// rather than run through GetFullPathNameW, which would drop trailing dots and blanks or read
// "CON" as a device: the name lands exactly as given.
std::wstring longPath(const std::string& path) {
    const std::wstring given = toWide(CP_UTF8, path);
    if (given.empty()) return {};

    std::wstring full;
    if (isRelative(given)) {
        const DWORD needed = GetCurrentDirectoryW(0, nullptr);
        if (needed == 0) return {};
        full.assign(needed, L'\0');
        const DWORD got = GetCurrentDirectoryW(needed, full.data());
        if (got == 0 || got >= needed) return {};
        full.resize(got);
        if (!full.ends_with(L'\\')) full += L'\\';
        full += given;
    } else {
        const DWORD needed = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
        if (needed == 0) return {};
        full.assign(needed, L'\0');
        const DWORD got = GetFullPathNameW(given.c_str(), needed, full.data(), nullptr);
        if (got == 0 || got >= needed) return {};
        full.resize(got);
    }

    if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) return full;
    if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

const FILETIME* fileTimeOrNull(FileTime time, FILETIME& storage) {
    // A null pointer is SetFileTime's documented way to leave a time as it is.
    if (time == 0) return nullptr;
    storage.dwLowDateTime = static_cast<DWORD>(time & 0xFFFFFFFFu);
    storage.dwHighDateTime = static_cast<DWORD>(time >> 32);
    return &storage;
}

// A path that cannot be made into a wide path: the reason reported is the platform's own.
bool invalidName() {
    SetLastError(ERROR_INVALID_NAME);
    return false;
}

// A read-only file refuses DeleteFileW; this run's own files and an earlier run's are removed
// all the same. A folder is not a file to remove.
bool removeFile(const std::wstring& wide) {
    const DWORD found = GetFileAttributesW(wide.c_str());
    if (found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);  // what DeleteFileW says of a folder
        return false;
    }
    SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(wide.c_str()) != 0;
}

}  // namespace

void useOemFileApis() {
    SetFileApisToOEM();
}

Handle openVolumeDevice(char driveLetter) {
    char device[8];
    std::snprintf(device, sizeof device, "\\\\.\\%c:", driveLetter);
    return fromNative(CreateFileA(device, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
}

bool seekHandle(Handle handle, std::uint64_t position) {
    // The high word is signed: positions from 2^63 up are no file positions.
    if (position > static_cast<std::uint64_t>(INT64_MAX)) return false;
    LONG high = static_cast<LONG>(position >> 32);
    const auto low = static_cast<LONG>(static_cast<DWORD>(position & 0xFFFFFFFFu));
    // INVALID_SET_FILE_POINTER is also a valid low word; only the error code tells them apart.
    SetLastError(NO_ERROR);
    const DWORD result = SetFilePointer(toNative(handle), low, &high, FILE_BEGIN);
    return !(result == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

std::uint32_t readHandle(Handle handle, void* buffer, std::uint32_t bytes) {
    auto* out = static_cast<unsigned char*>(buffer);
    std::uint32_t total = 0;
    while (total < bytes) {
        DWORD got = 0;
        if (!ReadFile(toNative(handle), out + total, bytes - total, &got, nullptr) || got == 0) {
            break;
        }
        total += got;
    }
    return total;
}

std::uint32_t readHandleAt(Handle handle, std::uint64_t position, void* buffer,
                           std::uint32_t bytes) {
    if (position > static_cast<std::uint64_t>(INT64_MAX) - bytes) return 0;
    auto* out = static_cast<unsigned char*>(buffer);
    std::uint32_t total = 0;
    while (total < bytes) {
        // On a handle opened for synchronous use the offset positions the read, which then
        // completes before ReadFile returns.
        OVERLAPPED at{};
        const std::uint64_t from = position + total;
        at.Offset = static_cast<DWORD>(from & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(from >> 32);
        DWORD got = 0;
        if (!ReadFile(toNative(handle), out + total, bytes - total, &got, &at) || got == 0) break;
        total += got;
    }
    return total;
}

void adviseReading(Handle, std::uint64_t, std::uint64_t) {}

void closeHandle(Handle handle) {
    if (handle != InvalidHandle) CloseHandle(toNative(handle));
}

void closeOutputTree(OutputTree&) {}

bool makeOutputFolder(OutputTree&, const std::string& path) {
    const std::wstring wide = longPath(path);
    if (wide.empty()) return invalidName();
    if (CreateDirectoryW(wide.c_str(), nullptr) != 0) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
    const DWORD found = GetFileAttributesW(wide.c_str());
    if (found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
    // A file an earlier run left where a folder now goes: out\ is the tool's own.
    return removeFile(wide) && CreateDirectoryW(wide.c_str(), nullptr) != 0;
}

Handle createOutputFile(OutputTree&, const std::string& path, std::uint32_t attributes) {
    const std::wstring wide = longPath(path);
    if (wide.empty()) {
        invalidName();
        return InvalidHandle;
    }
    const auto create = [&wide, attributes] {
        return CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           attributes & FileAttributeBits, nullptr);
    };
    HANDLE file = create();
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
        // What an earlier run left is removed, not overwritten: CREATE_ALWAYS refuses a
        // read-only file, and a hidden or system one unless the new attributes repeat them, and
        // keeps attributes the new entry does not have.
        if (!removeFile(wide)) return InvalidHandle;
        file = create();
    }
    return fromNative(file);
}

bool writeHandle(Handle handle, const void* buffer, std::uint32_t bytes) {
    const auto* in = static_cast<const unsigned char*>(buffer);
    std::uint32_t total = 0;
    while (total < bytes) {
        DWORD put = 0;
        if (!WriteFile(toNative(handle), in + total, bytes - total, &put, nullptr)) return false;
        // A write that succeeds without progress would loop for ever: nothing more fits.
        if (put == 0) {
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
        total += put;
    }
    return true;
}

bool closeOutputFile(Handle handle) {
    return CloseHandle(toNative(handle)) != 0;
}

bool removeOutputFile(OutputTree&, const std::string& path) {
    const std::wstring wide = longPath(path);
    return wide.empty() ? invalidName() : removeFile(wide);
}

bool setFolderAttributes(OutputTree&, const std::string& path, std::uint32_t attributes) {
    const std::wstring wide = longPath(path);
    return !wide.empty() && SetFileAttributesW(wide.c_str(), attributes & FolderAttributeBits) != 0;
}

bool setFileTimes(OutputTree&, const std::string& path, FileTime creation, FileTime lastAccess,
                  FileTime lastWrite) {
    const std::wstring wide = longPath(path);
    if (wide.empty()) return invalidName();
    // FILE_WRITE_ATTRIBUTES rather than GENERIC_WRITE: a read-only file still takes its times.
    // Backup semantics let a folder be opened as well.
    const HANDLE file =
        CreateFileW(wide.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILETIME created{};
    FILETIME accessed{};
    FILETIME written{};
    const BOOL ok =
        SetFileTime(file, fileTimeOrNull(creation, created), fileTimeOrNull(lastAccess, accessed),
                    fileTimeOrNull(lastWrite, written));
    CloseHandle(file);
    return ok != 0;
}

bool setHandleTimes(Handle handle, FileTime creation, FileTime lastAccess, FileTime lastWrite) {
    FILETIME created{};
    FILETIME accessed{};
    FILETIME written{};
    // Explicit times on the writing handle also keep the close from stamping its own.
    return SetFileTime(toNative(handle), fileTimeOrNull(creation, created),
                       fileTimeOrNull(lastAccess, accessed),
                       fileTimeOrNull(lastWrite, written)) != 0;
}

std::optional<std::string> chooseOemCodePage() {
    return std::nullopt;
}

std::string lastErrorText() {
    const DWORD code = GetLastError();
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string reason =
        length == 0
            ? std::string()
            : utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length))
                  .value_or(std::string());
    if (text != nullptr) LocalFree(text);
    // The system's sentence ends with a full stop and a line break; the message adds its own.
    reason.erase(reason.find_last_not_of(" .\r\n") + 1);
    return reason.empty() ? "error " + std::to_string(code) : reason;
}

std::string oemToUtf8(std::string_view bytes) {
    std::wstring wide = toWide(CP_OEMCP, bytes);
    if (wide.empty() && !bytes.empty()) {
        // Some byte is no character of the code page (a lone lead byte, say): decode the rest
        // one byte at a time.
        for (const char byte : bytes) {
            const std::wstring one = toWide(CP_OEMCP, std::string_view(&byte, 1));
            wide += one.size() == 1 ? one : std::wstring(L"_");
        }
    }
    return utf16ToUtf8(asUtf16(wide)).value_or("_");
}

bool fitsPathComponent(std::string_view name) {
    return utf16Length(name) <= 255;
}

namespace {

constexpr std::int64_t TicksPerMinute = 600000000;

FileTime ticksOf(const FILETIME& time) {
    return (FileTime{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

// The zone's rules for the year, as the system has them for that year; fetched once a year.
const TIME_ZONE_INFORMATION& zoneOfYear(WORD year) {
    static WORD cachedYear = 0;
    static TIME_ZONE_INFORMATION zone{};
    if (year != cachedYear) {
        if (!GetTimeZoneInformationForYear(year, nullptr, &zone)) GetTimeZoneInformation(&zone);
        cachedYear = year;
    }
    return zone;
}

// Local time minus UTC at an instant, in ticks; nothing when the system cannot say.
std::optional<std::int64_t> offsetAt(const TIME_ZONE_INFORMATION& zone, FileTime instant) {
    FILETIME universal{static_cast<DWORD>(instant & 0xFFFFFFFFu),
                       static_cast<DWORD>(instant >> 32)};
    SYSTEMTIME universalClock{};
    SYSTEMTIME localClock{};
    FILETIME local{};
    if (!FileTimeToSystemTime(&universal, &universalClock) ||
        !SystemTimeToTzSpecificLocalTime(&zone, &universalClock, &localClock) ||
        !SystemTimeToFileTime(&localClock, &local)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(ticksOf(local)) - static_cast<std::int64_t>(instant);
}

}  // namespace

// Not TzSpecificLocalTimeToSystemTime: it reads the repeated hour as summer time where the C
// library and mtools read it as standard time. Converting the other way, from an instant to
// local time, has one answer, and both builds take the same steps.
FileTime localToFileTime(FileTime wallClock) {
    const FILETIME asFileTime{static_cast<DWORD>(wallClock & 0xFFFFFFFFu),
                              static_cast<DWORD>(wallClock >> 32)};
    SYSTEMTIME clock{};
    if (!FileTimeToSystemTime(&asFileTime, &clock)) return 0;
    const TIME_ZONE_INFORMATION& zone = zoneOfYear(clock.wYear);
    const std::int64_t standardBias = std::int64_t{zone.Bias} + zone.StandardBias;
    const auto asStandard =
        static_cast<FileTime>(static_cast<std::int64_t>(wallClock) + standardBias * TicksPerMinute);
    const std::optional<std::int64_t> offset = offsetAt(zone, asStandard);
    if (!offset) return 0;
    return static_cast<FileTime>(static_cast<std::int64_t>(wallClock) - *offset);
}

namespace {

// A real console takes the text in UTF-16; anything else (a file, a pipe) gets it in the OEM
// code page, with the code page's default character where it has none.
void printTo(DWORD stream, std::string_view text) {
    const HANDLE handle = GetStdHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
    // Lenient: the drive letter echoed back is a byte of the ANSI code page, not UTF-8.
    const std::u16string utf16 = utf8ToUtf16(text);
    const auto* wide = reinterpret_cast<const wchar_t*>(utf16.data());
    const int units = static_cast<int>(utf16.size());
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        DWORD written = 0;
        WriteConsoleW(handle, wide, static_cast<DWORD>(units), &written, nullptr);
        return;
    }
    // No best fit: a look-alike would show a character the name does not have. UTF-8 as the
    // OEM code page takes no such flag, and holds every character anyway.
    const DWORD flags = GetOEMCP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int bytes =
        WideCharToMultiByte(CP_OEMCP, flags, wide, units, nullptr, 0, nullptr, nullptr);
    std::string oem(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes <= 0 || WideCharToMultiByte(CP_OEMCP, flags, wide, units, oem.data(), bytes, nullptr,
                                          nullptr) != bytes) {
        oem.assign(text);
    }
    writeHandle(fromNative(handle), oem.data(), static_cast<std::uint32_t>(oem.size()));
}

}  // namespace

// Each line is written at once, so progress shows as it happens and stays if the run is cut
// short.
void printText(std::string_view text) {
    printTo(STD_OUTPUT_HANDLE, text);
}

void printError(std::string_view text) {
    printTo(STD_ERROR_HANDLE, text);
}

}  // namespace chkmend::platform
