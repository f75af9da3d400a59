#include <gtest/gtest.h>

#include "base/errors.h"
#include "base/int_conversion.h"
#include "base/text.h"

namespace tallon {
namespace {

TEST(IntConversion, AcceptsDecimalWithLeadingSpacesAndSign) {
    EXPECT_EQ(TryStrToInt("5"), 5);
    EXPECT_EQ(TryStrToInt(" 5"), 5);
    EXPECT_EQ(TryStrToInt("   -17"), -17);
    EXPECT_EQ(TryStrToInt("+42"), 42);
    EXPECT_EQ(TryStrToInt("007"), 7);
    EXPECT_EQ(TryStrToInt("-0"), 0);
    EXPECT_EQ(TryStrToInt("2147483647"), 2147483647);
    EXPECT_EQ(TryStrToInt("-2147483648"), INT32_MIN);
}

TEST(IntConversion, RejectsAnythingElse) {
    for (const char* bad :
         {"",     " ",    "5 ",  "\t5",        "-",           "+",
          "- 5",  "5a",   "1.0", "2147483648", "-2147483649", "99999999999999999999",
          "+$10", "-$10", "$",   "0x",         "x",           "$G",
          "5\n",  "1,000"}) {
        EXPECT_FALSE(TryStrToInt(bad).has_value()) << "'" << bad << "'";
    }
}

TEST(IntConversion, ReadsHexadecimalAfterEachPrefix) {
    EXPECT_EQ(TryStrToInt("$1"), 1);
    EXPECT_EQ(TryStrToInt("$ff"), 255);
    EXPECT_EQ(TryStrToInt("x1F"), 31);
    EXPECT_EQ(TryStrToInt("X1f"), 31);
    EXPECT_EQ(TryStrToInt("0x1"), 1);
    EXPECT_EQ(TryStrToInt("0X10"), 16);
    EXPECT_EQ(TryStrToInt("  $10"), 16);
    // The full 32-bit pattern is accepted and read as a signed number.
    EXPECT_EQ(TryStrToInt("$7FFFFFFF"), INT32_MAX);
    EXPECT_EQ(TryStrToInt("$80000000"), INT32_MIN);
    EXPECT_EQ(TryStrToInt("$FFFFFFFF"), -1);
    EXPECT_EQ(TryStrToInt("$000000001"), 1);
    EXPECT_FALSE(TryStrToInt("$100000000").has_value());
    EXPECT_FALSE(TryStrToInt("$1 ").has_value());
    EXPECT_FALSE(TryStrToInt("0x1g").has_value());
}

TEST(IntConversion, StrToIntNamesTheWholeTextInItsError) {
    EXPECT_EQ(StrToInt(" 12"), 12);
    try {
        StrToInt("5 ");
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'5 ' is not a valid integer value");
    }
    try {
        StrToInt("");
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'' is not a valid integer value");
    }
    EXPECT_EQ(IntToStr(-5), "-5");
    EXPECT_EQ(IntToStr(7), "7");
}

TEST(Text, TrimRemovesControlsAndBlanksOnlyAtTheEnds) {
    EXPECT_EQ(Trim(" \t\r\n a b \x01\x1A"), "a b");
    EXPECT_EQ(Trim("\xE9x\xA0"), "\xE9x\xA0");  // bytes above 127 stay
    EXPECT_EQ(Trim("   "), "");
    EXPECT_EQ(Trim(""), "");
}

TEST(Text, CopyFollowsThePositionRules) {
    EXPECT_EQ(Copy("abcdef", 1, 3), "abc");
    EXPECT_EQ(Copy("abcdef", 0, 2), "ab");
    EXPECT_EQ(Copy("abcdef", -5, 2), "ab");
    EXPECT_EQ(Copy("abcdef", 4, 100), "def");
    EXPECT_EQ(Copy("abcdef", 6, 1), "f");
    EXPECT_EQ(Copy("abcdef", 7, 1), "");
    EXPECT_EQ(Copy("abcdef", 2, -1), "");
    EXPECT_EQ(Copy("abcdef", 2, 0), "");
    EXPECT_EQ(Copy("abcdef", 2, INT32_MAX), "bcdef");
    EXPECT_EQ(Copy("", 1, 1), "");
}

TEST(Text, CaseChangesTouchAsciiLettersOnly) {
    EXPECT_EQ(UpperCase("abz/AZ09\xE9"), "ABZ/AZ09\xE9");
    EXPECT_EQ(LowerCase("ABZ/az09\xC9"), "abz/az09\xC9");
    EXPECT_TRUE(SameText("tr020606.DB", "TR020606.db"));
    EXPECT_FALSE(SameText("a", "ab"));
    EXPECT_FALSE(SameText("\xE9", "\xC9"));
}

TEST(Errors, InOutMessagesAndErrnoMapping) {
    EXPECT_EQ(EInOutError(2).Message(), "File not found");
    EXPECT_EQ(EInOutError(3).Message(), "Invalid filename");
    EXPECT_EQ(EInOutError(4).Message(), "Too many open files");
    EXPECT_EQ(EInOutError(5).Message(), "File access denied");
    EXPECT_EQ(EInOutError(100).Message(), "Read beyond end of file");
    EXPECT_EQ(EInOutError(101).Message(), "Disk full");
    EXPECT_EQ(EInOutError(106).Message(), "Invalid numeric input");
    EXPECT_EQ(EInOutError(32).Message(), "I/O error 32");

    EXPECT_EQ(EInOutError::FromErrno(ENOENT).ErrorCode(), 2);
    EXPECT_EQ(EInOutError::FromErrno(ENAMETOOLONG).ErrorCode(), 3);
    EXPECT_EQ(EInOutError::FromErrno(EMFILE).ErrorCode(), 4);
    EXPECT_EQ(EInOutError::FromErrno(EROFS).Message(), "File access denied");
    EXPECT_EQ(EInOutError::FromErrno(EISDIR).ErrorCode(), 5);
    EXPECT_EQ(EInOutError::FromErrno(ENOSPC).Message(), "Disk full");
    // A device failure must not pass for a refused access.
    EXPECT_EQ(EInOutError::FromErrno(EIO).Message(), "I/O error 31");
    EXPECT_EQ(EInOutError::FromErrno(EXDEV).Message(), "I/O error " + std::to_string(EXDEV));

    const Exception& base = EInOutError(2);
    EXPECT_STREQ(base.what(), "File not found");
}

}  // namespace
}  // namespace tallon
