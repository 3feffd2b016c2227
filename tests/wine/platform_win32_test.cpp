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

void testOemConversion() {
    struct Case {
        const char* what;
        std::u16string text;
        bool converts;
    };
    // Look-alikes of separators must never come out as '\' or '/' through best fit.
    const Case universal[] = {
        {"fullwidth reverse solidus", u"a\uFF3Cb", false},
        {"fullwidth solidus", u"a\uFF0Fb", false},
        {"division slash", u"a\u2215b", false},
        {"fraction slash", u"a\u2044b", false},
        {"lone high surrogate", u"a\xD800", false},
        {"lone low surrogate", u"\xDC00z", false},
        {"reversed surrogates", u"\xDC00\xD800", false},
        {"plain ASCII", u"Report 2024.txt", true},
    };
    for (const Case& c : universal) {
        const std::optional<std::string> out = utf16ToOem(c.text);
        check(out.has_value() == c.converts, std::string("utf16ToOem result: ") + c.what);
        if (!out) continue;
        check(out->find('\\') == std::string::npos && out->find('/') == std::string::npos,
              std::string("no separator: ") + c.what);
    }
    check(utf16ToOem(u"") == std::string(), "empty text converts to empty text");

    if (GetOEMCP() != 437) {
        std::printf("skip: code page 437 cases (OEM code page is %u)\n", GetOEMCP());
        return;
    }
    struct Cp437Case {
        const char* what;
        std::u16string text;
        bool converts;
        std::string bytes;
    };
    const Cp437Case cp437[] = {
        {"German umlauts", u"\u00DCberweisung M\u00E4rz.pdf", true,
         "\x9A"
         "berweisung M\x84rz.pdf"},
        {"box drawing", u"\u2554\u2557", true, "\xC9\xBB"},
        {"Japanese", u"\u65E5\u672C\u8A9E\u306E\u30E1\u30E2.txt", false, ""},
        {"one Japanese character among Latin", u"Notiz\u30E1.txt", false, ""},
        // Best fit would map these to plain letters.
        {"A with macron", u"\u0100bc", false, ""},
        {"euro sign", u"\u20AC", false, ""},
        {"emoji (surrogate pair)", u"\xD83D\xDE00", false, ""},
    };
    for (const Cp437Case& c : cp437) {
        const std::optional<std::string> out = utf16ToOem(c.text);
        check(out.has_value() == c.converts, std::string("cp437 result: ") + c.what);
        if (out) check(*out == c.bytes, std::string("cp437 bytes: ") + c.what);
    }
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

// Both builds share one FAT time conversion. Every value it accepts must be the system's to the
// tick; a value it refuses the system refuses too, or moves onto another day (some
// implementations take 29 February of any year), which is no time the volume recorded.
void checkFatTime(std::uint16_t date, std::uint16_t time, std::uint8_t hundredths,
                  int& mismatches) {
    WORD day = 0;
    const FileTime ours = chkmend::fatTimeToFileTime(date, time, hundredths);
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
    testOemConversion();
    testFatTimes();
    testVolume(argc > 2 ? argv[2][0] : 0);
    if (argc > 1) testOutput(argv[1]);
    std::printf("%s: %d failure(s)\n", failures == 0 ? "ok" : "FAILED", failures);
    return failures == 0 ? 0 : 1;
}
