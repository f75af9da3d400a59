#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

#include "base/clock.h"
#include "base/date_time.h"
#include "base/errors.h"

namespace tallon {
namespace {

DateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return EncodeDateTime({y, mo, d}, {h, mi, s, ms});
}

std::string DateError(int y, int m, int d) {
    try {
        EncodeDate(y, m, d);
    } catch (const EConvertError& e) {
        return e.Message();
    }
    return "";
}

TEST(DateTime, CountsDaysFromTheEpoch) {
    EXPECT_EQ(EncodeDate(1899, 12, 30).value, 0.0);
    EXPECT_EQ(EncodeDate(1900, 1, 1).value, 2.0);
    EXPECT_EQ(EncodeDate(2000, 1, 1).value, 36526.0);
    EXPECT_EQ(EncodeDate(1899, 12, 29).value, -1.0);
    EXPECT_EQ(EncodeTime(12, 0, 0, 0).value, 0.5);
    EXPECT_EQ(EncodeTime(6, 0, 0, 0).value, 0.25);
}

TEST(DateTime, EncodeDateChecksTheCalendar) {
    EXPECT_NO_THROW(EncodeDate(2024, 2, 29));
    EXPECT_NO_THROW(EncodeDate(2000, 2, 29));
    EXPECT_NO_THROW(EncodeDate(1, 1, 1));
    EXPECT_NO_THROW(EncodeDate(9999, 12, 31));
    EXPECT_NO_THROW(EncodeDate(2023, 4, 30));
    for (auto [y, m, d] : {std::tuple{2023, 2, 29},
                           {1900, 2, 29},
                           {2100, 2, 29},
                           {2023, 4, 31},
                           {2023, 13, 1},
                           {2023, 0, 1},
                           {2023, 1, 0},
                           {0, 1, 1},
                           {10000, 1, 1},
                           {2023, 1, 32}}) {
        EXPECT_EQ(DateError(y, m, d), "Invalid argument to date encode")
            << y << "-" << m << "-" << d;
    }
    for (auto [h, m, s, ms] :
         {std::tuple{24, 0, 0, 0}, {0, 60, 0, 0}, {0, 0, 60, 0}, {0, 0, 0, 1000}, {-1, 0, 0, 0}}) {
        try {
            EncodeTime(h, m, s, ms);
            ADD_FAILURE() << "accepted " << h << ":" << m << ":" << s << "." << ms;
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), "Invalid argument to time encode");
        }
    }
    EXPECT_NO_THROW(EncodeTime(23, 59, 59, 999));
}

TEST(DateTime, DecodesWhatWasEncoded) {
    for (DateParts d : {DateParts{1, 1, 1},
                        {1600, 2, 29},
                        {1899, 12, 31},
                        {1970, 1, 1},
                        {2000, 2, 29},
                        {2024, 12, 31},
                        {9999, 12, 31},
                        {1899, 12, 29}}) {
        const DateTime dt = EncodeDateTime(d, {13, 45, 7, 321});
        const DateParts back = DecodeDate(dt);
        EXPECT_EQ(back.year, d.year);
        EXPECT_EQ(back.month, d.month);
        EXPECT_EQ(back.day, d.day);
        const TimeParts t = DecodeTime(dt);
        EXPECT_EQ(t.hour, 13);
        EXPECT_EQ(t.minute, 45);
        EXPECT_EQ(t.second, 7);
        EXPECT_EQ(t.millisecond, 321);
    }
    // Before the epoch the time is the magnitude of the fraction.
    EXPECT_EQ(DecodeTime(DateTime{-1.25}).hour, 6);
    EXPECT_EQ(DecodeDate(DateTime{-1.25}).day, 29);
    // Nonsense values do not crash the decoder.
    EXPECT_EQ(DecodeDate(DateTime{1e300}).year, 1899);
    EXPECT_EQ(DecodeTime(DateTime{std::nan("")}).hour, 0);
}

TEST(DateTime, DecodeTimeRoundsToTheMillisecond) {
    const double ms = 1.0 / 86400000.0;
    const DateTime almost{EncodeTime(10, 0, 0, 5).value - 0.3 * ms};
    EXPECT_EQ(DecodeTime(almost).millisecond, 5);
    // Just short of midnight rounds into the next day.
    const DateTime lateNight{EncodeDate(2024, 2, 28).value + 1.0 - 0.2 * ms};
    EXPECT_EQ(DecodeDate(lateNight).day, 29);
    EXPECT_EQ(DecodeTime(lateNight).hour, 0);
    EXPECT_EQ(DatePart(At(2024, 3, 1, 18)).value, EncodeDate(2024, 3, 1).value);
    EXPECT_EQ(TimePart(At(2024, 3, 1, 18)).value, 0.75);
}

