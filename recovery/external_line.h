#pragma once

#include <string>

#include "db/checked_write.h"
#include "recovery/line_outcome.h"

namespace tallon {

// One RAW line in the external writer: refused or failed already, or
// holding its record's duplicate check and insert until they have run.
// Lines are reported in the order they were read, whenever their record is
// written, so the log and the memo read as if each line ran alone.
struct ExternalLine {
    std::string recordText;
    std::string unitCodeAsRead;

    // While true, `unit` has yet to run.
    bool waiting = false;
    db::CheckedWrite unit;
    // The duplicate check's values as the database might compare them
    // (see DuplicateKey): two lines with one key never run in one call.
    std::string duplicateKey;
    int insertAttempts = 0;

    // Once decided.
    LineOutcome outcome = LineOutcome::Failed;
    std::string message;  // as logged
    bool inMemo = false;  // also shown in the memo
};

}  // namespace tallon
