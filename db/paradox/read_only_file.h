#pragma once

// A file opened for reading at chosen offsets. Every read says whether it
// got all the bytes asked for, so a reader of a damaged file can tell a
// short file from a bad pointer.

#include <cstdint>
#include <string>

namespace tallon::db::paradox {

class ReadOnlyFile {
  public:
    // Raises Exception "<path>: cannot be read (<reason>)".
    explicit ReadOnlyFile(const std::string& path);
    ~ReadOnlyFile();
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    const std::string& Path() const { return path_; }
    // The size when the file was opened.
    uint64_t Size() const { return size_; }
    // Reads `count` bytes at `offset`; false when the file holds fewer (or
    // the read fails).
    bool ReadAt(uint64_t offset, void* buffer, size_t count) const;

  private:
    std::string path_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

}  // namespace tallon::db::paradox
