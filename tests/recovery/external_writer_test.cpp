// The external writer on real external databases: an SQLite alias file and a
// throwaway PostgreSQL server, both made from the shipped schema scripts
// (whose trans table is keyed on the record id).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "base/clock.h"
#include "db/alias/config.h"
#include "db/engine.h"
#include "log/activity_log.h"
#include "recovery/recovery_core.h"
#include "tests/support/external_db.h"
#include "tests/support/pg_server.h"
#include "tests/support/program_dir.h"
#include "tests/support/temp_dir.h"

namespace tallon {
namespace {

using test::ExternalKind;
using Rows = std::vector<std::vector<std::string>>;

DateTime At(int y, int mo, int d, int h, int mi, int s, int ms) {
    return DateTime{EncodeDate(y, mo, d).value + EncodeTime(h, mi, s, ms).value};
}

std::string TwoDigits(int n) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d", n);
    return buf;
}

// The k-th record id issued while the clock stands on 10 June 2026 at
// 12:34:56.789: the clock gives ...5689, later ones count up from there.
std::string StandingId(int k) {
    const int hundredths = 89 + k;
    const int second = 56 + hundredths / 100;
    return "2606101234" + TwoDigits(second) + TwoDigits(hundredths % 100);
}

// A RAW line: unit, 6 June at hh:mm, card, transaction code, then the rest.
std::string Line(const std::string& unit, int hour, int minute, const std::string& card = "123456",
                 const std::string& code = "1", const std::string& rest = " READER-00001") {
    return unit + "0606" + TwoDigits(hour) + TwoDigits(minute) + card + code + rest;
}

// Readers and card holders of the external system. Unit 7 has its reader
// "READER-00001..." at point '7' and a reader without identification at
// '07'; unit 17 the reverse at '17' (empty identification) and '017'; unit
// 8 only a reader whose identification begins with twelve blanks; unit 5
// only point '005', which no unit number's point list holds; unit 9 a
// reader identification with a quote in it.
void Seed(const test::ExternalDb& ext) {
    ext.Exec(
        "insert into rdrmain (logical_point, tag_name, spare3) values "
        "('7', 'Door A', 'READER-00001 annex'), ('07', 'Door B', NULL), "
        "('0007', 'Not seven', NULL), ('17', 'Door C', ''), ('017', 'Door D', 'READER-00017'), "
        "('8', 'Door blanks', '            annex'), ('005', 'Not five', NULL), "
        "('9', 'Door quote', 'O''BRIEN-0001');"
        "insert into cards (card_number, name, staff_number, user1, user2, user3) values "
        "('123456', '  Ann Smith  ', 'S100', 'U1a', 'U2a', 'U3a'), "
        "('0000123456', 'Velora Ann', 'V100', 'VU1', 'VU2', 'VU3'), "
        "('12''456', 'Quote Card', 'S300', 'q1', 'q2', 'q3');");
}

// A program directory with the working directory moved there (the log lands
// there), a clock standing still, an external database seeded as above and
// the core started in the first external mode.
class ExternalWriterBase {
  protected:
    void Start(std::unique_ptr<test::ExternalDb> db, const std::string& modeArgument = "/CV") {
        ext = std::move(db);
        ext->Use();
        Seed(*ext);
        core.FormCreate({modeArgument});
        logStart = LogLines().size();
    }
    void Stop() {
        engine.Shutdown();
        engine.SetLoginPrompt(nullptr);
        unsetenv("TALLON_DB_CONF");
    }

    std::vector<std::string> LogLines() const { return test::LogLines(dir.path()); }
    // What the writer logged since start-up.
    std::vector<std::string> NewLogLines() const {
        const auto all = LogLines();
        return {all.begin() + static_cast<long>(std::min(logStart, all.size())), all.end()};
    }
    bool Insert(RunMode mode, const std::string& line) {
        return core.MakeExternalWriter(nullptr, {allowUnknown})
                   .CV_InsertThisOne(mode, line.substr(0, 3), host.fallbackDevice,
                                     line.size() > 3 ? line.substr(3) : "")
                   .outcome == LineOutcome::Added;
    }

