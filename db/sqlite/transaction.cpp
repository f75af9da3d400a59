#include "db/sqlite/transaction.h"

#include <utility>

#include "base/errors.h"

namespace tallon::db::sqlite {

Transaction Transaction::Begin(Handle& handle, const char* sql) {
    if (const int rc = handle.TryExec(sql); rc != SQLITE_OK) {
        throw EDatabaseError(handle.ErrorMessage());
    }
    return Transaction(handle);
}

Transaction::Transaction(Transaction&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

Transaction& Transaction::operator=(Transaction&& other) noexcept {
    if (this != &other) {
        Rollback();
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

std::string Transaction::Commit() noexcept {
    Handle* handle = std::exchange(handle_, nullptr);
    if (!handle || handle->TryExec("COMMIT") == SQLITE_OK) {
        return "";
    }
    std::string message = handle->ErrorMessage();
    if (handle->InTransaction()) {
        handle->TryExec("ROLLBACK");
    }
    return message;
}

void Transaction::Rollback() noexcept {
    Handle* handle = std::exchange(handle_, nullptr);
    if (handle && handle->InTransaction()) {
        handle->TryExec("ROLLBACK");
    }
}

int BeginImmediate(Handle& handle, TurnTaking& turns, int busyTimeoutMs) {
    turns.BeforeTrying();
    handle.SetBusyTimeout(0);
    int rc = handle.TryExec("BEGIN IMMEDIATE");
    if (IsBusy(rc)) {
        struct RestoreTimeout {
            Handle& handle;
            int ms;
            ~RestoreTimeout() { handle.SetBusyTimeout(ms); }
        } restore{handle, busyTimeoutMs};
        turns.ReleaseHeld();
        turns.Wait(handle, [&] {
            rc = handle.TryExec("BEGIN IMMEDIATE");
            return !IsBusy(rc);
        });
    }
    handle.SetBusyTimeout(busyTimeoutMs);
    return rc;
}

}  // namespace tallon::db::sqlite
