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
// rewriting.

#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "db/rows.h"
#include "db/sqlite/handle.h"
#include "db/sqlite/prepared.h"
#include "db/value.h"

namespace tallon::db::local {

class TableConnection {
  public:
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
    // Gives back the page cache (outside a transaction).
    void ReleaseCache();

  private:
    sqlite::Handle handle_;
    sqlite::StatementCache statements_{256, sqlite::Rest::OnlySemicolon};
    std::set<std::string> views_;  // lower-case names
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

}  // namespace tallon::db::local