    test::TempDir dir;
    test::ScopedWorkingDirectory cwd{dir.path()};
    ManualClock clock{At(2026, 6, 10, 12, 34, 56, 789)};
    ScopedClock useClock{clock};
    MemoryHost host;
    db::Engine engine;
    RecoveryCore core{engine, host, dir.path()};
    bool allowUnknown = false;  // "AllowUnknown" as the writer is given it
    std::unique_ptr<test::ExternalDb> ext;
    size_t logStart = 0;
};

class ExternalWriter : public ExternalWriterBase, public ::testing::TestWithParam<ExternalKind> {
  protected:
    void SetUp() override {
        Stop();
        if (GetParam() == ExternalKind::Postgres) {
            TALLON_NEED_PG_SERVER(pg);
            Start(test::ExternalDb::Postgres(dir.path(), *pg, "brindle_writer"));
        } else {
            Start(test::ExternalDb::Sqlite(dir.path()));
        }
    }
    void TearDown() override { Stop(); }
};

TEST_P(ExternalWriter, ReaderFoundByUnitNumberAndReaderIdentification) {
    // Unit 007 (also written "  7") looks at points '7' and '07', unit 17 at
    // '17' and '017'; a reader identification picks the reader whose spare3
    // begins with it, and a line too short to carry one only matches a
    // reader with an empty or missing spare3.
    EXPECT_TRUE(Insert(RunMode::Corvane, Line("007", 14, 1)));
    EXPECT_TRUE(Insert(RunMode::Corvane, Line("  7", 14, 2, "123456", "1", "")));
    EXPECT_TRUE(Insert(RunMode::Corvane, Line("017", 14, 3, "123456", "1", " READER-00017")));
    EXPECT_TRUE(Insert(RunMode::Corvane, Line(" 17", 14, 4, "123456", "1", " ")));
    // Twelve blanks are an identification too: they are not trimmed away.
    EXPECT_TRUE(Insert(RunMode::Corvane, Line("008", 14, 5, "123456", "1", std::string(13, ' '))));

    EXPECT_FALSE(Insert(RunMode::Corvane, Line("008", 14, 6, "123456", "1", "")));
    EXPECT_FALSE(Insert(RunMode::Corvane, Line("  7", 14, 7, "123456", "1", " READER-00099")));
    EXPECT_FALSE(Insert(RunMode::Corvane, Line("  5", 14, 8, "123456", "1", "")));

    const Rows rows = ext->Rows("select time, device_name from trans order by time");
    EXPECT_EQ(rows, (Rows{{"140100", "Door A"},
                          {"140200", "Door B"},
                          {"140300", "Door D"},
                          {"140400", "Door C"},
                          {"140500", "Door blanks"}}));
    // A missing reader is the log's business only; the line names the unit
    // code as read, trimmed.
    EXPECT_TRUE(host.memo.empty());
    EXPECT_EQ(NewLogLines(),
              (std::vector<std::string>{"Device for unit: 008 not found: 008,",
                                        "Device for unit: 7 not found: 7,READER-00099",
                                        "Device for unit: 5 not found: 5,"}));
}

TEST_P(ExternalWriter, CardNumbersHoldersAndTheRowWritten) {
    EXPECT_TRUE(Insert(RunMode::Corvane, Line("007", 14, 5)));
    // The second system keeps ten-digit card numbers: the same event is a
    // different row there, not a duplicate.
    EXPECT_TRUE(Insert(RunMode::Velora, Line("007", 14, 5)));
    // A blank card is no card in the first system...
    EXPECT_TRUE(Insert(RunMode::Corvane, Line("007", 14, 6, "      ", "2")));
    // ...but "0000" and blanks in the second, looked up like any other.
    EXPECT_FALSE(Insert(RunMode::Velora, Line("007", 14, 6, "      ", "2")));
    EXPECT_FALSE(Insert(RunMode::Corvane, Line("007", 14, 7, "555555")));
    EXPECT_FALSE(Insert(RunMode::Velora, Line("007", 14, 7, "555555")));
    EXPECT_EQ(host.memo,
              (std::vector<std::string>{"Card: 0000       not found", "Card: 555555 not found",
                                        "Card: 0000555555 not found"}));
    EXPECT_EQ(NewLogLines(), host.memo);

    allowUnknown = true;
    EXPECT_TRUE(Insert(RunMode::Corvane, Line("007", 14, 7, "555555")));
    EXPECT_TRUE(Insert(RunMode::Velora, Line("007", 14, 7, "555555")));
    EXPECT_TRUE(Insert(RunMode::Velora, Line("007", 14, 8, "      ", "3")));

    // All fifteen values in the order of the table's columns, the record ids
    // counting up while the clock stands still.
    const Rows expected = {
        {StandingId(0), "140500", "123456", "20260606", "Door A", ".", "Ann Smith", "S100", "U1a",
         "U2a", "U3a", "", "1", "", "0"},
        {StandingId(1), "140500", "0000123456", "20260606", "Door A", ".", "Velora Ann", "V100",
         "VU1", "VU2", "VU3", "", "1", "", "0"},
        {StandingId(2), "140600", "      ", "20260606", "Door A", ".", "", "", "", "", "", "", "2",
         "", "0"},
        {StandingId(3), "140700", "555555", "20260606", "Door A", ".", "Unknown", "STF555555",
         "Dept1", "Post1", "", "", "1", "", "0"},
        {StandingId(4), "140700", "0000555555", "20260606", "Door A", ".", "Unknown",
         "STF0000555555", "Dept1", "Post1", "", "", "1", "", "0"},
        {StandingId(5), "140800", "0000      ", "20260606", "Door A", ".", "Unknown",
         "STF0000      ", "Dept1", "Post1", "", "", "3", "", "0"},
    };
    EXPECT_EQ(ext->TransRows(), expected);
    EXPECT_EQ(host.memo.size(), 3u);
}

TEST_P(ExternalWriter, DuplicatesRefusedAndQuotesComparedExactly) {
    EXPECT_TRUE(Insert(RunMode::Corvane, Line("007", 14, 5)));
    // Another spelling of the same unit finds the same reader: a duplicate,
    // reported with the unit code as it was read.
    EXPECT_FALSE(Insert(RunMode::Corvane, Line(" 07", 14, 5)));
    // A different transaction code is a different event.
    EXPECT_TRUE(Insert(RunMode::Corvane, Line("007", 14, 5, "123456", "2")));

    // Quotes in a reader identification or a card field are data.
    EXPECT_TRUE(Insert(RunMode::Corvane, Line("009", 14, 6, "123456", "1", " O'BRIEN-0001")));
    EXPECT_TRUE(Insert(RunMode::Corvane, Line("007", 14, 7, "12'456")));
    EXPECT_FALSE(Insert(RunMode::Corvane, Line("009", 14, 6, "123456", "1", " O'BRIEN-0001")));
    EXPECT_FALSE(Insert(RunMode::Corvane, Line("007", 14, 7, "12'456")));
    // Twelve characters that would widen the reader lookup to every reader
    // if pasted into the statement.
    EXPECT_FALSE(Insert(RunMode::Corvane, Line("009", 14, 8, "123456", "1", " x' or '1'='1")));

    EXPECT_EQ(host.memo, (std::vector<std::string>{"Dup:  07, 060614051234561 READER-00001",
                                                   "Dup: 009, 060614061234561 O'BRIEN-0001",
                                                   "Dup: 007, 0606140712'4561 READER-00001"}));
    auto expectedLog = host.memo;
    expectedLog.push_back("Device for unit: 009 not found: 009,x' or '1'='1");
    EXPECT_EQ(NewLogLines(), expectedLog);

    EXPECT_EQ(ext->Rows("select time, device_name, card_no, name, trans_code from trans "
                        "order by time, trans_code"),
              (Rows{{"140500", "Door A", "123456", "Ann Smith", "1"},
                    {"140500", "Door A", "123456", "Ann Smith", "2"},
                    {"140600", "Door quote", "123456", "Ann Smith", "1"},
                    {"140700", "Door A", "12'456", "Quote Card", "1"}}));
    EXPECT_EQ(ext->Rows("select count(*) from rdrmain"), (Rows{{"8"}}));
}

TEST_P(ExternalWriter, FailuresAreLoggedAsCVInsertLinesAndTheWriterGoesOn) {
    EXPECT_FALSE(Insert(RunMode::Corvane, "AB1060614051234561 READER-00001"));
    EXPECT_FALSE(Insert(RunMode::Corvane, "007320614051234561 READER-00001"));
    EXPECT_FALSE(Insert(RunMode::Velora, "007060625051234561"));
    EXPECT_FALSE(Insert(RunMode::Corvane, "007"));
    EXPECT_EQ(NewLogLines(),
              (std::vector<std::string>{
                  "CV.Insert'AB1' is not a valid integer value s=[060614051234561 READER-00001]",
                  "CV.InsertInvalid argument to date encode s=[320614051234561 READER-00001]",
                  "CV.InsertInvalid argument to time encode s=[060625051234561]",
                  "CV.Insert'/' is not a valid integer value s=[]"}));

    // An error of the database itself takes the same road.
    ext->Exec("drop table trans");
    EXPECT_FALSE(Insert(RunMode::Corvane, Line("007", 14, 5)));
    const auto log = NewLogLines();
    ASSERT_EQ(log.size(), 5u);
    const std::string& dbError = log.back();
    EXPECT_EQ(dbError.rfind("CV.Insert", 0), 0u) << dbError;
    EXPECT_GT(dbError.size(), std::string("CV.Insert s=[]").size());
    EXPECT_NE(dbError[9], ' ') << dbError;
    const std::string tail = " s=[" + Line("007", 14, 5).substr(3) + "]";
    EXPECT_EQ(dbError.substr(dbError.size() - tail.size()), tail) << dbError;
    EXPECT_TRUE(host.memo.empty());
}

TEST_P(ExternalWriter, ACardWithANulByteFailsItsLineWhole) {
    // Cut at the NUL it would be card 12 (Ann Smith's card is 123456, so the
    // lookup must not find her either way) and a later 12\0xyz its duplicate.
    const std::string withNul =
        std::string("00706061405", 11) + std::string("12\0abc", 6) + "1 READER-00001";
    EXPECT_FALSE(Insert(RunMode::Corvane, withNul));
    EXPECT_EQ(NewLogLines(),
              (std::vector<std::string>{"CV.InsertField card_no holds a NUL byte, which the "
                                        "database cannot store s=[" +
                                        withNul.substr(3) + "]"}));
    EXPECT_TRUE(ext->TransRows().empty());
}

TEST_P(ExternalWriter, RecordIdsNeverRepeatWhileTheClockStandsStill) {
    // The table is keyed on the record id: a repeated id would lose the row.
    const int count = 120;
    for (int k = 0; k < count; ++k) {
        ASSERT_TRUE(Insert(RunMode::Corvane, Line("007", k / 60, k % 60))) << k;
    }
    const Rows rows = ext->Rows("select trans_id, time from trans order by trans_id");
    ASSERT_EQ(rows.size(), static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) {
        EXPECT_EQ(rows[k][0], StandingId(k)) << k;
        EXPECT_EQ(rows[k][1], TwoDigits(k / 60) + TwoDigits(k % 60) + "00") << k;
    }
    EXPECT_EQ(StandingId(count - 1), "26061012345808");

    // A clock that has moved on is followed again; one that went back is not.
    clock.Set(At(2026, 6, 10, 12, 35, 1, 789));
    EXPECT_TRUE(Insert(RunMode::Corvane, Line("007", 3, 0)));
    clock.Set(At(2026, 6, 10, 11, 0, 0, 0));
    EXPECT_TRUE(Insert(RunMode::Corvane, Line("007", 3, 1)));
    EXPECT_EQ(ext->Rows("select trans_id from trans where time in ('030000', '030100') "
                        "order by time"),
              (Rows{{"26061012350189"}, {"26061012350190"}}));
    EXPECT_TRUE(NewLogLines().empty());
}

TEST_P(ExternalWriter, ARecordIdTakenElsewhereIsRetriedAFewTimesWithTheNext) {
    auto take = [&](int k) {
        ext->Exec("insert into trans (trans_id, card_no) values ('" + StandingId(k) +
                  "', 'elsewhere')");
    };
    auto idAt = [&](const std::string& time) {
        return ext->Rows("select trans_id from trans where card_no = '123456' and time = '" + time +
                         "'");
    };
    take(0);
    EXPECT_TRUE(Insert(RunMode::Corvane, Line("007", 1, 0)));
    EXPECT_EQ(idAt("010000"), (Rows{{StandingId(1)}}));
    EXPECT_TRUE(NewLogLines().empty());

    // Five taken in a row: the line fails with the driver's message.
    for (int k = 2; k <= 6; ++k) {
        take(k);
    }
    const std::string refused = Line("007", 1, 1);
    EXPECT_FALSE(Insert(RunMode::Corvane, refused));
    EXPECT_TRUE(idAt("010100").empty());
    const auto log = NewLogLines();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("CV.Insert", 0), 0u) << log[0];
    EXPECT_TRUE(log[0].ends_with(" s=[" + refused.substr(3) + "]")) << log[0];

