#pragma once

// The transactions one table file's connection holds, and the table's place
// in the batch.
//
// Inside a batch a transaction lasts until the batch commits: a read
// transaction for lookups, a write transaction (taken before the read that
// decides a write) for tables that receive records; either makes the table
// a member of the batch. The commit checks that the file written is still
// the one the table's name leads to, so records written into a table
// deleted or replaced meanwhile are reported as not kept. Outside a batch
// each statement commits on its own, and an own write brackets a change of
// several statements (index changes, which their index files must follow)
// whatever the batch.
//
// A statement that reads before a write (the duplicate check) decides that
// write; should the transaction end before the write comes (a commit before
// a wait), the decision no longer holds and the write is refused, so a
// record is never added on a check another process may have overtaken.

#include <string>

#include "db/sqlite/transaction.h"

namespace tallon::db {
class BatchMember;
class Engine;
}  // namespace tallon::db

namespace tallon::db::local {

class TableConnection;
class TableUse;

class TableTransactions {
  public:
    TableTransactions(Engine& engine, BatchMember& member, TableConnection& connection,
                      TableUse& use, std::string tableName)
        : engine_(engine),
          member_(member),
          connection_(connection),
          use_(use),
          tableName_(std::move(tableName)) {}

    void BeginRead();
    void BeginWrite();
    bool InWrite() const { return state_ == State::Write; }
    void BeginOwnWrite();
    void CommitOwnWrite();
    // Undoes an open transaction (after a failed multi-statement change).
    void RollbackNow() noexcept;

    // After a failed statement: SQLite may have ended the transaction
    // itself (disk full, I/O error); then the batch has lost this table's
    // work.
    void NoteFailure(const std::string& message);
    // After a statement that reads before a write, with what it found.
    void NoteCheck(bool foundNothing);
    // Before the write a check decided: raises CheckOvertaken when the
    // check's transaction ended since.
    void CheckDecisionStands();

    // The table belongs to the batch until it commits.
    void JoinBatch();
    // BatchMember's two ends; `path` is the table's name on disk.
    void CommitBatch(const std::string& path);
    void AbandonBatch() noexcept;
    // The connection is closing: whatever is open is undone.
    void Close() noexcept;

  private:
    enum class State { None, Read, Write, Own };

    void BeginImmediate();
    void LeaveBatch() noexcept;
    void EndOfBatch() noexcept;

    Engine& engine_;
    BatchMember& member_;
    TableConnection& connection_;
    TableUse& use_;
    std::string tableName_;
    sqlite::Transaction transaction_;
    State state_ = State::None;
    bool inBatch_ = false;
    bool decisionPending_ = false;
    bool decisionLost_ = false;
};

}  // namespace tallon::db::local
