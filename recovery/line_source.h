#pragma once

#include <cstdint>
#include <string>

#include "base/text_file.h"

namespace tallon {

// Where a run reads its lines from. The run reads lines, hands each to the
// writer of its mode and accounts for it; where the lines come from is the
// source's business: a whole RAW file, or the part of a growing one that has
// arrived since it was last read.
class LineSource {
  public:
    virtual ~LineSource() = default;
    // The next line without its line end into `line`; false at the end.
    virtual bool Next(std::string& line) = 0;
    // Bytes consumed so far and the bytes there are to read (for progress).
    virtual uint64_t Position() const = 0;
    virtual uint64_t Size() const = 0;
};

// A whole RAW file, from its first line to its end or its first Ctrl-Z.
class WholeFileSource final : public LineSource {
  public:
    // Raises EInOutError when the file cannot be opened.
    explicit WholeFileSource(const std::string& path) : reader_(path) {}

    bool Next(std::string& line) override {
        if (reader_.Eof()) {
            return false;
        }
        line = reader_.ReadLine();
        return true;
    }
    uint64_t Position() const override { return reader_.Position(); }
    uint64_t Size() const override { return reader_.Size(); }

  private:
    TextFileReader reader_;
};

}  // namespace tallon
