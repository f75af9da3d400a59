// An alias on an SQLite database file.
//
// Each statement text is prepared once per connection and kept. Outside a
// batch every statement commits on its own, by SQLite's rules; inside one the
// connection holds a write transaction from its first statement until the
// batch commits, so a run's inserts cost one sync per batch instead of one
// per insert. A failing statement fails alone: SQLite undoes just that
// statement and the transaction goes on.

#include <sqlite3.h>

#include <unordered_map>

#include "base/errors.h"
#include "base/file_names.h"
#include "base/text.h"
#include "db/alias/drivers.h"
#include "db/batch.h"
#include "db/engine.h"
#include "db/local/sqlite_run.h"

namespace tallon::db {

namespace {

// How long a statement waits for another process's lock on the file.
constexpr int kWaitMs = 5000;

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
        Close();
    }

    void Run(const Statement& statement, Rows* rows) override {
        Connect();
        JoinBatch();
        try {
            local::RunStatement(Prepared(statement.text), statement.values, rows, nullptr);
        } catch (const EDatabaseError& e) {
            NoteLoss(e.Message());
            throw;
        }
    }

    void RunText(const std::string& sql, Rows* rows) override {
        Connect();
        JoinBatch();
        const char* tail = sql.c_str();
        const char* end = tail + sql.size();
        while (tail < end) {
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v2(db_, tail, static_cast<int>(end - tail), &stmt, &tail) !=
                SQLITE_OK) {
                throw EDatabaseError(sqlite3_errmsg(db_));
            }
            if (!stmt) {
                break;  // only blanks or comments were left
            }
            try {
                Rows scratch;
                const bool wanted = rows && sqlite3_column_count(stmt) > 0;
                local::RunStatement(stmt, {}, wanted ? rows : &scratch, nullptr);
            } catch (...) {
                sqlite3_finalize(stmt);
                throw;
            }
            sqlite3_finalize(stmt);
        }
    }

    void CommitBatch() override {
        inBatch_ = false;
        if (sqlite3_get_autocommit(db_)) {
            // SQLite ended it itself (after a disk-full or I/O error).
            throw EDatabaseError("Cannot commit to database '" + name_ +
                                 "': the changes were undone");
        }
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            const std::string msg = sqlite3_errmsg(db_);
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw EDatabaseError("Cannot commit to database '" + name_ + "': " + msg);
        }
    }

    void AbandonBatch() noexcept override {
        inBatch_ = false;
        if (db_ && !sqlite3_get_autocommit(db_)) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }

  private:
    void Connect() {
        if (db_) {
            return;
        }
        if (sqlite3_initialize() != SQLITE_OK) {
            ThrowEngineStartError(kStartLibraryUnusable);
        }
        // The file must exist: opening a missing one would silently make an
        // empty database and every lookup would then find nothing.
        const std::string file = ResolveFileName(path_);
        if (!FileExists(file)) {
            throw EDatabaseError("Database file '" + path_ + "' of alias '" + name_ +
                                 "' not found");
        }
        sqlite3* db = nullptr;
        const int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        if (rc != SQLITE_OK) {
            std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
            sqlite3_close_v2(db);
            throw EDatabaseError("Cannot open database file '" + path_ + "': " + msg);
        }
        sqlite3_extended_result_codes(db, 1);
        // Another process (the admin tool, a second run) may hold the file
        // briefly; wait for it instead of failing the record.
        sqlite3_busy_timeout(db, kWaitMs);
        if (!synchronous_.empty()) {
            const std::string pragma = "PRAGMA synchronous=" + synchronous_;
            if (sqlite3_exec(db, pragma.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
                std::string msg = sqlite3_errmsg(db);
                sqlite3_close_v2(db);
                throw EDatabaseError("Cannot set up database file '" + path_ + "': " + msg);
            }
        }
        db_ = db;
    }

    void Close() {
        for (auto& [text, stmt] : statements_) {
            sqlite3_finalize(stmt);
        }
        statements_.clear();
        if (db_) {
            sqlite3_close_v2(db_);
            db_ = nullptr;
        }
    }

    // A failed statement may have made SQLite undo the whole transaction (a
    // full disk, an I/O error): the batch has then lost what we wrote.
    void NoteLoss(const std::string& message) {
        if (!inBatch_ || !db_ || !sqlite3_get_autocommit(db_)) {
            return;
        }
        inBatch_ = false;
        if (Batch* b = engine_.ActiveBatch()) {
            b->Leave(this);
            b->MarkLost(this, "Changes to database '" + name_ + "' were undone: " + message);
        }
    }

    // Inside a batch: one write transaction from the first statement on. A
    // file busy with another writer makes us commit what we hold first.
    void JoinBatch() {
        Batch* batch = engine_.ActiveBatch();
        if (!batch || inBatch_) {
            return;
        }
        sqlite3_busy_timeout(db_, 0);
        int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        if ((rc & 0xff) == SQLITE_BUSY) {
            engine_.CommitBeforeWaiting();
            sqlite3_busy_timeout(db_, kWaitMs);
            rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        }
        sqlite3_busy_timeout(db_, kWaitMs);
        if (rc != SQLITE_OK) {
            throw EDatabaseError(sqlite3_errmsg(db_));
        }
        inBatch_ = true;
        // Joining after the wait: the batch that was committed to make room
        // is over, and this transaction belongs to the next one.
        engine_.ActiveBatch()->Join(this);
    }

    sqlite3_stmt* Prepared(const std::string& text) {
        auto it = statements_.find(text);
        if (it != statements_.end()) {
            return it->second;
        }
        if (statements_.size() >= 64) {
            // Ad hoc texts must not pile up; finalizing leaves any
            // transaction alone.
            for (auto& [t, s] : statements_) {
                sqlite3_finalize(s);
            }
            statements_.clear();
        }
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v3(db_, text.c_str(), static_cast<int>(text.size()),
                               SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
            throw EDatabaseError(sqlite3_errmsg(db_));
        }
        if (!stmt) {
            throw EDatabaseError("Empty statement");
        }
        statements_.emplace(text, stmt);
        return stmt;
    }

    Engine& engine_;
    std::string path_;
    std::string name_;
    std::string synchronous_;
    sqlite3* db_ = nullptr;
    bool inBatch_ = false;
    std::unordered_map<std::string, sqlite3_stmt*> statements_;
};

}  // namespace

std::unique_ptr<Connection> MakeSqliteAliasConnection(Engine& engine, const AliasConfig& alias,
                                                      const std::string& usedName) {
    return std::make_unique<SqliteAliasConnection>(engine, alias, usedName);
}

}  // namespace tallon::db
