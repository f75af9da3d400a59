#pragma once

#include <string>

#include "recovery/line_outcome.h"

namespace tallon {

// The lines a run did not add, kept so that a site can mend the cause and
// recover them again: FILE holds each line as read with CR LF (itself a RAW
// file), FILE.csv says where each came from and why. Both are appended to,
// one whole line per write, so earlier runs' rejects stay.
class RejectsFile {
  public:
    // Opens (or makes) both files; raises EInOutError when either cannot be.
    explicit RejectsFile(const std::string& path);
    ~RejectsFile();
    RejectsFile(const RejectsFile&) = delete;
    RejectsFile& operator=(const RejectsFile&) = delete;

    // Raises EInOutError when a write fails.
    void Add(const RejectedLine& line);

  private:
    int raw_ = -1;
    int csv_ = -1;
};

}  // namespace tallon
