#pragma once

// Locks a process holds on a table file beside SQLite's own.
//
// Use: shared while a table object has the table open (and, inside a batch,
// until the batch commits, so opening the table for every record costs no
// lock call), exclusive while it is open for exclusive use or an index is
// being built. flock on the table file.
//
// Turn: a process that had to wait for a table holds the table's turn while
// it waits (an open-file-description lock on one byte far past SQLite's
// lock bytes). Others look at the turn before they next take the table, and
// let the waiter go first: without it a process that releases a lock every
// batch and takes it again a moment later would keep a waiter out for good.

#include <string>

namespace tallon::db::local {

// How long a process waits for another's lock on a table before it gives up
// on that record.
inline constexpr int kTableWaitMs = 5000;

class UseLock {
  public:
    UseLock() = default;
    ~UseLock();
    UseLock(const UseLock&) = delete;
    UseLock& operator=(const UseLock&) = delete;

    // Opens a descriptor on the table file. It stays open while the table's
    // connection does: closing any descriptor of a file drops the process's
    // record locks on it, and SQLite's locks live there.
    void Attach(const std::string& path);
    void Detach();
    bool Attached() const { return fd_ >= 0; }
    // The identity of the file the descriptor is on.
    bool SameFileAs(const std::string& path) const;

    // 0, LOCK_SH or LOCK_EX, without waiting; false when another process
    // holds a conflicting lock.
    bool TrySet(int op);
    int Held() const { return held_; }

    // True when another process waits for its turn at this table.
    bool OtherWaiting() const;
    // True when the table file changed since the last call (another
    // process committed to it): a wait for it is not stuck.
    bool Progressed();
    // Takes the turn (waiting while another waiter holds it, up to the
    // deadline) and gives it back.
    bool TakeTurn(int waitMs);
    void GiveTurn();

  private:
    int fd_ = -1;
    int held_ = 0;
    bool turn_ = false;
    std::string seen_;  // the file's state at the last Progressed()
};

// Waits up to waitMs for `ready` to become true, polling every millisecond.
template <class Ready>
bool WaitFor(int waitMs, Ready ready);

// The same, but the wait starts again whenever the table's file changes: a
// table that other processes keep committing to is waited for as long as
// they make progress, and only a holder that makes none (a person's shell
// holding a transaction, a stuck process) makes the wait give up.
template <class Ready>
bool WaitWhileProgressing(int waitMs, UseLock& lock, Ready ready);

}  // namespace tallon::db::local

#include <chrono>
#include <thread>

namespace tallon::db::local {
template <class Ready>
bool WaitFor(int waitMs, Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

template <class Ready>
bool WaitWhileProgressing(int waitMs, UseLock& lock, Ready ready) {
    lock.Progressed();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!ready()) {
        const auto now = std::chrono::steady_clock::now();
        if (lock.Progressed()) {
            deadline = now + std::chrono::milliseconds(waitMs);
        } else if (now >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
}  // namespace tallon::db::local
