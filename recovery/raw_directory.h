#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recovery/file_position.h"

namespace tallon {

// A RAW file of a watched directory as a scan finds it.
struct RawFileEntry {
    std::string name;  // within the directory
    FileIdentity id;
    uint64_t size = 0;
    int64_t modifiedNs = 0;  // modification time, nanoseconds since 1970
};

// Whether `name` is a RAW file's name: "*.raw", any letter case.
bool IsRawFileName(const std::string& name);

// The regular files of `directory` whose name is a RAW file's, in no
// particular order. Raises EInOutError when the directory cannot be read.
std::vector<RawFileEntry> ListRawFiles(const std::string& directory);

// One file of `directory`; false when it is not there (or not a regular
// file).
bool StatRawFile(const std::string& directory, const std::string& name, RawFileEntry& entry);

}  // namespace tallon
