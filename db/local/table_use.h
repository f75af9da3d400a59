#pragma once

// One table file's use lock (see use_lock.h), counted for the table objects
// of this process, and the waits around it: for the lock itself, and for
// this process's turn at the file when another process holds it.
//
// Inside a batch a shared use lock is kept until the batch commits, so
// opening the table for every record costs no lock call. Nobody waits while
// holding a lock: before a wait the batch commits what it holds.

#include <string>

#include "db/local/use_lock.h"
#include "db/sqlite/transaction.h"

namespace tallon::db {
class Engine;
}

namespace tallon::db::local {

class TableUse final : public sqlite::TurnTaking {
  public:
    TableUse(Engine& engine, std::string tableName)
        : engine_(engine), tableName_(std::move(tableName)) {}

    void Attach(const std::string& path) { lock_.Attach(path); }
    // Drops every lock and count (the connection is closing).
    void Detach() noexcept;
    // Whether the locked descriptor is on the file `path` names now.
    bool SameFileAs(const std::string& path) const { return lock_.SameFileAs(path); }
    // True while this process holds a use lock on the file.
    bool Holding() const { return lock_.Held() != 0; }

    // Takes the use lock, shared or exclusive; raises "Table is busy: N"
    // after a bounded wait.
    void Acquire(bool exclusive);
    // Gives it back. Returns true when a shared lock is kept until the
    // batch commits: the caller then belongs to the batch.
    bool Release(bool exclusive);
    // The batch committed: a lock kept for it goes.
    void EndBatch() noexcept;

    // Another process waits for this file: let it go first, holding
    // nothing meanwhile.
    void LetWaiterGoFirst();

    // sqlite::TurnTaking, for BEGIN IMMEDIATE on the table.
    void BeforeTrying() override;
    void ReleaseHeld() override;
    void Wait(sqlite::Handle& handle, const std::function<bool()>& attempt) override;

  private:
    Engine& engine_;
    std::string tableName_;
    UseLock lock_;
    int sharedUsers_ = 0;
    int exclusiveUsers_ = 0;
    bool keptForBatch_ = false;
};

}  // namespace tallon::db::local
