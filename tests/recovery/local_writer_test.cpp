#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "base/clock.h"
#include "base/errors.h"
#include "base/file_names.h"
#include "base/regional.h"
#include "db/engine.h"
#include "recovery/recovery_core.h"
#include "tests/support/program_dir.h"
#include "tests/support/temp_dir.h"

namespace tallon {
namespace {

using test::LogLines;
using test::ReadTable;

DateTime At(int y, int mo, int d, int h, int mi) {
    return DateTime{EncodeDate(y, mo, d).value + EncodeTime(h, mi, 0, 0).value};
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A program directory with its tables, the working directory moved there
// (the log lands there), a clock standing on 10 June 2026, and the core
// started in local mode.
class LocalWriter : public ::testing::Test {
  protected:
    explicit LocalWriter(test::ProgramDirOptions options = {}) {
        test::MakeProgramDirectory(dir.path(), options);
        core.FormCreate({});
    }
    ~LocalWriter() override { engine.Shutdown(); }

    std::string Table(const std::string& name) const { return ResolveFileName(dir / name); }
    std::vector<std::vector<std::string>> Records(const std::string& table,
                                                  const std::string& columns = "*") {
        return ReadTable(Table(table + ".DB"), "select " + columns + " from records");
    }
    bool Insert(const std::string& line) {
        return core.MakeLocalWriter(nullptr)
                   .InsertThisOne(line.substr(0, 3), host.fallbackDevice, line.substr(3))
                   .outcome == LineOutcome::Added;
    }

    test::TempDir dir;
    test::ScopedWorkingDirectory cwd{dir.path()};
    ManualClock clock{At(2026, 6, 10, 12, 0)};
    ScopedClock useClock{clock};
    MemoryHost host;
    db::Engine engine;
    RecoveryCore core{engine, host, dir.path()};
};

TEST_F(LocalWriter, FirstRecordOfADayCreatesReindexesAndStoresItsTable) {
    host.memo.clear();
    EXPECT_TRUE(Insert("007060614051234561 READER-00001"));
    EXPECT_EQ(host.tableName, "TR260606");
    EXPECT_TRUE(FileExists(dir / "TR260606.db"));
    EXPECT_TRUE(FileExists(dir / "TR260606.px"));
    EXPECT_EQ(host.memo, std::vector<std::string>{"Files Reindexed."});

    const auto log = LogLines(dir.path());
    const auto create = std::find(log.begin(), log.end(), "Create new table: TR260606");
    const auto reindex = std::find(log.begin(), log.end(), "Reindex TR260606");
    ASSERT_NE(create, log.end());
    ASSERT_NE(reindex, log.end());
    EXPECT_LT(create, reindex);

    const auto rows = Records("TR260606",
                              "\"Device Name\", Date, Time, Location, \"Card No\", Name, user1, "
                              "user2, user3, \"Staff No\", \"Trans Code\", Type, SeqNo");
    ASSERT_EQ(rows.size(), 1u);
    const std::vector<std::string> expected = {"Door 7", "2026-06-06", "14:05:00", ".",
                                               "123456", "Ann Smith",  "U1a",      "U2a",
                                               "U3a",    "S100",       "1",        "0"};
    EXPECT_EQ(std::vector<std::string>(rows[0].begin(), rows[0].end() - 1), expected);
    const double seq = std::stod(rows[0].back());
    EXPECT_GE(seq, 1.0);
    EXPECT_LT(seq, 1000000.0);

    // The next record of the same day neither creates nor reindexes.
    EXPECT_TRUE(Insert("007060614061234561 READER-00001"));
    const auto after = LogLines(dir.path());
    EXPECT_EQ(std::count(after.begin(), after.end(), "Create new table: TR260606"), 1);
    EXPECT_EQ(std::count(after.begin(), after.end(), "Reindex TR260606"), 1);
}

class LocalWriterIndexedTemplate : public LocalWriter {
  protected:
    LocalWriterIndexedTemplate() : LocalWriter({.templatePrimaryIndex = true}) {}
};

TEST_F(LocalWriterIndexedTemplate, TemplateWithPrimaryIndexIsNotReindexed) {
    host.memo.clear();
    EXPECT_TRUE(Insert("007060614051234561"));
    const auto log = LogLines(dir.path());
    EXPECT_TRUE(Contains(log, "Create new table: TR260606"));
    EXPECT_FALSE(Contains(log, "Reindex TR260606"));
    EXPECT_TRUE(host.memo.empty());
}

TEST_F(LocalWriter, DeviceNames) {
    // Not in rdrmain: the fallback device stays.
    EXPECT_TRUE(Insert("999060614051234561"));
    // The trimmed unit code is looked up.
    EXPECT_TRUE(Insert("  7060614061234561"));
    host.fromTran = true;
    EXPECT_TRUE(Insert("  7060614071234561"));
    const auto rows = Records("TR260606", "\"Device Name\", Name, \"Staff No\", user1");
    ASSERT_EQ(rows.size(), 3u);
    std::multiset<std::string> devices;
    for (const auto& r : rows) {
        devices.insert(r[0]);
    }
    EXPECT_EQ(devices, (std::multiset<std::string>{"DORN", "Door seven", "CTRL7"}));
    for (const auto& r : rows) {
        if (r[0] == "CTRL7") {
            // Card holders come from the sample table then.
            EXPECT_EQ(r[1], "Sample Ann");
            EXPECT_EQ(r[2], "T100");
            EXPECT_EQ(r[3], "TU1");
        }
    }
}

TEST_F(LocalWriter, BlankCardIsStoredWithoutLookup) {
    host.memo.clear();
    EXPECT_TRUE(Insert("00706061406      1"));
    const auto rows = Records("TR260606", "\"Card No\", Name, \"Staff No\"");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"      ", "", ""}));
}

