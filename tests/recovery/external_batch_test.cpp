// The external writer over whole runs, where the run's batch holds the
// external database's transaction: lookups remembered for one run only, a
// failing insert that undoes only its own line, STOP, a session cut in the
// middle of a batch and a server that stops.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

#include "base/errors.h"
#include "db/batch.h"
#include "db/engine.h"
#include "recovery/recovery_core.h"
#include "tests/support/external_db.h"
#include "tests/support/pg_server.h"
#include "tests/support/program_dir.h"
#include "tests/support/temp_dir.h"

namespace tallon {
namespace {

using test::ExternalKind;
using Lines = std::vector<std::string>;

// A RAW line of unit 007 on 6 June, `k` minutes after midnight.
std::string Line(int k, const std::string& card = "123456", const std::string& unit = "007") {
    char text[64];
    std::snprintf(text, sizeof text, "%s0606%02d%02d%s1 READER-00001", unit.c_str(), k / 60 % 24,
                  k % 60, card.c_str());
    return text;
}

class EventsHost : public MemoryHost {
  public:
    std::function<void()> onEvents;
    std::string failOnMemo;  // a memo line that cannot be shown
    void AddMemoLine(const std::string& line) override {
        if (!failOnMemo.empty() && line.rfind(failOnMemo, 0) == 0) {
            throw EInOutError(5);
        }
        MemoryHost::AddMemoLine(line);
    }
    void ProcessPendingEvents() override {
        if (onEvents) {
            onEvents();
        }
    }
};

class ExternalBatchRun : public ::testing::Test {
  protected:
    void TearDown() override {
        engine.Shutdown();
        unsetenv("TALLON_DB_CONF");
    }

    void Open(std::unique_ptr<test::ExternalDb> db) {
        ext = std::move(db);
        ext->Use();
        ext->Exec(
            "insert into rdrmain (logical_point, tag_name, spare3) values "
            "('7', 'Door A', 'READER-00001');"
            "insert into cards (card_number, name, staff_number, user1, user2, user3) values "
            "('123456', 'Ann Smith', 'S100', '', '', ''), "
            "('222222', 'Refused Holder', 'S200', '', '', '');");
        core.FormCreate({"/CV"});
        engine.SetReconnectWaitMs(400);
    }

    // Runs over `lines` (CRLF); returns what the run logged.
    Lines Run(const Lines& lines) {
        std::string text;
        for (const std::string& l : lines) {
            text += l + "\r\n";
        }
        const std::string raw = dir / "run.raw";
        test::WriteWholeFile(raw, text);
        host.rawFileName = raw;
        const size_t before = test::LogLines(dir.path()).size();
        core.Button1Click();
        const Lines all = test::LogLines(dir.path());
        return {all.begin() + static_cast<long>(before), all.end()};
    }

    int64_t Stored() const { return std::stoll(ext->Rows("select count(*) from trans")[0][0]); }

    static Lines Numbered(int count) {
        Lines lines;
        for (int k = 0; k < count; ++k) {
            lines.push_back(Line(k));
        }
        return lines;
    }

    test::TempDir dir;
    test::ScopedWorkingDirectory cwd{dir.path()};
    EventsHost host;
    db::Engine engine;
    RecoveryCore core{engine, host, dir.path()};
    std::unique_ptr<test::ExternalDb> ext;
};

class ExternalBatchDrivers : public ExternalBatchRun,
                             public ::testing::WithParamInterface<ExternalKind> {
  protected:
    void SetUp() override {
        if (GetParam() == ExternalKind::Postgres) {
            TALLON_NEED_PG_SERVER(pg);
            Open(test::ExternalDb::Postgres(dir.path(), *pg, "brindle_batch"));
            ext->Exec("alter table trans add constraint refused check (name <> 'Refused Holder')");
        } else {
            Open(test::ExternalDb::Sqlite(dir.path()));
            ext->Exec(
                "create trigger refused before insert on trans when new.name = 'Refused Holder' "
                "begin select raise(abort, 'refused'); end");
        }
    }
};

TEST_P(ExternalBatchDrivers, OneBatchRefusesDuplicatesFailsLinesAloneAndLookupsLastOneRun) {
    // In one batch: a repeated line, a card and a reader the tables do not
    // hold (each twice: the second answer comes from the run's memory), and
    // an insert the database refuses between two that it keeps.
    const std::string unknownReader = Line(5, "123456", "008");
    const Lines lines{Line(1),       Line(1),       Line(2, "555555"), Line(3, "555555"),
                      unknownReader, unknownReader, Line(4, "222222"), Line(6)};
    const Lines log = Run(lines);
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[1], "Dup: 007, " + lines[1].substr(3));
    EXPECT_EQ(log[2], "Card: 555555 not found");
    EXPECT_EQ(log[3], "Card: 555555 not found");
    EXPECT_EQ(log[4], "Device for unit: 008 not found: 008,READER-00001");
    EXPECT_EQ(log[5], log[4]);
    EXPECT_EQ(log[6].rfind("CV.Insert", 0), 0u) << log[6];
    EXPECT_TRUE(log[6].ends_with(" s=[" + lines[6].substr(3) + "]")) << log[6];
    EXPECT_EQ(log[7], "Completed - 2 records added.");
    EXPECT_EQ(core.Totals().counts.added, 2);
    EXPECT_EQ(ext->Rows("select time from trans order by time"),
              (std::vector<Lines>{{"000100"}, {"000600"}}));

