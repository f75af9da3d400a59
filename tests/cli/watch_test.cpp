// tallon-recover --watch as an administrator meets it: bad usage refused,
// a first start at the end of what files hold, a Ctrl-Z that ends a file,
// a card added and seen after SIGHUP, the service manager's notifications,
// the status and metrics files, and SIGTERM's exit status.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/external_db.h"
#include "tests/support/program_dir.h"
#include "tests/support/temp_dir.h"

namespace tallon {
namespace {

using test::TempDir;
using Clock = std::chrono::steady_clock;

std::string Line(int minute, const std::string& card = "123456") {
    return "00706061" + std::string(minute < 10 ? "40" : "4") + std::to_string(minute) + card +
           "1 READER-00001";
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void Append(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

// Waits until `done` or 20 s.
bool Eventually(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// The notification socket a service manager listens on.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    ~NotifySocket() { ::close(fd_); }
    // Everything received so far, one message a line.
    const std::string& Received() {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;) {
            text_.append(buffer, static_cast<size_t>(n)).append("\n");
        }
        return text_;
    }

  private:
    std::string path_;
    int fd_ = -1;
    std::string text_;
};

class Watch : public ::testing::Test {
  protected:
    Watch() {
        unsetenv("TALLON_DB_CONF");
        test::MakeProgramDirectory(site.path());
    }
    ~Watch() override {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        if (watcher.pid > 0) {
            kill(watcher.pid, SIGKILL);
            test::WaitFor(watcher);
        }
    }
    void Start(const std::string& options) {
        watcher = test::StartProcess(
            {"/bin/sh", "-c",
             "exec " + std::string(TALLON_BIN_DIR) + "/tallon-recover --watch --settle=1 " +
                 "--program-dir=" + site.path() + " --status=" + work / "status.json" +
                 " --metrics=" + work / "tallon.prom " + options + " " + raw.path() + " >>" +
                 work / "out.txt 2>&1"});
    }
    int Stop() {
        kill(watcher.pid, SIGTERM);
        const int status = test::WaitFor(watcher);
        watcher.pid = -1;
        return status;
    }
    std::set<std::string> StoredTimes() {
        std::set<std::string> times;
        if (FileExistsHere(site / "TR260606.DB")) {
            for (const auto& r : test::ReadTable(
                     site / "TR260606.DB", "select Time || ' ' || \"Card No\" from records")) {
                times.insert(r[0]);
            }
        }
        return times;
    }
    static bool FileExistsHere(const std::string& path) {
        return ::access(path.c_str(), F_OK) == 0;
    }

    TempDir site, work, raw;
    test::ScopedWorkingDirectory cwd{work.path()};
    test::Child watcher;
};

TEST_F(Watch, BadUsageIsRefused) {
    const std::string bin = std::string(TALLON_BIN_DIR) + "/tallon-recover";
    test::ShellRun run = test::RunShell(bin + " --watch --no-merge " + raw.path());
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.out.find("--no-merge cannot be used with --watch"), std::string::npos) << run.out;
    run = test::RunShell(bin + " --status=s.json " + raw.path());
    EXPECT_EQ(run.status, 2) << run.out;
    run = test::RunShell(bin + " --watch --settle=0 " + raw.path());
    EXPECT_EQ(run.status, 2) << run.out;
    run = test::RunShell(bin + " --watch --program-dir=" + site.path() + " " + raw / "none");
    EXPECT_EQ(run.status, 1) << run.out;
}

TEST_F(Watch, StartAtEndCtrlZCardsAfterSighupAndWhatTheServiceManagerHears) {
    // History already recovered, and a line half written.
    const std::string a = raw / "a.raw";
    Append(a, Line(1) + "\r\n" + Line(2) + "\r\n" + Line(3).substr(0, 10));
    setenv("NOTIFY_SOCKET", (work / "notify").c_str(), 1);
    setenv("WATCHDOG_USEC", "400000", 1);
    NotifySocket notify(work / "notify");
    Start("--start-at-end");
    ASSERT_TRUE(Eventually([&] { return notify.Received().find("READY=1") != std::string::npos; }))
        << Slurp(work / "out.txt");
    // The half line is read once it is whole; the history is not.
    Append(a, Line(3).substr(10) + "\r\n");
    ASSERT_TRUE(Eventually([&] { return StoredTimes().size() == 1; }));
    EXPECT_EQ(StoredTimes(), (std::set<std::string>{"14:03:00 123456"}));

    // A card entered while the watcher runs is seen once it is told to
    // forget what it looked up.
    Append(a, Line(4, "777777") + "\r\n");
    ASSERT_TRUE(Eventually([&] {
        return Slurp(work / "out.txt").find("Card: 777777 not found") != std::string::npos;
    }));
    test::WriteWholeFile(work / "card.csv", "Card_Number,Name\r\n777777,New Card\r\n");
    ASSERT_EQ(test::RunShell(std::string(TALLON_BIN_DIR) + "/tallon-db import " + site / "cards " +
                             work / "card.csv")
                  .status,
              0);
    kill(watcher.pid, SIGHUP);
    ASSERT_TRUE(Eventually(
        [&] { return Slurp(work / "out.txt").find("Reloaded: ") != std::string::npos; }));
    // Ctrl-Z ends the file: what stood before it is the last line.
    Append(a, Line(5, "777777") + "\r\n" + Line(6) + "\x1a" + Line(7) + "\r\n");
    ASSERT_TRUE(Eventually([&] { return StoredTimes().size() == 3; })) << Slurp(work / "out.txt");
    Append(a, Line(8) + "\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(StoredTimes(),
              (std::set<std::string>{"14:03:00 123456", "14:05:00 777777", "14:06:00 123456"}));
    const std::string out = Slurp(work / "out.txt");
    EXPECT_NE(out.find("a.raw: a Ctrl-Z byte ends the file at byte"), std::string::npos) << out;

    EXPECT_EQ(Stop(), 0);
    const std::string heard = notify.Received();
    EXPECT_NE(heard.find("STATUS=Watching " + raw.path().substr(0, raw.path().size() - 1) +
                         ": 1 file, 3 lines added"),
              std::string::npos)
        << heard;
    EXPECT_NE(heard.find("WATCHDOG=1"), std::string::npos) << heard;
    EXPECT_NE(heard.find("STOPPING=1"), std::string::npos) << heard;
    const std::string status = Slurp(work / "status.json");
    EXPECT_NE(status.find("\"added\": 3, \"refused\": 1"), std::string::npos) << status;
    const std::string metrics = Slurp(work / "tallon.prom");
    EXPECT_NE(metrics.find("tallon_watch_lines_total{outcome=\"added\"} 3\n"), std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("tallon_watch_files 1\n"), std::string::npos) << metrics;
    const std::string log = Slurp(work / "tallon.log");
    EXPECT_NE(log.find("Recovering: a.raw\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Completed - 3 records added.\r\n"), std::string::npos) << log;
}

// A day table locked by another program for longer than a write and the
// probe after it wait: the line that failed on it is held and written
// again once the lock is gone, not reported as failed, and the line that
// came with it is read then too.
TEST_F(Watch, ALineThatFailedOnALockedTableIsWrittenOnceTheLockIsGone) {
    const std::string a = raw / "a.raw";
    Append(a, Line(1) + "\r\n");
    Start("--rejects=" + work / "rejects.raw");
    ASSERT_TRUE(Eventually([&] { return StoredTimes().size() == 1; })) << Slurp(work / "out.txt");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((site / "TR260606.DB").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "begin exclusive", nullptr, nullptr, nullptr), SQLITE_OK);
    Append(a, Line(2) + "\r\n" + Line(3) + "\r\n");
    std::this_thread::sleep_for(std::chrono::seconds(12));
    sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    ASSERT_TRUE(Eventually([&] { return StoredTimes().size() == 3; })) << Slurp(work / "out.txt");
    EXPECT_EQ(Stop(), 0);
    // It did fail once (the log says so, as a run's log would), and was
    // not counted as failed.
    EXPECT_NE(Slurp(work / "tallon.log").find("Table is busy: TR260606"), std::string::npos);
    EXPECT_NE(Slurp(work / "out.txt").find("Waiting for the database: Table is busy"),
              std::string::npos);
    EXPECT_EQ(Slurp(work / "rejects.raw"), "");
    EXPECT_NE(Slurp(work / "status.json").find("\"added\": 3, \"refused\": 0"), std::string::npos)
        << Slurp(work / "status.json");
}

// A line that fails while its database answers failed by itself: it is
// reported as a run reports it and the lines after it are written, where a
// database that does not answer would have held it.
TEST_F(Watch, ALineThatFailsWhileTheDatabaseAnswersIsReportedAndPassed) {
    const auto external = test::ExternalDb::Sqlite(work.path());
    external->Use();
    external->Exec(
        "insert into rdrmain (logical_point, tag_name, spare3) values ('7', 'Door A', "
        "'READER-00001');"
        "insert into cards (card_number, name, staff_number, user1, user2, user3) values "
        "('123456', 'Ann', 'S1', '', '', '')");
    std::string nul = Line(2);
    nul[12] = '\0';  // the database cannot store a card number holding it
    Append(raw / "x.raw", Line(1) + "\r\n" + nul + "\r\n" + Line(3) + "\r\n");
    Start("--mode=corvane --rejects=" + work / "rejects.raw");
    ASSERT_TRUE(Eventually([&] { return external->TransRows().size() == 2; }))
        << Slurp(work / "out.txt");
    EXPECT_EQ(Stop(), 0);
    unsetenv("TALLON_DB_CONF");
    EXPECT_EQ(Slurp(work / "rejects.raw"), nul + "\r\n");
    EXPECT_NE(Slurp(work / "rejects.raw.csv").find("x.raw,2,failed,"), std::string::npos);
    EXPECT_EQ(Slurp(work / "out.txt").find("Waiting for the database"), std::string::npos);
    EXPECT_NE(Slurp(work / "status.json").find("\"failed\": 1,"), std::string::npos);
}

}  // namespace
}  // namespace tallon
