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
//
// Members commit one after another and each keeps or loses its own work: a
// local table is a file of its own, so one table's failed commit (a full
// disk, a table deleted under the run) leaves the tables committed beside it
// as they are. Every commit is a round that says which members lost their
// work; whoever counts what was written settles it by those rounds.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tallon::db {

class Engine;

inline constexpr std::chrono::milliseconds kBatchAge{200};
// A batch whose commit costs more (tens or hundreds of day tables, each a
// file with its own flushes) lasts kCommitShare times its last commit, so
// that committing takes about a tenth of the run, but never longer than
// kLongestBatch, and commits once kStagedPerBatch records wait in staged
// tables (see db/local/staged_appends.h; they are held in memory).
inline constexpr int kCommitShare = 10;
inline constexpr std::chrono::milliseconds kLongestBatch{4000};
inline constexpr size_t kStagedPerBatch = 100000;

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

// One commit of the batch: every member kept its work but those listed.
struct CommitRound {
    struct Loss {
        const BatchMember* member;
        std::string message;
    };
    std::vector<Loss> losses;

    // Why `member`'s work was not kept, or nullptr when it was. Work whose
    // member is unknown (nullptr) was kept only when nothing was lost.
    const std::string* LossOf(const BatchMember* member) const;
};

class Batch {
  public:
    explicit Batch(Engine& engine);
    // Work not committed by then is undone: a batch that is not committed is
    // not counted.
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // True when some transaction has been open for kBatchAge or longer, or
    // longer still when the last commit was slow (see kCommitShare), or
    // when kStagedPerBatch records are staged.
    bool Due() const;
    // Commits every member, each on its own: one that fails loses its work
    // and the others still commit. Records the round (TakeRounds()); when
    // the round lost any work, remembers the first loss (Failure()) and
    // raises it.
    void Commit();

    // Commits so far, including those made before a wait.
    uint64_t Commits() const { return commits_; }
    // The message of the batch's first loss, "" while nothing was lost.
    const std::string& Failure() const { return failure_; }
    // The rounds committed since the last call, oldest first.
    std::vector<CommitRound> TakeRounds();

    // For connections.
    void Join(BatchMember* member);
    size_t MemberCount() const { return members_.size(); }
    // A member staged a record (see db/local/staged_appends.h).
    void NoteStaged() { ++staged_; }
    // A member's work was lost before its commit (SQLite undid a transaction
    // after a disk-full or I/O error, a server went away for good): the
    // next round reports it lost.
    void MarkLost(const BatchMember* member, const std::string& message);
    void Leave(BatchMember* member) noexcept;

  private:
    Engine& engine_;
    std::vector<BatchMember*> members_;
    std::chrono::steady_clock::time_point opened_{};
    std::chrono::steady_clock::duration age_{kBatchAge};  // this batch's
    size_t staged_ = 0;
    uint64_t commits_ = 0;
    std::string failure_;
    std::vector<CommitRound::Loss> lost_;  // since the last round
    std::vector<CommitRound> rounds_;      // not yet taken
};

}  // namespace tallon::db
