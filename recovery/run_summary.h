#pragma once

#include <string>

#include "recovery/run_mode.h"
#include "recovery/run_totals.h"

namespace tallon {

// A run's figures as JSON, per file and in total, for the scripts that
// schedule recoveries.
std::string RunSummaryJson(const RunTotals& totals, RunMode mode, const std::string& logPath);

// A JSON string of `text`: file names and messages are in the site's
// single-byte code page, so each byte above ASCII is taken as its Latin-1
// character and the JSON stays valid.
std::string JsonString(const std::string& text);
// "local", "corvane" or "velora".
const char* ModeName(RunMode mode);

// Replaces `path` with `content` so that a reader sees the old file or the
// whole new one, never a part. Raises EInOutError.
void WriteFileAtomically(const std::string& path, const std::string& content);

}  // namespace tallon