    EXPECT_TRUE(Insert(RunMode::Corvane, Line("007", 1, 2)));
    EXPECT_EQ(idAt("010200"), (Rows{{StandingId(7)}}));
}

INSTANTIATE_TEST_SUITE_P(Drivers, ExternalWriter,
                         ::testing::Values(ExternalKind::Sqlite, ExternalKind::Postgres),
                         [](const auto& info) { return std::string(test::KindName(info.param)); });

// The "Database Login" path: an alias without a password on a server that
// asks for one, and an operator who cancels the prompt.
class ExternalLogin : public ExternalWriterBase, public ::testing::Test {
  protected:
    void TearDown() override { Stop(); }
};

TEST_F(ExternalLogin, CancelledLoginFailsEveryLineAndTheRunGoesOn) {
    Stop();
    TALLON_NEED_PG_SERVER(pg);
    std::vector<std::string> asked;
    engine.SetLoginPrompt([&asked](const std::string& alias, std::string&, std::string&) {
        asked.push_back(alias);
        return false;
    });
    Start(test::ExternalDb::Postgres(dir.path(), *pg, "brindle_login_run", false));
    const std::string raw = dir / "login.raw";
    const std::vector<std::string> lines = {Line("007", 9, 1), Line("007", 9, 2),
                                            Line("007", 9, 3)};
    test::WriteWholeFile(raw, lines[0] + "\r\n" + lines[1] + "\r\n" + lines[2] + "\r\n");
    host.rawFileName = raw;
    core.Button1Click();

    EXPECT_EQ(asked, std::vector<std::string>{"Brindle"});
    std::vector<std::string> expected = {"Recovering: " + raw};
    for (const auto& line : lines) {
        expected.push_back("CV.InsertCannot connect to database 'Brindle' s=[" + line.substr(3) +
                           "]");
    }
    expected.push_back("Completed - 0 records added.");
    EXPECT_EQ(NewLogLines(), expected);
    EXPECT_EQ(host.memo, (std::vector<std::string>{
                             "Recovering: " + raw, "Completed - 0 records added.",
                             "3 lines not added (0 refused, 3 failed): see " + ActivityLogPath()}));
    EXPECT_TRUE(ext->TransRows().empty());
}

}  // namespace
}  // namespace tallon