TEST(DateTime, FormatsThePatternsTheProgramUses) {
    RegionalSettings dotted;
    dotted.timeSeparator = ".";
    const DateTime dt = At(2002, 6, 6, 14, 5, 9);
    EXPECT_EQ(FormatDateTime("yyyy", dt), "2002");
    EXPECT_EQ(FormatDateTime("mm", dt), "06");
    EXPECT_EQ(FormatDateTime("yymmdd", dt), "020606");
    EXPECT_EQ(FormatDateTime("yyyymmdd", dt), "20020606");
    EXPECT_EQ(FormatDateTime("hhmm", dt), "1405");
    EXPECT_EQ(FormatDateTime("hh:mm", dt), "14:05");
    EXPECT_EQ(FormatDateTime("hh:mm", dt, dotted), "14.05");
    EXPECT_EQ(FormatDateTime("HH:MM", dt), "14:05");
    EXPECT_EQ(FormatDateTime("YYMMDD", dt), "020606");
    // Only an hour turns the following "mm" into minutes.
    EXPECT_EQ(FormatDateTime("hh:nn mm", dt), "14:05 06");
    EXPECT_EQ(FormatDateTime("dd/mm/yyyy hh-mm-ss", dt), "06/06/2002 14-05-09");
    EXPECT_EQ(FormatDateTime("\"TR\"yymmdd", dt), "TR020606");
    EXPECT_EQ(FormatDateTime("d.m.yy h:n:s.zzz", At(2009, 1, 2, 3, 4, 5, 6)), "2.1.09 3:4:5.006");
    EXPECT_EQ(FormatDateTime("yyyy", At(5, 1, 1)), "0005");
    EXPECT_EQ(FormatDateTime("ddd dddd mmm mmmm", At(2024, 3, 3)), "Sun Sunday Mar March");
    EXPECT_EQ(FormatDateTime("ddd", At(1899, 12, 29)), "Fri");
    EXPECT_EQ(FormatDateTime("yy", At(2100, 1, 1)), "00");
    // "hh" is 24-hour unless the pattern names a designator.
    EXPECT_EQ(FormatDateTime("hh", At(2002, 1, 1, 0)), "00");
    EXPECT_EQ(FormatDateTime("hh ampm", At(2002, 1, 1, 0)), "12 AM");
    EXPECT_EQ(FormatDateTime("h am/pm", At(2002, 1, 1, 13)), "1 pm");
}

TEST(DateTime, LongTimeTextFollowsTheRegionalSettings) {
    RegionalSettings h24;
    EXPECT_EQ(LongTimeText(At(2002, 6, 6, 14, 5, 0), h24), "14:05:00");
    EXPECT_EQ(LongTimeText(At(2002, 6, 6, 0, 0, 0), h24), "00:00:00");
    h24.leadingZeroHour = false;
    EXPECT_EQ(LongTimeText(At(2002, 6, 6, 9, 5, 3), h24), "9:05:03");

    RegionalSettings h12;
    h12.twelveHourClock = true;
    h12.leadingZeroHour = false;
    EXPECT_EQ(h12.LongTimeFormat(), "h:mm:ss AMPM");
    EXPECT_EQ(LongTimeText(At(2002, 6, 6, 14, 5, 0), h12), "2:05:00 PM");
    EXPECT_EQ(LongTimeText(At(2002, 6, 6, 0, 0, 0), h12), "12:00:00 AM");
    EXPECT_EQ(LongTimeText(At(2002, 6, 6, 12, 0, 0), h12), "12:00:00 PM");
    EXPECT_EQ(LongTimeText(At(2002, 6, 6, 11, 59, 59), h12), "11:59:59 AM");
    h12.timeSeparator = ".";
    h12.amDesignator = "a.m.";
    h12.leadingZeroHour = true;
    EXPECT_EQ(LongTimeText(At(2002, 6, 6, 9, 5, 0), h12), "09.05.00 a.m.");

    ScopedRegionalSettings scoped(h12);
    EXPECT_EQ(LongTimeText(At(2002, 6, 6, 9, 5, 0)), "09.05.00 a.m.");
}

