#pragma once

// The run's batch on a PostgreSQL session: one transaction from the batch's
// first statement until the batch commits, so a run pays one commit (one
// log flush on the server) per batch instead of one per insert.
//
// Runs on one database take turns batch by batch: each batch's transaction
// holds an advisory lock, so a run's duplicate checks see everything other
// runs committed before, and two runs of one file store each event once.
// The wait for it is bounded like any lock wait of the engine.
//
// Every write of the open transaction is kept with the check that came
// before it. When the session breaks, the transaction waits a bounded time
// for the server, opens a new transaction and runs the kept writes again,
// each only when its check still finds nothing. That also settles a commit
// whose answer was lost: if it went through, every check finds its row and
// nothing is written twice. A server that does not come back loses the
// batch's work (the batch hears it as this member's loss).

#include <optional>
#include <string>
#include <vector>

#include "db/alias/postgresql/session.h"
#include "db/batch.h"

namespace tallon::db::pg {

class Transaction {
  public:
    Transaction(Session& session, Engine& engine, BatchMember& member)
        : session_(session), engine_(engine), member_(member) {}

    // True while this batch's transaction is open.
    bool Active() const { return active_; }

    // Opens the transaction at the batch's first statement and joins the
    // batch. Raises ConnectionLost when the session was lost (also before
    // this batch: it is waited for like one lost in the middle).
    void Begin();

    // Runs `step` (which begins the transaction) and returns its answer.
    // When the session is lost under it, waits for the server, brings the
    // transaction back with its kept writes and runs `step` once more; a
    // session lost again loses the batch's work. This is the one place a
    // lost session of a batch is handled.
    template <class Step>
    auto Retrying(Step step) -> decltype(step());

    // A statement of the transaction. A failure that left the transaction
    // unusable restores it, so the failure stays the statement's own.
    Result Checked(const Statement& statement, const Parameters& params);
    // Savepoint, write, release in one round trip; a failed write is rolled
    // back to its savepoint and raised.
    void GuardedWrite(const Statement& statement, const Parameters& params);
    // The server's name of `text`; a failed prepare restores the transaction.
    std::string Prepared(const std::string& text, unsigned uses = 1);

    // The writes to bring back after a lost session: a check run (a
    // ReadBeforeWrite statement) and the write it decided.
    void NoteCheck(const Statement& check) { lastCheck_ = check; }
    void KeepWrite(const Statement& write);
    void KeepWrite(const Statement& check, const Statement& write);

    // After a failed statement: when the transaction is unusable, undoes
    // it and brings the kept writes back on a new turn of the runs' lock.
    // Returns whether it did (the checks made before are then stale).
    bool Restore();

    // The batch's commit. Raises EDatabaseError when it is not kept.
    void Commit();
    void Abandon() noexcept;

  private:
    void OpenTransaction();
    void CommitOnce();
    void WaitForServer();
    void Reopen();
    void Replay();
    [[noreturn]] void Fail(const std::string& message);

    struct Kept {
        std::optional<Statement> check;
        Statement write;
    };

    Session& session_;
    Engine& engine_;
    BatchMember& member_;
    bool active_ = false;
    bool committing_ = false;  // a session brought back then is not a new batch's
    std::vector<Kept> journal_;
    std::optional<Statement> lastCheck_;
};

template <class Step>
auto Transaction::Retrying(Step step) -> decltype(step()) {
    for (int attempt = 0;; ++attempt) {
        try {
            return step();
        } catch (const ConnectionLost&) {
            // Everything of the open transaction is gone with the session:
            // Reopen() brings the kept writes back, then the step runs again.
            if (attempt > 0) {
                Fail("the connection to the server was lost again");
            }
            Reopen();
        }
    }
}

}  // namespace tallon::db::pg
