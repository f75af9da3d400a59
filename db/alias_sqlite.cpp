// An alias on an SQLite database file. Statements are run as given, each in
// its own implicit transaction, so every insert is durable by SQLite's own
// rules (the file's journal mode is left to whoever made the database; the
// alias may set the connection's synchronous setting).

#include <sqlite3.h>

#include "base/errors.h"
#include "base/file_names.h"
#include "db/alias.h"

namespace tallon::db {

namespace {

class SqliteAliasConnection : public Connection {
  public:
    SqliteAliasConnection(const AliasConfig& alias, std::string usedName)
        : path_(alias.database), name_(std::move(usedName)), synchronous_(alias.synchronous) {}

    ~SqliteAliasConnection() override {
        if (db_) {
            sqlite3_close_v2(db_);
        }
    }

    std::unique_ptr<QueryResult> Select(const std::string& sql) override {
        auto result = std::make_unique<QueryResult>();
        Run(sql, result.get());
        return result;
    }

    void Execute(const std::string& sql) override { Run(sql, nullptr); }

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
        // Another process (the admin tool, a second run) may hold the file
        // briefly; wait for it instead of failing the record.
        sqlite3_busy_timeout(db, 10000);
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

    [[noreturn]] void Fail(sqlite3_stmt* stmt) {
        std::string msg = sqlite3_errmsg(db_);
        const int rc = sqlite3_extended_errcode(db_);
        sqlite3_finalize(stmt);
        const bool unique = rc == SQLITE_CONSTRAINT_PRIMARYKEY || rc == SQLITE_CONSTRAINT_UNIQUE;
        throw EDatabaseError(
            msg, unique ? DatabaseErrorCode::UniqueViolation : DatabaseErrorCode::Other);
    }

    // Runs every statement of the text; the rows of the last one that has
    // columns go into result (when asked for).
    void Run(const std::string& sql, QueryResult* result) {
        Connect();
        const char* tail = sql.c_str();
        const char* end = tail + sql.size();
        while (tail < end) {
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v2(db_, tail, static_cast<int>(end - tail), &stmt, &tail) !=
                SQLITE_OK) {
                Fail(stmt);
            }
            if (!stmt) {
                break;  // only blanks or comments were left
            }
            const int ncol = sqlite3_column_count(stmt);
            if (result && ncol > 0) {
                result->columns.clear();
                result->rows.clear();
                result->nulls.clear();
                for (int i = 0; i < ncol; ++i) {
                    result->columns.emplace_back(sqlite3_column_name(stmt, i));
                }
            }
            for (;;) {
                const int rc = sqlite3_step(stmt);
                if (rc == SQLITE_DONE) {
                    break;
                }
                if (rc != SQLITE_ROW) {
                    Fail(stmt);
                }
                if (!result) {
                    continue;
                }
                std::vector<std::string> row(ncol);
                std::vector<bool> nulls(ncol, false);
                for (int i = 0; i < ncol; ++i) {
                    if (sqlite3_column_type(stmt, i) == SQLITE_NULL) {
                        nulls[i] = true;
                        continue;
                    }
                    const auto* text = sqlite3_column_text(stmt, i);
                    const int len = sqlite3_column_bytes(stmt, i);
                    if (text) {
                        row[i].assign(reinterpret_cast<const char*>(text), len);
                    }
                }
                result->rows.push_back(std::move(row));
                result->nulls.push_back(std::move(nulls));
            }
            sqlite3_finalize(stmt);
        }
    }

    std::string path_;
    std::string name_;
    std::string synchronous_;
    sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<Connection> MakeSqliteAliasConnection(const AliasConfig& alias,
                                                      const std::string& usedName) {
    return std::make_unique<SqliteAliasConnection>(alias, usedName);
}

}  // namespace tallon::db
