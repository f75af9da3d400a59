#pragma once

#include <optional>
#include <string>

#include "db/engine.h"
#include "db/query.h"
#include "db/table.h"
#include "recovery/card_holder.h"
#include "recovery/host.h"
#include "recovery/line_writer.h"
#include "recovery/lookup_cache.h"
#include "recovery/raw_record.h"

namespace tallon {

// The local writer: one RAW line into one record of a local transaction
// table of the program directory, the day's table when "Merged with
// existing TR files" is checked, else the named table. It resolves the
// device and the card holder (through the run's lookups), makes a day's
// table from the template when its first event arrives, refuses duplicates,
// draws a free sequence number and appends the record. Refusals and errors
// are logged, never raised (but for the log's own failure).
class LocalWriter final : public LineWriter {
  public:
    // `lookups` may be null: every lookup then asks the table.
    LocalWriter(db::Engine& engine, Host& host, db::Table& transTable, db::Query& query,
                std::string programDirectory, LookupCache* lookups, Report report = nullptr);

    // One line, as unit code and record text.
    LineResult InsertThisOne(const std::string& unitCode, const std::string& defaultDevice,
                             const std::string& recordText);

    // LineWriter: each line is written and reported at once.
    void Take(ReadLine line) override;
    void Flush() override {}
    void Settle(const std::string&) noexcept override {}

  private:
    std::string DeviceName(const RawRecord& rec, const std::string& defaultDevice);
    std::optional<CardHolder> HolderOf(const std::string& cardNumber);
    LineResult CheckedAppend(const RawRecord& rec, const std::string& deviceName,
                             const CardHolder& holder);
    LineResult CheckAndAppend(const RawRecord& rec, const std::string& deviceName,
                              const CardHolder& holder);
    void PrepareDailyTable(const std::string& table);
    bool IsDuplicate(const std::string& table, const RawRecord& rec, const std::string& deviceName);
    const db::BatchMember* Append(const RawRecord& rec, const std::string& deviceName,
                                  const CardHolder& holder);
    LineResult Refuse(LineOutcome outcome, const std::string& line, bool inMemo);

    db::Engine& engine_;
    Host& host_;
    db::Table& transTable_;
    db::Query& query_;
    std::string programDirectory_;
    LookupCache* lookups_;
    Report report_;
    // The duplicate check's text for the day table last used.
    std::string duplicateCheckTable_;
    std::string duplicateCheckText_;
};

}  // namespace tallon
