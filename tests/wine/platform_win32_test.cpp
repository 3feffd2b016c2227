// Checks of the Win32 platform layer, run under Wine by scripts/test_windows.sh (or on Windows).
// Self-contained, so that the cross build needs no test framework.
//   platform_win32_test [work folder] [drive letter of the marker volume]
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fat/fat_time.h"
#include "platform/platform.h"

namespace {

using namespace chkmend::platform;

int failures = 0;

void check(bool ok, const std::string& what) {
    if (!ok) {
        ++failures;
        std::printf("FAIL %s\n", what.c_str());
    }
}

std::string repeat(std::string_view text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

void testNames() {
    // Win32 counts UTF-16 units against a component's 255: a Japanese name of 255 letters fits
    // (POSIX counts its 765 bytes), an emoji takes two units.
    const std::string japanese = "\xe6\x97\xa5";
    const std::string emoji = "\xf0\x9f\x98\x80";
    check(fitsPathComponent(repeat(japanese, 255)), "255 Japanese letters fit a component");
    check(!fitsPathComponent(repeat(japanese, 256)), "256 Japanese letters do not");
    check(fitsPathComponent(repeat(emoji, 127) + "x"), "127 emoji and a letter fit");
    check(!fitsPathComponent(repeat(emoji, 128)), "128 emoji do not");

    if (GetOEMCP() != 437) {
        std::printf("skip: code page 437 cases (OEM code page is %u)\n", GetOEMCP());
        return;
    }
    check(oemToUtf8("\x8eRGER.TXT") == "\xc3\x84RGER.TXT", "8.3 bytes in code page 437");
    check(oemToUtf8("\xc9\xbb\xe4") == "\xe2\x95\x94\xe2\x95\x97\xce\xa3", "box drawing and Greek");
}

// What a line printed to a file (not a console) holds: the OEM code page, '?' where it has no
// character, and never a look-alike of a separator.
void testRedirectedConsole() {
    if (GetOEMCP() != 437) return;
    const char* file = "printed.txt";
    const HANDLE target = CreateFileA(file, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    const HANDLE previous = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, target);
    printText("saved out\\\xc3\x9c \xe6\x97\xa5 \xef\xbc\xbc \xc4\x80\xf0\x9f\x98\x80.txt\n");
    SetStdHandle(STD_OUTPUT_HANDLE, previous);
    CloseHandle(target);
    std::FILE* in = std::fopen(file, "rb");
    char buffer[64] = {};
    const std::size_t got = in != nullptr ? std::fread(buffer, 1, sizeof buffer, in) : 0;
    if (in != nullptr) std::fclose(in);
    // Ü, then ?, ? for the fullwidth reverse solidus (not '\\'), ? for A with macron (not 'A')
    // and ?? for the emoji's two units... or one: what the system makes of a pair.
    const std::string printed(buffer, got);
    check(printed.starts_with("saved out\\\x9a ? ? ?") && printed.ends_with(".txt\n") &&
              printed.find('A') == std::string::npos && printed.find('\\', 10) == std::string::npos,
          "a redirected line in code page 437: " + printed);
}

FileTime fromFiletime(const FILETIME& time) {
    return (FileTime{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

// The fields of a FAT date and time through the system's own conversion; 0 when it refuses.
// `day` receives the calendar day the system made of them.
FileTime systemFatTime(std::uint16_t date, std::uint16_t time, std::uint8_t hundredths, WORD& day) {
    SYSTEMTIME system{};
    system.wYear = static_cast<WORD>(1980 + (date >> 9));
    system.wMonth = static_cast<WORD>((date >> 5) & 0x0F);
    system.wDay = static_cast<WORD>(date & 0x1F);
    system.wHour = static_cast<WORD>(time >> 11);
    system.wMinute = static_cast<WORD>((time >> 5) & 0x3F);
    system.wSecond = static_cast<WORD>((time & 0x1F) * 2 + hundredths / 100);
    system.wMilliseconds = static_cast<WORD>(hundredths % 100 * 10);
    FILETIME file{};
    if (!SystemTimeToFileTime(&system, &file)) return 0;
    SYSTEMTIME back{};
    FileTimeToSystemTime(&file, &back);
    day = back.wDay;
    return fromFiletime(file);
}

// Both builds share one conversion of FAT fields to a wall clock. Every value it accepts must be
// the system's to the tick; a value it refuses the system refuses too, or moves onto another day
// (some implementations take 29 February of any year), which is no time the volume recorded.
void checkFatTime(std::uint16_t date, std::uint16_t time, std::uint8_t hundredths,
                  int& mismatches) {
    WORD day = 0;
    const FileTime ours = chkmend::fatWallClock(date, time, hundredths);
    const FileTime system = systemFatTime(date, time, hundredths, day);
    const bool agrees = ours != 0 ? system == ours : system == 0 || day != (date & 0x1F);
    if (agrees) return;
    if (++mismatches <= 5) {
        std::printf("FAIL fat time %04x %04x %u: %llu, system %llu\n", date, time, hundredths,
                    static_cast<unsigned long long>(ours), static_cast<unsigned long long>(system));
    }
}

void testFatTimes() {
    int mismatches = 0;
    // Every date at midnight, then every time of one day with hundredths that do and do not
    // carry into the next second.
    for (std::uint32_t date = 0; date <= 0xFFFF; ++date) {
        checkFatTime(static_cast<std::uint16_t>(date), 0, 0, mismatches);
    }
    for (std::uint32_t time = 0; time <= 0xFFFF; ++time) {
        for (const std::uint8_t hundredths : {0, 99, 100, 199, 200}) {
            checkFatTime(0x5A8F, static_cast<std::uint16_t>(time), hundredths, mismatches);
        }
    }
    check(mismatches == 0, "fat times agree with the system's conversion");
}

// The zone step, in the zone the run was given (Wine takes TZ from the host); the values are
// those the POSIX build gives, from the C library, and those of mcopy -m.
void testZone() {
    const char* zone = std::getenv("TZ");
    const std::string name = zone != nullptr ? zone : "";
    struct Case {
        const char* what;
        std::uint16_t date;
        std::uint16_t time;
        FileTime expected;
    };
    const Case berlin[] = {
        {"winter", 0x522F, 0x7000, 132551892000000000},              // 2021-01-15 14:00
        {"summer", 0x52EF, 0x7000, 132708240000000000},              // 2021-07-15 14:00
        {"last winter second", 0x527C, 0x0F7D, 132613667980000000},  // 2021-03-28 01:59:58
        {"the skipped hour", 0x527C, 0x13C0, 132613650000000000},    // 02:30
        {"the repeated hour", 0x535F, 0x13C0, 132801174000000000},   // 2021-10-31 02:30
        {"last summer second", 0x535F, 0x0F7D, 132801119980000000},  // 01:59:58
    };
    if (name == "Europe/Berlin") {
        for (const Case& c : berlin) {
            check(chkmend::fatTimeToFileTime(c.date, c.time, 0) == c.expected,
                  std::string("Berlin time: ") + c.what);
        }
    } else if (name == "UTC") {
        for (const Case& c : berlin) {
            check(chkmend::fatTimeToFileTime(c.date, c.time, 0) ==
                      chkmend::fatWallClock(c.date, c.time, 0),
                  std::string("UTC time: ") + c.what);
        }
    } else {
        std::printf("skip: zone cases (TZ is neither UTC nor Europe/Berlin)\n");
    }
}

FileTime readWriteTime(const std::wstring& path, FileTime* access = nullptr) {
    const HANDLE h =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    FILETIME a{};
    FILETIME w{};
    GetFileTime(h, nullptr, &a, &w);
    CloseHandle(h);
    if (access != nullptr) *access = (FileTime{a.dwHighDateTime} << 32) | a.dwLowDateTime;
    return (FileTime{w.dwHighDateTime} << 32) | w.dwLowDateTime;
}

std::wstring wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

std::string contentOf(const char* path) {
    const HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<none>";
    char buffer[64] = {};
    DWORD got = 0;
    ReadFile(file, buffer, sizeof buffer, &got, nullptr);
    CloseHandle(file);
    return std::string(buffer, got);
}

bool writeWhole(OutputTree& tree, const std::string& path, std::uint32_t attributes,
                std::string_view content) {
    const Handle file = createOutputFile(tree, path, attributes);
    if (file == InvalidHandle) return false;
    const bool written =
        writeHandle(file, content.data(), static_cast<std::uint32_t>(content.size()));
    return closeOutputFile(file) && written;
}

// What an earlier run left in out\ gives way to this run's entries, whatever its attributes;
// what cannot be replaced fails with the system's reason.
void testLeftovers(OutputTree& tree) {
    const struct {
        const char* what;
        std::uint32_t attributes;
    } leftovers[] = {{"read-only", 0x01}, {"hidden", 0x02}, {"system", 0x04}, {"all three", 0x07}};
    for (const auto& leftover : leftovers) {
        const std::string what = leftover.what;
        check(writeWhole(tree, "out\\left.txt", leftover.attributes | 0x20, "first card"),
              "leftover written: " + what);
        check(writeWhole(tree, "out\\left.txt", 0x20, "second"), "leftover replaced: " + what);
        check(contentOf("out\\left.txt") == "second", "leftover holds the new bytes: " + what);
        check((GetFileAttributesA("out\\left.txt") & 0x07) == 0,
              "replacement has the new attributes: " + what);
        check(writeWhole(tree, "out\\left.txt", leftover.attributes | 0x20, "again"),
              "leftover written again: " + what);
        check(removeOutputFile(tree, "out\\left.txt"), "leftover removed: " + what);
        check(GetFileAttributesA("out\\left.txt") == INVALID_FILE_ATTRIBUTES,
              "nothing left after removal: " + what);
    }

    check(writeWhole(tree, "out\\was a file", 0x01 | 0x20, "x"), "file where a folder goes");
    check(makeOutputFolder(tree, "out\\was a file"), "the folder replaces the file");
    check((GetFileAttributesA("out\\was a file") & FILE_ATTRIBUTE_DIRECTORY) != 0,
          "a folder stands there");

    check(createOutputFile(tree, "out\\was a file", 0x20) == InvalidHandle,
          "a folder is not replaced by a file");
    const std::string reason = lastErrorText();
    std::printf("a folder in the way: %s\n", reason.c_str());
    check(!reason.empty() && reason.find_first_of("\r\n") == std::string::npos &&
              !reason.ends_with("."),
          "the reason is one line without a full stop: " + reason);
}

void testOutput(const std::string& folder) {
    if (!SetCurrentDirectoryA(folder.c_str())) {
        check(false, "enter work folder " + folder);
        return;
    }
    const FileTime t1 = 133536384000000000ull;  // 2024-02-29
    const FileTime t2 = 125963012967890000ull;  // 2000-02-29 12:34:56.789

    OutputTree tree;
    check(makeOutputFolder(tree, "out"), "create out");
    check(makeOutputFolder(tree, "out"), "an existing folder is taken as it is");

    const Handle file = createOutputFile(tree, "out\\ro.txt", 0x01 | 0x20);
    check(file != InvalidHandle, "create read-only file");
    if (file != InvalidHandle) {
        check(writeHandle(file, "hello", 5), "write read-only file");
        closeOutputFile(file);
    }
    check((GetFileAttributesA("out\\ro.txt") & FILE_ATTRIBUTE_READONLY) != 0,
          "read-only attribute applied");
    check(setFileTimes(tree, "out\\ro.txt", t1, t1, t1), "times of a read-only file");
    check(readWriteTime(wide("out\\ro.txt")) == t1, "read-only file keeps its write time");
    // 0 leaves that time as it is.
    check(setFileTimes(tree, "out\\ro.txt", 0, t2, 0), "times with zeros");
    FileTime access = 0;
    check(readWriteTime(wide("out\\ro.txt"), &access) == t1, "write time 0 leaves it unchanged");
    check(access == t2, "access time set beside a zero write time");
    FILETIME created{};
    const HANDLE probe = CreateFileA("out\\ro.txt", FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        GetFileTime(probe, &created, nullptr, nullptr);
        CloseHandle(probe);
    }
    // Wine on a Linux file system keeps no creation time of ours; Windows does.
    const bool underWine =
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    if (!underWine) {
        check(((FileTime{created.dwHighDateTime} << 32) | created.dwLowDateTime) == t1,
              "creation time set");
    } else {
        std::printf("skip: creation time (Wine keeps none on the host file system)\n");
    }

    // A damaged entry's stray high bits must not become flags such as delete-on-close.
    const Handle stray = createOutputFile(tree, "out\\stray.bin", 0xFFFFFFC0u | 0x20);
    check(stray != InvalidHandle, "create with stray attribute bits");
    if (stray != InvalidHandle) {
        check(writeHandle(stray, "x", 1), "write with stray attribute bits");
        closeOutputFile(stray);
    }
    check(GetFileAttributesA("out\\stray.bin") != INVALID_FILE_ATTRIBUTES,
          "file with stray attribute bits survives its close");

    check(makeOutputFolder(tree, "out\\dir"), "create folder");
    check(setFolderAttributes(tree, "out\\dir", 0x10 | 0x01), "read-only folder");
    check(setFileTimes(tree, "out\\dir", t1, t1, t2), "times of a folder");
    check(readWriteTime(wide("out\\dir")) == t2, "folder write time");
    const Handle inside = createOutputFile(tree, "out\\dir\\inner.txt", 0x20);
    check(inside != InvalidHandle, "a read-only folder still takes new files");
    if (inside != InvalidHandle) closeOutputFile(inside);

    // Deeper than MAX_PATH: five folders of 100 characters.
    std::string deep = "out";
    for (char c = 'a'; c < 'f'; ++c) {
        deep += '\\' + std::string(100, c);
        check(makeOutputFolder(tree, deep), "long-path folder at " + std::to_string(deep.size()));
    }
    const std::string deepFile = deep + "\\file.txt";
    const Handle deepHandle = createOutputFile(tree, deepFile, 0x20);
    check(deepHandle != InvalidHandle, "long-path file");
    if (deepHandle != InvalidHandle) {
        check(writeHandle(deepHandle, "deep", 4), "long-path write");
        closeOutputFile(deepHandle);
    }
    check(setFileTimes(tree, deepFile, t1, t1, t1), "long-path times");
    check(setFolderAttributes(tree, deep, 0x10 | 0x02), "long-path folder attributes");

    // Only the "\\?\" form keeps a trailing dot; plain Win32 parsing would write "trail".
    // Wine sets no MAX_PATH limit, so this is what shows the long form is in use there.
    const Handle dotted = createOutputFile(tree, "out\\trail.", 0x20);
    check(dotted != InvalidHandle, "create a name with a trailing dot");
    if (dotted != InvalidHandle) closeOutputFile(dotted);
    check(GetFileAttributesA("out\\trail") == INVALID_FILE_ATTRIBUTES,
          "a trailing dot is kept, not dropped");

    // Names arrive as UTF-8 and reach the disk through the wide calls, whatever the OEM code
    // page holds.
    const Handle named =
        createOutputFile(tree, "out\\\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80.txt", 0x20);
    check(named != InvalidHandle, "create a file with a Japanese and an emoji name");
    if (named != InvalidHandle) closeOutputFile(named);
    check(GetFileAttributesW(L"out\\\u65e5\u672c \U0001F600.txt") != INVALID_FILE_ATTRIBUTES,
          "the Japanese and emoji name is on disk as given");

    check(createOutputFile(tree, "out\\missing\\x.txt", 0x20) == InvalidHandle,
          "no file in a folder that does not exist");
    check(!setFileTimes(tree, "out\\missing.txt", t1, t1, t1), "times of nothing fail");
    testLeftovers(tree);
    closeOutputTree(tree);
}

void testVolume(char letter) {
    check(openVolumeDevice('#') == InvalidHandle, "no volume behind an unmapped letter");
    if (letter == 0) return;
    const Handle volume = openVolumeDevice(letter);
    check(volume != InvalidHandle, "open the marker volume");
    if (volume == InvalidHandle) return;
    struct Mark {
        std::uint64_t position;
        const char* text;
    };
    // Above 4 GiB only the high word tells the position apart from the one below it, and
    // 0xFFFFFFFF is a low word that looks like SetFilePointer's failure value.
    const Mark marks[] = {{0x1234, "LOW-MARK"},
                          {0x140001234ull, "HIGH-MARK"},
                          {0xFFFFFFFFull, "EDGE-MARK"},
                          {0x1234, "LOW-MARK"}};
    for (const Mark& mark : marks) {
        char buffer[16] = {};
        const auto length = static_cast<std::uint32_t>(std::strlen(mark.text));
        check(seekHandle(volume, mark.position), std::string("seek to ") + mark.text);
        check(readHandle(volume, buffer, length) == length &&
                  std::memcmp(buffer, mark.text, length) == 0,
              std::string("read at ") + mark.text);
    }
    check(!seekHandle(volume, 0x8000000000000000ull), "no position from 2^63 up");
    closeHandle(volume);
}

}  // namespace

int main(int argc, char** argv) {
    useOemFileApis();
    testNames();
    testFatTimes();
    testZone();
    testVolume(argc > 2 ? argv[2][0] : 0);
    if (argc > 1) {
        testOutput(argv[1]);
        testRedirectedConsole();
    }
    std::printf("%s: %d failure(s)\n", failures == 0 ? "ok" : "FAILED", failures);
    return failures == 0 ? 0 : 1;
}
