#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recovery/line_outcome.h"
#include "recovery/run_mode.h"

namespace tallon {

// What continuous intake shows an administrator: its files, its counts
// (since the watcher first ran on the directory, as saved with the
// positions), its last commit and its last error.
struct IntakeStatus {
    struct File {
        std::string name;
        uint64_t position = 0;  // committed
        uint64_t size = 0;
        bool gone = false;  // left the directory, still being read
    };
    std::string directory;
    RunMode mode = RunMode::Local;
    std::vector<File> files;
    int64_t linesRead = 0;
    LineCounts counts;
    uint64_t unreadBytes = 0;
    double oldestUnreadSeconds = 0;  // since the oldest unread bytes arrived
    int64_t lastCommitUnix = 0;      // 0: none yet
    std::string lastError;
    int64_t lastErrorUnix = 0;
    std::string waitingFor;  // why writing waits ("" when it does not)
    double retryInSeconds = 0;
};

// The status file: JSON, one object.
std::string IntakeStatusJson(const IntakeStatus& status);
// The Prometheus node_exporter textfile.
std::string IntakeMetrics(const IntakeStatus& status);
// The service manager's one line, as of `nowUnix`.
std::string IntakeStatusLine(const IntakeStatus& status, int64_t nowUnix);

}  // namespace tallon
