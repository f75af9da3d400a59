// tallon-recover as operators and scripts run it: the built program in a
// child process, its output, its log and its exit status.

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/file_names.h"
#include "db/engine.h"
#include "tests/support/external_db.h"
#include "tests/support/pg_server.h"
#include "tests/support/program_dir.h"
#include "tests/support/temp_dir.h"

namespace tallon {
namespace {

using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;
using Lines = std::vector<std::string>;

struct ToolRun {
    int status = -1;  // exit status, 128 + signal when killed by one
    std::string out;
    std::string err;
    bool timedOut = false;
};

// Runs tallon-recover in `cwd`. Standard input is a pipe kept open and
// never written, so a program waiting for input would hang until the
// deadline instead of reading an end of file. `whileRunning` gets the
// child's pid.
ToolRun RunRecover(const std::vector<std::string>& args, const std::string& cwd,
                   const std::function<void(pid_t)>& whileRunning = {}, int timeoutSeconds = 120) {
    TempDir io;
    const std::string outFile = io / "stdout";
    const std::string errFile = io / "stderr";
    int input[2];
    if (pipe(input) != 0) {
        ADD_FAILURE() << "pipe failed";
        return {};
    }
    const std::string program = std::string(TALLON_BIN_DIR) + "/tallon-recover";
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) {
        cargv.push_back(a.data());
    }
    cargv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(input[0], STDIN_FILENO);
        close(input[0]);
        close(input[1]);
        const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || chdir(cwd.c_str()) != 0) {
            _exit(125);
        }
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execv(program.c_str(), cargv.data());
        _exit(127);
    }
    close(input[0]);
    ToolRun run;
    if (pid < 0) {
        close(input[1]);
        ADD_FAILURE() << "fork failed";
        return run;
    }
    if (whileRunning) {
        whileRunning(pid);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            run.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(input[1]);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = ReadWholeFile(outFile);
    run.err = ReadWholeFile(errFile);
    return run;
}

