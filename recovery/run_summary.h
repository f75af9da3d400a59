#pragma once

#include <string>

#include "recovery/run_mode.h"
#include "recovery/run_totals.h"

namespace tallon {

// A run's figures as JSON, per file and in total, for the scripts that
// schedule recoveries.
std::string RunSummaryJson(const RunTotals& totals, RunMode mode, const std::string& logPath);

// Replaces `path` with `content` so that a reader sees the old file or the
// whole new one, never a part. Raises EInOutError.
void WriteFileAtomically(const std::string& path, const std::string& content);

}  // namespace tallon
