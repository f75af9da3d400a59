#include <gtest/gtest.h>

#include <clocale>

#include "base/regional.h"

namespace tallon {
namespace {

TEST(Regional, ReadsTheHourAndSeparatorFromTimeFormats) {
    RegionalSettings s = RegionalSettings::FromTimeFormat("%H:%M:%S", "", "", "");
    EXPECT_FALSE(s.twelveHourClock);
    EXPECT_TRUE(s.leadingZeroHour);
    EXPECT_EQ(s.timeSeparator, ":");
    EXPECT_EQ(s.amDesignator, "AM");
    EXPECT_EQ(s.pmDesignator, "PM");
    EXPECT_EQ(s.LongTimeFormat(), "hh:mm:ss");

    s = RegionalSettings::FromTimeFormat("%k.%M.%S", "", "", "");
    EXPECT_FALSE(s.twelveHourClock);
    EXPECT_FALSE(s.leadingZeroHour);
    EXPECT_EQ(s.timeSeparator, ".");
    EXPECT_EQ(s.LongTimeFormat(), "h:mm:ss");

    s = RegionalSettings::FromTimeFormat("%r", "%I:%M:%S %p", "am", "pm");
    EXPECT_TRUE(s.twelveHourClock);
    EXPECT_TRUE(s.leadingZeroHour);
    EXPECT_EQ(s.amDesignator, "am");
    EXPECT_EQ(s.pmDesignator, "pm");
    EXPECT_EQ(s.LongTimeFormat(), "hh:mm:ss AMPM");

    s = RegionalSettings::FromTimeFormat("%p %l時%M分%S秒", "", "午前", "午後");
    EXPECT_TRUE(s.twelveHourClock);
    EXPECT_FALSE(s.leadingZeroHour);
    EXPECT_EQ(s.timeSeparator, "時");

    s = RegionalSettings::FromTimeFormat("%T", "", "", "");
    EXPECT_FALSE(s.twelveHourClock);
    EXPECT_EQ(s.timeSeparator, ":");

    s = RegionalSettings::FromTimeFormat("%-I:%M:%S %p", "", "", "");
    EXPECT_TRUE(s.twelveHourClock);
    EXPECT_FALSE(s.leadingZeroHour);

    // "%r" with no 12-hour format of its own still means a 12-hour clock.
    s = RegionalSettings::FromTimeFormat("%r", "", "", "");
    EXPECT_TRUE(s.twelveHourClock);
    EXPECT_EQ(s.timeSeparator, ":");

    // An odd format without an hour keeps the defaults.
    s = RegionalSettings::FromTimeFormat("100%% %S", "", "", "");
    EXPECT_FALSE(s.twelveHourClock);
    EXPECT_EQ(s.timeSeparator, ":");
}

TEST(Regional, FollowsTheCurrentLocale) {
    const std::string saved = std::setlocale(LC_TIME, nullptr);
    ASSERT_NE(std::setlocale(LC_TIME, "C"), nullptr);
    const RegionalSettings c = RegionalSettings::FromLocale();
    EXPECT_FALSE(c.twelveHourClock);
    EXPECT_EQ(c.timeSeparator, ":");
    EXPECT_EQ(c.amDesignator, "AM");

    // Other locales are checked when the machine has them.
    if (std::setlocale(LC_TIME, "en_US.UTF-8")) {
        EXPECT_TRUE(RegionalSettings::FromLocale().twelveHourClock);
    }
    if (std::setlocale(LC_TIME, "de_DE.UTF-8")) {
        EXPECT_FALSE(RegionalSettings::FromLocale().twelveHourClock);
    }
    std::setlocale(LC_TIME, saved.c_str());

    RegionalSettings odd;
    odd.timeSeparator = "-";
    {
        ScopedRegionalSettings scoped(odd);
        EXPECT_EQ(Regional().timeSeparator, "-");
    }
    EXPECT_EQ(Regional().timeSeparator, ":");
}

}  // namespace
}  // namespace tallon