Lines SplitLines(const std::string& text) {
    Lines lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A RAW line of unit 007 on 6 June at hh:mm.
std::string Line(int hour, int minute, const std::string& card = "123456") {
    char buf[64];
    std::snprintf(buf, sizeof buf, "0070606%02d%02d%s1 READER-00001", hour, minute, card.c_str());
    return buf;
}

std::string CrLf(const Lines& lines) {
    std::string text;
    for (const auto& l : lines) {
        text += l + "\r\n";
    }
    return text;
}

// An installation's program directory, a directory for RAW files and a
// working directory of its own (where the log goes).
class TallonRecover : public ::testing::Test {
  protected:
    TallonRecover() {
        unsetenv("TALLON_DB_CONF");
        test::MakeProgramDirectory(program.path());
    }
    ~TallonRecover() override { unsetenv("TALLON_DB_CONF"); }

    std::string ProgramDir() const { return "--program-dir=" + program.path(); }
    Lines Log() const { return test::LogLines(work.path()); }
    std::vector<std::vector<std::string>> Records(const std::string& table) const {
        return test::ReadTable(ResolveFileName(program / (table + ".DB")),
                               "select Time, \"Card No\", Name from records order by Time");
    }

    TempDir program;
    TempDir raw;
    TempDir work;
};

TEST_F(TallonRecover, CompletedRunPrintsTheMemoAndASummary) {
    WriteWholeFile(raw / "a.raw", CrLf({Line(8, 1), Line(8, 2, "999999"), Line(8, 3)}));
    const ToolRun run =
        RunRecover({"--no-merge", "--table=NIGHT", ProgramDir(), raw / "a.raw"}, work.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(SplitLines(run.out),
              (Lines{"Recovering: " + raw / "a.raw", "Card: 999999 not found",
                     "Completed - 2 records added.",
                     "1 line not added (1 refused, 0 failed): see " + work / "tallon.log",
                     "Summary: 1 file, 3 lines read, 2 records added, 1 line refused, 0 lines "
                     "failed"}));
    // Standard error is no terminal here: no progress lines.
    EXPECT_EQ(run.err, "");

    EXPECT_EQ(Log(), (Lines{" ", "TALLON: 1.0.0.9 Started.", "Recovering: " + raw / "a.raw",
                            "Card: 999999 not found", "Completed - 2 records added."}));
    EXPECT_FALSE(FileExists(program / "tallon.log"));
    EXPECT_EQ(Records("NIGHT"),
              (std::vector<std::vector<std::string>>{{"08:01:00", "123456", "Ann Smith"},
                                                     {"08:03:00", "123456", "Ann Smith"}}));
}

TEST_F(TallonRecover, ErrorsAndRefusalsExitWithOne) {
    // A directory named as the file: the run stops on the error.
    ToolRun run = RunRecover({ProgramDir(), raw.path()}, work.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Has(run.out, "Recovering: " + raw.path() + "\n")) << run.out;
    EXPECT_TRUE(Has(run.out, "Recovery stopped: File access denied\n")) << run.out;
    EXPECT_TRUE(Has(run.err, "Recovery stopped: File access denied\n")) << run.err;
    EXPECT_FALSE(Has(run.out, "Completed - ")) << run.out;

    // No template in the program directory: refused before anything is read.
    TempDir bare;
    WriteWholeFile(raw / "a.raw", CrLf({Line(8, 1)}));
    run = RunRecover({"--program-dir=" + bare.path(), raw / "a.raw"}, work.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Has(run.err, "You must have Tran_Tpl.* files to proceed.")) << run.err;
    EXPECT_FALSE(Has(run.out, "Recovering: ")) << run.out;
}

TEST_F(TallonRecover, ATableNameThatLeavesTheProgramDirectoryIsRefused) {
    TempDir outside;
    const std::string outsideName = outside.path().substr(0, outside.path().size() - 1);
    const std::string table = "../" + ExtractFileName(outsideName) + "/x";
    WriteWholeFile(raw / "a.raw", CrLf({Line(8, 1)}));
    const ToolRun run =
        RunRecover({"--no-merge", "--table=" + table, ProgramDir(), raw / "a.raw"}, work.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Has(run.out, "Recovery stopped: Invalid table name '" + table +
                                 "': a table name cannot contain a path\n"))
        << run.out;
    EXPECT_TRUE(ListMatching(outside / "*").empty());
}

TEST_F(TallonRecover, BadUsageExitsWithTwoAndHelpWithZero) {
    const std::vector<std::vector<std::string>> bad = {
        {ProgramDir(), "--bogus", raw / "a.raw"},
        {ProgramDir()},
        {ProgramDir(), "--mode=bogus", raw / "a.raw"},
        {ProgramDir(), raw / "a.raw", raw / "b.raw"},
    };
    for (const auto& args : bad) {
        const ToolRun run = RunRecover(args, work.path());
        EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args);
        EXPECT_TRUE(Has(run.err, "usage: tallon-recover")) << run.err;
        EXPECT_EQ(run.out, "");
    }
    // Bad usage starts nothing.
    EXPECT_FALSE(FileExists(work / "tallon.log"));

    const ToolRun help = RunRecover({"--help"}, work.path());
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--mode=", "--all", "--no-merge", "--from-tran",
                               "--table=", "--program-dir=", "130", "Ctrl-C"}) {
        EXPECT_TRUE(Has(help.out, option)) << option;
    }
}

TEST_F(TallonRecover, AllRawFilesOfADirectory) {
    WriteWholeFile(raw / "a.raw", CrLf({Line(9, 1)}));
    WriteWholeFile(raw / "B.RAW", CrLf({Line(9, 2), Line(9, 3)}));
    WriteWholeFile(raw / "c.txt", CrLf({Line(9, 4)}));
    // A directory as operators type it (no trailing slash), or a file in it.
    const std::string directory = raw.path().substr(0, raw.path().size() - 1);
    for (const std::string& path : {directory, raw / "a.raw"}) {
        SCOPED_TRACE(path);
        const ToolRun run = RunRecover({"--all", "--no-merge", ProgramDir(), path}, work.path());
        EXPECT_EQ(run.status, 0) << run.err;
        const Lines out = SplitLines(run.out);
        EXPECT_EQ(std::count(out.begin(), out.end(), "Recovering: a.raw"), 1);
        EXPECT_EQ(std::count(out.begin(), out.end(), "Recovering: B.RAW"), 1);
        EXPECT_EQ(std::count(out.begin(), out.end(), "Completed - 1 records added."), 1);
        EXPECT_EQ(std::count(out.begin(), out.end(), "Completed - 2 records added."), 1);
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back(),
                  "Summary: 2 files, 3 lines read, 3 records added, 0 lines refused, 0 lines "
                  "failed");
        // The named table was reset: each run leaves exactly its own records.
        EXPECT_EQ(Records("TRAN1").size(), 3u);
    }
}

