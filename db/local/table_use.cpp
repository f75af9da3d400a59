#include "db/local/table_use.h"

#include <sys/file.h>

#include "base/errors.h"
#include "db/engine.h"

namespace tallon::db::local {

void TableUse::Detach() noexcept {
    keptForBatch_ = false;
    sharedUsers_ = exclusiveUsers_ = 0;
    lock_.Detach();
}

void TableUse::Acquire(bool exclusive) {
    if (!lock_.Attached()) {
        throw EDatabaseError("Table " + tableName_ + " is not open");
    }
    const int want = (exclusiveUsers_ > 0 || exclusive) ? LOCK_EX : LOCK_SH;
    if (want != lock_.Held()) {
        if (lock_.Held() == 0) {
            LetWaiterGoFirst();
        }
        if (!lock_.TrySet(want)) {
            // Never wait while holding a lock; then wait our turn, bounded.
            engine_.CommitBeforeWaiting();
            const bool turn = lock_.TakeTurn(engine_.LockWaitMs());
            const bool got = turn && WaitWhileProgressing(engine_.LockWaitMs(), lock_,
                                                          [&] { return lock_.TrySet(want); });
            lock_.GiveTurn();
            if (!got) {
                throw EDatabaseError("Table is busy: " + tableName_);
            }
        }
    }
    if (exclusive) {
        ++exclusiveUsers_;
    } else {
        ++sharedUsers_;
    }
}

bool TableUse::Release(bool exclusive) {
    if (exclusive && exclusiveUsers_ > 0) {
        --exclusiveUsers_;
    } else if (!exclusive && sharedUsers_ > 0) {
        --sharedUsers_;
    }
    if (exclusiveUsers_ == 0 && sharedUsers_ == 0 && engine_.ActiveBatch() &&
        lock_.Held() == LOCK_SH) {
        // Kept until the batch commits: the next record opens the table
        // again at once.
        keptForBatch_ = true;
        return true;
    }
    const int want = exclusiveUsers_ > 0 ? LOCK_EX : sharedUsers_ > 0 ? LOCK_SH : 0;
    // Going down never conflicts; should the platform refuse, the table
    // stays locked more than needed.
    lock_.TrySet(want);
    return false;
}

void TableUse::EndBatch() noexcept {
    if (!keptForBatch_) {
        return;
    }
    keptForBatch_ = false;
    if (exclusiveUsers_ == 0 && sharedUsers_ == 0) {
        lock_.TrySet(0);
    }
}

void TableUse::LetWaiterGoFirst() {
    if (!lock_.OtherWaiting()) {
        return;
    }
    engine_.CommitBeforeWaiting();
    WaitWhileProgressing(engine_.LockWaitMs(), lock_, [&] { return !lock_.OtherWaiting(); });
}

// Letting a waiter go first is only right while we hold nothing here: one
// that waits for our use lock would otherwise wait for us while we wait for
// it.
void TableUse::BeforeTrying() {
    if (!Holding()) {
        LetWaiterGoFirst();
    }
}

void TableUse::ReleaseHeld() {
    engine_.CommitBeforeWaiting();
}

// The turn is for those who hold nothing here: its holder may be waiting
// for the use lock we hold.
void TableUse::Wait(sqlite::Handle& /*handle*/, const std::function<bool()>& attempt) {
    if (!Holding()) {
        lock_.TakeTurn(engine_.LockWaitMs());
    }
    WaitWhileProgressing(engine_.LockWaitMs(), lock_, attempt);
    lock_.GiveTurn();
}

}  // namespace tallon::db::local
