#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/regional.h"

namespace tallon {

// A calendar date and time of day: whole days counted from 30 December 1899
// plus the time as the fraction of a day.
struct DateTime {
    double value = 0.0;

    bool operator==(const DateTime& o) const { return value == o.value; }
};

// Milliseconds in a day: a date-time's fraction times this is the time of
// day in milliseconds.
inline constexpr int64_t kMsPerDay = 86400000;

struct DateParts {
    int year = 0, month = 0, day = 0;
};
struct TimeParts {
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Raise EConvertError "Invalid argument to date encode" (year 1-9999, month
// 1-12, day within the month) or "Invalid argument to time encode" (hour
// 0-23, minute 0-59, second 0-59, millisecond 0-999).
DateTime EncodeDate(int year, int month, int day);
DateTime EncodeTime(int hour, int minute, int second, int millisecond);
DateTime EncodeDateTime(const DateParts& d, const TimeParts& t);

DateParts DecodeDate(DateTime dt);
// The time part, rounded to the nearest millisecond.
TimeParts DecodeTime(DateTime dt);

// Only the date part (the whole days) and only the time part (the fraction).
DateTime DatePart(DateTime dt);
DateTime TimePart(DateTime dt);

// Formats with the pattern letters: "yyyy" four-digit year, "yy" year modulo
// 100, "mm"/"m" month (minutes when it follows an hour), "dd"/"d" day,
// "hh"/"h" hour, "nn"/"n" minutes, "ss"/"s" seconds, "ampm" the AM/PM
// designator (and a 12-hour clock), ":" the regional time separator; letters
// are case-insensitive, double-quoted text is copied, anything else is
// copied as it is.
std::string FormatDateTime(std::string_view pattern, DateTime dt,
                           const RegionalSettings& settings = Regional());

// The time in the regional long time format, "14:05:00" or "2:05:00 PM".
std::string LongTimeText(DateTime dt, const RegionalSettings& settings = Regional());

// Reads a time written in the regional long time format, or in 24-hour form
// "H:MM[:SS]" with the regional separator or ':', optionally followed by the
// AM or PM designator (any case). Returns false when the text is not a time.
bool ParseTimeText(std::string_view text, TimeParts& out,
                   const RegionalSettings& settings = Regional());

}  // namespace tallon
