#pragma once

#include <string>

#include "recovery/run_mode.h"
#include "recovery/run_totals.h"

namespace tallon {

// A run's figures as JSON, per file and in total, for the scripts that
// schedule recoveries.
std::string RunSummaryJson(const RunTotals& totals, RunMode mode, const std::string& logPath);

}  // namespace tallon
