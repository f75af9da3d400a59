#include "base/regional.h"

#include <langinfo.h>

#include <cctype>

namespace tallon {

namespace {

// One conversion of a strftime format: its letter, and whether a flag asked
// for no padding ("%-H", "%_H") or for zero padding ("%0k").
struct Conversion {
    char letter = 0;
    bool noPad = false;
    bool zeroPad = false;
    size_t begin = 0;  // index of the '%'
    size_t end = 0;    // index after the letter
};

// Expands the composite conversions that contain an hour so that the hour's
// own conversion can be found.
std::string Expand(const std::string& fmt, const std::string& tFmtAmPm, int depth = 0) {
    std::string out;
    for (size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] != '%' || i + 1 >= fmt.size()) {
            out += fmt[i];
            continue;
        }
        const char c = fmt[i + 1];
        if (c == 'T') {
            out += "%H:%M:%S";
        } else if (c == 'R') {
            out += "%H:%M";
        } else if (c == 'r') {
            if (!tFmtAmPm.empty() && depth < 2) {
                out += Expand(tFmtAmPm, tFmtAmPm, depth + 1);
            } else {
                out += "%I:%M:%S %p";
            }
        } else {
            out += fmt[i];
            out += c;
        }
        ++i;
    }
    return out;
}

bool NextConversion(const std::string& fmt, size_t from, Conversion& conv) {
    for (size_t i = from; i < fmt.size(); ++i) {
        if (fmt[i] != '%') {
            continue;
        }
        Conversion c;
        c.begin = i;
        size_t j = i + 1;
        while (j < fmt.size() && (fmt[j] == '-' || fmt[j] == '_' || fmt[j] == '0' ||
                                  fmt[j] == '^' || fmt[j] == '#')) {
            if (fmt[j] == '-' || fmt[j] == '_') {
                c.noPad = true;
            } else if (fmt[j] == '0') {
                c.zeroPad = true;
            }
            ++j;
        }
        while (j < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[j]))) {
            ++j;
        }
        if (j < fmt.size() && (fmt[j] == 'E' || fmt[j] == 'O')) {
            ++j;
        }
        if (j >= fmt.size()) {
            return false;
        }
        if (fmt[j] == '%') {  // a literal percent sign
            i = j;
            continue;
        }
        c.letter = fmt[j];
        c.end = j + 1;
        conv = c;
        return true;
    }
    return false;
}

}  // namespace

std::string RegionalSettings::LongTimeFormat() const {
    std::string fmt = leadingZeroHour ? "hh" : "h";
    fmt += ":mm:ss";
    if (twelveHourClock) {
        fmt += " AMPM";
    }
    return fmt;
}

RegionalSettings RegionalSettings::FromTimeFormat(const std::string& tFmt,
                                                  const std::string& tFmtAmPm,
                                                  const std::string& am, const std::string& pm) {
    RegionalSettings s;
    s.amDesignator = am.empty() ? "AM" : am;
    s.pmDesignator = pm.empty() ? "PM" : pm;

    const std::string fmt = Expand(tFmt, tFmtAmPm);
    Conversion conv;
    size_t from = 0;
    while (NextConversion(fmt, from, conv)) {
        from = conv.end;
        const char l = conv.letter;
        if (l != 'H' && l != 'k' && l != 'I' && l != 'l') {
            continue;
        }
        s.twelveHourClock = (l == 'I' || l == 'l');
        const bool padsByDefault = (l == 'H' || l == 'I');
        s.leadingZeroHour = conv.zeroPad || (padsByDefault && !conv.noPad);

        Conversion next;
        if (NextConversion(fmt, conv.end, next) && next.letter == 'M') {
            std::string sep = fmt.substr(conv.end, next.begin - conv.end);
            if (!sep.empty()) {
                s.timeSeparator = sep;
            }
        }
        break;
    }
    return s;
}

RegionalSettings RegionalSettings::FromLocale() {
    return FromTimeFormat(nl_langinfo(T_FMT), nl_langinfo(T_FMT_AMPM), nl_langinfo(AM_STR),
                          nl_langinfo(PM_STR));
}

RegionalSettings& Regional() {
    static RegionalSettings settings;
    return settings;
}

void LoadRegionalSettingsFromLocale() {
    Regional() = RegionalSettings::FromLocale();
}

ScopedRegionalSettings::ScopedRegionalSettings(const RegionalSettings& settings)
    : saved_(Regional()) {
    Regional() = settings;
}

ScopedRegionalSettings::~ScopedRegionalSettings() {
    Regional() = saved_;
}

}  // namespace tallon
