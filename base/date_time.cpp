#include "base/date_time.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "base/errors.h"
#include "base/text.h"

namespace tallon {

namespace {

// Days from 1 January 1970 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

DateParts CivilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    DateParts p;
    p.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    p.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    p.year = static_cast<int>(yoe + era * 400 + (p.month <= 2 ? 1 : 0));
    return p;
}

const int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);

// Splits a value into whole days and milliseconds of the day. The whole value
// is rounded to the millisecond first, so a time that rounds up to midnight
// moves to the next day. Before the epoch the time is the fraction's
// magnitude (-1.25 is 29 December 1899, 06:00).
void Split(DateTime dt, int64_t& days, int64_t& ms) {
    // Values far outside years 1-9999 (or not numbers at all) cannot be
    // rounded safely; they read as the epoch rather than as garbage.
    if (!(std::fabs(dt.value) < 1e7)) {
        dt.value = 0;
    }
    const int64_t total = std::llround(dt.value * static_cast<double>(kMsPerDay));
    days = total / kMsPerDay;
    ms = (total < 0 ? -total : total) % kMsPerDay;
}

std::string Pad(int64_t value, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*lld", width, static_cast<long long>(value));
    return buf;
}

const char* const kShortMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kLongMonths[] = {"January",   "February", "March",    "April",
                                   "May",       "June",     "July",     "August",
                                   "September", "October",  "November", "December"};
const char* const kShortDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kLongDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

bool StartsWithNoCase(std::string_view s, size_t at, std::string_view what) {
    return at + what.size() <= s.size() && SameText(s.substr(at, what.size()), what);
}

// A pattern that names an AM/PM designator puts its hours on a 12-hour clock.
bool UsesTwelveHourClock(std::string_view pattern) {
    char quote = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (quote) {
            if (c == quote) {
                quote = 0;
            }
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
            continue;
        }
        if (StartsWithNoCase(pattern, i, "ampm") || StartsWithNoCase(pattern, i, "am/pm") ||
            StartsWithNoCase(pattern, i, "a/p")) {
            return true;
        }
    }
    return false;
}

size_t CountRun(std::string_view s, size_t at) {
    const char c = Upper(s[at]);
    size_t n = 0;
    while (at + n < s.size() && Upper(s[at + n]) == c) {
        ++n;
    }
    return n;
}

}  // namespace

bool IsLeapYear(int year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) {
        return 0;
    }
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

DateTime EncodeDate(int year, int month, int day) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month)) {
        throw EConvertError("Invalid argument to date encode");
    }
    return DateTime{static_cast<double>(DaysFromCivil(year, month, day) - kEpochOffset)};
}

DateTime EncodeTime(int hour, int minute, int second, int millisecond) {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
        millisecond < 0 || millisecond > 999) {
        throw EConvertError("Invalid argument to time encode");
    }
    const int64_t ms =
        ((static_cast<int64_t>(hour) * 60 + minute) * 60 + second) * 1000 + millisecond;
    return DateTime{static_cast<double>(ms) / static_cast<double>(kMsPerDay)};
}

DateTime EncodeDateTime(const DateParts& d, const TimeParts& t) {
    const DateTime date = EncodeDate(d.year, d.month, d.day);
    const DateTime time = EncodeTime(t.hour, t.minute, t.second, t.millisecond);
    return DateTime{date.value < 0 ? date.value - time.value : date.value + time.value};
}

DateParts DecodeDate(DateTime dt) {
    int64_t days = 0, ms = 0;
    Split(dt, days, ms);
    return CivilFromDays(days + kEpochOffset);
}

TimeParts DecodeTime(DateTime dt) {
    int64_t days = 0, ms = 0;
    Split(dt, days, ms);
    TimeParts t;
    t.millisecond = static_cast<int>(ms % 1000);
    ms /= 1000;
    t.second = static_cast<int>(ms % 60);
    ms /= 60;
    t.minute = static_cast<int>(ms % 60);
    t.hour = static_cast<int>(ms / 60);
    return t;
}

