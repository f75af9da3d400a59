// Faults a site meets: a run killed at any moment (into local tables or an
// external database), two runs at once on one program directory, a full
// disk, a journal left by a killed writer. After each, every line is
// accounted for, nothing is lost or doubled, every table is sound, and what
// the run said was true.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/file_names.h"
#include "tests/support/child_process.h"
#include "tests/support/external_db.h"
#include "tests/support/pg_server.h"
#include "tests/support/program_dir.h"
#include "tests/support/temp_dir.h"

namespace tallon {
namespace {

using test::Child;
using test::ReadTable;
using test::TempDir;
using test::WriteWholeFile;

// Event `i` of day `d` from the first of June on (day 31 is the first of
// July): known cards, minutes and codes varied.
std::string RawLine(int d, int i) {
    const char* cards[] = {"123456", "654321"};
    char line[64];
    std::snprintf(line, sizeof line, "007%02d%02d%02d%02d%s%d READER-00001\r\n", (d - 1) % 30 + 1,
                  6 + (d - 1) / 30, i / 60 % 24, i % 60, cards[i / 1440 % 2], i / 2880 % 10);
    return line;
}

// `days` days from June on, `perDay` distinct events each, day after day as a
// controller dumps them, or interleaved (every batch then writes every day's
// table, as with a merged archive).
std::string RawFile(int days, int perDay, bool interleaved = false) {
    std::string text;
    for (int a = 0; a < (interleaved ? perDay : days); ++a) {
        for (int b = 0; b < (interleaved ? days : perDay); ++b) {
            text += interleaved ? RawLine(b + 1, a) : RawLine(a + 1, b);
        }
    }
    return text;
}

Child Recover(const std::vector<std::string>& args) {
    std::vector<std::string> argv{std::string(TALLON_BIN_DIR) + "/tallon-recover"};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::StartProcess(argv);
}

// Reads what a finished tallon-recover printed.
std::string Output(Child& c) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(c.fromChild, buf, sizeof buf)) > 0) {
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// Reads what several tallon-recover runs print, all at once: one whose
// output waits to be read may hold a lock another waits for.
std::vector<std::string> Outputs(std::vector<Child>& runs) {
    std::vector<std::string> out(runs.size());
    std::vector<pollfd> fds;
    for (const Child& c : runs) {
        fds.push_back({c.fromChild, POLLIN, 0});
    }
    size_t open = runs.size();
    char buf[4096];
    while (open > 0 && poll(fds.data(), fds.size(), -1) > 0) {
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                out[i].append(buf, static_cast<size_t>(n));
            } else {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    return out;
}

std::pair<std::string, std::string> Outputs(Child& a, Child& b) {
    std::vector<Child> runs{a, b};
    const std::vector<std::string> out = Outputs(runs);
    return {out[0], out[1]};
}

// Sums the "Completed - N records added." lines of a run's output.
long AddedIn(const std::string& out) {
    long sum = 0;
    const std::regex completed("Completed - ([0-9]+) records added\\.");
    for (std::sregex_iterator it(out.begin(), out.end(), completed), end; it != end; ++it) {
        sum += std::stol((*it)[1]);
    }
    return sum;
}

// Each stored event as "day hh:mm card code", from every day table.
std::multiset<std::string> StoredEvents(const std::string& dir) {
    std::multiset<std::string> events;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.size() != 11 || name.rfind("TR", 0) != 0 || name.substr(8) != ".DB") {
            continue;
        }
        for (const auto& r :
             ReadTable(dir + name, "select Time, \"Card No\", \"Trans Code\" from records")) {
            events.insert(name.substr(6, 2) + " " + r[0].substr(0, 5) + " " + r[1] + " " + r[2]);
        }
    }
    return events;
}

// The same key for a RAW line.
std::string EventOf(const std::string& line) {
    return line.substr(3, 2) + " " + line.substr(7, 2) + ":" + line.substr(9, 2) + " " +
           line.substr(11, 6) + " " + line.substr(17, 1);
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
        lines.push_back(text.substr(at, end - at));
    }
    return lines;
}

// What a run said of its lines: how many it read (its summary) and the
// cause of every line it did not add (its rejects list).
struct Said {
    long read = -1;
    std::map<long, std::string> causes;
};

