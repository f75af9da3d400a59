#pragma once

#include <string>

#include "recovery/run_mode.h"
#include "recovery/run_totals.h"

namespace tallon {

// A run's figures as JSON, per file and in total, for the scripts that
// schedule recoveries.
std::string RunSummaryJson(const RunTotals& totals, RunMode mode, const std::string& logPath);

// The JSON members of `counts` after "lines_read" (`linesRead`): added,
// refused and its causes, failed, undecodable; no braces.
std::string LineCountsJsonMembers(const LineCounts& counts, int64_t linesRead);

// A JSON string of `text`: file names and messages are in the site's
// single-byte code page, so each byte above ASCII is taken as its Latin-1
// character and the JSON stays valid.
std::string JsonString(const std::string& text);
// "local", "corvane" or "velora".
const char* ModeName(RunMode mode);

}  // namespace tallon