TEST_F(LocalWriter, UnknownCardIsRefusedBeforeAnyTableIsMade) {
    host.memo.clear();
    host.tableName = "TRAN1";
    EXPECT_FALSE(Insert("007060614059999991"));
    EXPECT_EQ(host.memo, std::vector<std::string>{"Card: 999999 not found"});
    EXPECT_TRUE(Contains(LogLines(dir.path()), "Card: 999999 not found"));
    EXPECT_FALSE(FileExists(dir / "TR260606.db"));
    // The table-name box keeps the name of the last record that got as far
    // as choosing its table.
    EXPECT_EQ(host.tableName, "TRAN1");
    EXPECT_TRUE(Insert("007070614051234561"));
    EXPECT_FALSE(Insert("007080614059999991"));
    EXPECT_EQ(host.tableName, "TR260607");
}

TEST_F(LocalWriter, DuplicatesRefusedWhenMergingOnly) {
    const std::string line = "007060614051234561 READER-00001";
    EXPECT_TRUE(Insert(line));
    EXPECT_FALSE(Insert(line));
    EXPECT_TRUE(Contains(LogLines(dir.path()), "Duplicate record: TR260606 Door 7 123456 1 14:05"));
    EXPECT_EQ(Records("TR260606").size(), 1u);

    // Another code, time or device is not a duplicate.
    EXPECT_TRUE(Insert("007060614051234562"));
    EXPECT_TRUE(Insert("007060614061234561"));
    EXPECT_TRUE(Insert("012060614051234561"));

    // Without merging, the named table takes both, with different numbers.
    host.merge = false;
    host.tableName = "TRAN1";
    ASSERT_TRUE(CopyFileOver(dir / "tran_tpl.DB", dir / "TRAN1.DB"));
    EXPECT_TRUE(Insert(line));
    clock.AdvanceMilliseconds(1);
    EXPECT_TRUE(Insert(line));
    const auto rows = Records("TRAN1", "SeqNo");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_NE(rows[0][0], rows[1][0]);
}

TEST_F(LocalWriter, SameMillisecondDrawsAFreeSequenceNumber) {
    // Reseeded from a clock that stands still, the first draw repeats; the
    // primary index makes the writer draw again.
    host.merge = false;
    host.tableName = "TRAN1";
    ASSERT_TRUE(CopyFileOver(dir / "tran_tpl.DB", dir / "TRAN1.DB"));
    core.Reindex();
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(Insert("007060614051234561"));
    }
    const auto rows = Records("TRAN1", "distinct SeqNo");
    EXPECT_EQ(rows.size(), 5u);
}

