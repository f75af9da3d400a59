#include "db/local/table_transactions.h"

#include "base/errors.h"
#include "db/batch.h"
#include "db/engine.h"
#include "db/local/table_connection.h"
#include "db/local/table_use.h"

namespace tallon::db::local {

void TableTransactions::BeginRead() {
    // Outside a batch each statement is its own transaction.
    if (state_ != State::None || !engine_.ActiveBatch()) {
        return;
    }
    transaction_ = sqlite::Transaction::Begin(connection_.Handle(), "BEGIN");
    state_ = State::Read;
    JoinBatch();
}

void TableTransactions::BeginWrite() {
    if (state_ == State::Write || state_ == State::Own || !engine_.ActiveBatch()) {
        return;  // outside a batch the statement commits on its own
    }
    if (state_ == State::Read) {
        // A read transaction cannot become a write one without risking a
        // deadlock with another writer: end it first.
        (void)transaction_.Commit();
        state_ = State::None;
        LeaveBatch();
    }
    // Everything this batch will wait for here is waited for now, before
    // anything is read: a wait later in the record (for the table's use
    // lock) would commit the batch between a check and the write it
    // decides.
    if (!use_.Holding()) {
        use_.Acquire(false);
        if (use_.Release(false)) {
            JoinBatch();  // kept for the batch
        }
    }
    BeginImmediate();
    state_ = State::Write;
    JoinBatch();
}

void TableTransactions::BeginOwnWrite() {
    if (state_ != State::None) {
        // What the batch holds here is committed with the whole batch, so
        // what counts as kept stays true.
        engine_.CommitBeforeWaiting();
        if (state_ != State::None) {
            RollbackNow();
        }
    }
    BeginImmediate();
    state_ = State::Own;
}

void TableTransactions::CommitOwnWrite() {
    if (state_ != State::Own) {
        return;
    }
    state_ = State::None;
    if (const std::string error = transaction_.Commit(); !error.empty()) {
        throw EDatabaseError("Cannot commit changes to " + tableName_ + ": " + error);
    }
}

void TableTransactions::RollbackNow() noexcept {
    transaction_.Rollback();
    connection_.ForgetTemporaries();
    state_ = State::None;
    LeaveBatch();
}

void TableTransactions::BeginImmediate() {
    sqlite::Handle& handle = connection_.Handle();
    if (sqlite::BeginImmediate(handle, use_, engine_.LockWaitMs()) != SQLITE_OK) {
        throw EDatabaseError("Table is busy: " + tableName_ + " (" + handle.ErrorMessage() + ")");
    }
    transaction_ = sqlite::Transaction::Adopt(handle);
}

void TableTransactions::NoteFailure(const std::string& message) {
    if (state_ == State::None || !transaction_.UndoneBySqlite()) {
        return;
    }
    const bool wrote = state_ == State::Write;
    transaction_.Rollback();
    connection_.ForgetTemporaries();
    state_ = State::None;
    LeaveBatch();
    if (wrote) {
        if (Batch* b = engine_.ActiveBatch()) {
            b->MarkLost(&member_, "Changes to " + tableName_ + " were undone: " + message);
        }
    }
}

// Only a check that found nothing is followed by its write; one that found
// the record decides nothing more.
void TableTransactions::NoteCheck(bool foundNothing) {
    decisionLost_ = false;
    decisionPending_ = InWrite() && foundNothing;
}

void TableTransactions::CheckDecisionStands() {
    const bool lost = decisionLost_;
    decisionPending_ = decisionLost_ = false;
    if (lost) {
        throw EDatabaseError(
            "Table " + tableName_ +
                " was committed between the duplicate check and the append (another process "
                "waited for it): the record was not added",
            DatabaseErrorCode::CheckOvertaken);
    }
}

void TableTransactions::JoinBatch() {
    if (Batch* b = engine_.ActiveBatch()) {
        b->Join(&member_);
        inBatch_ = true;
    }
}

void TableTransactions::LeaveBatch() noexcept {
    if (inBatch_) {
        if (Batch* b = engine_.ActiveBatch()) {
            b->Leave(&member_);
        }
        inBatch_ = false;
    }
}

void TableTransactions::EndOfBatch() noexcept {
    inBatch_ = false;
    if (decisionPending_) {
        decisionLost_ = true;
    }
    use_.EndBatch();
}

void TableTransactions::CommitBatch(const std::string& path) {
    const State was = state_;
    EndOfBatch();
    if (was != State::Read && was != State::Write) {
        return;
    }
    state_ = State::None;
    if (transaction_.UndoneBySqlite()) {
        transaction_.Rollback();
        connection_.ForgetTemporaries();
        if (was == State::Write) {
            throw EDatabaseError("Cannot commit changes to " + tableName_ + ": they were undone");
        }
        return;
    }
    if (const std::string error = transaction_.Commit(); !error.empty()) {
        throw EDatabaseError("Cannot commit changes to " + tableName_ + ": " + error);
    }
    if (was == State::Write && !use_.SameFileAs(path)) {
        throw EDatabaseError("Table " + tableName_ +
                             " was deleted or replaced while records were written to it: they "
                             "were not kept");
    }
}

void TableTransactions::AbandonBatch() noexcept {
    const State was = state_;
    if (was == State::Read || was == State::Write) {
        transaction_.Rollback();
        connection_.ForgetTemporaries();
        state_ = State::None;
    }
    EndOfBatch();
}

void TableTransactions::Close() noexcept {
    LeaveBatch();
    transaction_.Rollback();
    connection_.ForgetTemporaries();
    state_ = State::None;
}

}  // namespace tallon::db::local