Said WhatTheRunSaid(const std::string& summaryJson, const std::string& rejectsCsv) {
    Said said;
    std::smatch m;
    const std::string json = test::ReadWholeFile(summaryJson);
    if (std::regex_search(json, m,
                          std::regex("\"total\": \\{\"outcome\": \"[a-z]+\", "
                                     "\"lines_read\": ([0-9]+)"))) {
        said.read = std::stol(m[1]);
    }
    const std::vector<std::string> rows = SplitLines(test::ReadWholeFile(rejectsCsv));
    for (size_t i = 1; i < rows.size(); ++i) {
        const size_t a = rows[i].find(','), b = rows[i].find(',', a + 1);
        said.causes[std::stol(rows[i].substr(a + 1, b - a - 1))] =
            rows[i].substr(b + 1, rows[i].find(',', b + 1) - b - 1);
    }
    return said;
}

// The lines of `raw` whose fate is not what the run said: a line read and
// not among its rejects must be stored, any other must not be. Lines of
// `skipDay` the run added are left out (their table was deleted after).
std::vector<std::string> LinesNotAsSaid(const std::string& raw, const Said& said,
                                        const std::multiset<std::string>& stored,
                                        const std::string& skipDay = "") {
    std::vector<std::string> wrong;
    const std::vector<std::string> lines = SplitLines(raw);
    for (long n = 1; n <= static_cast<long>(lines.size()); ++n) {
        const std::string& line = lines[n - 1];
        const bool reportedAdded = n <= said.read && !said.causes.contains(n);
        if (reportedAdded && line.substr(3, 2) == skipDay) {
            continue;
        }
        if (reportedAdded != (stored.count(EventOf(line)) == 1)) {
            wrong.push_back("line " + std::to_string(n) + (reportedAdded ? " said added" : "") +
                            ": " + line);
        }
    }
    return wrong;
}

struct DayTables {
    long rows = 0;
    long distinct = 0;
    int tables = 0;
    int unindexed = 0;  // made, and waiting for the reindex of their first record
    std::vector<std::string> problems;
};

// Every day table: sound, its three indexes and their files, and its rows.
DayTables CheckDayTables(const std::string& dir) {
    DayTables t;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.size() != 11 || name.rfind("TR", 0) != 0 || name.substr(8) != ".DB") {
            continue;
        }
        ++t.tables;
        const std::string file = dir + name;
        const std::string stem = dir + name.substr(0, 8);
        if (ReadTable(file, "pragma integrity_check")[0][0] != "ok") {
            t.problems.push_back(name + " not sound");
        }
        const std::string indexes = ReadTable(file, "select count(*) from tallon_indexes")[0][0];
        if (indexes == "0" && !FileExists(stem + ".PX") &&
            ReadTable(file, "select count(*) from records")[0][0] == "0") {
            ++t.unindexed;
            continue;
        }
        if (indexes != "3") {
            t.problems.push_back(name + " lacks indexes");
        }
        for (const char* ext : {".PX", ".XG0", ".XG1", ".YG0", ".YG1"}) {
            if (!FileExists(stem + ext)) {
                t.problems.push_back(name + " lacks " + ext);
            }
        }
        t.rows += std::stol(ReadTable(file, "select count(*) from records")[0][0]);
        t.distinct += std::stol(ReadTable(file,
                                          "select count(*) from (select distinct \"Device Name\", "
                                          "\"Card No\", \"Trans Code\", Time from records)")[0][0]);
    }
    return t;
}

class Faults : public ::testing::Test {
  protected:
    Faults() { unsetenv("TALLON_DB_CONF"); }
    std::string NewProgramDirectory() {
        dirs_.push_back(std::make_unique<TempDir>());
        test::MakeProgramDirectory(dirs_.back()->path());
        return dirs_.back()->path();
    }

    TempDir work;
    test::ScopedWorkingDirectory cwd{work.path()};
    std::vector<std::unique_ptr<TempDir>> dirs_;
};

