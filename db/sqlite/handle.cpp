#include "db/sqlite/handle.h"

#include <utility>

#include "base/errors.h"

namespace tallon::db::sqlite {

Handle::Handle(const std::string& path, int flags) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        throw EDatabaseError(message);
    }
    sqlite3_extended_result_codes(db, 1);
    db_ = db;
}

Handle::~Handle() {
    Close();
}

Handle::Handle(Handle&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}

Handle& Handle::operator=(Handle&& other) noexcept {
    if (this != &other) {
        Close();
        db_ = std::exchange(other.db_, nullptr);
    }
    return *this;
}

void Handle::Close() noexcept {
    if (db_) {
        if (InTransaction()) {
            TryExec("ROLLBACK");
        }
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

void Handle::Exec(const std::string& sql, const char* constraintMessage) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK) {
        return;
    }
    std::string message = error ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    if (constraintMessage && (sqlite3_extended_errcode(db_) & 0xff) == SQLITE_CONSTRAINT) {
        message = constraintMessage;
    }
    throw EDatabaseError(message);
}

int Handle::TryExec(const char* sql) noexcept {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

std::string Handle::ErrorMessage() const {
    return sqlite3_errmsg(db_);
}

bool Handle::InTransaction() const {
    return db_ && !sqlite3_get_autocommit(db_);
}

void Handle::SetBusyTimeout(int ms) {
    sqlite3_busy_timeout(db_, ms);
}

}  // namespace tallon::db::sqlite
