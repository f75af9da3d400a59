#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recovery/file_position.h"
#include "recovery/line_outcome.h"

namespace tallon {

// A file's first bytes (up to kFingerprintBytes), hashed with their length:
// a file truncated, copied over or made anew on a recycled inode no longer
// has them. The bytes just before the read position are hashed too
// (`tail`), so that a file rewritten beyond its first bytes is noticed
// before a line is read from the middle of another one.
inline constexpr uint32_t kFingerprintBytes = 1024;
inline constexpr uint32_t kTailBytes = 64;

struct Fingerprint {
    uint32_t length = 0;
    uint64_t hash = 0;
    bool operator==(const Fingerprint&) const = default;
};

// The fingerprint of `length` bytes at `offset` of an open file; nullopt
// semantics: a file shorter than that gives a length of what it has.
Fingerprint FingerprintAt(int fd, uint64_t offset, uint32_t length);
// The head: the first bytes, as many as the file has up to kFingerprintBytes.
Fingerprint HeadFingerprint(int fd, uint64_t size);
// The bytes before `offset`, up to kTailBytes.
Fingerprint TailFingerprint(int fd, uint64_t offset);

// What continuous intake keeps between runs: for each file its identity,
// name, read position and fingerprints, and the counts of every line
// accounted so far, all as of the last committed batch.
struct SavedFile {
    FileIdentity id;
    std::string name;
    FilePosition position;
    Fingerprint head;
    Fingerprint tail;
};

struct SavedIntake {
    std::string directory;
    int64_t linesRead = 0;
    LineCounts counts;
    std::vector<SavedFile> files;
};

// Where the positions of watching `directory` are kept in the site
// directory (one file per watched directory).
std::string PositionsFilePath(const std::string& siteDirectory, const std::string& directory);

// False when there is no such file. Raises Exception naming the file when
// it cannot be read or makes no sense.
bool LoadPositions(const std::string& path, SavedIntake& saved);
// Written atomically: a reader (or a crash) sees the old file or the new.
void SavePositions(const std::string& path, const SavedIntake& saved);

}  // namespace tallon