DateTime DatePart(DateTime dt) {
    return DateTime{std::trunc(dt.value)};
}

DateTime TimePart(DateTime dt) {
    return DateTime{std::fabs(dt.value - std::trunc(dt.value))};
}

namespace {

// Renders one pattern. A run of one letter is one field; "M" right after an
// hour is minutes ("hh:mm" and "hhmm" alike: only letters count).
class DateTimeFormatter {
  public:
    DateTimeFormatter(std::string_view pattern, DateTime dt, const RegionalSettings& settings)
        : pattern_(pattern),
          d_(DecodeDate(dt)),
          t_(DecodeTime(dt)),
          settings_(settings),
          twelveHour_(UsesTwelveHourClock(pattern)) {}

    std::string Render() {
        char lastToken = 0;
        for (size_t i = 0; i < pattern_.size();) {
            char token = Upper(pattern_[i]);
            if (token >= 'A' && token <= 'Z') {
                if (token == 'M' && lastToken == 'H') {
                    token = 'N';
                }
                lastToken = token;
            }
            i += Field(token, i);
        }
        return out_;
    }

  private:
    // Appends the field at `i`; returns the pattern characters it took.
    size_t Field(char token, size_t i) {
        const size_t n = CountRun(pattern_, i);
        switch (token) {
            case 'Y':
                out_ += n <= 2 ? Pad(d_.year % 100, 2) : Pad(d_.year, 4);
                return n;
            case 'M':
                out_ += Named(d_.month, n, kShortMonths, kLongMonths);
                return n;
            case 'D':
                out_ += Named(d_.day, n, kShortDays, kLongDays, Weekday());
                return n;
            case 'H':
                out_ += Number(Hour(), n, 2);
                return n;
            case 'N':
                out_ += Number(t_.minute, n, 2);
                return n;
            case 'S':
                out_ += Number(t_.second, n, 2);
                return n;
            case 'Z':
                out_ += Number(t_.millisecond, n, 3);
                return n;
            default:
                return Other(i);
        }
    }

    size_t Other(size_t i) {
        const char c = pattern_[i];
        if (Upper(c) == 'A') {
            return AmPm(i);
        }
        if (c == '"' || c == '\'') {
            return Quoted(i);
        }
        out_ += c == ':' ? settings_.timeSeparator : std::string(1, c);
        return 1;
    }

    // "ampm" gives the regional designator, "am/pm" and "a/p" the pattern's own.
    size_t AmPm(size_t i) {
        const bool pm = t_.hour >= 12;
        if (StartsWithNoCase(pattern_, i, "ampm")) {
            out_ += pm ? settings_.pmDesignator : settings_.amDesignator;
            return 4;
        }
        if (StartsWithNoCase(pattern_, i, "am/pm")) {
            out_ += pattern_.substr(pm ? i + 3 : i, 2);
            return 5;
        }
        if (StartsWithNoCase(pattern_, i, "a/p")) {
            out_ += pattern_[pm ? i + 2 : i];
            return 3;
        }
        out_ += pattern_[i];
        return 1;
    }

    // Text in quotes is copied as it is, without its quotes.
    size_t Quoted(size_t i) {
        size_t close = pattern_.find(pattern_[i], i + 1);
        if (close == std::string_view::npos) {
            close = pattern_.size();
        }
        out_ += pattern_.substr(i + 1, close - i - 1);
        return close + 1 - i;
    }

    static std::string Number(int value, size_t n, int width) {
        return n == 1 ? std::to_string(value) : Pad(value, width);
    }

    // A number (one or two letters) or a name (three: short, four: long).
    template <class Names>
    static std::string Named(int value, size_t n, const Names& shortNames, const Names& longNames) {
        return Named(value, n, shortNames, longNames, value - 1);
    }
    template <class Names>
    static std::string Named(int value, size_t n, const Names& shortNames, const Names& longNames,
                             int nameIndex) {
        if (n <= 2) {
            return Number(value, n, 2);
        }
        return n == 3 ? shortNames[nameIndex] : longNames[nameIndex];
    }

