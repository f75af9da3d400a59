#pragma once

#include <string>

#include "base/date_time.h"

namespace tallon {

// The external record identifier for a moment: the date as yymmdd, then hour,
// minute, second and the millisecond count modulo 100, two digits each.
std::string RecordIdAt(DateTime now);

// The identifier that follows `id` as a time would: the last two digits count
// up, carrying into the seconds, minutes, hours and the date.
std::string NextRecordIdAfter(const std::string& id);

// Issues identifiers from the clock, never the same one twice: when the clock
// gives one that is not greater than the last issued, the next one after the
// last is issued instead.
class RecordIdIssuer {
  public:
    std::string Issue(DateTime now);

  private:
    std::string last_;
};

}  // namespace tallon
