#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "db/batch.h"
#include "tests/db/local_fixture.h"
#include "tests/support/child_process.h"

namespace tallon::test {
namespace {

// Waits for other processes' locks are shortened to keep the tests quick.
class LocalProcessTest : public LocalDbTest {
  protected:
    void SetUp() override {
        LocalDbTest::SetUp();
        engine_.SetLockWaitMs(1500);
        setenv("TALLON_TEST_LOCK_WAIT_MS", "1500", 1);
    }
    void TearDown() override {
        unsetenv("TALLON_TEST_LOCK_WAIT_MS");
        LocalDbTest::TearDown();
    }

    // Appends n records with sequence numbers from first, opening and closing
    // the table for each as the local writer does.
    void AppendMany(int first, int n) {
        db::Table t(engine_, "TransTable", "KD1");
        t.SetTableName("TRAN1");
        for (int i = 0; i < n; ++i) {
            t.Open();
            AppendRecord(t, first + i, 10, 0, "123456");
            t.Close();
        }
    }
    std::string CountRows() { return Scalar("select count(*) as n from TRAN1", "n"); }
    Child Start(const std::vector<std::string>& args) {
        std::vector<std::string> argv{ChildProgram()};
        argv.insert(argv.end(), args.begin(), args.end());
        return StartProcess(argv);
    }
};

TEST_F(LocalProcessTest, TwoProcessesAppendToOneTable) {
    MakeTransactionTable("TRAN1");
    const int n = 400;
    Child child = Start({"append", dir_.path(), "TRAN1", "100000", std::to_string(n), "batch"});
    {
        db::Batch batch(engine_);
        for (int i = 0; i < n; ++i) {
            AppendMany(1 + i, 1);
            if (batch.Due()) {
                batch.Commit();
            }
        }
        batch.Commit();
    }
    ASSERT_EQ(WaitFor(child), 0);
    EXPECT_EQ(CountRows(), std::to_string(2 * n));
    EXPECT_EQ(PlainRead(dir_ / "TRAN1.DB", "select count(distinct SeqNo) from records")[0][0],
              std::to_string(2 * n));
}

TEST_F(LocalProcessTest, ExclusiveUseShutsOutOtherProcesses) {
    MakeTransactionTable("TRAN1");
    auto tryOpen = [&](bool exclusive) {
        db::Table t(engine_, "TransTable", "KD1");
        t.SetTableName("tran1");
        t.SetExclusive(exclusive);
        try {
            t.Open();
        } catch (const EDatabaseError& e) {
            return e.Message() == "Table is busy: TRAN1" ? 1 : 2;
        }
        return 0;
    };
    const std::string dir = dir_.path();

    // Held exclusively here: another process can open it neither way, and
    // gives up after its bounded wait.
    {
        db::Table t(engine_, "TransTable", "KD1");
        t.SetTableName("TRAN1");
        t.SetExclusive(true);
        t.Open();
        EXPECT_EQ(RunChild({"open", dir, "TRAN1", "shared"}), 1);
        EXPECT_EQ(RunChild({"open", dir, "tran1", "exclusive"}), 1);
        EXPECT_EQ(RunChild({"addindex", dir, "TRAN1"}), 1);
    }
    // Released: others may open it again.
    EXPECT_EQ(RunChild({"open", dir, "TRAN1", "exclusive"}), 0);

    // Open (shared) in another process: exclusive use here is refused.
    Child holder = Start({"hold", dir, "TRAN1"});
    char c = 0;
    ASSERT_EQ(read(holder.fromChild, &c, 1), 1);
    EXPECT_EQ(tryOpen(true), 1);
    EXPECT_EQ(tryOpen(false), 0);  // sharing is fine
    db::Table indexer(engine_, "TransTable", "KD1");
    indexer.SetTableName("TRAN1");
    EXPECT_THROW(indexer.AddIndex("extra", "Name", db::ixNone), EDatabaseError);
    ASSERT_EQ(write(holder.toChild, &c, 1), 1);
    EXPECT_EQ(WaitFor(holder), 0);
    EXPECT_EQ(tryOpen(true), 0);

    // A short hold is waited for, not failed: the holder lets go within the
    // wait.
    Child brief = Start({"hold", dir, "TRAN1"});
    ASSERT_EQ(read(brief.fromChild, &c, 1), 1);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        (void)!write(brief.toChild, &c, 1);
    });
    EXPECT_EQ(tryOpen(true), 0);
    release.join();
    EXPECT_EQ(WaitFor(brief), 0);
}

TEST_F(LocalProcessTest, KilledWriterLeavesAReadableTable) {
    MakeTransactionTable("TRAN1");
    // Killed in the middle of appending: whatever was committed is there and
    // the file is sound.
    Child writer = Start({"append", dir_.path(), "TRAN1", "1", "1000000", "batch"});
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    kill(writer.pid, SIGKILL);
    EXPECT_EQ(WaitFor(writer), 128 + SIGKILL);
    EXPECT_EQ(PlainRead(dir_ / "TRAN1.DB", "pragma integrity_check")[0][0], "ok");
    const int committed = std::stoi(CountRows());
    EXPECT_GT(committed, 0);

    // Flushed before the kill: every record survives.
    EXPECT_EQ(RunChild({"append", dir_.path(), "TRAN1", "5000000", "250", "batch", "kill"}),
              128 + SIGKILL);
    EXPECT_EQ(std::stoi(CountRows()), committed + 250);
    EXPECT_EQ(PlainRead(dir_ / "TRAN1.DB", "pragma integrity_check")[0][0], "ok");

    // The table still takes records and keys.
    db::Table t(engine_, "TransTable", "KD1");
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

TEST_F(LocalDbTest, OutsideABatchNothingIsHeldBack) {
    MakeTransactionTable("TRAN1");
    db::Table t(engine_, "TransTable", "KD1");
    t.SetTableName("TRAN1");
    t.Open();
    AppendRecord(t, 1, 10, 0, "123456");
    t.Close();
    EXPECT_EQ(Scalar("select count(*) as n from TRAN1", "n"), "1");  // a read as well
    // Outside a batch every post is committed at once, and nothing is held.
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
