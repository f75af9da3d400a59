#pragma once

#include <cstdint>
#include <deque>

#include "recovery/file_position.h"
#include "recovery/watched_file.h"

namespace tallon {

// The lines taken since the last commit, numbered in the order they were
// taken, each with its file and the position before it: what a writer
// reports of a line, or a commit loses of it, is found again by its number,
// and a line held for a retry keeps its file from committing past it.
class LinesInFlight {
  public:
    struct Line {
        uint64_t sequence;
        WatchedFile* file;
        FilePosition before;
    };

    // A line of `file` that started at `before` is taken; returns its number.
    uint64_t Add(WatchedFile& file, const FilePosition& before);
    // The line numbered `sequence`, nullptr when it is not in flight.
    const Line* Find(uint64_t sequence) const;
    bool Empty() const { return lines_.empty(); }
    // The batch committed: every line taken is settled (added, reported or
    // held). Numbers go on growing.
    void Clear() { lines_.clear(); }

  private:
    std::deque<Line> lines_;  // numbered consecutively
    uint64_t next_ = 1;
};

}  // namespace tallon
