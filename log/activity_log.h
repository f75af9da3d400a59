#pragma once

#include <string>

namespace tallon {

// The activity log's file name, resolved against the current working
// directory at every call.
inline constexpr const char* kActivityLogName = "tallon.log";

// Appends one line (the message's bytes, then CR LF) to "tallon.log" in the
// current working directory, opening (creating when missing) and closing the
// file for this line only. When opening an existing log, a Ctrl-Z among its
// last 128 bytes cuts the file at the first such byte. The line is written
// whole or not at all. Raises EInOutError, its message naming the log's full
// path, when the file cannot be opened, written or closed.
void LogLine(const std::string& message);

// The log's full path as LogLine would write it now (an existing log in
// another letter case is the one written).
std::string ActivityLogPath();

}  // namespace tallon
