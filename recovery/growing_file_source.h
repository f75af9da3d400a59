#pragma once

#include <cstdint>
#include <string>

#include "recovery/file_position.h"
#include "recovery/line_source.h"

namespace tallon {

// The lines of a RAW file that arrived after a position, read through a
// descriptor the caller keeps open (so a file renamed or deleted meanwhile
// is still read to its end). Lines follow the RAW rules: a carriage return
// ends a line, a line feed right after it belongs to the same line end, a
// line feed alone is an ordinary character, the first Ctrl-Z byte ends the
// file. Only complete lines are read: a line counts once its line end has
// arrived. The last line without a line end is read only when the caller
// says the file has settled (`takeUnended`), or when a Ctrl-Z follows it.
class GrowingFileSource final : public LineSource {
  public:
    GrowingFileSource(int fd, const FilePosition& start, bool takeUnended);

    // Raises EInOutError on a read error.
    bool Next(std::string& line) override;
    uint64_t Position() const override { return at_.offset; }
    // The file's size when the source was made.
    uint64_t Size() const override { return size_; }
    // Where reading stands after the last line returned.
    const FilePosition& At() const { return at_; }
    // Bytes after At() that form no complete line yet.
    bool HasUnendedTail() const { return unended_; }

  private:
    // The byte at `offset`, -1 past the end of the file.
    int ByteAt(uint64_t offset);
    bool Fill(uint64_t offset);
    bool EndLine(uint64_t next);

    int fd_;
    FilePosition at_;
    bool takeUnended_;
    bool unended_ = false;
    uint64_t size_ = 0;
    std::string buffer_;
    uint64_t bufferStart_ = 0;  // file offset of buffer_[0]
};

}  // namespace tallon
