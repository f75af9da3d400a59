#pragma once

#include <string>

#include "recovery/run_mode.h"

namespace tallon {

// The log line of a record the local writer could not store: the error's
// message, " s=[", the record text and "]".
inline std::string LocalFailureLine(const std::string& message, const std::string& recordText) {
    return message + " s=[" + recordText + "]";
}

// The external writer's: the same after "CV.Insert", with no blank between.
inline std::string ExternalFailureLine(const std::string& message, const std::string& recordText) {
    return "CV.Insert" + LocalFailureLine(message, recordText);
}

// The writer's failure line of the mode.
inline std::string WriterFailureLine(RunMode mode, const std::string& message,
                                     const std::string& recordText) {
    return mode == RunMode::Local ? LocalFailureLine(message, recordText)
                                  : ExternalFailureLine(message, recordText);
}

// The record text of a RAW line: everything after its three-character unit
// code.
inline std::string RecordTextOf(const std::string& line) {
    return line.size() > 3 ? line.substr(3) : std::string();
}

}  // namespace tallon
