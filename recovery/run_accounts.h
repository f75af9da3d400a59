#pragma once

#include <functional>
#include <string>
#include <vector>

#include "db/batch.h"
#include "recovery/line_outcome.h"
#include "recovery/run_mode.h"
#include "recovery/run_totals.h"

namespace tallon {

// A run's account of its lines: every line read ends counted once, as
// added, refused by rule or failed, however the run ends. A line a writer
// added waits for the commit of the batch member holding its record: kept,
// it counts as added; lost, it fails, logged as its writer logs a failure.
class RunAccounts {
  public:
    using RejectSink = std::function<void(const RejectedLine&)>;
    // Takes a line whose record a commit lost, instead of failing it.
    using LossHandler = std::function<void(const ReadLine& line, const std::string& message)>;

    RunAccounts(db::Batch& batch, RunMode mode, RunTotals& totals, const RejectSink& rejects)
        : batch_(batch), mode_(mode), totals_(totals), rejects_(rejects) {}

    // A new file: its lines are counted in its own figures too.
    FileTotals& StartFile(const std::string& name);
    // Lines read and accounted from now on are counted in `file` (which
    // must stay where it is until they are settled), beside the totals.
    void ReadInto(FileTotals& file) { file_ = &file; }
    // Lines whose batch lost their record go to `handler`, uncounted, to be
    // written again; without one they fail (a batch run's way).
    void SetLossHandler(LossHandler handler) { lossHandler_ = std::move(handler); }
    // A line read, before its writer sees it.
    void Read();
    // What a writer made of a line. Commits made since the last account
    // (before a wait for another process) covered the lines before it.
    void Account(const ReadLine& line, const LineResult& result);

    // Commits the batch and settles the lines waiting for it. Raises the
    // commit's first loss.
    void Commit();
    // After a loss: commits what the batch still holds, settles every line
    // and raises the loss.
    [[noreturn]] void StopOnLoss();
    // The lines still waiting, when the batch is undone.
    void FailPending(const std::string& message) noexcept;

  private:
    struct Pending {
        ReadLine line;
        const db::BatchMember* holder;
        FileTotals* file;
    };

    void SettleCommits();
    void Count(FileTotals* file, LineOutcome outcome, int64_t n = 1);
    void NotAdded(FileTotals* file, const ReadLine& line, LineOutcome outcome,
                  const std::string& message);
    void FailKept(const Pending& pending, const std::string& message) noexcept;

    db::Batch& batch_;
    RunMode mode_;
    RunTotals& totals_;
    const RejectSink& rejects_;
    std::vector<Pending> pending_;
    FileTotals* file_ = nullptr;
    LossHandler lossHandler_;
};

}  // namespace tallon
