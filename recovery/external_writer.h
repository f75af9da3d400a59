#pragma once

#include <span>
#include <string>

#include "db/query.h"
#include "recovery/external_line.h"
#include "recovery/host.h"
#include "recovery/line_outcome.h"
#include "recovery/lookup_cache.h"
#include "recovery/raw_record.h"
#include "recovery/record_id.h"
#include "recovery/run_mode.h"

namespace tallon {

// The external writer: one RAW line into one row of the `trans` table of the
// mode's external database, entirely through SQL on the mode's query. It
// finds the reader's tag name and the card holder (through the run's
// lookups), refuses duplicates already in `trans` and inserts the row with a
// record id from the clock. A line goes in three steps, so that a run can
// write the records of several lines in one call to the database: prepare
// (decode, lookups, statements), write, and report (log and memo, as if the
// line had run alone).
class ExternalWriter {
  public:
    struct Settings {
        bool allowUnknownCards = false;  // "AllowUnknown" of tallon.ini
    };
    // `lookups` may be null: every lookup then asks the database.
    ExternalWriter(Host& host, db::Query& query, RecordIdIssuer& recordIds, Settings settings,
                   LookupCache* lookups);

    // One line alone, all three steps.
    LineResult CV_InsertThisOne(RunMode mode, const std::string& unitCode,
                                const std::string& defaultDevice, const std::string& recordText);

    // The three steps. Prepare decides a line it refuses or fails; the line
    // is otherwise left waiting for Write, which decides it.
    ExternalLine Prepare(RunMode mode, const std::string& unitCode, const std::string& recordText);
    void Write(std::span<ExternalLine*> lines);
    // Logs the line (and shows it in the memo where it belongs there).
    LineResult Report(const ExternalLine& line);

    // How many lines one Write should carry to make the most of the driver.
    size_t LinesPerWrite();

  private:
    std::optional<std::string> TagName(const RawRecord& rec, const std::string& unitNumber);
    std::optional<CardHolder> HolderOf(const std::string& cardNumber);
    void Statements(ExternalLine& out, const RawRecord& rec, const std::string& deviceName,
                    const CardHolder& holder);
    void DecideWritten(ExternalLine& line, const db::CheckedWriteOutcome& outcome,
                       std::vector<ExternalLine*>& again);

    Host& host_;
    db::Query& query_;
    RecordIdIssuer& recordIds_;
    Settings settings_;
    LookupCache* lookups_;
};

}  // namespace tallon
