#pragma once

// Transactions on a handle: begun by the wait-your-turn rule, committed or
// else rolled back, never left open by accident.

#include <functional>
#include <string>

#include "db/sqlite/handle.h"

namespace tallon::db::sqlite {

// An open transaction. Commit() ends it keeping its work; a transaction
// still open when its object goes (or on Rollback()) is rolled back.
class Transaction {
  public:
    Transaction() = default;
    // Begins with `sql` ("BEGIN", "BEGIN IMMEDIATE"); raises SQLite's
    // message.
    static Transaction Begin(Handle& handle, const char* sql);
    // Takes charge of the transaction just begun on the handle.
    static Transaction Adopt(Handle& handle) { return Transaction(handle); }
    ~Transaction() { Rollback(); }
    Transaction(Transaction&& other) noexcept;
    Transaction& operator=(Transaction&& other) noexcept;
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool Open() const { return handle_ != nullptr; }
    // True when SQLite ended it by itself (after a disk-full or I/O error):
    // its work is gone.
    bool UndoneBySqlite() const { return handle_ && !handle_->InTransaction(); }
    // Commits: "" when the work was kept, else SQLite's message (the
    // transaction was then rolled back).
    std::string Commit() noexcept;
    void Rollback() noexcept;

  private:
    explicit Transaction(Handle& handle) : handle_(&handle) {}

    Handle* handle_ = nullptr;
};

// How a connection takes its turn at a file other processes use. Nobody
// waits while holding a lock, so two processes on the same files cannot
// deadlock.
class TurnTaking {
  public:
    virtual ~TurnTaking() = default;
    // Before the first try: a process that waits for the file may be let
    // go first.
    virtual void BeforeTrying() {}
    // The file is busy: give up every lock held before waiting (the batch
    // commits).
    virtual void ReleaseHeld() = 0;
    // Repeats `attempt` until it succeeds or the wait is over.
    virtual void Wait(Handle& handle, const std::function<bool()>& attempt) = 0;
};

// BEGIN IMMEDIATE: tried at once; when another connection holds the file,
// what the caller holds is released first, then tried again as `turns`
// waits. The handle's busy timeout is `busyTimeoutMs` afterwards. Returns
// SQLite's result code of the last try.
int BeginImmediate(Handle& handle, TurnTaking& turns, int busyTimeoutMs);

}  // namespace tallon::db::sqlite