// In time order, and spread over forty days, a batch then staging the
// records of most of its tables.
TEST_F(Faults, KilledAtAnyMomentThenRunAgainEveryDayIsWholeAndIndexed) {
    for (int trial = 0; trial < 12; ++trial) {
        const bool spread = trial >= 8;
        const int days = spread ? 40 : 12, perDay = spread ? 50 : 150;
        WriteWholeFile(work / "days.raw", RawFile(days, perDay, spread));
        const int ms = 15 * (spread ? 2 * (trial - 8) + 1 : trial);
        SCOPED_TRACE("kill after " + std::to_string(ms) + " ms" + (spread ? ", 40 days" : ""));
        const std::string prog = NewProgramDirectory();
        Child killed = Recover({"--program-dir=" + prog, work / "days.raw"});
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        kill(killed.pid, SIGKILL);
        test::WaitFor(killed);
        // Stray files of the killed run are gone once the engine opens the
        // directory again.
        Child again = Recover({"--program-dir=" + prog, work / "days.raw"});
        EXPECT_EQ(test::WaitFor(again), 0);
        const DayTables t = CheckDayTables(prog);
        EXPECT_EQ(t.tables, days);
        EXPECT_EQ(t.rows, days * perDay);
        EXPECT_EQ(t.distinct, t.rows);
        EXPECT_TRUE(t.problems.empty()) << t.problems.front();
        for (const auto& entry : std::filesystem::directory_iterator(prog)) {
            const std::string name = entry.path().filename().string();
            EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
            EXPECT_EQ(name.find(".tallon-copy-"), std::string::npos) << name;
        }
    }
}

// Killed while lines travel to an external database several at a time, then
// run again: every event stored once, on both drivers.
class ExternalFaults : public Faults, public ::testing::WithParamInterface<test::ExternalKind> {
  protected:
    // The external database of the test's driver (on `server` for
    // PostgreSQL) with a reader and two cards.
    void OpenExternal(const std::string& name) {
        if (GetParam() == test::ExternalKind::Postgres) {
            ext = test::ExternalDb::Postgres(work.path(), *server, name);
        } else {
            ext = test::ExternalDb::Sqlite(work.path());
        }
        ext->Use();
        ext->Exec(
            "insert into rdrmain (logical_point, tag_name, spare3) values ('7', 'Door A', "
            "'READER-00001');"
            "insert into cards (card_number, name, staff_number, user1, user2, user3) values "
            "('123456', 'Ann', 'S1', '', '', ''), ('654321', 'Bob', 'S2', '', '', '')");
    }

    test::PgServer* server = nullptr;
    std::unique_ptr<test::ExternalDb> ext;
};

TEST_P(ExternalFaults, KilledMidRunThenRunAgainStoresEveryEventOnce) {
    if (GetParam() == test::ExternalKind::Postgres) {
        TALLON_NEED_PG_SERVER(pg);
        server = pg;
    }
    OpenExternal("brindle_kill");
    // Enough lines that each driver is killed in its middle at some point.
    const int days = 12, perDay = GetParam() == test::ExternalKind::Postgres ? 1000 : 6000;
    WriteWholeFile(work / "days.raw", RawFile(days, perDay));
    const std::string prog = NewProgramDirectory();
    for (const int ms : {60, 100, 150, 250, 400, 600}) {
        SCOPED_TRACE("kill after " + std::to_string(ms) + " ms");
        ext->Exec("delete from trans");
        Child killed = Recover({"--mode=corvane", "--program-dir=" + prog, work / "days.raw"});
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        kill(killed.pid, SIGKILL);
        test::WaitFor(killed);
        const long before = std::stol(ext->Rows("select count(*) from trans")[0][0]);
        Child again = Recover({"--mode=corvane", "--program-dir=" + prog, work / "days.raw"});
        const std::string out = Output(again);
        EXPECT_EQ(test::WaitFor(again), 0) << out;
        // The second run adds exactly what the first left out.
        EXPECT_EQ(AddedIn(out), days * perDay - before) << out;
        EXPECT_EQ(ext->Rows("select count(*), count(distinct device_name || date || time || "
                            "card_no || trans_code) from trans"),
                  (std::vector<std::vector<std::string>>{
                      {std::to_string(days * perDay), std::to_string(days * perDay)}}));
    }
}

