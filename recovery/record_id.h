#pragma once

#include <memory>
#include <string>

#include "base/date_time.h"
#include "recovery/record_id_store.h"

namespace tallon {

// The external record identifier for a moment: the date as yymmdd, then hour,
// minute, second and the millisecond count modulo 100, two digits each.
std::string RecordIdAt(DateTime now);

// The identifier that follows `id` as a time would: the last two digits count
// up, carrying into the seconds, minutes, hours and the date.
std::string NextRecordIdAfter(const std::string& id);

// Issues identifiers from the clock, never the same one twice: when the clock
// gives one that is not greater than the last issued, the next one after the
// last is issued instead. Shared through a store file, it also never issues
// one that another issuer of that file (in this or any other process, now or
// in an earlier run) took: identifiers are then taken from the store in
// blocks of kRecordIdReserve.
class RecordIdIssuer {
  public:
    RecordIdIssuer();
    ~RecordIdIssuer();
    RecordIdIssuer(const RecordIdIssuer&) = delete;
    RecordIdIssuer& operator=(const RecordIdIssuer&) = delete;

    // The store file to share from the next issue on ("" for none). The
    // file is opened at that issue, so an unusable one fails the issue.
    void ShareThrough(const std::string& storeFile);

    // Raises EInOutError (or Exception) when the store cannot be used.
    std::string Issue(DateTime now);

  private:
    std::string last_;
    std::string storeFile_;
    std::unique_ptr<RecordIdStore> store_;
    std::string reservedTo_;
};

// How many identifiers an issuer takes from its store at a time: one second
// of the clock, so the store file is written at most once per hundred
// inserts, and a run that starts beside another runs at most that far ahead.
inline constexpr int kRecordIdReserve = 100;

}  // namespace tallon
