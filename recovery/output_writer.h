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

// Writes every entry in list order; returns the number of saved files that have a parent.
int writeOutputTree(const VolumeState& volume, const EntryList& masterList,
                    const SavedFileFn& onSaved);

}  // namespace chkmend