TEST_P(ExternalFaults, TwoRunsAtOnceStoreEveryEventOnce) {
    if (GetParam() == test::ExternalKind::Postgres) {
        TALLON_NEED_PG_SERVER(pg);
        server = pg;
    }
    OpenExternal("brindle_twice");
    const int days = 6, perDay = 1500;
    WriteWholeFile(work / "a.raw", RawFile(days, perDay));
    const std::string prog = NewProgramDirectory();
    Child first = Recover({"--mode=corvane", "--program-dir=" + prog, work / "a.raw"});
    Child second = Recover({"--mode=corvane", "--program-dir=" + prog, work / "a.raw"});
    const auto [out1, out2] = Outputs(first, second);
    const int status1 = test::WaitFor(first), status2 = test::WaitFor(second);
    EXPECT_TRUE(status1 == 0 || status1 == 3) << out1;
    EXPECT_TRUE(status2 == 0 || status2 == 3) << out2;
    const auto stored = ext->Rows(
        "select count(*), count(distinct device_name || date || time || card_no || trans_code) "
        "from trans");
    EXPECT_EQ(stored[0][0], stored[0][1]) << "an event stored twice";
    // What the two runs said they added is what is there.
    EXPECT_EQ(AddedIn(out1) + AddedIn(out2), std::stol(stored[0][0])) << out1 << out2;
}

INSTANTIATE_TEST_SUITE_P(Drivers, ExternalFaults,
                         ::testing::Values(test::ExternalKind::Sqlite,
                                           test::ExternalKind::Postgres),
                         [](const auto& info) { return std::string(test::KindName(info.param)); });

TEST_F(Faults, TwoRunsAtOnceStoreEveryEventOnce) {
    const int days = 6, perDay = 1500;
    WriteWholeFile(work / "a.raw", RawFile(days, perDay));
    const std::string prog = NewProgramDirectory();
    Child first = Recover({"--program-dir=" + prog, work / "a.raw"});
    Child second = Recover({"--program-dir=" + prog, work / "a.raw"});
    const auto [out1, out2] = Outputs(first, second);
    // Each waits for the other as long as the other makes progress: no line
    // fails.
    EXPECT_EQ(test::WaitFor(first), 0) << out1;
    EXPECT_EQ(test::WaitFor(second), 0) << out2;
    const DayTables t = CheckDayTables(prog);
    EXPECT_EQ(t.distinct, t.rows);
    EXPECT_TRUE(t.problems.empty()) << t.problems.front();
    // What the two runs said they added is what is there.
    EXPECT_EQ(AddedIn(out1) + AddedIn(out2), t.rows);
    // And a run after them adds exactly what is missing.
    Child third = Recover({"--program-dir=" + prog, work / "a.raw"});
    const std::string out3 = Output(third);
    EXPECT_EQ(test::WaitFor(third), 0) << out3;
    EXPECT_EQ(AddedIn(out3), days * perDay - t.rows);
    EXPECT_EQ(CheckDayTables(prog).rows, days * perDay);
}

TEST_F(Faults, ThreeOrFourRunsAtOnceFailNoLine) {
    // Interleaved days: every batch of every run writes every day's table,
    // and stages the records of most of them.
    const int days = 40, perDay = 750;
    WriteWholeFile(work / "a.raw", RawFile(days, perDay, true));
    for (const size_t n : {3u, 4u}) {
        SCOPED_TRACE(std::to_string(n) + " runs");
        const std::string prog = NewProgramDirectory();
        std::vector<Child> runs;
        for (size_t i = 0; i < n; ++i) {
            runs.push_back(Recover({"--program-dir=" + prog, work / "a.raw"}));
        }
        const std::vector<std::string> out = Outputs(runs);
        long added = 0;
        for (size_t i = 0; i < n; ++i) {
            EXPECT_EQ(test::WaitFor(runs[i]), 0) << out[i];
            EXPECT_NE(out[i].find(" 0 lines failed"), std::string::npos) << out[i];
            added += AddedIn(out[i]);
        }
        const DayTables t = CheckDayTables(prog);
        EXPECT_EQ(t.rows, days * perDay);
        EXPECT_EQ(t.distinct, t.rows);
        EXPECT_EQ(added, t.rows);
        EXPECT_TRUE(t.problems.empty()) << t.problems.front();
    }
}

