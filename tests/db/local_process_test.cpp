#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/db/local_fixture.h"

namespace tallon::test {
namespace {

// Runs body in a child process; the child's exit status is body's result
// (an escaping error is 99).
pid_t Child(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        int rc = 99;
        try {
            rc = body();
        } catch (const std::exception& e) {
            fprintf(stderr, "child: %s\n", e.what());
        }
        _exit(rc);
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class LocalProcessTest : public LocalDbTest {
  protected:
    // Appends n records with sequence numbers from first, opening and closing
    // the table for each as the local writer does.
    void AppendMany(int first, int n) {
        db::Table t("TransTable", "KD1");
        t.SetTableName("TRAN1");
        for (int i = 0; i < n; ++i) {
            t.Open();
            AppendRecord(t, first + i, 10, 0, "123456");
            t.Close();
        }
    }
    std::string CountRows() { return Scalar("select count(*) as n from TRAN1", "n"); }
};

TEST_F(LocalProcessTest, TwoProcessesAppendToOneTable) {
    MakeTransactionTable("TRAN1");
    const int n = 400;
    const pid_t child = Child([&] {
        AppendMany(100000, n);
        db::FlushAll();
        return 0;
    });
    AppendMany(1, n);
    db::FlushAll();
    ASSERT_EQ(Wait(child), 0);
    EXPECT_EQ(CountRows(), std::to_string(2 * n));
    EXPECT_EQ(PlainRead(dir_ / "TRAN1.DB", "select count(distinct SeqNo) from records")[0][0],
              std::to_string(2 * n));
}

TEST_F(LocalProcessTest, ExclusiveUseShutsOutOtherProcesses) {
    MakeTransactionTable("TRAN1");
    auto tryOpen = [&](bool exclusive) {
        db::Table t("TransTable", "KD1");
        t.SetTableName("tran1");
        t.SetExclusive(exclusive);
        try {
            t.Open();
        } catch (const EDatabaseError& e) {
            return e.Message() == "Table is busy: TRAN1" ? 1 : 2;
        }
        return 0;
    };

    // Held exclusively here: another process can open it neither way.
    {
        db::Table t("TransTable", "KD1");
        t.SetTableName("TRAN1");
        t.SetExclusive(true);
        t.Open();
        EXPECT_EQ(Wait(Child([&] { return tryOpen(false); })), 1);
        EXPECT_EQ(Wait(Child([&] { return tryOpen(true); })), 1);
        EXPECT_EQ(Wait(Child([&] {
                      db::Table other("TransTable", "KD1");
                      other.SetTableName("TRAN1");
                      try {
                          other.AddIndex("extra", "Name", db::ixNone);
                      } catch (const EDatabaseError&) {
                          return 1;
                      }
                      return 0;
                  })),
                  1);
    }
    // Released: others may open it again.
    EXPECT_EQ(Wait(Child([&] { return tryOpen(true); })), 0);

    // Open (shared) in another process: exclusive use here is refused.
    int toParent[2], toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    const pid_t holder = Child([&] {
        db::Table t("TransTable", "KD1");
        t.SetTableName("TRAN1");
        t.Open();
        char c = 'o';
        if (write(toParent[1], &c, 1) != 1)
            return 3;
        if (read(toChild[0], &c, 1) != 1)
            return 3;
        t.Close();
        return 0;
    });
    char c = 0;
    ASSERT_EQ(read(toParent[0], &c, 1), 1);
    EXPECT_EQ(tryOpen(true), 1);
    EXPECT_EQ(tryOpen(false), 0);  // sharing is fine
    db::Table indexer("TransTable", "KD1");
    indexer.SetTableName("TRAN1");
    EXPECT_THROW(indexer.AddIndex("extra", "Name", db::ixNone), EDatabaseError);
    ASSERT_EQ(write(toChild[1], &c, 1), 1);
    EXPECT_EQ(Wait(holder), 0);
    EXPECT_EQ(tryOpen(true), 0);
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]})
        close(fd);
}

TEST_F(LocalProcessTest, KilledWriterLeavesAReadableTable) {
    MakeTransactionTable("TRAN1");
    // Killed in the middle of appending: whatever was committed is there and
    // the file is sound.
    const pid_t writer = Child([&] {
        AppendMany(1, 1000000);
        return 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    kill(writer, SIGKILL);
    EXPECT_EQ(Wait(writer), 128 + SIGKILL);
    EXPECT_EQ(PlainRead(dir_ / "TRAN1.DB", "pragma integrity_check")[0][0], "ok");
    const int committed = std::stoi(CountRows());
    EXPECT_GT(committed, 0);

    // Flushed before the kill: every record survives.
    const pid_t flusher = Child([&] {
        AppendMany(5000000, 250);
        db::FlushAll();
        raise(SIGKILL);
        return 0;
    });
    EXPECT_EQ(Wait(flusher), 128 + SIGKILL);
    EXPECT_EQ(std::stoi(CountRows()), committed + 250);
    EXPECT_EQ(PlainRead(dir_ / "TRAN1.DB", "pragma integrity_check")[0][0], "ok");

    // The table still takes records and keys.
    db::Table t("TransTable", "KD1");
    t.SetTableName("TRAN1");
    t.Open();
    AppendRecord(t, 0.5, 10, 0, "123456");
    EXPECT_TRUE(t.FindKey(0.5, EncodeTime(10, 0, 0, 0), "123456"));
    EXPECT_TRUE(t.FindKey(5000000, EncodeTime(10, 0, 0, 0), "123456"));
}

}  // namespace
}  // namespace tallon::test

namespace tallon::test {
namespace {

TEST_F(LocalDbTest, IdleProcessCommitsAndReleasesOnItsOwn) {
    MakeTransactionTable("TRAN1");
    db::Table t("TransTable", "KD1");
    t.SetTableName("TRAN1");
    t.Open();
    AppendRecord(t, 1, 10, 0, "123456");
    t.Close();
    EXPECT_EQ(Scalar("select count(*) as n from TRAN1", "n"), "1");  // a read as well
    // No further engine calls: the record reaches the file and the locks go.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(PlainRead(dir_ / "TRAN1.DB", "select count(*) from records")[0][0], "1");
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ / "TRAN1.DB").c_str(), &other), SQLITE_OK);
    sqlite3_busy_timeout(other, 100);
    EXPECT_EQ(sqlite3_exec(other, "update records set Name='x'", nullptr, nullptr, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(other);
    sqlite3_close(other);
    EXPECT_EQ(Scalar("select Name from TRAN1", "Name"), "x");
}

}  // namespace
}  // namespace tallon::test
