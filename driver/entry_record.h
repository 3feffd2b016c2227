// One recovered file or folder, and the ordered list that carries records between the phases.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace chkmend {

using FileTime = platform::FileTime;
using ClusterNumber = std::uint32_t;

// FAT attribute bits; the platform's file attribute flags have the same values.
namespace attr {
inline constexpr std::uint32_t ReadOnly = 0x01;
inline constexpr std::uint32_t Hidden = 0x02;
inline constexpr std::uint32_t System = 0x04;
inline constexpr std::uint32_t VolumeLabel = 0x08;
inline constexpr std::uint32_t Directory = 0x10;
inline constexpr std::uint32_t Archive = 0x20;
}  // namespace attr

// A position in the masterList. 32 bits: a card leaves millions of records, never billions.
using EntryIndex = std::uint32_t;
inline constexpr EntryIndex NoParent = std::numeric_limits<EntryIndex>::max();
// The list stops taking records below NoParent, so that every position fits an EntryIndex.
inline constexpr std::size_t MaxEntries = NoParent - 1;

// UTF-8 text of one name in 16 bytes: up to 15 bytes in place (every 8.3 name of ASCII, every
// checker's FILEnnnn.CHK), longer ones in a block of their own size. A card can leave a million
// orphans, and the names are most of what each one costs.
class NameText {
  public:
    NameText() = default;
    NameText(std::string_view text) { assign(text); }                 // NOLINT: names are text
    NameText(const char* text) : NameText(std::string_view(text)) {}  // NOLINT
    NameText(const NameText& other) { assign(other.view()); }
    NameText(NameText&& other) noexcept : bytes_(other.bytes_) { other.bytes_ = {}; }
    NameText& operator=(const NameText& other) {
        if (this != &other) assign(other.view());
        return *this;
    }
    NameText& operator=(NameText&& other) noexcept {
        if (this != &other) {
            release();
            bytes_ = other.bytes_;
            other.bytes_ = {};
        }
        return *this;
    }
    NameText& operator=(std::string_view text) {
        assign(text);
        return *this;
    }
    ~NameText() { release(); }

    std::string_view view() const {
        if (!onHeap()) return {bytes_.data(), static_cast<std::size_t>(bytes_[Tag])};
        return {heapText(), heapSize()};
    }
    operator std::string_view() const { return view(); }  // NOLINT: reads as the text it holds
    bool empty() const { return view().empty(); }
    std::size_t size() const { return view().size(); }
    friend bool operator==(const NameText& a, std::string_view b) { return a.view() == b; }

  private:
    static constexpr std::size_t Bytes = 16;
    static constexpr std::size_t Tag = Bytes - 1;  // length in place, or HeapTag
    static constexpr char HeapTag = static_cast<char>(0x7F);

    bool onHeap() const { return bytes_[Tag] == HeapTag; }
    char* heapText() const {
        char* text = nullptr;
        std::memcpy(&text, bytes_.data(), sizeof text);
        return text;
    }
    std::uint32_t heapSize() const {
        std::uint32_t size = 0;
        std::memcpy(&size, bytes_.data() + sizeof(char*), sizeof size);
        return size;
    }
    void release() {
        if (onHeap()) delete[] heapText();
        bytes_ = {};
    }
    void assign(std::string_view text) {
        // The old text may be what is assigned: copied before it is released.
        if (text.size() < Tag) {
            std::array<char, Bytes> next{};
            std::memcpy(next.data(), text.data(), text.size());
            next[Tag] = static_cast<char>(text.size());
            release();
            bytes_ = next;
            return;
        }
        const auto size = static_cast<std::uint32_t>(
            std::min<std::size_t>(text.size(), std::numeric_limits<std::uint32_t>::max()));
        char* copy = new char[size];
        std::memcpy(copy, text.data(), size);
        release();
        std::memcpy(bytes_.data(), &copy, sizeof copy);
        std::memcpy(bytes_.data() + sizeof copy, &size, sizeof size);
        bytes_[Tag] = HeapTag;
    }

    std::array<char, Bytes> bytes_{};
};

// Flat and small: what a million orphans cost is mostly these records.
struct EntryRecord {
    FileTime creationTime = 0;
    FileTime lastAccessTime = 0;
    FileTime lastWriteTime = 0;
    // Names are UTF-8 text. The long name is the one the entry is written under; the 8.3 name
    // ("NAME.EXT", case flags applied) stands in where a platform cannot hold the long one.
    NameText longName;
    NameText shortName;
    std::uint32_t sizeLow = 0;
    ClusterNumber firstCluster = 0;
    // Position in the masterList of the directory that holds this record in the rebuilt tree.
    // A position, not a pointer, so that whole-record copies carry it unchanged.
    EntryIndex parent = NoParent;
    std::uint32_t attributes = 0;
};

// Chunked rather than one block: growing it never needs the old and the new copy at once.
using EntryList = std::deque<EntryRecord>;

inline bool hasParent(const EntryRecord& record) {
    return record.parent != NoParent;
}
inline bool isDirectory(const EntryRecord& record) {
    return (record.attributes & attr::Directory) != 0;
}

inline std::string_view nameOf(const NameText& name) {
    return name.view();
}

inline void setName(NameText& name, std::string_view text) {
    name = text;
}

}  // namespace chkmend
