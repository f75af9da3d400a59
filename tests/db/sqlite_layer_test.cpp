// The SQLite layer under every database of the engine: transactions end as
// their owner says and never stay open by accident, and a busy file is
// waited for only after what the waiter holds was given up.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/errors.h"
#include "db/sqlite/handle.h"
#include "db/sqlite/prepared.h"
#include "db/sqlite/run.h"
#include "db/sqlite/transaction.h"
#include "tests/support/temp_dir.h"

namespace tallon::db::sqlite {
namespace {

std::string Count(Handle& h, const std::string& table) {
    Rows rows;
    RunStatement(Prepare(h.get(), "select count(*) from " + table, 0, Rest::Ignored).get(), {},
                 &rows, nullptr);
    return rows.values.at(0).at(0);
}

// Records what a connection did while it took its turn.
struct RecordedTurns final : TurnTaking {
    std::vector<std::string> steps;
    std::function<void()> release = [] {};
    void ReleaseHeld() override {
        steps.push_back("release");
        release();
    }
    void Wait(Handle&, const std::function<bool()>& attempt) override {
        steps.push_back(attempt() ? "got it" : "still busy");
    }
};

TEST(SqliteLayer, TransactionsEndAsTheirOwnerSaysAndBusyFilesWaitTheirTurn) {
    test::TempDir dir;
    Handle a(dir / "t.db", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    a.Exec(
        "PRAGMA foreign_keys=ON; CREATE TABLE p(id INTEGER PRIMARY KEY); CREATE TABLE c(pid "
        "REFERENCES p(id) DEFERRABLE INITIALLY DEFERRED)");
    Handle b(dir / "t.db", SQLITE_OPEN_READWRITE);

    // Left open, undone when it goes.
    {
        Transaction t = Transaction::Begin(a, "BEGIN IMMEDIATE");
        a.Exec("INSERT INTO p VALUES(1)");
    }
    EXPECT_FALSE(a.InTransaction());
    EXPECT_EQ(Count(b, "p"), "0");

    // A commit SQLite refuses is rolled back and says why.
    Transaction refused = Transaction::Begin(a, "BEGIN");
    a.Exec("INSERT INTO c VALUES(7)");
    EXPECT_EQ(refused.Commit(), "FOREIGN KEY constraint failed");
    EXPECT_FALSE(a.InTransaction());
    EXPECT_EQ(Count(b, "c"), "0");

    // Busy: what the waiter holds goes first, then it waits.
    Transaction holder = Transaction::Begin(a, "BEGIN IMMEDIATE");
    a.Exec("INSERT INTO p VALUES(2)");
    RecordedTurns stuck;
    EXPECT_TRUE(IsBusy(BeginImmediate(b, stuck, 0)));
    EXPECT_EQ(stuck.steps, (std::vector<std::string>{"release", "still busy"}));
    RecordedTurns turns;
    turns.release = [&] { EXPECT_EQ(holder.Commit(), ""); };
    ASSERT_EQ(BeginImmediate(b, turns, 0), SQLITE_OK);
    EXPECT_EQ(turns.steps, (std::vector<std::string>{"release", "got it"}));
    Transaction::Adopt(b).Rollback();
    EXPECT_EQ(Count(a, "p"), "1");

    // One statement per text where the cache says so; a lone ";" may follow.
    StatementCache one(8, Rest::OnlySemicolon);
    EXPECT_NO_THROW(one.Get(a.get(), "select 1;"));
    try {
        one.Get(a.get(), "select 1; delete from p");
        ADD_FAILURE() << "a second statement was accepted";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Only one statement can be run at a time");
    }
    EXPECT_THROW(one.Get(a.get(), "  -- nothing"), EDatabaseError);
    EXPECT_EQ(Count(a, "p"), "1");
}

}  // namespace
}  // namespace tallon::db::sqlite
