#pragma once

// A batch: the writes of a stretch of work kept in open transactions and
// committed together, so that thousands of records cost a handful of disk
// flushes. The recovery run owns one; it commits it when it is kBatchAge old
// (between lines, on the run's own thread), at the end of every file and
// when the run returns, stops or fails. Work done while no batch is open is
// committed statement by statement.
//
// Every connection that opens a transaction while the batch is open joins it
// and keeps its transaction until the batch commits. A connection that has
// to wait for another process's lock first commits the whole batch, so a
// process never holds a lock while it waits for one: two runs on the same
// tables cannot deadlock. Such a commit counts like any other (Commits()).

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tallon::db {

class Engine;

inline constexpr std::chrono::milliseconds kBatchAge{200};

// A connection holding a transaction for the batch.
class BatchMember {
  public:
    virtual ~BatchMember() = default;
    // Commits and ends the transaction; raises EDatabaseError when the
    // commit failed (the transaction is then over, its work undone).
    virtual void CommitBatch() = 0;
    // Ends the transaction without keeping its work.
    virtual void AbandonBatch() noexcept = 0;
};

class Batch {
  public:
    explicit Batch(Engine& engine);
    // Work not committed by then is undone: a batch that is not committed is
    // not counted.
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // True when some transaction has been open for kBatchAge or longer.
    bool Due() const;
    // Commits every member. On a failure the members not yet committed are
    // undone, the failure is remembered (Failure()) and raised.
    void Commit();

    // Successful commits so far, including those made before a wait.
    uint64_t Commits() const { return commits_; }
    // The message of the first failed commit, "" while none failed.
    const std::string& Failure() const { return failure_; }

    // For connections.
    void Join(BatchMember* member);
    // Work of the batch was lost before its commit (SQLite undid a
    // transaction after a disk-full or I/O error).
    void MarkFailed(const std::string& message);
    void Leave(BatchMember* member) noexcept;

  private:
    Engine& engine_;
    std::vector<BatchMember*> members_;
    std::chrono::steady_clock::time_point opened_{};
    uint64_t commits_ = 0;
    std::string failure_;
};

}  // namespace tallon::db