    // 0 is Sunday; 1 January 1970 was a Thursday.
    int Weekday() const {
        const int64_t days = DaysFromCivil(d_.year, d_.month, d_.day);
        return static_cast<int>((((days + 4) % 7) + 7) % 7);
    }

    int Hour() const {
        if (!twelveHour_) {
            return t_.hour;
        }
        const int hour = t_.hour % 12;
        return hour == 0 ? 12 : hour;
    }

    std::string_view pattern_;
    DateParts d_;
    TimeParts t_;
    const RegionalSettings& settings_;
    bool twelveHour_;
    std::string out_;
};

}  // namespace

std::string FormatDateTime(std::string_view pattern, DateTime dt,
                           const RegionalSettings& settings) {
    return DateTimeFormatter(pattern, dt, settings).Render();
}

std::string LongTimeText(DateTime dt, const RegionalSettings& settings) {
    return FormatDateTime(settings.LongTimeFormat(), dt, settings);
}

namespace {

// Reads one or two decimal digits.
bool ReadNumber(std::string_view s, size_t& at, int& value) {
    size_t n = 0;
    value = 0;
    while (at + n < s.size() && n < 2 && s[at + n] >= '0' && s[at + n] <= '9') {
        value = value * 10 + (s[at + n] - '0');
        ++n;
    }
    at += n;
    return n > 0;
}

bool ReadSeparator(std::string_view s, size_t& at, const std::string& regional) {
    if (!regional.empty() && s.substr(at, regional.size()) == regional) {
        at += regional.size();
        return true;
    }
    if (at < s.size() && s[at] == ':') {
        ++at;
        return true;
    }
    return false;
}

// Removes an AM/PM designator from the end or the start of the text; the
// longest designator that matches wins. 0 none, 1 AM, 2 PM.
int TakeDesignator(std::string& s, const RegionalSettings& settings) {
    const std::pair<std::string, int> candidates[] = {
        {settings.amDesignator, 1}, {settings.pmDesignator, 2}, {"AM", 1}, {"PM", 2}};
    for (bool atEnd : {true, false}) {
        size_t best = 0;
        int kind = 0;
        for (const auto& [text, k] : candidates) {
            if (text.empty() || text.size() > s.size() || text.size() <= best) {
                continue;
            }
            const std::string_view part = atEnd ? std::string_view(s).substr(s.size() - text.size())
                                                : std::string_view(s).substr(0, text.size());
            if (SameText(part, text)) {
                best = text.size();
                kind = k;
            }
        }
        if (kind != 0) {
            s = atEnd ? Trim(std::string_view(s).substr(0, s.size() - best))
                      : Trim(std::string_view(s).substr(best));
            return kind;
        }
    }
    return 0;
}

}  // namespace

bool ParseTimeText(std::string_view text, TimeParts& out, const RegionalSettings& settings) {
    std::string s = Trim(text);
    const int designator = TakeDesignator(s, settings);
    size_t at = 0;
    TimeParts t;
    if (!ReadNumber(s, at, t.hour) || !ReadSeparator(s, at, settings.timeSeparator) ||
        !ReadNumber(s, at, t.minute)) {
        return false;
    }
    if (at < s.size()) {
        if (!ReadSeparator(s, at, settings.timeSeparator) || !ReadNumber(s, at, t.second)) {
            return false;
        }
    }
    if (at != s.size() || t.minute > 59 || t.second > 59) {
        return false;
    }
    if (designator != 0) {
        if (t.hour > 12) {
            return false;
        }
        if (t.hour == 12) {
            t.hour = 0;
        }
        if (designator == 2) {
            t.hour += 12;
        }
    } else if (t.hour > 23) {
        return false;
    }
    out = t;
    return true;
}

}  // namespace tallon