TEST_F(Faults, AJournalLeftByAKilledWriterNeverReachesATableMadeAnew) {
    const std::string prog = NewProgramDirectory();
    // TRAN1 as an earlier run left it, then a writer killed mid-batch.
    std::filesystem::copy_file(prog + "tran_tpl.DB", prog + "TRAN1.DB");
    Child writer = test::StartProcess(
        {test::ChildProgram(), "append", prog, "TRAN1", "1", "100000000", "batch"});
    struct stat st {};
    for (int i = 0;
         i < 200 && (stat((prog + "TRAN1.DB-journal").c_str(), &st) != 0 || st.st_size == 0); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(writer.pid, SIGKILL);
    test::WaitFor(writer);
    ASSERT_EQ(stat((prog + "TRAN1.DB-journal").c_str(), &st), 0);
    ASSERT_GT(st.st_size, 0) << "no journal left to test with";

    // A run into the named table makes it anew from the template.
    WriteWholeFile(work / "n.raw", RawFile(1, 500));
    Child run = Recover({"--program-dir=" + prog, "--no-merge", "--table=TRAN1", work / "n.raw"});
    const std::string out = Output(run);
    EXPECT_EQ(test::WaitFor(run), 0) << out;
    EXPECT_EQ(ReadTable(prog + "TRAN1.DB", "pragma integrity_check")[0][0], "ok");
    EXPECT_EQ(ReadTable(prog + "TRAN1.DB", "select count(*) from records")[0][0], "500");
    EXPECT_EQ(AddedIn(out), 500);
}

// The program directory on a small file system of its own, filled up during
// a run whose every batch writes ten day tables: the tables committed before
// the one that found the disk full keep their records. Needs root to mount
// it.
TEST_F(Faults, AFullDiskStopsTheRunAndEveryLineIsReportedAsItWasStored) {
    if (geteuid() != 0) {
        if (test::RunningUnderCi()) {
            FAIL() << "CI runs as root; this test mounts a tmpfs";
        }
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    }
    TempDir mount;
    ASSERT_EQ(std::system(("mount -t tmpfs -o size=16m tmpfs " + mount.path()).c_str()), 0);
    struct Unmount {
        std::string dir;
        ~Unmount() { (void)!std::system(("umount -l " + dir).c_str()); }
    } unmount{mount.path()};
    const std::string prog = mount.path();
    test::MakeProgramDirectory(prog);
    // Leave a few hundred kilobytes free.
    struct statvfs vfs {};
    ASSERT_EQ(statvfs(prog.c_str(), &vfs), 0);
    const size_t free = static_cast<size_t>(vfs.f_bavail) * vfs.f_frsize;
    WriteWholeFile(prog + "filler", std::string(free - 400 * 1024, 'x'));

    const int days = 10, perDay = 2000;
    const std::string raw = RawFile(days, perDay, true);
    WriteWholeFile(work / "big.raw", raw);
    Child run = Recover({"--program-dir=" + prog, "--rejects=" + work / "rejects.raw",
                         "--summary=" + work / "summary.json", work / "big.raw"});
    const std::string out = Output(run);
    EXPECT_EQ(test::WaitFor(run), 1) << out;
    EXPECT_NE(out.find("Recovery stopped: "), std::string::npos) << out;
    DayTables t = CheckDayTables(prog);
    ASSERT_LT(t.rows, days * perDay) << "the disk never filled";
    EXPECT_TRUE(t.problems.empty()) << t.problems.front();
    // Every line read is added exactly when its record is on disk; every
    // other is among the rejects, and each failed one is in the log.
    const Said said = WhatTheRunSaid(work / "summary.json", work / "rejects.raw.csv");
    ASSERT_GT(said.read, 0) << out;
    const std::vector<std::string> wrong = LinesNotAsSaid(raw, said, StoredEvents(prog));
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " lines, the first " << wrong.front();
    const std::string log = test::ReadWholeFile(work / "tallon.log");
    const std::vector<std::string> lines = SplitLines(raw);
    for (const auto& [n, cause] : said.causes) {
        EXPECT_EQ(cause, "failed") << "line " << n;
        EXPECT_NE(log.find(" s=[" + lines[n - 1].substr(3) + "]"), std::string::npos) << n;
    }
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("([0-9]+) records added, "))) << out;
    EXPECT_EQ(std::stol(m[1]), t.rows);

    std::filesystem::remove(prog + "filler");
    Child again = Recover({"--program-dir=" + prog, work / "big.raw"});
    const std::string out2 = Output(again);
    EXPECT_EQ(test::WaitFor(again), 0) << out2;
    t = CheckDayTables(prog);
    EXPECT_EQ(t.rows, days * perDay);
    EXPECT_EQ(t.distinct, t.rows);
    EXPECT_EQ(t.unindexed, 0);
    EXPECT_TRUE(t.problems.empty()) << t.problems.front();
}

}  // namespace
}  // namespace tallon
