// Last phase: writes the master list as ordinary files and folders under "out\".
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "driver/entry_record.h"
#include "fat/volume.h"

namespace chkmend {

inline constexpr std::string_view OutputRoot = "out\\";

// Relative path of an entry: the safe names of its parent chain, joined by '\'. Bounded by the
// list's size; a chain of links that loops is cut where it comes back.
std::string buildPath(const EntryList& list, std::size_t index);

// Called with the output path of each file saved.
using SavedFileFn = std::function<void(const std::string& outputPath)>;

// A file or folder that could not be written, and the platform's reason.
struct OutputFailure {
    bool isFolder = false;
    std::string outputPath;
    std::string reason;
};
using FailedFn = std::function<void(const OutputFailure& failure)>;

struct OutputCounts {
    int recovered = 0;  // saved files that have a parent
    int unwritten = 0;  // files whose content could be read but not written
};

// Writes every entry in list order. A file is saved whole or not at all: a failed write leaves
// nothing at its path. Times go only onto what this run wrote. Entries of one folder that would
// land on one name (the volume's names are compared as the case-blind output folders of
// Windows do) are all kept: the later ones get " (2)", " (3)"... before their extension.
OutputCounts writeOutputTree(const VolumeState& volume, const EntryList& masterList,
                             const SavedFileFn& onSaved, const FailedFn& onFailed = nullptr);

}  // namespace chkmend
