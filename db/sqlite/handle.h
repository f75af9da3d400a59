#pragma once

// The SQLite layer every database of the engine goes through: local tables,
// the SQLite alias and statements typed by a person. This file: one
// connection, closed with its object.

#include <sqlite3.h>

#include <string>

namespace tallon::db::sqlite {

class Handle {
  public:
    Handle() = default;
    // Opens `path` with SQLITE_OPEN_* `flags`, extended result codes on.
    // Raises EDatabaseError with SQLite's message.
    Handle(const std::string& path, int flags);
    ~Handle();
    Handle(Handle&& other) noexcept;
    Handle& operator=(Handle&& other) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    sqlite3* get() const { return db_; }
    explicit operator bool() const { return db_ != nullptr; }
    // Closes at once; an open transaction is rolled back.
    void Close() noexcept;

    // Runs text without values. Raises EDatabaseError: `constraintMessage`
    // for a constraint failure when given, SQLite's message otherwise.
    void Exec(const std::string& sql, const char* constraintMessage = nullptr);
    // The same, returning SQLite's result code instead of raising.
    int TryExec(const char* sql) noexcept;

    std::string ErrorMessage() const;
    // True while a transaction is open (SQLite may end one by itself after
    // a disk-full or I/O error).
    bool InTransaction() const;
    void SetBusyTimeout(int ms);

  private:
    sqlite3* db_ = nullptr;
};

// SQLite's answer is "busy": another connection holds the lock asked for.
inline bool IsBusy(int resultCode) {
    return (resultCode & 0xff) == SQLITE_BUSY;
}

}  // namespace tallon::db::sqlite
