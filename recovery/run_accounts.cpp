#include "recovery/run_accounts.h"

#include "base/errors.h"
#include "log/activity_log.h"
#include "recovery/writer_failure.h"

namespace tallon {

FileTotals& RunAccounts::StartFile(const std::string& name) {
    totals_.perFile.emplace_back();
    totals_.perFile.back().name = name;
    return totals_.perFile.back();
}

void RunAccounts::Read() {
    ++totals_.linesRead;
    ++totals_.perFile.back().linesRead;
}

void RunAccounts::Account(const ReadLine& line, const LineResult& result) {
    SettleCommits();
    if (result.outcome == LineOutcome::Added) {
        pending_.push_back({line, result.holder});
    } else {
        NotAdded(line, result.outcome, result.message);
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
        FailKept(p.line, message);
    }
}

void RunAccounts::SettleCommits() {
    for (const db::CommitRound& round : batch_.TakeRounds()) {
        std::vector<Pending> settled;
        settled.swap(pending_);
        int64_t kept = 0;
        for (const Pending& p : settled) {
            if (const std::string* loss = round.LossOf(p.holder)) {
                FailKept(p.line, *loss);
            } else {
                ++kept;
            }
        }
        Count(LineOutcome::Added, kept);
    }
}

void RunAccounts::Count(LineOutcome outcome, int64_t n) {
    if (n != 0) {
        totals_.perFile.back().counts.Count(outcome, n);
        totals_.counts.Count(outcome, n);
    }
}

void RunAccounts::NotAdded(const ReadLine& line, LineOutcome outcome, const std::string& message) {
    Count(outcome);
    if (!RefusedByRule(outcome) && totals_.firstFailure.empty()) {
        totals_.firstFailure = message.empty() ? CauseName(outcome) : message;
    }
    if (rejects_) {
        rejects_(RejectedLine{line.rawFile, line.lineNumber, outcome, message, line.text});
    }
}

void RunAccounts::FailKept(const ReadLine& line, const std::string& message) noexcept {
    // The log names every line a writer did not store, as the writer itself
    // would have named it.
    const std::string logged = WriterFailureLine(mode_, message, RecordTextOf(line.text));
    try {
        LogLine(logged);
    } catch (...) {
        // The run is ending on its own failure already.
    }
    try {
        NotAdded(line, LineOutcome::Failed, message);
    } catch (...) {
    }
}

}  // namespace tallon
