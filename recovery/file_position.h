#pragma once

#include <compare>
#include <cstdint>

namespace tallon {

// Which file a RAW file is, whatever its name: renamed, it is still the same.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    auto operator<=>(const FileIdentity&) const = default;
};

// How far a growing RAW file has been read: the byte after the last line
// taken, whether that line ended in a carriage return whose line feed may
// still arrive (a line feed that comes later belongs to that line end),
// whether a Ctrl-Z at `offset` ended the file for good, and how many lines
// were taken (so that lines keep their numbers across restarts).
struct FilePosition {
    uint64_t offset = 0;
    bool pendingCr = false;
    bool ended = false;
    int64_t lines = 0;
    bool operator==(const FilePosition&) const = default;
};

}  // namespace tallon
