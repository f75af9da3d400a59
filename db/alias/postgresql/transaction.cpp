#include "db/alias/postgresql/transaction.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "db/alias/postgresql/pipe.h"

namespace tallon::db::pg {
namespace {

// The advisory lock the runs take turns with (two keys: "tall", 1).
constexpr const char* kRunLock = "1952541804, 1";

}  // namespace

void Transaction::Begin() {
    if (active_) {
        if (!session_.IsOpen()) {
            throw ConnectionLost{};
        }
        return;
    }
    // A session lost before this batch began is waited for like one lost in
    // its middle, rather than failing line after line.
    if (!session_.IsOpen() && session_.WasConnected()) {
        throw ConnectionLost{};
    }
    session_.Connect();
    OpenTransaction();
    active_ = true;
    engine_.ActiveBatch()->Join(&member_);
}

// Every run writing to the database holds the same lock for its
// transaction, so runs take turns batch by batch and a duplicate check
// always sees what another run's earlier batch added (otherwise two runs of
// one RAW file would both find nothing and both insert).
void Transaction::OpenTransaction() {
    const std::string sql =
        "BEGIN; SET LOCAL lock_timeout = " + std::to_string(engine_.LockWaitMs()) +
        "; SELECT pg_advisory_xact_lock(" + kRunLock + ")";
    const Result res = session_.Exec(sql);
    if (PQresultStatus(res.get()) == PGRES_TUPLES_OK) {
        return;
    }
    const std::string msg = session_.ErrorText(res.get());
    session_.ThrowIfLost();
    session_.RollbackQuietly();
    throw EDatabaseError("Database '" + session_.Alias() +
                         "' is busy: another run is writing to it (" + msg + ")");
}

Result Transaction::Checked(const Statement& statement, const Parameters& params) {
    Result res;
    try {
        res = session_.ExecPrepared(statement, params);
    } catch (const EDatabaseError&) {
        Restore();  // a failed prepare
        throw;
    }
    if (Succeeded(res.get())) {
        return res;
    }
    session_.ThrowIfLost();
    EDatabaseError error = session_.ErrorOf(res.get());
    Restore();
    throw error;
}

void Transaction::GuardedWrite(const Statement& statement, const Parameters& params) {
    const std::string name = Prepared(statement.text);
    const std::vector<Piped> answers = RunPipe(session_, 3, [&](size_t i) {
        if (i == 1) {
            return SendPrepared(session_, name, params);
        }
        return SendPlain(session_,
                         i == 0 ? "SAVEPOINT tallon_line" : "RELEASE SAVEPOINT tallon_line");
    });
    std::optional<EDatabaseError> error;
    for (const Piped& p : answers) {
        if (!p.Ok() && !error) {
            error = p.error.value_or(EDatabaseError("PostgreSQL error"));
        }
    }
    if (!error) {
        return;
    }
    if (session_.TransactionStatus() == PQTRANS_INERROR) {
        session_.Simple("ROLLBACK TO SAVEPOINT tallon_line");
        session_.Simple("RELEASE SAVEPOINT tallon_line");
    }
    throw *error;
}

std::string Transaction::Prepared(const std::string& text, unsigned uses) {
    try {
        return session_.Prepared(text, uses);
    } catch (const EDatabaseError&) {
        Restore();
        throw;
    }
}

void Transaction::KeepWrite(const Statement& write) {
    journal_.push_back({std::move(lastCheck_), write});
    lastCheck_.reset();
}

void Transaction::KeepWrite(const Statement& check, const Statement& write) {
    journal_.push_back({check, write});
}

bool Transaction::Restore() {
    if (!active_ || session_.TransactionStatus() != PQTRANS_INERROR) {
        return false;
    }
    try {
        // The lock went with the transaction: another run may have added
        // some of the kept writes' events meanwhile, so each is checked.
        session_.Simple("ROLLBACK");
        OpenTransaction();
        Replay();
    } catch (const EDatabaseError& e) {
        Fail(e.Message());
    }
    return true;
}

void Transaction::Replay() {
    for (const Kept& k : journal_) {
        if (k.check) {
            const Result res = Checked(*k.check, Parameters(*k.check));
            if (PQntuples(res.get()) > 0) {
                continue;
            }
        }
        GuardedWrite(k.write, Parameters(k.write));
    }
}

void Transaction::Commit() {
    active_ = false;
    committing_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{committing_};
    // Whether a commit whose answer was lost happened is unknown: the
    // checks of the kept writes tell, in a new transaction.
    Retrying([this] { CommitOnce(); });
}

void Transaction::CommitOnce() {
    if (!session_.IsOpen()) {
        throw ConnectionLost{};
    }
    const Result res = session_.Exec("COMMIT");
    if (PQresultStatus(res.get()) == PGRES_COMMAND_OK &&
        std::strcmp(PQcmdStatus(res.get()), "COMMIT") == 0) {
        journal_.clear();
        return;
    }
    const std::string msg = session_.ErrorText(res.get());
    session_.ThrowIfLost();
    journal_.clear();
    session_.RollbackQuietly();
    throw EDatabaseError("Cannot commit to database '" + session_.Alias() + "': " + msg);
}

void Transaction::Abandon() noexcept {
    active_ = false;
    journal_.clear();
    lastCheck_.reset();
    session_.RollbackQuietly();
}

void Transaction::WaitForServer() {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(engine_.ReconnectWaitMs());
    for (;;) {
        try {
            session_.Connect();
            return;
        } catch (const EDatabaseError& e) {
            if (std::chrono::steady_clock::now() >= deadline) {
                Fail(e.Message());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
}

// After a lost session: wait for the server (a bounded time), open a
// transaction and bring back the kept writes, each only when its check
// finds nothing (an earlier commit, or another run, may have kept it).
void Transaction::Reopen() {
    session_.Drop();
    WaitForServer();
    try {
        OpenTransaction();
        Replay();
    } catch (const ConnectionLost&) {
        Fail("the connection to the server was lost again");
    } catch (const EDatabaseError& e) {
        Fail(e.Message());
    }
    if (!active_ && !committing_ && engine_.ActiveBatch()) {
        active_ = true;
        engine_.ActiveBatch()->Join(&member_);
    }
}

void Transaction::Fail(const std::string& message) {
    const std::string msg =
        "Lost the connection to database '" + session_.Alias() + "': " + message;
    journal_.clear();
    lastCheck_.reset();
    if (Batch* b = engine_.ActiveBatch()) {
        b->MarkLost(&member_, msg);
    }
    throw EDatabaseError(msg);
}

}  // namespace tallon::db::pg
