#include "recovery/run_accounts.h"

#include "base/errors.h"
#include "log/activity_log.h"
#include "recovery/writer_failure.h"

namespace tallon {

FileTotals& RunAccounts::StartFile(const std::string& name) {
    totals_.perFile.emplace_back();
    totals_.perFile.back().name = name;
    file_ = &totals_.perFile.back();
    return *file_;
}

void RunAccounts::Read() {
    ++totals_.linesRead;
    if (file_ != nullptr) {
        ++file_->linesRead;
    }
}

void RunAccounts::Account(const ReadLine& line, const LineResult& result) {
    SettleCommits();
    if (result.outcome == LineOutcome::Added) {
        pending_.push_back({line, result.holder, file_});
    } else {
        NotAdded(file_, line, result.outcome, result.message);
    }
}

void RunAccounts::Commit() {
    try {
        batch_.Commit();
    } catch (const Exception&) {
        SettleCommits();
        throw;
    }
    SettleCommits();
}

void RunAccounts::StopOnLoss() {
    try {
        Commit();
    } catch (const Exception&) {
        // Reported with the batch's first loss.
    }
    FailPending(batch_.Failure());
    throw EDatabaseError(batch_.Failure());
}

void RunAccounts::FailPending(const std::string& message) noexcept {
    std::vector<Pending> lost;
    lost.swap(pending_);
    for (const Pending& p : lost) {
        FailKept(p, message);
    }
}

void RunAccounts::SettleCommits() {
    for (const db::CommitRound& round : batch_.TakeRounds()) {
        std::vector<Pending> settled;
        settled.swap(pending_);
        for (const Pending& p : settled) {
            if (const std::string* loss = round.LossOf(p.holder)) {
                if (lossHandler_) {
                    lossHandler_(p.line, *loss);
                } else {
                    FailKept(p, *loss);
                }
            } else {
                Count(p.file, LineOutcome::Added);
            }
        }
    }
}

void RunAccounts::Count(FileTotals* file, LineOutcome outcome, int64_t n) {
    if (file != nullptr) {
        file->counts.Count(outcome, n);
    }
    totals_.counts.Count(outcome, n);
}

void RunAccounts::NotAdded(FileTotals* file, const ReadLine& line, LineOutcome outcome,
                           const std::string& message) {
    Count(file, outcome);
    if (!RefusedByRule(outcome) && totals_.firstFailure.empty()) {
        totals_.firstFailure = message.empty() ? CauseName(outcome) : message;
    }
    if (rejects_) {
        rejects_(RejectedLine{line.rawFile, line.lineNumber, outcome, message, line.text});
    }
}

void RunAccounts::FailKept(const Pending& pending, const std::string& message) noexcept {
    // The log names every line a writer did not store, as the writer itself
    // would have named it.
    const std::string logged = WriterFailureLine(mode_, message, RecordTextOf(pending.line.text));
    try {
        LogLine(logged);
    } catch (...) {
        // The run is ending on its own failure already.
    }
    try {
        NotAdded(pending.file, pending.line, LineOutcome::Failed, message);
    } catch (...) {
    }
}

}  // namespace tallon