// Ctrl-C, and the SIGTERM and SIGHUP of kill and service managers.
TEST_F(TallonRecover, SignalsStopTheRunInOrder) {
    std::string text;
    text.reserve(200000 * 33);
    for (int i = 0; i < 200000; ++i) {
        text += Line((i / 60) % 24, i % 60) + "\r\n";
    }
    WriteWholeFile(raw / "big.raw", text);

    for (const auto& [signal, status] : {std::pair{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}}) {
        SCOPED_TRACE(signal);
        std::remove((work / "tallon.log").c_str());
        bool sawRun = false;
        const ToolRun run =
            RunRecover({"--no-merge", ProgramDir(), raw / "big.raw"}, work.path(), [&](pid_t pid) {
                // Wait until the run is reading, then interrupt it.
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                while (std::chrono::steady_clock::now() < deadline) {
                    if (Has(FileExists(work / "tallon.log") ? ReadWholeFile(work / "tallon.log")
                                                            : "",
                            "Recovering: ")) {
                        sawRun = true;
                        break;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                kill(pid, signal);
            });
        ASSERT_TRUE(sawRun);
        EXPECT_EQ(run.status, status) << run.err;
        EXPECT_FALSE(Has(run.out, "Completed - ")) << run.out;
        for (const auto& line : Log()) {
            EXPECT_NE(line.rfind("Completed - ", 0), 0u) << line;
        }
        const Lines out = SplitLines(run.out);
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back().rfind("Summary: 1 file, ", 0), 0u) << out.back();
        EXPECT_FALSE(Has(out.back(), " 200000 lines read")) << out.back();
        // Everything the summary counts as added is on disk.
        const std::string added = " record";  // "1 record added", "2 records added"
        const size_t end = out.back().find(added);
        ASSERT_NE(end, std::string::npos) << out.back();
        const size_t start = out.back().rfind(' ', end - 1) + 1;
        EXPECT_EQ(std::to_string(Records("TRAN1").size()), out.back().substr(start, end - start));
    }
}

TEST_F(TallonRecover, ANewProgramDirectoryIsMadeFromThePackagedSeed) {
    WriteWholeFile(raw / "a.raw", CrLf({Line(8, 1)}));
    const std::string site = work / "sites/north/";
    const ToolRun run = RunRecover({"--program-dir=" + site, raw / "a.raw"}, work.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.err, "Made the site directory " + site)) << run.err;
    EXPECT_TRUE(FileExists(site + "tran_tpl.DB"));
    // The seed's lookup tables are empty: the card is unknown, so nothing is added.
    EXPECT_TRUE(Has(run.out, "Card: 123456 not found")) << run.out;
    EXPECT_TRUE(FileExists(site + "cards.DB"));
}