    // The next run asks again: what was added to the tables since is found.
    ext->Exec(
        "insert into rdrmain (logical_point, tag_name, spare3) values ('8', 'Door H', "
        "'READER-00001');"
        "insert into cards (card_number, name, staff_number, user1, user2, user3) values "
        "('555555', 'Late Card', 'S555', '', '', '')");
    EXPECT_EQ(Run({Line(2, "555555"), unknownReader, Line(1)}).back(),
              "Completed - 2 records added.");
    EXPECT_EQ(Stored(), 4);
}

TEST_P(ExternalBatchDrivers, StopKeepsEveryLineItCounted) {
    // On PostgreSQL the lines read are still on their way when STOP comes:
    // they are written and counted before the run stops.
    int seen = 0;
    host.onEvents = [&] {
        if (++seen == 37) {
            core.Button5Click();
        }
    };
    const Lines log = Run(Numbered(100));
    EXPECT_FALSE(core.Totals().completed);
    EXPECT_EQ(core.Totals().linesRead, 37);
    EXPECT_EQ(core.Totals().counts.added, 37);
    EXPECT_EQ(Stored(), 37);
    EXPECT_EQ(log.size(), 1u);  // "Recovering: ", no completion
}

TEST_P(ExternalBatchDrivers, RepeatsFarApartAreFoundWhereverTheLinesTravelTogether) {
    // Lines travel to a server several at a time; a repeat of a line read
    // shortly before must still find it, and a repeat of a line committed
    // in an earlier batch too.
    // An insert the database refuses, amid others travelling with it,
    // fails alone.
    Lines lines = Numbered(90);
    lines.insert(lines.begin() + 40, Line(3));
    lines.insert(lines.begin() + 70, Line(39));
    lines.insert(lines.begin() + 60, Line(45, "222222"));
    lines.push_back(Line(80));
    const Lines log = Run(lines);
    ASSERT_EQ(log.size(), 6u) << testing::PrintToString(log);
    EXPECT_EQ(log[1], "Dup: 007, " + Line(3).substr(3));
    EXPECT_EQ(log[2].rfind("CV.Insert", 0), 0u) << log[2];
    EXPECT_TRUE(log[2].ends_with(" s=[" + Line(45, "222222").substr(3) + "]")) << log[2];
    EXPECT_EQ(log[3], "Dup: 007, " + Line(39).substr(3));
    EXPECT_EQ(log[4], "Dup: 007, " + Line(80).substr(3));
    EXPECT_EQ(log[5], "Completed - 90 records added.");
    EXPECT_EQ(Stored(), 90);
    EXPECT_EQ(Run(Numbered(90)).back(), "Completed - 0 records added.");
    EXPECT_EQ(core.Totals().counts.duplicate, 90);
    EXPECT_EQ(ext->Rows("select count(*) from trans where name = 'Refused Holder'")[0][0], "0");
}

TEST_P(ExternalBatchDrivers, AReportThatFailsEndsTheRunWithEveryLineReadAccounted) {
    // Reports come when a group of lines is written: the one that fails
    // and those travelling with it are still accounted.
    host.failOnMemo = "Card: 555555";
    Run({Line(1), Line(2), Line(3, "555555"), Line(4), Line(5), Line(5), Line(6)});
    const auto& t = core.Totals();
    EXPECT_FALSE(t.completed);
    EXPECT_EQ(t.counts.added + t.counts.NotAdded(), t.linesRead);
    EXPECT_EQ(t.counts.added, Stored());
}

INSTANTIATE_TEST_SUITE_P(Drivers, ExternalBatchDrivers,
                         ::testing::Values(ExternalKind::Sqlite, ExternalKind::Postgres),
                         [](const auto& info) { return std::string(test::KindName(info.param)); });

TEST_F(ExternalBatchRun, ASessionCutMidBatchLosesNoLineAndWritesNoneTwice) {
    TALLON_NEED_PG_SERVER(pg);
    Open(test::ExternalDb::Postgres(dir.path(), *pg, "brindle_cut"));
    int seen = 0;
    host.onEvents = [&] {
        if (++seen % 40 == 0) {
            pg->TerminateSessions("brindle_cut");
        }
    };
    const Lines log = Run(Numbered(150));
    EXPECT_TRUE(core.Totals().completed) << core.Totals().error;
    EXPECT_EQ(core.Totals().counts.added, 150);
    EXPECT_EQ(Stored(), 150);
    EXPECT_EQ(log, (Lines{"Recovering: " + (dir / "run.raw"), "Completed - 150 records added."}));
}

TEST_F(ExternalBatchRun, ACheckTheServerRefusesAmidAPipeFailsItsLineAlone) {
    TALLON_NEED_PG_SERVER(pg);
    Open(test::ExternalDb::Postgres(dir.path(), *pg, "brindle_badcheck"));
    // Card numbers kept as numbers: the check of a card that is not one
    // fails on the server, between checks that pass.
    ext->Exec(
        "drop index trans_event; alter table trans alter column card_no type bigint using "
        "card_no::bigint");
    test::WriteWholeFile(dir / "tallon.ini", "[Options]\r\nAllowUnknown=1\r\n");
    core.FormCreate({"/CV"});
    const std::string bad = Line(3, "12A456");
    const Lines log = Run({Line(1), Line(2), bad, Line(4), Line(5), Line(1)});
    ASSERT_EQ(log.size(), 4u) << testing::PrintToString(log);
    EXPECT_EQ(log[1].rfind("CV.Insert", 0), 0u) << log[1];
    EXPECT_TRUE(log[1].ends_with(" s=[" + bad.substr(3) + "]")) << log[1];
    EXPECT_EQ(log[2], "Dup: 007, " + Line(1).substr(3));
    EXPECT_EQ(log[3], "Completed - 4 records added.");
    EXPECT_EQ(Stored(), 4);
}

TEST_F(ExternalBatchRun, AServerThatStopsEndsTheRunAndARerunAddsExactlyTheRest) {
    std::unique_ptr<test::PgServer> own;
    try {
        own = std::make_unique<test::PgServer>();
    } catch (const std::exception& e) {
        if (test::RunningUnderCi()) {
            FAIL() << "PostgreSQL server needed under CI: " << e.what();
        }
        GTEST_SKIP() << "PostgreSQL server not available: " << e.what();
    }
    Open(test::ExternalDb::Postgres(dir.path(), *own, "brindle_stop"));
    // Lines go to the server several at a time: the server stops with some
    // lines committed, some written and not committed, and some read and
    // not yet sent.
    int seen = 0;
    host.onEvents = [&] {
        ++seen;
        if (seen == 70) {
            std::this_thread::sleep_for(db::kBatchAge);  // what was written is committed
        } else if (seen == 100) {
            own->StopImmediately();
        }
    };
    const Lines lines = Numbered(300);
    const Lines log = Run(lines);
    const int64_t added = core.Totals().counts.added;
    const int64_t read = core.Totals().linesRead;
    EXPECT_FALSE(core.Totals().completed);
    EXPECT_EQ(host.memo.back().rfind("Recovery stopped: ", 0), 0u) << host.memo.back();
    // The run ended soon after the server went, not line after line.
    EXPECT_GT(read, 100);
    EXPECT_LT(read, 200);
    EXPECT_GE(added, 20);
    EXPECT_LT(added, 100);
    // Every line read is either counted or logged as failed.
    int failed = 0;
    for (const std::string& l : log) {
        failed += l.rfind("CV.Insert", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(added + failed, read);

    own->Resume();
    EXPECT_EQ(Stored(), added);
    host.onEvents = nullptr;
    Run(lines);
    EXPECT_TRUE(core.Totals().completed) << core.Totals().error;
    EXPECT_EQ(core.Totals().counts.added, 300 - added);
    EXPECT_EQ(Stored(), 300);
}

}  // namespace
}  // namespace tallon
