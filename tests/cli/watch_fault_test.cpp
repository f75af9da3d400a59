// Continuous intake under the faults a site meets: a writer appending to
// several RAW files in pieces split anywhere (between CR and LF too), files
// renamed within the directory and out of it, truncated and refilled,
// deleted and made again, a last line without line end, the watcher killed
// with -9 and started again at random moments and stopped once with
// SIGTERM; an external database's server stopped for a while; inotify
// switched off so that only scans find changes. At the end every distinct
// event is stored exactly once, the rejects hold the refused lines, and the
// status file's counts agree with the tables.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/external_db.h"
#include "tests/support/pg_server.h"
#include "tests/support/program_dir.h"
#include "tests/support/temp_dir.h"

namespace tallon {
namespace {

using test::TempDir;
using Clock = std::chrono::steady_clock;

// Event `i`: unit 007, a June day and minute of its own, a known card.
std::string EventLine(int i, const char* card = nullptr) {
    const char* cards[] = {"123456", "654321"};
    char line[64];
    std::snprintf(line, sizeof line, "007%02d06%02d%02d%s%d READER-00001", 1 + i / 1440 % 28,
                  i / 60 % 24, i % 60, card ? card : cards[i % 2], i % 7);
    return line;
}

// "dd hh:mm card code" of a RAW line, as stored events are keyed.
std::string EventOf(const std::string& line) {
    return line.substr(3, 2) + " " + line.substr(7, 2) + ":" + line.substr(9, 2) + " " +
           line.substr(11, 6) + " " + line.substr(17, 1);
}

// What the writer wrote, and what must come of it.
struct Expected {
    std::set<std::string> events;   // stored, each once
    std::set<std::string> refused;  // in the rejects, by rule or failed
};

// The lines of one file's content, with what each must become.
std::string Content(int first, int count, Expected& expected, bool lastUnended = false) {
    std::string text;
    for (int i = first; i < first + count; ++i) {
        std::string line;
        if (i % 17 == 5) {
            line = EventLine(i, "999999");  // an unknown card
            expected.refused.insert(line);
        } else if (i % 23 == 7) {
            line = "garbage " + std::to_string(i);  // does not decode
            expected.refused.insert(line);
        } else {
            line = EventLine(i);
            expected.events.insert(EventOf(line));
        }
        text += line;
        if (lastUnended && i == first + count - 1) {
            break;
        }
        text += "\r\n";
        if (i % 29 == 3) {
            text += line + "\r\n";  // the same event twice: refused as a duplicate
        }
    }
    return text;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

long JsonNumber(const std::string& json, const std::string& key) {
    std::smatch m;
    if (std::regex_search(json, m, std::regex("\"" + key + "\": ([0-9]+)"))) {
        return std::stol(m[1]);
    }
    return -1;
}

// Where the watched directory's files stand in the status file.
std::map<std::string, std::pair<long, long>> StatusFiles(const std::string& json) {
    std::map<std::string, std::pair<long, long>> files;
    const std::regex file("\\{\"file\": \"([^\"]+)\", \"position\": ([0-9]+), \"size\": ([0-9]+)");
    for (std::sregex_iterator it(json.begin(), json.end(), file), end; it != end; ++it) {
        files[(*it)[1]] = {std::stol((*it)[2]), std::stol((*it)[3])};
    }
    return files;
}

class WatchFaults : public ::testing::TestWithParam<const char*> {
  public:
    WatchFaults() {
        unsetenv("TALLON_DB_CONF");
        test::MakeProgramDirectory(site.path());
    }
    ~WatchFaults() override {
        if (watcher.pid > 0) {
            kill(watcher.pid, SIGKILL);
            test::WaitFor(watcher);
        }
    }

    void Start() {
        std::string command =
            "exec " + std::string(TALLON_BIN_DIR) +
            "/tallon-recover --watch --settle=3 --rescan=1 --program-dir=" + site.path() +
            " --rejects=" + work / "rejects.raw" + " --status=" + work / "status.json";
        for (const std::string& option : options) {
            command += " " + option;
        }
        command += " " + raw.path() + " >>" + work / "out.txt" + " 2>&1";
        watcher = test::StartProcess({"/bin/sh", "-c", command});
    }
    void Kill() {
        kill(watcher.pid, SIGKILL);
        test::WaitFor(watcher);
    }
    int Terminate() {
        kill(watcher.pid, SIGTERM);
        const int status = test::WaitFor(watcher);
        watcher.pid = -1;
        return status;
    }
    void Append(const std::string& name, const std::string& bytes) {
        std::ofstream(raw / name, std::ios::binary | std::ios::app) << bytes;
    }
    // Appends `text` in pieces of random size, split anywhere.
    void AppendInPieces(const std::string& name, const std::string& text,
                        const std::function<void()>& between = nullptr) {
        for (size_t at = 0; at < text.size();) {
            const size_t piece = std::min(text.size() - at, 1 + rng() % 90);
            Append(name, text.substr(at, piece));
            at += piece;
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 20));
            if (between) {
                between();
            }
        }
    }
    // Waits until the status file shows `name` read to its size.
    void WaitRead(const std::string& name) {
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        const long size = static_cast<long>(std::filesystem::file_size(raw / name));
        while (Clock::now() < deadline) {
            const auto files = StatusFiles(Slurp(work / "status.json"));
            if (auto it = files.find(name); it != files.end() && it->second.first == size) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        FAIL() << name << " was not read to its end: " << Slurp(work / "status.json");
    }

    // Each stored event as "dd hh:mm card code", from every day table or
    // from the external `trans`.
    std::multiset<std::string> Stored() const {
        std::multiset<std::string> events;
        if (external) {
            for (const auto& r :
                 external->Rows("select date, time, card_no, trans_code from trans")) {
                events.insert(r[0].substr(6, 2) + " " + r[1].substr(0, 2) + ":" +
                              r[1].substr(2, 2) + " " + r[2] + " " + r[3]);
            }
            return events;
        }
        for (const auto& entry : std::filesystem::directory_iterator(site.path())) {
            const std::string name = entry.path().filename().string();
            if (name.size() != 11 || name.rfind("TR", 0) != 0 || name.substr(8) != ".DB") {
                continue;
            }
            for (const auto& r : test::ReadTable(
                     site / name, "select Time, \"Card No\", \"Trans Code\" from records")) {
                events.insert(name.substr(6, 2) + " " + r[0].substr(0, 5) + " " + r[1] + " " +
                              r[2]);
            }
        }
        return events;
    }

    // Waits until every expected event is stored (or a while has passed).
    void WaitStored(const std::set<std::string>& events) {
        const auto deadline = Clock::now() + std::chrono::seconds(40);
        while (Clock::now() < deadline) {
            const std::multiset<std::string> stored = Stored();
            if (std::includes(stored.begin(), stored.end(), events.begin(), events.end())) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }

    // The rejects: each line with its cause, from FILE and FILE.csv.
    std::vector<std::pair<std::string, std::string>> Rejects() const {
        std::vector<std::pair<std::string, std::string>> rejects;
        const std::string raw = Slurp(work / "rejects.raw"), csv = Slurp(work / "rejects.raw.csv");
        size_t r = 0, c = csv.find("\r\n") + 2;
        for (size_t end; (end = raw.find("\r\n", r)) != std::string::npos; r = end + 2) {
            const size_t rowEnd = csv.find("\r\n", c);
            const std::string row = csv.substr(c, rowEnd - c);
            c = rowEnd + 2;
            const size_t a = row.find(','), b = row.find(',', a + 1);
            rejects.emplace_back(raw.substr(r, end - r),
                                 row.substr(b + 1, row.find(',', b + 1) - b - 1));
        }
        return rejects;
    }

    // Every distinct event stored once and nothing else; the rejects hold
    // exactly the refused lines, and otherwise only events refused as
    // duplicates; the status counts what the tables hold.
    void CheckOutcome(const Expected& expected) {
        const std::multiset<std::string> stored = Stored();
        std::vector<std::string> wrong;
        for (const std::string& e : expected.events) {
            if (stored.count(e) != 1) {
                wrong.push_back(e + " stored " + std::to_string(stored.count(e)) + " times");
            }
        }
        for (const std::string& e : stored) {
            if (!expected.events.contains(e)) {
                wrong.push_back(e + " stored, never written");
            }
        }
        EXPECT_TRUE(wrong.empty()) << wrong.size() << " wrong, the first: " << wrong.front() << "\n"
                                   << Slurp(work / "out.txt") << Slurp(work / "tallon.log");
        std::set<std::string> refused;
        for (const auto& [line, cause] : Rejects()) {
            if (cause == "duplicate") {
                EXPECT_TRUE(expected.events.contains(EventOf(line))) << line;
            } else {
                refused.insert(line);
            }
        }
        EXPECT_EQ(refused, expected.refused);
        const std::string status = Slurp(work / "status.json");
        const long added = JsonNumber(status, "added"), duplicate = JsonNumber(status, "duplicate");
        // Lines committed by a watcher killed before it saved its positions
        // are read again and refused as duplicates.
        EXPECT_LE(added, static_cast<long>(stored.size())) << status;
        EXPECT_GE(added + duplicate, static_cast<long>(stored.size())) << status;
        EXPECT_EQ(JsonNumber(status, "unknown_card") + JsonNumber(status, "undecodable") > 0,
                  !expected.refused.empty());
    }

    TempDir site, work, raw, outside;
    test::ScopedWorkingDirectory cwd{work.path()};
    std::vector<std::string> options;
    test::Child watcher;
    std::unique_ptr<test::ExternalDb> external;
    std::unique_ptr<test::PgServer> server;
    unsigned seed = std::random_device{}();
    std::mt19937 rng{seed};
};

// An external database on the tests' own PostgreSQL server (one of its own,
// since it is stopped), with a reader and two cards.
void OpenPostgres(WatchFaults& t) {
    t.server = std::make_unique<test::PgServer>();
    t.external = test::ExternalDb::Postgres(t.work.path(), *t.server, "watch");
    t.external->Use();
    t.external->Exec(
        "insert into rdrmain (logical_point, tag_name, spare3) values ('7', 'Door A', "
        "'READER-00001');"
        "insert into cards (card_number, name, staff_number, user1, user2, user3) values "
        "('123456', 'Ann', 'S1', '', '', ''), ('654321', 'Bob', 'S2', '', '', '')");
    t.options.push_back("--mode=corvane");
}

// The first parts of five files, in pieces, with two kills at random moments.
void FirstParts(WatchFaults& t, Expected& expected, int& next) {
    int pieces = 0;
    const int kills[2] = {static_cast<int>(5 + t.rng() % 40), static_cast<int>(50 + t.rng() % 40)};
    for (const char* name : {"A.RAW", "b.raw", "C.Raw", "D.RAW", "E.RAW"}) {
        t.AppendInPieces(name, Content(next, 40, expected), [&] {
            if (++pieces == kills[0] || pieces == kills[1]) {
                t.Kill();
                t.Start();
            }
        });
        next += 40;
    }
}

// Renamed within the directory, renamed out with lines not yet read,
// truncated and refilled, deleted and made again.
void FilesChangingUnderIt(WatchFaults& t, Expected& expected, int& next) {
    std::filesystem::rename(t.raw / "b.raw", t.raw / "B2.RAW");
    t.AppendInPieces("B2.RAW", Content(next, 20, expected));
    next += 20;
    t.WaitRead("C.Raw");
    Expected last;
    t.Append("C.Raw", Content(next, 5, last));
    next += 5;
    std::filesystem::rename(t.raw / "C.Raw", t.outside / "C.Raw");
    t.WaitStored(last.events);
    expected.events.merge(last.events);
    expected.refused.merge(last.refused);
    t.WaitRead("D.RAW");
    std::filesystem::resize_file(t.raw / "D.RAW", 0);
    t.AppendInPieces("D.RAW", Content(next, 30, expected));
    next += 30;
    t.WaitRead("E.RAW");
    std::filesystem::remove(t.raw / "E.RAW");
    t.AppendInPieces("E.RAW", Content(next, 30, expected));
    next += 30;
}

// The server goes away for longer than a batch waits for it (15 s) while
// lines arrive; they are held and written again once it is back.
void ServerAway(WatchFaults& t, Expected& expected, int& next) {
    t.server->StopImmediately();
    t.AppendInPieces("A.RAW", Content(next, 20, expected));
    next += 20;
    std::this_thread::sleep_for(std::chrono::seconds(18));
    t.server->Resume();
    t.WaitStored(expected.events);
    EXPECT_NE(Slurp(t.work / "out.txt").find("Waiting for the database: "), std::string::npos);
}

TEST_P(WatchFaults, EveryEventOnceWhateverHappensToTheFilesAndTheWatcher) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::string kind = GetParam();
    if (kind == "no-inotify") {
        options.push_back("--no-inotify");
    }
    if (kind == "postgresql") {
        try {
            OpenPostgres(*this);
        } catch (const std::exception& e) {
            if (test::RunningUnderCi()) {
                FAIL() << "PostgreSQL server needed under CI: " << e.what();
            }
            GTEST_SKIP() << "PostgreSQL server not available: " << e.what();
        }
    }
    Expected expected;
    int next = 0;
    Start();
    FirstParts(*this, expected, next);
    FilesChangingUnderIt(*this, expected, next);
    if (server) {
        ServerAway(*this, expected, next);
    }
    EXPECT_EQ(Terminate(), 0) << Slurp(work / "out.txt");
    // Started again, killed once more, and a last line without line end.
    Start();
    const int lastKill = static_cast<int>(1 + rng() % 15);
    int pieces = 0;
    AppendInPieces("B2.RAW", Content(next, 30, expected), [&] {
        if (++pieces == lastKill) {
            Kill();
            Start();
        }
    });
    AppendInPieces("A.RAW", Content(next + 30, 10, expected, true));
    WaitStored(expected.events);
    EXPECT_EQ(Terminate(), 0) << Slurp(work / "out.txt");
    CheckOutcome(expected);
}

INSTANTIATE_TEST_SUITE_P(Watch, WatchFaults,
                         ::testing::Values("local", "no-inotify", "postgresql"));

}  // namespace
}  // namespace tallon