TEST(TallonTools, AnswerVersion) {
    TempDir work;
    EXPECT_EQ(RunRecover({"--version"}, work.path()).out, "tallon-recover 1.0.0.9\n");
    const std::string tallonDb = std::string(TALLON_BIN_DIR) + "/tallon-db --version";
    std::FILE* pipe = ::popen(tallonDb.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buf[64] = {};
    const size_t n = std::fread(buf, 1, sizeof buf - 1, pipe);
    EXPECT_EQ(::pclose(pipe), 0);
    EXPECT_EQ(std::string(buf, n), "tallon-db 1.0.0.9\n");
}

TEST_F(TallonRecover, ExternalModesThroughAnSqliteAlias) {
    auto ext = test::ExternalDb::Sqlite(work.path());
    ext->Use();
    ext->Exec(
        "insert into rdrmain (logical_point, tag_name, spare3) values ('7', 'Door A', "
        "'READER-00001');"
        "insert into cards (card_number, name, staff_number) values ('123456', 'Ann', 'S1');");
    WriteWholeFile(raw / "a.raw", CrLf({Line(10, 1), Line(10, 2, "555555")}));

    ToolRun run = RunRecover({"--mode=corvane", ProgramDir(), raw / "a.raw"}, work.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(SplitLines(run.out),
              (Lines{"Recovering: " + raw / "a.raw", "Card: 555555 not found",
                     "Completed - 1 records added.",
                     "1 line not added (1 refused, 0 failed): see " + work / "tallon.log",
                     "Summary: 1 file, 2 lines read, 1 record added, 1 line refused, 0 lines "
                     "failed"}));

    // "AllowUnknown" comes from tallon.ini in the program directory.
    WriteWholeFile(program / "tallon.ini", "[Options]\r\nAllowUnknown=1\r\n");
    run = RunRecover({"--mode=velora", ProgramDir(), raw / "a.raw"}, work.path());
    EXPECT_EQ(run.status, 0) << run.err;
    // The log tells why a line was refused without a memo line.
    EXPECT_TRUE(Has(run.out, "Completed - 2 records added.\n"))
        << run.out << ReadWholeFile(work / "tallon.log");

    // The second system knows 123456 only as 0000123456, which it lacks.
    EXPECT_EQ(ext->Rows("select card_no, name, staff_no, time from trans order by time, card_no"),
              (std::vector<std::vector<std::string>>{
                  {"0000123456", "Unknown", "STF0000123456", "100100"},
                  {"123456", "Ann", "S1", "100100"},
                  {"0000555555", "Unknown", "STF0000555555", "100200"}}));
    // External modes keep no local tables.
    EXPECT_FALSE(FileExists(program / "TRAN1.DB"));
}

// Runs that follow each other straight away, or run at once, on one alias:
// faster than the clock's hundred ids a second, yet no record id clashes.
class TallonRecoverIds : public TallonRecover,
                         public ::testing::WithParamInterface<test::ExternalKind> {};

TEST_P(TallonRecoverIds, FastRunsOneAfterAnotherOrAtOnceKeepEveryRecord) {
    std::unique_ptr<test::ExternalDb> ext;
    if (GetParam() == test::ExternalKind::Postgres) {
        TALLON_NEED_PG_SERVER(pg);
        ext = test::ExternalDb::Postgres(work.path(), *pg, "brindle_ids");
    } else {
        ext = test::ExternalDb::Sqlite(work.path());
    }
    ext->Use();
    ext->Exec(
        "insert into rdrmain (logical_point, tag_name, spare3) values ('7', 'Door A', "
        "'READER-00001')");
    WriteWholeFile(program / "tallon.ini", "[Options]\r\nAllowUnknown=1\r\n");
    // Every line a card of its own, so none is a duplicate event.
    auto rawFile = [&](const std::string& name, int firstCard, int count) {
        Lines lines;
        for (int i = 0; i < count; ++i) {
            lines.push_back(Line(12, 0, std::to_string(firstCard + i)));
        }
        WriteWholeFile(raw / name, CrLf(lines));
        return raw / name;
    };
    auto recover = [&](const std::string& file) {
        return RunRecover({"--mode=corvane", ProgramDir(), file}, work.path());
    };

    ToolRun run = recover(rawFile("first.raw", 100000, 2000));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "Completed - 2000 records added.\n")) << run.out;
    run = recover(rawFile("next.raw", 200000, 1000));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "Completed - 1000 records added.\n")) << run.out;

    const std::string a = rawFile("a.raw", 300000, 1000);
    const std::string b = rawFile("b.raw", 400000, 1000);
    ToolRun other;
    std::thread beside([&] { other = recover(b); });
    run = recover(a);
    beside.join();
    for (const ToolRun* r : {&run, &other}) {
        EXPECT_EQ(r->status, 0) << r->err;
        EXPECT_TRUE(Has(r->out, "Completed - 1000 records added.\n")) << r->out;
    }
    EXPECT_EQ(ext->Rows("select count(*), count(distinct trans_id), min(length(trans_id)), "
                        "max(length(trans_id)) from trans"),
              (std::vector<std::vector<std::string>>{{"5000", "5000", "14", "14"}}));
}

