#include "recovery/raw_record.h"

#include <gtest/gtest.h>

#include "base/clock.h"
#include "base/errors.h"

namespace tallon {
namespace {

DateTime At(int y, int m, int d, int hh = 10, int mm = 0) {
    return DateTime{EncodeDate(y, m, d).value + EncodeTime(hh, mm, 0, 0).value};
}

DateParts DateOf(const RawRecord& r) {
    return DecodeDate(r.eventDate);
}

std::string ConversionError(const std::string& recordText) {
    try {
        DecodeRawRecord("007", recordText);
    } catch (const EConvertError& e) {
        return e.Message();
    }
    return "(no error)";
}

TEST(RawRecord, DecodesEveryField) {
    ManualClock clock(At(2026, 6, 10));
    ScopedClock use(clock);
    // DDMMHHMM, card, code, unused, reader id
    const RawRecord r = DecodeRawRecord(" 07", "060614051234561xREADER-00001");
    EXPECT_EQ(r.unitCodeAsRead, " 07");
    EXPECT_EQ(r.UnitCode, "07");
    EXPECT_EQ(DateOf(r).year, 2026);
    EXPECT_EQ(DateOf(r).month, 6);
    EXPECT_EQ(DateOf(r).day, 6);
    const TimeParts t = DecodeTime(r.eventTime);
    EXPECT_EQ(t.hour, 14);
    EXPECT_EQ(t.minute, 5);
    EXPECT_EQ(t.second, 0);
    EXPECT_EQ(r.cardNumber, "123456");
    EXPECT_EQ(r.transCode, "1");
    EXPECT_EQ(r.readerId, "READER-00001");
}

TEST(RawRecord, DecemberReadInJanuaryBelongsToThePreviousYear) {
    {
        ManualClock clock(At(2027, 1, 1, 0, 1));
        ScopedClock use(clock);
        EXPECT_EQ(DateOf(DecodeRawRecord("007", "31122359123456")).year, 2026);
        // Other months read in January stay in the current year.
        EXPECT_EQ(DateOf(DecodeRawRecord("007", "30112359123456")).year, 2027);
    }
    {
        ManualClock clock(At(2027, 1, 31, 23, 59));
        ScopedClock use(clock);
        EXPECT_EQ(DateOf(DecodeRawRecord("007", "31120000123456")).year, 2026);
    }
    {
        ManualClock clock(At(2027, 2, 14));
        ScopedClock use(clock);
        EXPECT_EQ(DateOf(DecodeRawRecord("007", "31121200123456")).year, 2027);
    }
    {
        // Nothing ever moves forward: January read on 31 December stays.
        ManualClock clock(At(2026, 12, 31, 23, 59));
        ScopedClock use(clock);
        const RawRecord r = DecodeRawRecord("007", "01010000123456");
        EXPECT_EQ(DateOf(r).year, 2026);
        EXPECT_EQ(DateOf(r).month, 1);
    }
}

TEST(RawRecord, ShortLinesGiveShortFields) {
    ManualClock clock(At(2026, 6, 10));
    ScopedClock use(clock);
    // A whole line of 18 characters: card and code, no reader id.
    RawRecord r = DecodeRawRecord("007", "060614051234561");
    EXPECT_EQ(r.cardNumber, "123456");
    EXPECT_EQ(r.transCode, "1");
    EXPECT_EQ(r.readerId, "");
    // 17 characters: no transaction code.
    r = DecodeRawRecord("007", "06061405123456");
    EXPECT_EQ(r.transCode, "");
    // A reader id that is all blanks stays twelve blanks.
    r = DecodeRawRecord("007", "060614051234561x            ");
    EXPECT_EQ(r.readerId, std::string(12, ' '));
}

TEST(RawRecord, ConversionErrorsNameTheFirstBadPiece) {
    ManualClock clock(At(2026, 6, 10));
    ScopedClock use(clock);
    EXPECT_EQ(ConversionError(""), "'/' is not a valid integer value");
    EXPECT_EQ(ConversionError("0"), "'0/' is not a valid integer value");
    EXPECT_EQ(ConversionError("5 0614051234561"), "'5 ' is not a valid integer value");
    EXPECT_EQ(ConversionError("06AB14051234561"), "'AB' is not a valid integer value");
    // The minute is converted before the hour.
    EXPECT_EQ(ConversionError("0606XXYY1234561"), "'YY' is not a valid integer value");
    EXPECT_EQ(ConversionError("310614051234561"), "Invalid argument to date encode");
    EXPECT_EQ(ConversionError("011314051234561"), "Invalid argument to date encode");
    EXPECT_EQ(ConversionError("000614051234561"), "Invalid argument to date encode");
    EXPECT_EQ(ConversionError("060624001234561"), "Invalid argument to time encode");
    EXPECT_EQ(ConversionError("060614601234561"), "Invalid argument to time encode");
    // A blank before the digit is allowed: day 5.
    const RawRecord r = DecodeRawRecord("007", " 50614051234561");
    EXPECT_EQ(DateOf(r).day, 5);
}

TEST(RawRecord, FebruaryTwentyNinthFollowsTheClocksYear) {
    {
        ManualClock clock(At(2028, 3, 1));
        ScopedClock use(clock);
        EXPECT_EQ(DateOf(DecodeRawRecord("007", "29021200123456")).day, 29);
    }
    {
        ManualClock clock(At(2027, 3, 1));
        ScopedClock use(clock);
        EXPECT_EQ(ConversionError("29021200123456"), "Invalid argument to date encode");
    }
}

TEST(RawRecord, SplitsALineIntoUnitCodeAndRecordText) {
    RawLine l = SplitRawLine("  7060614051234561");
    EXPECT_EQ(l.unitCode, "  7");
    EXPECT_EQ(l.recordText, "060614051234561");
    l = SplitRawLine("12");
    EXPECT_EQ(l.unitCode, "12");
    EXPECT_EQ(l.recordText, "");
}

}  // namespace
}  // namespace tallon