TEST(DateTime, ParseTimeTextReadsBothClocks) {
    RegionalSettings h24;
    RegionalSettings h12;
    h12.twelveHourClock = true;
    h12.timeSeparator = ".";
    TimeParts t;
    auto parse = [&](const char* text, const RegionalSettings& s) {
        t = {};
        return ParseTimeText(text, t, s);
    };
    ASSERT_TRUE(parse("14:05:00", h24));
    EXPECT_EQ(t.hour * 10000 + t.minute * 100 + t.second, 140500);
    ASSERT_TRUE(parse("14:05", h24));
    EXPECT_EQ(t.hour * 100 + t.minute, 1405);
    ASSERT_TRUE(parse("2:05:07 PM", h24));
    EXPECT_EQ(t.hour * 10000 + t.minute * 100 + t.second, 140507);
    ASSERT_TRUE(parse("2:05 pm", h12));
    EXPECT_EQ(t.hour, 14);
    ASSERT_TRUE(parse("2.05.00 PM", h12));
    EXPECT_EQ(t.hour, 14);
    ASSERT_TRUE(parse("12:00:00 AM", h12));
    EXPECT_EQ(t.hour, 0);
    ASSERT_TRUE(parse("12:30 PM", h12));
    EXPECT_EQ(t.hour, 12);
    ASSERT_TRUE(parse("2:05", h12));  // no designator: taken as written
    EXPECT_EQ(t.hour, 2);
    for (const char* bad : {"", "14", "14:", "24:00", "13:00 PM", "12:60", "12:00:60", "1:2:3:4",
                            "ab:cd", "14:05x", "14-05", "PM", "123:00"}) {
        EXPECT_FALSE(parse(bad, h24)) << bad;
    }

    // Whatever LongTimeText writes reads back.
    for (const RegionalSettings& s : {h24, h12}) {
        for (int h : {0, 1, 11, 12, 13, 23}) {
            const std::string text = LongTimeText(EncodeTime(h, 7, 30, 0), s);
            ASSERT_TRUE(ParseTimeText(text, t, s)) << text;
            EXPECT_EQ(t.hour, h) << text;
            EXPECT_EQ(t.minute, 7);
            EXPECT_EQ(t.second, 30);
        }
    }
}

TEST(Clock, ManualClockStandsStillAndMovesOnRequest) {
    ManualClock clock(At(2024, 2, 28, 23, 59, 59, 500), 60);
    EXPECT_EQ(clock.Now(), At(2024, 2, 28, 23, 59, 59, 500));
    EXPECT_EQ(clock.UtcMillisecondsOfDay(), (22u * 3600 + 59 * 60 + 59) * 1000 + 500);
    // 2024-02-28 22:59:59.500 universal time.
    EXPECT_EQ(clock.UnixMilliseconds(), 1709161199500);
    EXPECT_EQ(clock.UnixSeconds(), 1709161199);
    clock.AdvanceMilliseconds(600);
    EXPECT_EQ(DecodeDate(clock.Now()).day, 29);
    EXPECT_EQ(DecodeTime(clock.Now()).millisecond, 100);
    // Local 00:00:00.100 one hour ahead of universal time is 23:00:00.100.
    EXPECT_EQ(clock.UtcMillisecondsOfDay(), 23u * 3600000 + 100);
    clock.SetUtcOffsetMinutes(-120);
    EXPECT_EQ(clock.UtcMillisecondsOfDay(), 2u * 3600000 + 100);
    clock.AdvanceMilliseconds(-200);
    EXPECT_EQ(DecodeDate(clock.Now()).day, 28);
    EXPECT_EQ(DecodeTime(clock.Now()).millisecond, 900);
}

TEST(Clock, ScopedClockReplacesTheActiveClock) {
    const DateTime before = ActiveClock().Now();
    EXPECT_GT(DecodeDate(before).year, 2000);
    ManualClock manual(At(2002, 6, 6, 14, 5));
    {
        ScopedClock scoped(manual);
        EXPECT_EQ(ActiveClock().Now(), At(2002, 6, 6, 14, 5));
        manual.Set(At(2003, 1, 1));
        EXPECT_EQ(DecodeDate(ActiveClock().Now()).year, 2003);
    }
    EXPECT_GT(DecodeDate(ActiveClock().Now()).year, 2002);
    EXPECT_LT(ActiveClock().UtcMillisecondsOfDay(), 86400000u);
    EXPECT_NEAR(static_cast<double>(ActiveClock().UnixSeconds()),
                static_cast<double>(std::time(nullptr)), 1.0);
}

}  // namespace
}  // namespace tallon
