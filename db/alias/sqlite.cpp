// An alias on an SQLite database file.
//
// Each statement text is prepared once per connection and kept. Outside a
// batch every statement commits on its own, by SQLite's rules; inside one the
// connection holds a write transaction from its first statement until the
// batch commits, so a run's inserts cost one sync per batch instead of one
// per insert. A failing statement fails alone: SQLite undoes just that
// statement and the transaction goes on.

#include <sqlite3.h>

#include "base/errors.h"
#include "base/file_names.h"
#include "base/text.h"
#include "db/alias/drivers.h"
#include "db/batch.h"
#include "db/engine.h"
#include "db/sqlite/handle.h"
#include "db/sqlite/prepared.h"
#include "db/sqlite/run.h"
#include "db/sqlite/transaction.h"

namespace tallon::db {

namespace {

// How long a statement waits for another process's lock on the file.
constexpr int kWaitMs = 5000;

// A file busy with another writer: commit what the batch holds, then let
// SQLite wait for the file.
class AliasTurns final : public sqlite::TurnTaking {
  public:
    explicit AliasTurns(Engine& engine) : engine_(engine) {}
    void ReleaseHeld() override { engine_.CommitBeforeWaiting(); }
    void Wait(sqlite::Handle& handle, const std::function<bool()>& attempt) override {
        handle.SetBusyTimeout(kWaitMs);
        attempt();
    }

  private:
    Engine& engine_;
};

class SqliteAliasConnection final : public Connection, public BatchMember {
  public:
    SqliteAliasConnection(Engine& engine, const AliasConfig& alias, std::string usedName)
        : engine_(engine),
          path_(alias.database),
          name_(std::move(usedName)),
          synchronous_(alias.synchronous) {}

    ~SqliteAliasConnection() override {
        if (Batch* b = engine_.ActiveBatch()) {
            b->Leave(this);
        }
    }

    void Run(const Statement& statement, Rows* rows) override {
        Connect();
        JoinBatch();
        try {
            sqlite::RunStatement(statements_.Get(handle_.get(), statement.text), statement.values,
                                 rows, nullptr);
        } catch (const EDatabaseError& e) {
            NoteLoss(e.Message());
            throw;
        }
    }

    void RunText(const std::string& sql, Rows* rows) override;

    void CommitBatch() override {
        if (transaction_.UndoneBySqlite()) {
            // SQLite ended it itself (after a disk-full or I/O error).
            transaction_.Rollback();
            throw EDatabaseError("Cannot commit to database '" + name_ +
                                 "': the changes were undone");
        }
        if (const std::string error = transaction_.Commit(); !error.empty()) {
            throw EDatabaseError("Cannot commit to database '" + name_ + "': " + error);
        }
    }

    void AbandonBatch() noexcept override { transaction_.Rollback(); }

  private:
    void Connect();
    void NoteLoss(const std::string& message);
    void JoinBatch();

    Engine& engine_;
    std::string path_;
    std::string name_;
    std::string synchronous_;
    sqlite::Handle handle_;
    sqlite::StatementCache statements_{64, sqlite::Rest::Ignored};
    sqlite::Transaction transaction_;  // the batch's, while it lasts
};

// Every statement of the text in turn; what the last one selects is kept.
void SqliteAliasConnection::RunText(const std::string& sql, Rows* rows) {
    Connect();
    JoinBatch();
    const char* tail = sql.c_str();
    const char* end = tail + sql.size();
    while (tail < end) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(handle_.get(), tail, static_cast<int>(end - tail), &raw, &tail) !=
            SQLITE_OK) {
            throw EDatabaseError(handle_.ErrorMessage());
        }
        const sqlite::Prepared statement(raw);
        if (!statement) {
            break;  // only blanks or comments were left
        }
        Rows scratch;
        const bool wanted = rows && sqlite3_column_count(raw) > 0;
        sqlite::RunStatement(raw, {}, wanted ? rows : &scratch, nullptr);
    }
}

void SqliteAliasConnection::Connect() {
    if (handle_) {
        return;
    }
    if (sqlite3_initialize() != SQLITE_OK) {
        ThrowEngineStartError(kStartLibraryUnusable);
    }
    // The file must exist: opening a missing one would silently make an
    // empty database and every lookup would then find nothing.
    const std::string file = ResolveFileName(path_);
    if (!FileExists(file)) {
        throw EDatabaseError("Database file '" + path_ + "' of alias '" + name_ + "' not found");
    }
    sqlite::Handle handle;
    try {
        handle = sqlite::Handle(file, SQLITE_OPEN_READWRITE);
    } catch (const EDatabaseError& e) {
        throw EDatabaseError("Cannot open database file '" + path_ + "': " + e.Message());
    }
    // Another process (the admin tool, a second run) may hold the file
    // briefly; wait for it instead of failing the record.
    handle.SetBusyTimeout(kWaitMs);
    if (!synchronous_.empty()) {
        try {
            handle.Exec("PRAGMA synchronous=" + synchronous_);
        } catch (const EDatabaseError& e) {
            throw EDatabaseError("Cannot set up database file '" + path_ + "': " + e.Message());
        }
    }
    handle_ = std::move(handle);
}

// A failed statement may have made SQLite undo the whole transaction (a full
// disk, an I/O error): the batch has then lost what we wrote.
void SqliteAliasConnection::NoteLoss(const std::string& message) {
    if (!transaction_.UndoneBySqlite()) {
        return;
    }
    transaction_.Rollback();
    if (Batch* b = engine_.ActiveBatch()) {
        b->Leave(this);
        b->MarkLost(this, "Changes to database '" + name_ + "' were undone: " + message);
    }
}

// Inside a batch: one write transaction from the first statement on. A file
// busy with another writer makes us commit what we hold first.
void SqliteAliasConnection::JoinBatch() {
    if (!engine_.ActiveBatch() || transaction_.Open()) {
        return;
    }
    AliasTurns turns(engine_);
    if (sqlite::BeginImmediate(handle_, turns, kWaitMs) != SQLITE_OK) {
        throw EDatabaseError(handle_.ErrorMessage());
    }
    transaction_ = sqlite::Transaction::Adopt(handle_);
    // Joining after the wait: the batch that was committed to make room is
    // over, and this transaction belongs to the next one.
    engine_.ActiveBatch()->Join(this);
}

}  // namespace

std::unique_ptr<Connection> MakeSqliteAliasConnection(Engine& engine, const AliasConfig& alias,
                                                      const std::string& usedName) {
    return std::make_unique<SqliteAliasConnection>(engine, alias, usedName);
}

}  // namespace tallon::db
