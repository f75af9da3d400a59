#include "recovery/raw_record.h"

#include <limits>

#include "base/clock.h"
#include "base/int_conversion.h"
#include "base/text.h"

namespace tallon {

RawLine SplitRawLine(const std::string& line) {
    return {Copy(line, 1, 3), Copy(line, 4, std::numeric_limits<int>::max())};
}

RawRecord DecodeRawRecord(const std::string& unitCode, const std::string& recordText) {
    const std::string& r = recordText;
    // Short texts move the separators forward, so a piece may hold the '/'
    // or ':' and then names itself in the conversion error.
    const std::string dateText = Copy(r, 1, 2) + "/" + Copy(r, 3, 2);
    const std::string timeText = Copy(r, 5, 2) + ":" + Copy(r, 7, 2);

    // The current year and month, as the clock's "yyyy" and "mm" give them.
    const DateParts today = DecodeDate(ActiveClock().Now());
    int year = today.year;
    if (Copy(dateText, 4, 2) == "12" && today.month == 1) {
        year -= 1;
    }

    RawRecord rec;
    rec.unitCodeAsRead = unitCode;
    rec.UnitCode = Trim(unitCode);
    const int day = StrToInt(Copy(dateText, 1, 2));
    const int month = StrToInt(Copy(dateText, 4, 2));
    rec.eventDate = EncodeDate(year, month, day);
    const int minute = StrToInt(Copy(timeText, 4, 2));
    const int hour = StrToInt(Copy(timeText, 1, 2));
    rec.eventTime = EncodeTime(hour, minute, 0, 0);
    rec.cardNumber = Copy(r, 9, 6);
    rec.transCode = Copy(r, 15, 1);
    rec.readerId = Copy(r, 17, 12);
    return rec;
}

}  // namespace tallon