INSTANTIATE_TEST_SUITE_P(Drivers, TallonRecoverIds,
                         ::testing::Values(test::ExternalKind::Sqlite,
                                           test::ExternalKind::Postgres),
                         [](const auto& info) { return std::string(test::KindName(info.param)); });

TEST_F(TallonRecover, WithoutATerminalTheLoginIsCancelled) {
    TALLON_NEED_PG_SERVER(pg);
    auto ext = test::ExternalDb::Postgres(work.path(), *pg, "brindle_cli", false);
    ext->Use();
    ext->Exec(
        "insert into rdrmain (logical_point, tag_name, spare3) values ('7', 'Door A', "
        "'READER-00001')");
    WriteWholeFile(raw / "a.raw", CrLf({Line(11, 1), Line(11, 2)}));

    const ToolRun run =
        RunRecover({"--mode=corvane", ProgramDir(), raw / "a.raw"}, work.path(), {}, 60);
    ASSERT_FALSE(run.timedOut) << "waited for a login";
    // Every line failed on the database: not a success.
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_FALSE(Has(run.err, "Password")) << run.err;
    EXPECT_TRUE(Has(run.out,
                    "Completed - 0 records added.\n2 lines not added (0 refused, 2 "
                    "failed): see " +
                        work / "tallon.log\n"))
        << run.out;
    EXPECT_TRUE(Has(run.err,
                    "2 lines failed (0 added, 0 refused); the first: "
                    "CV.InsertCannot connect to database 'Brindle' s=["))
        << run.err;
    const Lines log = Log();
    for (const std::string& line : {Line(11, 1), Line(11, 2)}) {
        const std::string expected =
            "CV.InsertCannot connect to database 'Brindle' s=[" + line.substr(3) + "]";
        EXPECT_EQ(std::count(log.begin(), log.end(), expected), 1) << expected;
    }
    EXPECT_TRUE(ext->TransRows().empty());
}

