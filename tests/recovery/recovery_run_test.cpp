// "Recover from RAW" end to end on real tables: a program directory with its
// template and lookup tables, RAW files in a directory of their own, and the
// working directory (where the log goes) somewhere else again.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "base/clock.h"
#include "base/errors.h"
#include "base/file_names.h"
#include "db/batch.h"
#include "db/engine.h"
#include "log/activity_log.h"
#include "recovery/recovery_core.h"
#include "recovery/rejects_file.h"
#include "recovery/table_files.h"
#include "tests/support/external_db.h"
#include "tests/support/pg_server.h"
#include "tests/support/program_dir.h"
#include "tests/support/temp_dir.h"

namespace tallon {
namespace {

using test::ReadTable;
using test::WriteWholeFile;
using Lines = std::vector<std::string>;

DateTime At(int y, int mo, int d, int h, int mi) {
    return DateTime{EncodeDate(y, mo, d).value + EncodeTime(h, mi, 0, 0).value};
}

// A RAW line of unit 007, 6 June, at 14:mm, for card 123456 unless told.
std::string Line(int minute, const std::string& card = "123456", const std::string& day = "06") {
    std::string mm = std::to_string(minute);
    if (minute < 10) {
        mm.insert(0, 1, '0');
    }
    return "007" + day + "0614" + mm + card + "1 READER-00001";
}

std::string CrLf(const Lines& lines) {
    std::string text;
    for (const auto& l : lines) {
        text += l + "\r\n";
    }
    return text;
}

size_t Count(const Lines& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

size_t CountPrefix(const Lines& lines, const std::string& prefix) {
    return static_cast<size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// The window as the run sees it, recording the line counter and letting a
// test act where pending events are processed.
class RecordingHost : public MemoryHost {
  public:
    std::vector<int> counter;
    std::function<void()> onEvents;
    std::function<void(const std::string&)> onMemo;

    void SetLinesRead(int n) override {
        MemoryHost::SetLinesRead(n);
        counter.push_back(n);
    }
    void ProcessPendingEvents() override {
        if (onEvents) {
            onEvents();
        }
    }
    void AddMemoLine(const std::string& line) override {
        if (onMemo) {
            onMemo(line);
        }
        MemoryHost::AddMemoLine(line);
    }
};

class RecoveryRun : public ::testing::Test {
  protected:
    RecoveryRun() {
        // A template with its primary index: new daily tables need no
        // reindex, which keeps "Files Reindexed." out of the memo.
        test::MakeProgramDirectory(program.path(), {.templatePrimaryIndex = true});
        core.FormCreate({});
        host.memo.clear();
        logStart = test::LogLines(work.path()).size();
    }
    ~RecoveryRun() override { engine.Shutdown(); }

    // What was logged since start-up.
    Lines Log() const {
        const auto all = test::LogLines(work.path());
        return {all.begin() + static_cast<long>(std::min(logStart, all.size())), all.end()};
    }
    // Rows of a table of the program directory, by time.
    std::vector<std::vector<std::string>> Records(const std::string& table,
                                                  const std::string& columns) {
        return ReadTable(ResolveFileName(program / (table + ".DB")),
                         "select " + columns + " from records order by Date, Time");
    }
    std::string Raw(const std::string& name, const std::string& content) {
        WriteWholeFile(raw / name, content);
        return raw / name;
    }
    bool HasTableFiles(const test::TempDir& d, const std::string& table) const {
        return FileExists(d / (table + ".DB"));
    }

    test::TempDir program;
    test::TempDir raw;
    test::TempDir work;
    test::ScopedWorkingDirectory cwd{work.path()};
    ManualClock clock{At(2026, 6, 10, 12, 0)};
    ScopedClock useClock{clock};
    RecordingHost host;
    db::Engine engine;
    RecoveryCore core{engine, host, program.path()};
    size_t logStart = 0;
};

TEST_F(RecoveryRun, AFileThatCannotBeReadStopsTheRunWithItsMessage) {
    // The RAW file box as start-up leaves it: the program directory.
    ASSERT_EQ(host.rawFileName, program.path());
    core.Button1Click();
    const Lines expected = {"Recovering: " + program.path(),
                            "Recovery stopped: File access denied"};
    EXPECT_EQ(host.memo, expected);
    EXPECT_EQ(Log(), expected);
    EXPECT_FALSE(core.Totals().completed);
    EXPECT_TRUE(host.counter.empty());

    host.memo.clear();
    host.rawFileName = raw / "missing.raw";
    core.Button1Click();
    EXPECT_EQ(host.memo,
              (Lines{"Recovering: " + raw / "missing.raw", "Recovery stopped: File not found"}));
}

TEST_F(RecoveryRun, ARawFileThatShrinksWhileReadStopsTheRun) {
    // The long line outgrows the reader's buffer, so the cut is met by a
    // later read, not in data already buffered.
    host.merge = false;
    host.rawFileName = Raw("cut.raw", CrLf({Line(1), std::string(100000, 'x'), Line(2)}));
    host.onEvents = [&] {
        if (host.counter.size() == 1) {
            ASSERT_EQ(::truncate(host.rawFileName.c_str(), 10), 0);
        }
    };
    core.Button1Click();
    const Lines expected = {"Recovering: " + host.rawFileName,
                            "Recovery stopped: RAW file shrank while being read"};
    EXPECT_EQ(host.memo, expected);
    EXPECT_EQ(Log(), expected);
    EXPECT_FALSE(core.Totals().completed);
    EXPECT_EQ(Records("TRAN1", "Time").size(), 1u);
}

TEST_F(RecoveryRun, EmptyFileAndADirectoryWithoutRawFiles) {
    host.rawFileName = Raw("empty.raw", "");
    core.Button1Click();
    const Lines expected = {"Recovering: " + raw / "empty.raw", "Completed - 0 records added."};
    EXPECT_EQ(host.memo, expected);
    EXPECT_EQ(Log(), expected);
    EXPECT_TRUE(core.Totals().completed);

    // Every RAW file of a directory that has none: nothing at all.
    test::TempDir other;
    WriteWholeFile(other / "notes.txt", Line(1) + "\r\n");
    WriteWholeFile(other / "raw", Line(2) + "\r\n");
    host.memo.clear();
    host.allRaw = true;
    host.rawFileName = other / "ALL.RAW";
    core.Button1Click();
    EXPECT_TRUE(host.memo.empty());
    EXPECT_EQ(Log(), expected);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_TRUE(host.counter.empty());
}

TEST_F(RecoveryRun, EveryRawFileOfTheRawDirectoryWhereverTheWorkingDirectoryIs) {
    Raw("ALL.RAW", CrLf({Line(1), Line(2)}));
    Raw("b.Raw", CrLf({Line(3), Line(4, "999999"), Line(5)}));
    Raw("c.txt", CrLf({Line(6)}));
    // A file of the same bare name in the working directory must not be
    // what is read.
    WriteWholeFile(work / "ALL.RAW", CrLf({Line(7, "654321")}));

    // Where the log stands when each memo line arrives: "Recovering: " is
    // logged before it is shown, "Completed - " shown before it is logged.
    Lines orderProblems;
    host.onMemo = [&](const std::string& line) {
        const Lines log = Log();
        const bool logged = !log.empty() && log.back() == line;
        if (line.rfind("Recovering: ", 0) == 0 && !logged) {
            orderProblems.push_back("not yet logged: " + line);
        }
        if (line.rfind("Completed - ", 0) == 0 && logged) {
            orderProblems.push_back("logged before shown: " + line);
        }
    };
    host.allRaw = true;
    host.rawFileName = raw / "ALL.RAW";
    core.Button1Click();
    EXPECT_TRUE(orderProblems.empty()) << orderProblems.front();

    // Bare names, each file with its own summary, in the directory's order.
    const Lines forAll = {"Recovering: ALL.RAW", "Completed - 2 records added."};
    const Lines forB = {"Recovering: b.Raw", "Card: 999999 not found",
                        "Completed - 2 records added.",
                        "1 line not added (1 refused, 0 failed): see " + ActivityLogPath()};
    Lines allFirst = forAll, bFirst = forB;
    allFirst.insert(allFirst.end(), forB.begin(), forB.end());
    bFirst.insert(bFirst.end(), forAll.begin(), forAll.end());
    ASSERT_TRUE(host.memo == allFirst || host.memo == bFirst)
        << ::testing::PrintToString(host.memo);
    const bool allWasFirst = host.memo == allFirst;
    EXPECT_EQ(host.counter,
              allWasFirst ? (std::vector<int>{1, 2, 1, 2, 3}) : (std::vector<int>{1, 2, 3, 1, 2}));
    const Lines log = Log();
    EXPECT_EQ(CountPrefix(log, "Recovering: "), 2u);
    EXPECT_EQ(Count(log, "Completed - 2 records added."), 2u);

    EXPECT_EQ(Records("TR260606", "Time, \"Card No\""),
              (std::vector<std::vector<std::string>>{{"14:01:00", "123456"},
                                                     {"14:02:00", "123456"},
                                                     {"14:03:00", "123456"},
                                                     {"14:05:00", "123456"}}));
    EXPECT_FALSE(HasTableFiles(raw, "TR260606"));
    EXPECT_FALSE(HasTableFiles(work, "TR260606"));
    EXPECT_EQ(core.Totals().perFile.size(), 2u);
    EXPECT_EQ(core.Totals().linesRead, 5);
    EXPECT_EQ(core.Totals().counts.added, 4);
}

TEST_F(RecoveryRun, LineFeedsAloneAndCtrlZ) {
    // Line feeds alone do not end a line: one line, decoded from its start.
    host.rawFileName = Raw("lf.raw", Line(1) + "\n" + Line(2) + "\n" + Line(3) + "\n");
    core.Button1Click();
    EXPECT_EQ(host.counter, (std::vector<int>{1}));
    EXPECT_EQ(host.memo.back(), "Completed - 1 records added.");

    // Ctrl-Z ends the file; what stood before it on its line is the last
    // line read.
    host.counter.clear();
    host.rawFileName =
        Raw("z.raw", Line(10) + "\r\n007\x1a" + Line(11).substr(3) + "\r\n" + Line(12) + "\r\n");
    core.Button1Click();
    EXPECT_EQ(host.counter, (std::vector<int>{1, 2}));
    ASSERT_GE(host.memo.size(), 2u);
    EXPECT_EQ(Lines(host.memo.end() - 2, host.memo.end()),
              (Lines{"Completed - 1 records added.",
                     "1 line not added (0 refused, 1 failed): see " + ActivityLogPath()}));
    EXPECT_EQ(Count(Log(), "'/' is not a valid integer value s=[]"), 1u);

    EXPECT_EQ(Records("TR260606", "Time"),
              (std::vector<std::vector<std::string>>{{"14:01:00"}, {"14:10:00"}}));
}

TEST_F(RecoveryRun, NamedTableResetInTheProgramDirectoryAfterAMergeRun) {
    host.rawFileName = Raw("first.raw", CrLf({Line(1), Line(2)}));
    core.Button1Click();
    ASSERT_EQ(host.tableName, "TR260606");
    ASSERT_EQ(Records("TR260606", "Time").size(), 2u);

    // The daily name is left in the box; a named-table run now empties and
    // fills that table, where the writer keeps it.
    host.merge = false;
    host.rawFileName = Raw("second.raw", CrLf({Line(3, "123456", "07")}));
    core.Button1Click();
    EXPECT_EQ(host.memo.back(), "Completed - 1 records added.");
    EXPECT_EQ(host.tableName, "TR260606");
    EXPECT_EQ(Records("TR260606", "Date, Time"),
              (std::vector<std::vector<std::string>>{{"2026-06-07", "14:03:00"}}));
    EXPECT_FALSE(HasTableFiles(raw, "TR260606"));
    EXPECT_FALSE(HasTableFiles(work, "TR260606"));
}

TEST_F(RecoveryRun, TemplateMissingFromTheProgramDirectory) {
    // The template beside the RAW files does not count.
    for (const auto& entry : std::filesystem::directory_iterator(program.path())) {
        const std::string name = entry.path().filename().string();
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        if (lower.rfind("tran_tpl.", 0) == 0) {
            std::filesystem::rename(entry.path(), raw / name);
        }
    }
    ASSERT_TRUE(FileExists(raw / "tran_tpl.DB"));

    host.merge = false;
    host.rawFileName = Raw("a.raw", CrLf({Line(1)}));
    core.Button1Click();
    EXPECT_EQ(host.messages, (Lines{"You must have Tran_Tpl.* files to proceed."}));
    EXPECT_TRUE(host.memo.empty());
    EXPECT_TRUE(Log().empty());
    EXPECT_TRUE(host.counter.empty());
    EXPECT_FALSE(HasTableFiles(program, "TRAN1"));
    EXPECT_FALSE(HasTableFiles(raw, "TRAN1"));
}

TEST_F(RecoveryRun, ATableReplacedUnderTheBatchFailsItsOwnLinesAndTheOthersAreKept) {
    // Two days interleaved: every batch writes both day tables.
    const Lines lines{Line(1), Line(1, "123456", "07"), Line(2), Line(2, "123456", "07")};
    host.rawFileName = Raw("a.raw", CrLf(lines));
    std::vector<RejectedLine> rejected;
    core.SetRejectSink([&](const RejectedLine& line) { rejected.push_back(line); });
    host.onEvents = [&] {
        if (host.counter.size() == 2) {
            // A person deletes the day table the batch is writing to and
            // puts a copy of the template in its place.
            std::filesystem::remove(program / "TR260606.DB");
            std::filesystem::copy_file(program / "tran_tpl.DB", program / "TR260606.DB");
        }
    };
    core.Button1Click();
    const std::string lost = "Table TR260606 was deleted or replaced";
    ASSERT_FALSE(host.memo.empty());
    EXPECT_EQ(host.memo.back().rfind("Recovery stopped: " + lost, 0), 0u) << host.memo.back();
    EXPECT_EQ(CountPrefix(host.memo, "Completed - "), 0u);
    EXPECT_FALSE(core.Totals().completed);
    // The other day's table committed: its lines are added, and only the
    // replaced table's lines failed, each logged as the writer logs a failure.
    EXPECT_EQ(core.Totals().counts.added, 2);
    EXPECT_EQ(core.Totals().counts.Failed(), 2);
    EXPECT_EQ(Records("TR260607", "Time").size(), 2u);
    EXPECT_TRUE(Records("TR260606", "Time").empty());
    EXPECT_EQ(ReadTable(program / "TR260606.DB", "pragma integrity_check")[0][0], "ok");
    ASSERT_EQ(rejected.size(), 2u);
    for (const RejectedLine& r : rejected) {
        EXPECT_EQ(r.lineNumber % 2, 1) << r.text;
        EXPECT_EQ(r.outcome, LineOutcome::Failed);
        EXPECT_EQ(r.message.rfind(lost, 0), 0u) << r.message;
        const std::string logged = r.message + " s=[" + r.text.substr(3) + "]";
        EXPECT_EQ(Count(Log(), logged), 1u) << logged;
    }

    // The engine carries on: the next run puts the lost records in the new
    // table and finds the others there.
    host.onEvents = nullptr;
    core.Button1Click();
    EXPECT_EQ(core.Totals().counts.added, 2);
    EXPECT_EQ(core.Totals().counts.duplicate, 2);
    EXPECT_EQ(Records("TR260606", "Time").size(), 2u);
}

TEST_F(RecoveryRun, ADamagedTemplateStopsTheRunBeforeItsFirstLine) {
    host.rawFileName = Raw("a.raw", CrLf({Line(1), Line(2)}));
    const std::string good = test::ReadWholeFile(program / "tran_tpl.DB");
    WriteWholeFile(program / "tran_tpl.DB", std::string(4096, '\x5a'));
    core.Button1Click();
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0], "The template tran_tpl.DB cannot be used: file is not a database");
    EXPECT_TRUE(host.counter.empty());
    EXPECT_TRUE(Log().empty());
    EXPECT_FALSE(HasTableFiles(program, "TR260606"));
    // A table made from it (should it be damaged after that check) would
    // not open either: it is not left behind.
    EXPECT_THROW(CreateNewFromTemplate(engine, program.path(), "TR260607"), EDatabaseError);
    EXPECT_FALSE(HasTableFiles(program, "TR260607"));
    EXPECT_FALSE(FileExists(program / "TR260607.XG0"));

    // Put back, the template serves the next run.
    WriteWholeFile(program / "tran_tpl.DB", good);
    core.Button1Click();
    EXPECT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(core.Totals().counts.added, 2);
}

TEST_F(RecoveryRun, ALogThatCannotBeWrittenStopsTheRunWithEveryLineReadCounted) {
    // The second line is refused, but its log line cannot be written: the
    // log became a directory.
    host.rawFileName = Raw("a.raw", CrLf({Line(1), Line(2, "999999"), Line(3)}));
    host.onEvents = [&] {
        if (host.counter.size() == 1) {
            std::filesystem::remove(work / "tallon.log");
            std::filesystem::create_directory(work / "tallon.log");
        }
    };
    core.Button1Click();
    const auto& t = core.Totals();
    EXPECT_FALSE(t.completed);
    EXPECT_EQ(t.linesRead, 2);
    EXPECT_EQ(t.counts.added + t.counts.Refused() + t.counts.Failed(), t.linesRead);
    EXPECT_EQ(t.counts.added, 1);
    EXPECT_EQ(host.memo.back().rfind("Recovery stopped: ", 0), 0u) << host.memo.back();
}

TEST_F(RecoveryRun, ARefusedDuplicateDecidesNothingForTheLinesAfterIt) {
    // The second line is refused as a duplicate and its batch commits right
    // after it; the third line of the same table is added as usual.
    host.rawFileName = Raw("d.raw", CrLf({Line(1), Line(1), Line(2)}));
    host.onEvents = [&] {
        if (host.counter.size() == 1) {
            std::this_thread::sleep_for(db::kBatchAge + std::chrono::milliseconds(20));
        }
    };
    core.Button1Click();
    EXPECT_TRUE(core.Totals().completed) << core.Totals().error;
    EXPECT_EQ(core.Totals().counts.added, 2);
    EXPECT_EQ(Records("TR260606", "Time").size(), 2u);
    EXPECT_EQ(CountPrefix(Log(), "Duplicate record: "), 1u);
    EXPECT_EQ(Count(host.memo, "Completed - 2 records added."), 1u)
        << testing::PrintToString(host.memo);
}

TEST_F(RecoveryRun, StopEndsTheRunAndTheNextRunWorks) {
    Raw("one.raw", CrLf({Line(1), Line(2), Line(3), Line(4)}));
    Raw("two.raw", CrLf({Line(11), Line(12), Line(13), Line(14)}));
    host.allRaw = true;
    host.rawFileName = raw.path();
    host.onEvents = [&] {
        if (host.counter.size() == 2) {
            core.Button5Click();
        }
    };
    core.Button1Click();
    EXPECT_EQ(host.counter, (std::vector<int>{1, 2}));
    EXPECT_EQ(CountPrefix(host.memo, "Recovering: "), 1u);
    EXPECT_EQ(CountPrefix(host.memo, "Completed - "), 0u);
    EXPECT_EQ(CountPrefix(Log(), "Recovering: "), 1u);
    EXPECT_EQ(CountPrefix(Log(), "Completed - "), 0u);
    EXPECT_FALSE(core.Totals().completed);
    // Everything the stopped run counted is on disk when it returns.
    EXPECT_EQ(Records("TR260606", "Time").size(), 2u);
    EXPECT_EQ(core.Totals().counts.added, 2);

    // The next run starts afresh and reads everything (the two lines
    // already written are refused as duplicates).
    host.onEvents = nullptr;
    host.counter.clear();
    host.memo.clear();
    core.Button1Click();
    EXPECT_EQ(host.counter.size(), 8u);
    EXPECT_EQ(CountPrefix(host.memo, "Completed - "), 2u);
    EXPECT_EQ(Count(host.memo, "Completed - 2 records added.") +
                  Count(host.memo, "Completed - 4 records added."),
              2u);
    EXPECT_TRUE(core.Totals().completed);
    EXPECT_EQ(core.Totals().counts.added, 6);
    EXPECT_EQ(Records("TR260606", "Time").size(), 8u);
}

TEST_F(RecoveryRun, PressingRecoverOrReindexDuringARunDoesNothing) {
    host.merge = false;
    host.rawFileName = Raw("a.raw", CrLf({Line(1), Line(2), Line(3)}));
    int pressesWhileRunning = 0;
    host.onEvents = [&] {
        pressesWhileRunning += core.Running() ? 1 : 0;
        core.Button1Click();
        core.Button2Click();
    };
    core.Button1Click();
    EXPECT_EQ(pressesWhileRunning, 3);
    EXPECT_EQ(host.counter, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(host.memo, (Lines{"Recovering: " + raw / "a.raw", "Completed - 3 records added."}));
    EXPECT_EQ(Records("TRAN1", "Time").size(), 3u);
    EXPECT_FALSE(core.Running());
}

// The external modes over a RAW file, on both drivers. No template is needed
// there.
class ExternalRun : public ::testing::TestWithParam<test::ExternalKind> {
  protected:
    void SetUp() override {
        if (GetParam() == test::ExternalKind::Postgres) {
            TALLON_NEED_PG_SERVER(pg);
            ext = test::ExternalDb::Postgres(dir.path(), *pg, "brindle_run");
        } else {
            ext = test::ExternalDb::Sqlite(dir.path());
        }
        ext->Use();
        ext->Exec(
            "insert into rdrmain (logical_point, tag_name, spare3) values "
            "('7', 'Door A', 'READER-00001');"
            "insert into cards (card_number, name, staff_number, user1, user2, user3) values "
            "('123456', 'Ann Smith', 'S100', '', '', ''), "
            "('0000123456', 'Velora Ann', 'V100', '', '', '');");
    }
    void TearDown() override { unsetenv("TALLON_DB_CONF"); }

    test::TempDir dir;
    test::ScopedWorkingDirectory cwd{dir.path()};
    std::unique_ptr<test::ExternalDb> ext;
};

TEST_P(ExternalRun, BothExternalModesOverARawFile) {
    const std::string file = dir / "ext.raw";
    WriteWholeFile(file, CrLf({Line(5), Line(6, "555555"), Line(5), "008060614071234561"}));
    for (const std::string mode : {"/CV", "/VL"}) {
        SCOPED_TRACE(mode);
        const std::string prefix = mode == "/VL" ? "0000" : "";
        MemoryHost host;
        db::Engine engine;
        RecoveryCore core(engine, host, dir.path());
        core.FormCreate({mode});
        host.rawFileName = file;
        core.Button1Click();
        EXPECT_EQ(host.memo,
                  (Lines{"Recovering: " + file, "Card: " + prefix + "555555 not found",
                         "Dup: 007, " + Line(5).substr(3), "Completed - 1 records added.",
                         "3 lines not added (3 refused, 0 failed): see " + ActivityLogPath()}));
        EXPECT_EQ(Count(test::LogLines(dir.path()), "Device for unit: 008 not found: 008,"),
                  mode == "/VL" ? 2u : 1u);
        EXPECT_TRUE(core.Totals().completed);
        EXPECT_EQ(core.Totals().linesRead, 4);
        engine.Shutdown();
    }
    EXPECT_EQ(ext->Rows("select card_no, name, device_name from trans order by card_no"),
              (std::vector<std::vector<std::string>>{{"0000123456", "Velora Ann", "Door A"},
                                                     {"123456", "Ann Smith", "Door A"}}));
}

INSTANTIATE_TEST_SUITE_P(Drivers, ExternalRun,
                         ::testing::Values(test::ExternalKind::Sqlite,
                                           test::ExternalKind::Postgres),
                         [](const auto& info) { return std::string(test::KindName(info.param)); });

TEST_F(RecoveryRun, EveryLineNotAddedIsCountedByCauseAndHandedOnWhole) {
    // Added, refused twice by rule, undecodable, added again after the
    // refusals; then the same file again, where all but the bad line are
    // duplicates.
    const std::string file =
        Raw("mixed.raw", CrLf({Line(1), Line(1), Line(2, "999999"), "007 bad line", Line(3)}));
    host.rawFileName = file;
    std::vector<RejectedLine> rejected;
    core.SetRejectSink([&](const RejectedLine& line) { rejected.push_back(line); });
    core.Button1Click();

    const std::string seeLog = "): see " + ActivityLogPath();
    EXPECT_EQ(host.memo.back(), "3 lines not added (2 refused, 1 failed" + seeLog);
    EXPECT_EQ(Count(host.memo, "Completed - 2 records added."), 1u);
    // The log keeps its own lines only.
    EXPECT_EQ(CountPrefix(Log(), "3 lines not added"), 0u);
    const auto& totals = core.Totals();
    ASSERT_EQ(totals.perFile.size(), 1u);
    const LineCounts& c = totals.perFile[0].counts;
    EXPECT_EQ((std::vector<int64_t>{c.added, c.duplicate, c.unknownCard, c.undecodable, c.failed}),
              (std::vector<int64_t>{2, 1, 1, 1, 0}));
    EXPECT_EQ(totals.perFile[0].linesRead, 5);
    EXPECT_STREQ(totals.perFile[0].outcome, "completed");
    EXPECT_EQ(totals.counts.Failed(), 1);
    EXPECT_NE(totals.firstFailure.find("s=[ bad line]"), std::string::npos) << totals.firstFailure;

    ASSERT_EQ(rejected.size(), 3u);
    EXPECT_EQ(rejected[0].lineNumber, 2);
    EXPECT_EQ(rejected[0].outcome, LineOutcome::Duplicate);
    EXPECT_EQ(rejected[0].text, Line(1));
    EXPECT_EQ(rejected[1].outcome, LineOutcome::UnknownCard);
    EXPECT_EQ(rejected[1].message, "Card: 999999 not found");
    EXPECT_EQ(rejected[2].lineNumber, 4);
    EXPECT_EQ(rejected[2].outcome, LineOutcome::Undecodable);
    EXPECT_EQ(rejected[2].rawFile, file);
    EXPECT_EQ(rejected[2].text, "007 bad line");

    // Nothing added: the counts are still per file and the line says so.
    rejected.clear();
    host.memo.clear();
    core.Button1Click();
    EXPECT_EQ(host.memo.back(), "5 lines not added (4 refused, 1 failed" + seeLog);
    EXPECT_EQ(core.Totals().counts.duplicate, 3);
    EXPECT_EQ(rejected.size(), 5u);
}

TEST(RejectsFile, AppendsARawFileAndItsCsvAcrossRuns) {
    test::TempDir dir;
    const std::string path = dir / "rejects.raw";
    {
        RejectsFile rejects(path);
        rejects.Add({"a.raw", 3, LineOutcome::UnknownReader, "Device for unit: 9, x", "009 one"});
    }
    {
        RejectsFile rejects(path);
        rejects.Add({"b \"new\".raw", 7, LineOutcome::Failed, "CV.Insert no", "007 two"});
    }
    EXPECT_EQ(test::ReadWholeFile(path), "009 one\r\n007 two\r\n");
    EXPECT_EQ(test::ReadWholeFile(path + ".csv"),
              "raw_file,line,cause,message\r\n"
              "a.raw,3,unknown-reader,\"Device for unit: 9, x\"\r\n"
              "\"b \"\"new\"\".raw\",7,failed,CV.Insert no\r\n");
    EXPECT_THROW(RejectsFile(dir / "missing/rejects.raw"), EInOutError);
}

}  // namespace
}  // namespace tallon
