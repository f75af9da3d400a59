// An alias on a PostgreSQL server, through libpq, in three parts:
// postgresql/session.* (the connection, the login and the prepared
// statements), postgresql/transaction.* (the run's batch as one transaction,
// with its kept writes and their replay after a lost session) and
// postgresql/pipe.* with postgresql/checked_writes.* (statements sent
// several at a time). This file is the connection the engine hands out.
//
// Outside a batch every statement commits on its own (autocommit). A
// connection lost between statements is reopened by the next statement. A
// select that finds the connection gone is retried once on a fresh
// connection (it changes nothing, so running it again is harmless); any
// other statement reports the error, because the server may or may not have
// carried it out, and the statement after it reconnects.
//
// Inside a batch each write runs under a savepoint sent with it in one round
// trip, so a write that fails undoes only itself; checked writes travel in
// pipes (see checked_writes.h).

#include <strings.h>

#include "base/errors.h"
#include "db/alias/drivers.h"
#include "db/alias/postgresql/checked_writes.h"
#include "db/alias/postgresql/session.h"
#include "db/alias/postgresql/transaction.h"
#include "db/batch.h"
#include "db/engine.h"

namespace tallon::db {
namespace {

// Lines per pipe: enough that round trips stop mattering, few enough that
// STOP is not kept waiting and a failure resends little.
constexpr size_t kCheckedWritesPerCall = 64;

bool StartsWithSelect(const std::string& sql) {
    size_t i = 0;
    while (i < sql.size() && static_cast<unsigned char>(sql[i]) <= ' ') {
        ++i;
    }
    return sql.size() - i >= 6 && strncasecmp(sql.c_str() + i, "select", 6) == 0;
}

class PgAliasConnection final : public Connection, public BatchMember {
  public:
    PgAliasConnection(Engine& engine, const AliasConfig& alias, std::string usedName)
        : engine_(engine), session_(engine, alias.connection, std::move(usedName)) {}

    ~PgAliasConnection() override {
        if (Batch* b = engine_.ActiveBatch()) {
            b->Leave(this);
        }
    }

    void Run(const Statement& statement, Rows* rows) override {
        const pg::Parameters params(statement);
        if (engine_.ActiveBatch()) {
            RunInBatch(statement, params, rows);
            return;
        }
        const pg::Result res = Autocommit([&] { return session_.ExecPrepared(statement, params); },
                                          statement.intent == Statement::Intent::Read);
        if (rows) {
            pg::CollectRows(res.get(), *rows);
        }
    }

    void RunText(const std::string& sql, Rows* rows) override {
        // Typed statements manage their own transactions: the batch's is
        // committed first so they start from a clean session.
        if (transaction_.Active()) {
            engine_.CommitBeforeWaiting();
        }
        const pg::Result res =
            Autocommit([&] { return session_.Exec(sql); }, StartsWithSelect(sql));
        if (rows) {
            pg::CollectRows(res.get(), *rows);
        }
    }

    size_t CheckedWritesPerCall() const override { return kCheckedWritesPerCall; }

    void RunCheckedWrites(std::span<const CheckedWrite> units,
                          std::vector<CheckedWriteOutcome>& outcomes) override {
        if (!engine_.ActiveBatch()) {
            Connection::RunCheckedWrites(units, outcomes);
            return;
        }
        pg::CheckedWriteCall(session_, transaction_, units, outcomes).Run();
    }

    void CommitBatch() override { transaction_.Commit(); }
    void AbandonBatch() noexcept override { transaction_.Abandon(); }

  private:
    void RunInBatch(const Statement& statement, const pg::Parameters& params, Rows* rows) {
        transaction_.Retrying([&] {
            transaction_.Begin();
            if (statement.intent == Statement::Intent::Write) {
                transaction_.GuardedWrite(statement, params);
                transaction_.KeepWrite(statement);
                if (rows) {
                    rows->Clear();
                }
                return;
            }
            const pg::Result res = transaction_.Checked(statement, params);
            if (rows) {
                pg::CollectRows(res.get(), *rows);
            }
            if (statement.intent == Statement::Intent::ReadBeforeWrite) {
                transaction_.NoteCheck(statement);
            }
        });
    }

    // Runs one statement on its own; returns its result or raises the
    // server's message. A statement that changes nothing (`retryWhenLost`)
    // is run again once on a fresh session when the session was gone.
    template <class Send>
    pg::Result Autocommit(Send send, bool retryWhenLost) {
        for (int attempt = 0;; ++attempt) {
            session_.Connect();
            pg::Result res;
            try {
                res = send();
            } catch (const pg::ConnectionLost& lost) {
                // A prepare that found the session gone.
                if (retryWhenLost && attempt == 0) {
                    continue;
                }
                throw EDatabaseError(lost.message);
            }
            if (pg::Succeeded(res.get())) {
                return res;
            }
            if (session_.Broken() && retryWhenLost && attempt == 0) {
                continue;
            }
            throw session_.ErrorOf(res.get());
        }
    }

    Engine& engine_;
    pg::Session session_;
    pg::Transaction transaction_{session_, engine_, *this};
};

}  // namespace

std::unique_ptr<Connection> MakePostgresAliasConnection(Engine& engine, const AliasConfig& alias,
                                                        const std::string& usedName) {
    return std::make_unique<PgAliasConnection>(engine, alias, usedName);
}

}  // namespace tallon::db
