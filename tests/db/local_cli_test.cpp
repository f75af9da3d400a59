#include <gtest/gtest.h>

#include <string>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace tallon::test {
namespace {

using CliRun = ShellRun;

// Runs tallon-db with the arguments (already quoted for the shell).
CliRun TallonDb(const std::string& args) {
    return RunShell(std::string(TALLON_BIN_DIR) + "/tallon-db " + args);
}

// The last component of a directory path ending in "/".
std::string ExtractBase(const std::string& directory) {
    const std::string trimmed = directory.substr(0, directory.size() - 1);
    return trimmed.substr(trimmed.rfind('/') + 1);
}

TEST(LocalCliTest, CreateImportIndexExportListRoundTrip) {
    TempDir dir;
    WriteWholeFile(dir / "people.schema",
                   "# people\nCard No: text 10\nName: text 40\nBorn: date\nIn: time\n"
                   "Limit: float\nVisits: integer\n");
    const std::string csv =
        "Card No,Name,Born,In,Limit,Visits\r\n"
        "123456,\"Smith, Ann\",1970-01-31,14:05:00,1.25,3\r\n"
        "12'45,\"Say \"\"hi\"\"\",2000-02-29,08:00:00,5,0\r\n";
    WriteWholeFile(dir / "people.csv", csv);
    const std::string t = "'" + dir.path() + "People'";

    CliRun r = TallonDb("create " + t + " '" + dir.path() + "people.schema'");
    ASSERT_EQ(r.status, 0) << r.out;
    r = TallonDb("import " + t + " '" + dir.path() + "people.csv'");
    ASSERT_EQ(r.status, 0) << r.out;
    r = TallonDb("index " + t + " 'card no'");
    ASSERT_EQ(r.status, 0) << r.out;
    r = TallonDb("index " + t + " --name=name_key --case-insensitive Name");
    ASSERT_EQ(r.status, 0) << r.out;

    r = TallonDb("export " + t + " '" + dir.path() + "out.csv'");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadWholeFile(dir / "out.csv"), csv);

    r = TallonDb("list '" + dir.path() + "'");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("People  2 records"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(".PX  (primary)  Card No  unique"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(".XG0  name_key  Name  case-insensitive"), std::string::npos) << r.out;

    r = TallonDb("sql '" + dir.path() +
                 "' \"select Name from people where \\\"card no\\\"='12''45'\"");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "Name\r\n\"Say \"\"hi\"\"\"\r\n");

    // Failures: non-zero status and a message naming the problem.
    r = TallonDb("import " + t + " '" + dir.path() + "people.csv'");  // duplicate keys
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("Key violation."), std::string::npos) << r.out;
    WriteWholeFile(dir / "bad.schema", "Name: string\n");
    r = TallonDb("create '" + dir.path() + "Bad' '" + dir.path() + "bad.schema'");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("unknown kind 'string'"), std::string::npos) << r.out;
    r = TallonDb("create " + t + " '" + dir.path() + "people.schema'");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("already exists"), std::string::npos) << r.out;
    r = TallonDb("export '" + dir.path() + "Nobody'");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("Nobody"), std::string::npos) << r.out;
    EXPECT_EQ(TallonDb("frobnicate").status, 2);
    r = TallonDb("--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("export DIR/NAME"), std::string::npos);
}

// Table names never reach past the database's directory, in free SQL or
// in the commands.
TEST(LocalCliTest, TableNamesWithAPathAreRefused) {
    TempDir dir, outside;
    WriteWholeFile(dir / "t.schema", "Name: text 10\n");
    WriteWholeFile(dir / "t.csv", "Name\r\nhidden\r\n");
    const std::string secret = outside.path() + "secret";
    ASSERT_EQ(TallonDb("create '" + secret + "' '" + dir.path() + "t.schema'").status, 0);
    ASSERT_EQ(TallonDb("import '" + secret + "' '" + dir.path() + "t.csv'").status, 0);

    const std::string up = "../" + ExtractBase(outside.path()) + "/secret";
    CliRun r = TallonDb("sql '" + dir.path() + "' 'select * from \"" + up + "\"'");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.out.find("hidden"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Invalid table name '" + up + "'"), std::string::npos) << r.out;
    r = TallonDb("create '" + dir.path() + "a\\b' '" + dir.path() + "t.schema'");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("Invalid table name 'a\\b'"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace tallon::test
