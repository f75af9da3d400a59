#pragma once

// One local table file and its SQLite connection.
//
// A table N in directory D is the file D/N.DB, an SQLite database whose
// records live in the table "records", plus one small file per index (see
// index_file.h). The journal is a rollback journal with synchronous=FULL,
// truncated rather than deleted after each commit (an empty N.DB-journal
// stays beside the table), so a crash or kill -9 loses at most the
// uncommitted batch and never leaves a table unreadable, and an idle table
// is one self-contained file that can be copied. Dirty pages are never
// spilled into the table file before commit (cache_spill off): until commit
// the file on disk is untouched.
//
// Statements of fixed text run on the connection as written: the statement's
// table name is a temporary view of "records" on this connection, so
// `select * from cards where cards."Card_Number"=?` needs no rewriting. They
// are prepared once per connection.
//
// Inside a batch the connection keeps its transaction until the batch
// commits: a read transaction for lookups, a write transaction (taken before
// the read that decides a write) for tables that receive records. The commit
// checks that the file it wrote is still the one the table's name leads to,
// so records written into a table deleted or replaced meanwhile are reported
// as not kept.

#include <sqlite3.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/batch.h"
#include "db/local/index_file.h"
#include "db/local/schema.h"
#include "db/local/use_lock.h"
#include "db/rows.h"
#include "db/statement.h"

namespace tallon::db {
class Engine;
}

namespace tallon::db::local {

// A table name or table file path without its ".DB" (any letter case).
std::string WithoutDbExtension(const std::string& name);

class TableFile final : public BatchMember {
  public:
    TableFile(Engine& engine, std::string dbPath);
    ~TableFile() override;
    TableFile(const TableFile&) = delete;
    TableFile& operator=(const TableFile&) = delete;

    const std::string& Path() const { return path_; }
    // The table's name as its file spells it (no directory, no extension).
    std::string TableName() const;
    // Path of an index file of this table (".PX", ".XG0", ...), matched to an
    // existing file without regard to case, else with the extension given.
    std::string IndexFilePath(const std::string& slot) const;

    // Makes sure the connection is open on the file the path names now (once
    // per batch; always outside one). A file replaced since is opened
    // afresh. Raises EDatabaseError when the file is gone or unreadable.
    void EnsureCurrent();

    const std::vector<FieldDef>& Fields() const { return fields_; }
    // Index of a field by name without regard to case, or -1.
    int FieldIndex(const std::string& name) const;
    const std::map<std::string, IndexDef>& Indexes() const { return indexes_; }
    std::map<std::string, IndexDef>& MutableIndexes() { return indexes_; }
    const IndexDef* PrimaryIndex() const;
    // The statement that appends one record with every field as a parameter.
    const std::string& InsertSql() const { return insertSql_; }

    // Runs a statement of fixed text; `viewName` is the table name the text
    // uses (a view of the records is made under it once).
    void RunStatement(const Statement& statement, Rows* rows);
    // Runs text prepared and cached for the connection (engine-internal
    // statements that name "records" directly).
    void RunInternal(const std::string& sql, const std::vector<Value>& values, Rows* rows,
                     const char* constraintMessage = "Key violation.");
    // Runs text without caching or values (schema changes).
    void Exec(const std::string& sql);
    sqlite3* Db() const { return db_; }

    // Transactions. Inside a batch they last until the batch commits;
    // outside one, Begin/End bracket a multi-statement change.
    void BeginRead();
    void BeginWrite();
    bool InWrite() const { return state_ == State::Write; }
    // A transaction of its own, committed at once whatever the batch (index
    // changes, which their index files must follow).
    void BeginOwnWrite();
    void CommitOwnWrite();
    // Undoes an open transaction (after a failed multi-statement change).
    void RollbackNow() noexcept;

    // A statement that reads before a write (the duplicate check) decides
    // that write; should the transaction end before the write comes (a
    // commit before a wait), the decision no longer holds. Called before the
    // write: raises EDatabaseError then, so a record is never added on a
    // check another process may have overtaken.
    void CheckDecisionStands();

    // Exclusive-use locks (see use_lock.h). Raise "Table is busy: N" after
    // a bounded wait.
    void AcquireUse(bool exclusive);
    void ReleaseUse(bool exclusive);

    // Rereads fields and indexes from the file.
    void LoadSchema();

    // BatchMember
    void CommitBatch() override;
    void AbandonBatch() noexcept override;

    // Gives back the connection's page cache (a table not used for a while).
    void ReleaseCache();
    std::chrono::steady_clock::time_point LastUse() const { return lastUse_; }

    // Closes the connection, dropping any uncommitted work.
    void CloseConnection() noexcept;

    // Index-file bookkeeping used by index_sync.cpp.
    uint64_t indexesCheckedGeneration = 0;
    bool indexFilesDiscovered = false;
    int64_t directoryMtimeNs = -1;
    std::map<std::string, std::string> indexPaths;  // slot -> file last found

  private:
    enum class State { None, Read, Write, Own };

    void OpenConnection();
    void FinalizeStatements();
    sqlite3_stmt* Prepare(const std::string& sql);
    void EnsureView(const std::string& name);
    void BeginImmediate();
    void WaitYourTurn();
    // After a failed statement: SQLite may have ended the transaction itself
    // (disk full, I/O error); then the batch has lost this table's work.
    void NoteFailure(const std::string& message);
    void JoinBatch();
    void LeaveBatch() noexcept;
    void ReleaseBatchUse() noexcept;

    Engine& engine_;
    std::string path_;
    sqlite3* db_ = nullptr;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    uint64_t checkedGeneration_ = 0;
    std::vector<FieldDef> fields_;
    // Field indexes by the names callers asked for (a writer sets a dozen
    // fields by name for every record).
    mutable std::unordered_map<std::string, int> fieldIndexByName_;
    std::string insertSql_;
    std::map<std::string, IndexDef> indexes_;
    std::unordered_map<std::string, sqlite3_stmt*> statements_;
    std::set<std::string> views_;  // lower-case names
    State state_ = State::None;
    bool inBatch_ = false;
    std::chrono::steady_clock::time_point lastUse_;
    UseLock lock_;
    int sharedUsers_ = 0;
    int exclusiveUsers_ = 0;
    bool usedInBatch_ = false;  // a shared use lock kept for the batch
    bool decisionPending_ = false;
    bool decisionLost_ = false;
};

}  // namespace tallon::db::local