TEST_F(TallonRecover, FailedLinesExitWithThreeAndEveryLineNotAddedCanBeRecoveredAgain) {
    WriteWholeFile(raw / "a.raw", CrLf({Line(8, 1), Line(8, 2, "999999"), "007garbage"}));
    const std::string rejects = work / "rejects.raw";
    const std::string summary = work / "run.json";
    ToolRun run = RunRecover(
        {ProgramDir(), "--rejects=" + rejects, "--summary=" + summary, raw / "a.raw"}, work.path());
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_TRUE(Has(run.err,
                    "1 line failed (1 added, 1 refused); the first: "
                    "'ga' is not a valid integer value s=[garbage]"))
        << run.err;
    const std::string firstRejects = CrLf({Line(8, 2, "999999"), "007garbage"});
    EXPECT_EQ(ReadWholeFile(rejects), firstRejects);
    EXPECT_EQ(
        SplitLines(ReadWholeFile(rejects + ".csv")),
        (Lines{"raw_file,line,cause,message\r",
               raw / "a.raw" + ",2,unknown-card,Card: 999999 not found\r",
               raw / "a.raw" + ",3,undecodable,'ga' is not a valid integer value s=[garbage]\r"}));
    const std::string json = ReadWholeFile(summary);
    for (const std::string& part :
         {std::string("\"mode\": \"local\""), "\"log\": \"" + work / "tallon.log\"",
          "{\"file\": \"" + raw /
                                "a.raw\", \"outcome\": \"completed\", \"lines_read\": 3, "
                                "\"added\": 1, \"refused\": 1, \"duplicate\": 0, \"unknown_card\": "
                                "1, \"unknown_reader\": 0, \"failed\": 1, \"undecodable\": 1, "
                                "\"bytes\": 78,",
          std::string(
              "\"total\": {\"outcome\": \"completed\", \"lines_read\": 3, \"added\": 1,")}) {
        EXPECT_TRUE(Has(json, part)) << part << "\n" << json;
    }

    // The rejects file is a RAW file: recovered again, it gives back the
    // same lines (nothing mended yet), byte for byte.
    run = RunRecover({ProgramDir(), "--rejects=" + (work / "again.raw"), rejects}, work.path());
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_EQ(ReadWholeFile(work / "again.raw"), firstRejects);

    // Refused by rule only: a success, and the rejects file grows.
    WriteWholeFile(raw / "b.raw", CrLf({Line(8, 1), Line(8, 4)}));
    run = RunRecover({ProgramDir(), "--rejects=" + rejects, "--summary=" + summary, raw / "b.raw"},
                     work.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadWholeFile(rejects), firstRejects + CrLf({Line(8, 1)}));
    EXPECT_TRUE(Has(ReadWholeFile(rejects + ".csv"), ",1,duplicate,Duplicate record: TR"));

    // A run that stops on an error still leaves its summary.
    run = RunRecover({ProgramDir(), "--summary=" + summary, raw.path()}, work.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(
        Has(ReadWholeFile(summary), "\"total\": {\"outcome\": \"failed\", \"lines_read\": 0,"))
        << ReadWholeFile(summary);
    EXPECT_TRUE(Has(ReadWholeFile(summary), "\"error\": \"File access denied\""));
}

// A line of megabytes is echoed cut, with its size; the log keeps it whole.
TEST_F(TallonRecover, AStatusLineOfMegabytesIsEchoedCut) {
    const std::string text(3'000'000, 'z');
    WriteWholeFile(raw / "big.raw", CrLf({"007" + text}));
    const ToolRun run = RunRecover({ProgramDir(), raw / "big.raw"}, work.path());
    EXPECT_EQ(run.status, 3);
    const std::string message = "'zz' is not a valid integer value s=[" + text + "]";
    EXPECT_TRUE(Has(run.err, "the first: " + message.substr(0, 512) + " ... (" +
                                 std::to_string(message.size()) + " bytes)\n"))
        << run.err.substr(0, 200);
    EXPECT_LT(run.err.size() + run.out.size(), 2000u);
    const Lines log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), message), 1);
}

// On a terminal, the progress line comes back right after every status line
// and the last one stays.
TEST_F(TallonRecover, TheProgressLineIsRedrawnAfterEveryStatusLine) {
    Lines lines;
    for (int i = 0; i < 40; ++i) {
        lines.push_back(Line(10 + i / 60, i % 60, i % 4 == 0 ? "999999" : "123456"));
    }
    WriteWholeFile(raw / "p.raw", CrLf(lines));
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(work.path().c_str()) != 0) {
            _exit(125);
        }
        const std::string program = std::string(TALLON_BIN_DIR) + "/tallon-recover";
        const std::string dir = ProgramDir();
        const std::string file = raw / "p.raw";
        execl(program.c_str(), program.c_str(), "--no-merge", dir.c_str(), file.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string screen;
    char buf[4096];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) {
        screen.append(buf, static_cast<size_t>(n));
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << screen;

    const std::string progress = "\r\033[K" + raw / "p.raw" + ": ";
    const std::string status_line = "Card: 999999 not found\r\n";
    size_t seen = 0;
    for (size_t at = screen.find(status_line); at != std::string::npos;
         at = screen.find(status_line, at + 1)) {
        ++seen;
        EXPECT_EQ(screen.compare(at + status_line.size(), progress.size(), progress), 0)
            << screen.substr(at, 120);
    }
    EXPECT_EQ(seen, 10u);
    // The final state: all 40 lines, the whole file, then the summary.
    EXPECT_TRUE(Has(screen, progress + "40 lines, 100%")) << screen;
    const size_t summary = screen.find("Summary: ");
    ASSERT_NE(summary, std::string::npos);
    EXPECT_EQ(screen.rfind("\r\033[K", summary), screen.rfind(progress, summary));
}

}  // namespace
}  // namespace tallon
