#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "recovery/held_lines.h"
#include "recovery/intake_status.h"
#include "recovery/run_totals.h"
#include "recovery/watched_files.h"

namespace tallon {

// What continuous intake remembers only to show it: its last successful
// commit and its last error, with their Unix times, and the figures of its
// status (files, bytes not yet read and since when, counts, the wait for
// the database).
class IntakeFigures {
  public:
    using Clock = std::chrono::steady_clock;

    IntakeFigures(const std::string& directory, RunMode mode);

    void Committed();
    void Error(const std::string& message);
    // The directory could not be listed: said once until a scan works again.
    void ScanFailed(const std::string& message);
    void ScanWorked() { scanFailed_ = false; }

    IntakeStatus Status(const WatchedFiles& files, const RunTotals& totals, const HeldLines& held,
                        Clock::time_point now) const;

  private:
    std::string directory_;  // without its last "/"
    RunMode mode_;
    int64_t lastCommitUnix_ = 0;
    std::string lastError_;
    int64_t lastErrorUnix_ = 0;
    bool scanFailed_ = false;
};

}  // namespace tallon
