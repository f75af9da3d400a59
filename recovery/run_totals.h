#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "recovery/line_outcome.h"

namespace tallon {

// One file of a run. Lines added count once their batch committed.
struct FileTotals {
    std::string name;  // as shown in "Recovering: "
    int64_t linesRead = 0;
    uint64_t bytes = 0;  // read so far
    double seconds = 0;
    LineCounts counts;
    const char* outcome = "failed";  // completed, stopped or failed
};

// The figures of a run, for front ends that summarise.
struct RunTotals {
    int64_t linesRead = 0;
    LineCounts counts;
    // Every file started, opened or not; a deque, so that a file's figures
    // stay where they are while later files are added.
    std::deque<FileTotals> perFile;
    double seconds = 0;
    bool completed = false;    // ended without error or STOP
    std::string error;         // the message of an error that ended it
    std::string firstFailure;  // the message of the first line that failed
    const char* Outcome() const {
        return completed ? "completed" : error.empty() ? "stopped" : "failed";
    }
};

// Where the file being read stands, for a front end's progress line.
struct RunProgress {
    std::string file;  // "" between files and runs
    uint64_t position = 0;
    uint64_t size = 0;
};

}  // namespace tallon
