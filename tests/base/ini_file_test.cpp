#include <gtest/gtest.h>

#include "base/ini_file.h"
#include "tests/support/temp_dir.h"

namespace tallon {
namespace {

using test::TempDir;
using test::WriteWholeFile;

bool AllowUnknown(const std::string& valueLine) {
    TempDir dir;
    WriteWholeFile(dir / "tallon.ini", "[Options]\r\n" + valueLine + "\r\n");
    return IniReadBool(dir / "tallon.ini", "Options", "AllowUnknown", false);
}

TEST(IniFile, BooleansGoThroughTheIntegerConversion) {
    for (const char* yes : {"AllowUnknown=1", "AllowUnknown=-5", "AllowUnknown=$1",
                            "AllowUnknown=0x1", "allowunknown = 1 ", "AllowUnknown=\"1\""}) {
        EXPECT_TRUE(AllowUnknown(yes)) << yes;
    }
    for (const char* no : {"AllowUnknown=0", "AllowUnknown=yes", "AllowUnknown=true",
                           "AllowUnknown=", "Other=1", ";AllowUnknown=1", "AllowUnknown=1 2"}) {
        EXPECT_FALSE(AllowUnknown(no)) << no;
    }
    TempDir dir;
    EXPECT_FALSE(IniReadBool(dir / "missing.ini", "Options", "AllowUnknown", false));
    EXPECT_TRUE(IniReadBool(dir / "missing.ini", "Options", "AllowUnknown", true));
    WriteWholeFile(dir / "t.ini", "[Options]\nAllowUnknown=\nN=yes\n");
    // An empty or unconvertible value gives the default.
    EXPECT_TRUE(IniReadBool(dir / "t.ini", "Options", "AllowUnknown", true));
    EXPECT_EQ(IniReadInteger(dir / "t.ini", "Options", "N", 7), 7);
}

TEST(IniFile, StringsFollowTheInitialisationFileRules) {
    TempDir dir;
    const std::string long3000(3000, 'v');
    WriteWholeFile(dir / "t.ini",
                   "; comment\n"
                   "[Other]\n"
                   "Key=other\n"
                   "  [ OPTIONS ]  \r\n"
                   "\tName\t=\t  spaced value \t\r\n"
                   "Quoted=\"  kept  \"\n"
                   "Single='x'\n"
                   "Mismatched=\"x'\n"
                   "Name=second\n"
                   "Long=" +
                       long3000 +
                       "\n"
                       "NoEquals\n"
                       "[options]\n"
                       "Late=ignored\n");
    const std::string ini = dir / "t.ini";
    EXPECT_EQ(IniReadString(ini, "options", "NAME", "d"), "spaced value");
    EXPECT_EQ(IniReadString(ini, "Options", "Quoted", "d"), "  kept  ");
    EXPECT_EQ(IniReadString(ini, "Options", "Single", "d"), "x");
    EXPECT_EQ(IniReadString(ini, "Options", "Mismatched", "d"), "\"x'");
    EXPECT_EQ(IniReadString(ini, "Options", "Long", "d"), std::string(2047, 'v'));
    EXPECT_EQ(IniReadString(ini, "Options", "Key", "d"), "d");
    EXPECT_EQ(IniReadString(ini, "Options", "NoEquals", "d"), "d");
    EXPECT_EQ(IniReadString(ini, "Options", "Late", "d"), "d");
    EXPECT_EQ(IniReadString(ini, "Other", "key", "d"), "other");
    EXPECT_EQ(IniReadString(ini, "Missing", "Key", "d"), "d");
    // The file name itself is matched without regard to case.
    EXPECT_EQ(IniReadString(dir / "T.INI", "Other", "Key", "d"), "other");
}

}  // namespace
}  // namespace tallon
