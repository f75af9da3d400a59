#pragma once

// The SQLite connection of one table file: opened with the engine's journal
// and cache settings, the statements it runs kept prepared, and the views
// that let a statement of fixed text name the table as it pleases.
//
// The journal is a rollback journal with synchronous=FULL, truncated rather
// than deleted after each commit (an empty N.DB-journal stays beside the
// table), so a crash or kill -9 loses at most the uncommitted batch and never
// leaves a table unreadable, and an idle table is one self-contained file
// that can be copied. Dirty pages are never spilled into the table file
// before commit (cache_spill off): until commit the file on disk is
// untouched.
//
// Statements of fixed text run on the connection as written: the
// statement's table name is a temporary view of "records" on this
// connection, so `select * from cards where cards."Card_Number"=?` needs no
// rewriting. Views are temporary objects: made inside a transaction, they
// go when it is undone.

#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "db/local/staged_appends.h"
#include "db/rows.h"
#include "db/sqlite/handle.h"
#include "db/sqlite/prepared.h"
#include "db/value.h"

namespace tallon::db::local {

class TableConnection {
  public:
    // A day's table fits in a small cache, and a small cache turned out
    // faster for the recovery's mix of lookups and appends than SQLite's
    // default of about 2 MB.
    static constexpr int kCacheKiB = 1024;
    static constexpr int kStagingCacheKiB = 64;

    // Opens the table file `path` of table `name`, its journal settled
    // first (see journal.h). Raises EDatabaseError: "Cannot open table N:
    // ...", "Table does not exist: N", or SQLite's message when the file
    // is not a table's.
    void Open(const std::string& path, const std::string& name, int busyTimeoutMs);
    void Close() noexcept;
    bool IsOpen() const { return static_cast<bool>(handle_); }
    sqlite::Handle& Handle() { return handle_; }
    // Whether `st` describes the file the connection was opened on.
    bool IsOn(const struct stat& st) const { return st.st_dev == dev_ && st.st_ino == ino_; }

    // Runs text prepared once for the connection; a constraint failure
    // raises `constraintMessage`.
    void Run(const std::string& sql, const std::vector<Value>& values, Rows* rows,
             const char* constraintMessage);
    // Runs text without caching or values (schema changes); a constraint
    // failure raises "Key violation.".
    void Exec(const std::string& sql);
    // Makes the view `name` of the records (once; "records" needs none).
    void EnsureView(const std::string& name);
    // From now on the views show the staged records beside the stored ones
    // (see staged_appends.h); the views made so far are made again.
    void ShowStaged();
    // The records staged in a batch (see staged_appends.h).
    StagedAppends& Staged() { return staged_; }
    // A transaction that may have made views or the staged table was undone:
    // they are made again when next used, the views as views of the stored
    // records alone.
    void ForgetTemporaries() noexcept;
    // The page cache's size; set once, a repeat costs nothing.
    void SetCacheSize(int kib);
    // Gives back the page cache (outside a transaction).
    void ReleaseCache();

  private:
    sqlite::Handle handle_;
    sqlite::StatementCache statements_{256, sqlite::Rest::OnlySemicolon};
    std::set<std::string> views_;  // lower-case names
    bool showStaged_ = false;
    int cacheKiB_ = 0;
    StagedAppends staged_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

}  // namespace tallon::db::local
