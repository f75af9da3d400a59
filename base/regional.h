#pragma once

#include <string>

namespace tallon {

// The operator's regional time settings. Read from the C library's LC_TIME
// locale at start-up; tests set them directly.
struct RegionalSettings {
    std::string timeSeparator = ":";
    bool twelveHourClock = false;
    bool leadingZeroHour = true;
    std::string amDesignator = "AM";
    std::string pmDesignator = "PM";

    // The long time format built from the settings: "h" (or "hh" with a
    // leading zero), ":mm:ss", and " AMPM" on a 12-hour clock. The ':'
    // characters stand for the time separator when the pattern is formatted.
    std::string LongTimeFormat() const;

    // Settings of the current LC_TIME locale (nl_langinfo T_FMT, AM_STR,
    // PM_STR). Call setlocale(LC_TIME, "") first to follow the environment.
    static RegionalSettings FromLocale();

    // The settings a C library time format describes ("%H:%M:%S", "%r",
    // "%l.%M.%S %p", ...). "%r" stands for tFmtAmPm; empty designators fall
    // back to "AM" and "PM".
    static RegionalSettings FromTimeFormat(const std::string& tFmt, const std::string& tFmtAmPm,
                                           const std::string& am, const std::string& pm);
};

// The process-wide settings every formatter uses.
RegionalSettings& Regional();

// Replaces the process-wide settings with those of the environment's locale.
void LoadRegionalSettingsFromLocale();

// Sets the process-wide settings for the lifetime of the object (tests).
class ScopedRegionalSettings {
  public:
    explicit ScopedRegionalSettings(const RegionalSettings& settings);
    ~ScopedRegionalSettings();
    ScopedRegionalSettings(const ScopedRegionalSettings&) = delete;
    ScopedRegionalSettings& operator=(const ScopedRegionalSettings&) = delete;

  private:
    RegionalSettings saved_;
};

}  // namespace tallon
