#include "driver/run.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/entry_record.h"
#include "driver/messages.h"
#include "fat/volume.h"
#include "platform/platform.h"
#include "recovery/collect.h"
#include "recovery/naming.h"
#include "recovery/output_writer.h"
#include "recovery/rediscover.h"

namespace chkmend {

namespace {

// The second argument that asks for the richer identification of anonymous files: "/types" as
// Windows switches read, "--types" or "-types" as Linux users type them; any case.
bool asksForAllTypes(int argc, const char* const* argv) {
    if (argc < 3 || argv[2] == nullptr) return false;
    const std::string_view argument(argv[2]);
    for (const std::string_view form : {"/types", "--types", "-types"}) {
        if (std::equal(
                argument.begin(), argument.end(), form.begin(), form.end(),
                [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; })) {
            return true;
        }
    }
    return false;
}

// CHKMEND_PARTITION picks a partition of a partitioned drive; text that is no number names none.
OpenRequest partitionRequest(const char* text) {
    OpenRequest request;
    if (text == nullptr) return request;
    const char* end = text + std::strlen(text);
    std::uint32_t number = 0;
    const auto parsed = std::from_chars(text, end, number);
    request.partition = parsed.ec == std::errc{} && parsed.ptr == end ? number : 0;
    return request;
}

}  // namespace

OutputSink consoleSink() {
    return {platform::printText, platform::printError};
}

int runChkmend(int argc, const char* const* argv, const OutputSink& sink) {
    platform::useOemFileApis();
    sink.out(messages::Banner);
    if (const std::optional<std::string> unknown = platform::chooseOemCodePage()) {
        sink.err(messages::unknownCodePage(*unknown));
    }
    if (argc < 2 || argv[1] == nullptr) {
        sink.out(messages::Usage);
        return 0;
    }
    const char driveLetter = argv[1][0];
    sink.out(messages::recoveringDrive(driveLetter));

    VolumeState volume;
    const char* partition = std::getenv("CHKMEND_PARTITION");
    if (partition != nullptr && *partition == '\0') partition = nullptr;
    OpenReport opened;
    if (openVolume(volume, driveLetter, partitionRequest(partition), opened) == 0) {
        sink.out(messages::CantOpen);
        const std::string note = messages::openFailed(driveLetter, partition, opened);
        if (!note.empty()) sink.err(note);
        return 0;
    }
    if (const std::string note = messages::openedHow(driveLetter, partition, opened);
        !note.empty()) {
        sink.err(note);
    }

    EntryList masterList;
    for (const FoundFolderReport& folder : collectOrphans(volume, masterList)) {
        sink.out(messages::foundFolder(folder.name, folder.orphanCount));
    }
    sink.out(messages::Scanning);
    const Sniffing sniffing =
        asksForAllTypes(argc, argv) ? Sniffing::AllTypes : Sniffing::EightSignatures;
    {
        ExtensionNotes notes;
        rediscoverDirectories(volume, masterList, sniffing, &notes);
        nameOrphans(volume, masterList, sniffing, &notes);
    }
    const OutputCounts counts = writeOutputTree(
        volume, masterList, [&sink](const std::string& path) { sink.out(messages::saved(path)); },
        [&sink](const OutputFailure& failure) {
            sink.err(failure.isFolder ? messages::cantCreate(failure.outputPath, failure.reason)
                                      : messages::cantWrite(failure.outputPath, failure.reason));
        });
    sink.out(messages::recovered(counts.recovered));
    if (counts.unwritten > 0) sink.err(messages::notWritten(counts.unwritten));

    closeVolume(volume);
    // A file that could be read but was not written fails the run.
    return counts.unwritten > 0 ? 1 : 0;
}

}  // namespace chkmend