TEST_F(LocalWriter, DuplicateFoundUnderATwelveHourClock) {
    RegionalSettings twelve;
    twelve.twelveHourClock = true;
    twelve.leadingZeroHour = false;
    ScopedRegionalSettings use(twelve);
    EXPECT_TRUE(Insert("007060614051234561"));
    EXPECT_FALSE(Insert("007060614051234561"));
    EXPECT_TRUE(Contains(LogLines(dir.path()), "Duplicate record: TR260606 Door 7 123456 1 14:05"));
    EXPECT_EQ(Records("TR260606", "Time"), (std::vector<std::vector<std::string>>{{"14:05:00"}}));
}

TEST_F(LocalWriter, CardFieldWithABlankIsFoundAsADuplicate) {
    // Stored untrimmed, compared untrimmed: the same event is refused.
    EXPECT_TRUE(Insert("00706061406 123451"));
    EXPECT_FALSE(Insert("00706061406 123451"));
    const auto rows = Records("TR260606", "\"Card No\", Name");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{" 12345", "Blank Card"}));
    EXPECT_TRUE(Contains(LogLines(dir.path()), "Duplicate record: TR260606 Door 7  12345 1 14:06"));
}

TEST_F(LocalWriter, QuoteInTheCardIsLookedUpExactly) {
    // "12'456" is a card of the cards table.
    EXPECT_TRUE(Insert("0070606140512'4561"));
    EXPECT_FALSE(Insert("0070606140512'4561"));
    const auto rows = Records("TR260606", "\"Card No\", Name");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"12'456", "Quote Card"}));
    // The lookup tables are untouched by whatever the card field holds.
    EXPECT_FALSE(Insert("007060614051' or 1"));
    EXPECT_EQ(ReadTable(Table("cards.DB"), "select count(*) from records")[0][0], "4");
}

TEST_F(LocalWriter, ErrorsAreLoggedWithTheRecordText) {
    EXPECT_FALSE(Insert("007"));
    EXPECT_FALSE(Insert("007310614051234561"));
    EXPECT_FALSE(Insert("0070606AB051234561"));
    const auto log = LogLines(dir.path());
    EXPECT_TRUE(Contains(log, "'/' is not a valid integer value s=[]"));
    EXPECT_TRUE(Contains(log, "Invalid argument to date encode s=[310614051234561]"));
    EXPECT_TRUE(Contains(log, "'AB' is not a valid integer value s=[0606AB051234561]"));
}

TEST_F(LocalWriter, ReindexRebuildsTheNamedTableOnly) {
    // Files of another table that happen to be there stay as they are.
    test::WriteWholeFile(dir / "Tr020606.PX", "other");
    test::WriteWholeFile(dir / "Tr020606.XG0", "other");
    host.tableName = "TRAN1";
    ASSERT_TRUE(CopyFileOver(dir / "tran_tpl.DB", dir / "TRAN1.DB"));
    host.memo.clear();
    core.Reindex();
    EXPECT_EQ(host.memo, std::vector<std::string>{"Files Reindexed."});
    EXPECT_TRUE(FileExists(dir / "TRAN1.PX"));
    EXPECT_TRUE(FileExists(dir / "TRAN1.XG0"));
    EXPECT_TRUE(FileExists(dir / "TRAN1.XG1"));
    EXPECT_EQ(test::ReadWholeFile(dir / "Tr020606.PX"), "other");
    EXPECT_EQ(test::ReadWholeFile(dir / "Tr020606.XG0"), "other");
    EXPECT_FALSE(core.TransTable().Exclusive());

    // Stale index files of the target are replaced, not trusted.
    test::WriteWholeFile(dir / "TRAN1.XG0", "stale");
    core.Reindex();
    EXPECT_NE(test::ReadWholeFile(dir / "TRAN1.XG0"), "stale");

    // A missing table: the error reaches the caller, nothing is reported
    // as reindexed, and the table object stays exclusive.
    host.tableName = "NOSUCH";
    host.memo.clear();
    EXPECT_THROW(core.Reindex(), Exception);
    EXPECT_TRUE(host.memo.empty());
    EXPECT_TRUE(core.TransTable().Exclusive());
}

}  // namespace
}  // namespace tallon
