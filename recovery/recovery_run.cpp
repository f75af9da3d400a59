#include <algorithm>
#include <chrono>
#include <exception>

#include "base/errors.h"
#include "base/file_names.h"
#include "base/int_conversion.h"
#include "base/text.h"
#include "base/text_file.h"
#include "db/batch.h"
#include "db/engine.h"
#include "log/activity_log.h"
#include "recovery/raw_record.h"
#include "recovery/recovery_core.h"
#include "recovery/table_files.h"

namespace tallon {
namespace {

// Clears a flag when the scope ends, however it ends.
class ScopedFlag {
  public:
    explicit ScopedFlag(bool& flag) : flag_(flag) { flag_ = true; }
    ~ScopedFlag() { flag_ = false; }
    ScopedFlag(const ScopedFlag&) = delete;
    ScopedFlag& operator=(const ScopedFlag&) = delete;

  private:
    bool& flag_;
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string Lines(int64_t n) {
    return IntToStr(static_cast<int>(n)) + (n == 1 ? " line" : " lines");
}

}  // namespace

void RecoveryCore::Button1Click() {
    // Pending events are processed after every line, so a second press would
    // otherwise start a run inside the run.
    if (running_) {
        return;
    }
    ScopedFlag running(running_);
    // STOP ends the run in progress only; the next run starts afresh.
    StopRequested = false;
    totals_ = RunTotals{};
    pending_.clear();
    window_.clear();
    windowKeys_.clear();
    windowLimit_ = 0;
    const auto runStart = std::chrono::steady_clock::now();
    lookups_.Clear();

    std::string failure;
    {
        // The run's batch: committed every kBatchAge, at the end of every
        // file and when the run returns, stops or fails, so everything the
        // run counts as added is on disk when it returns. A line counts as
        // added once the member holding its record committed; when that
        // member lost its work, the line failed.
        db::Batch batch(engine_);
        try {
            RunFiles(batch);
            Commit(batch);
        } catch (const Exception& e) {
            failure = e.Message();
        } catch (const std::exception& e) {
            failure = e.what();
        } catch (...) {
            failure = "unknown error";
        }
        if (!failure.empty()) {
            try {
                Commit(batch);
            } catch (...) {
                // Reported below as the run's failure.
            }
        }
        // Whatever the batch still holds is undone when it goes.
        FailPending(failure.empty() ? "not committed" : failure);
    }
    totals_.seconds = SecondsSince(runStart);
    if (!failure.empty()) {
        totals_.completed = false;
        totals_.error = failure;
        const std::string line = "Recovery stopped: " + failure;
        host_.AddMemoLine(line);
        try {
            LogLine(line);
        } catch (...) {
            // The log may be what failed; the memo still tells the operator.
        }
    }
    currentFile_.clear();
}

void RecoveryCore::Commit(db::Batch& batch) {
    try {
        batch.Commit();
    } catch (const Exception&) {
        SettleCommits(batch);
        throw;
    }
    SettleCommits(batch);
}

void RecoveryCore::StopOnLoss(db::Batch& batch) {
    // What the other members hold is still kept, and every line settled.
    try {
        Commit(batch);
    } catch (const Exception&) {
        // Reported with the batch's first loss.
    }
    FailPending(batch.Failure());
    throw EDatabaseError(batch.Failure());
}

void RecoveryCore::WriteLocalLine(db::Batch& batch, RejectedLine read, const RawLine& line,
                                  const std::string& defaultDevice) {
    lineOutcome_ = LineOutcome::Failed;
    lineMessage_.clear();
    lineHolder_ = nullptr;
    bool added = false;
    try {
        added = InsertThisOne(line.unitCode, defaultDevice, line.recordText);
    } catch (const std::exception& e) {
        // The writer could not report its line (the log failed): the line
        // is still accounted, as failed, before the run ends.
        SettleCommits(batch);
        read.outcome = LineOutcome::Failed;
        read.message = e.what();
        try {
            NotAdded(read);
        } catch (...) {
        }
        throw;
    }
    // Commits made during the line (before a wait for another process)
    // covered the lines before it.
    SettleCommits(batch);
    Account(std::move(read), added);
}

void RecoveryCore::SettleCommits(db::Batch& batch) {
    for (const db::CommitRound& round : batch.TakeRounds()) {
        std::vector<PendingLine> settled;
        settled.swap(pending_);
        int64_t kept = 0;
        for (PendingLine& p : settled) {
            if (const std::string* loss = round.LossOf(p.holder)) {
                FailKept(std::move(p.line), *loss);
            } else {
                ++kept;
            }
        }
        if (kept != 0) {
            totals_.perFile.back().counts.Count(LineOutcome::Added, kept);
            totals_.counts.Count(LineOutcome::Added, kept);
            totals_.added += kept;
        }
    }
}

void RecoveryCore::FailPending(const std::string& message) noexcept {
    std::vector<PendingLine> lost;
    lost.swap(pending_);
    for (PendingLine& p : lost) {
        FailKept(std::move(p.line), message);
    }
}

void RecoveryCore::FailKept(RejectedLine line, const std::string& message) noexcept {
    line.outcome = LineOutcome::Failed;
    line.message = message;
    try {
        // The log names every line a writer did not store, as the writer
        // itself would have named it.
        const std::string recordText = Copy(line.text, 4, static_cast<int>(line.text.size()));
        LogLine((runMode_ != RunMode::Local ? "CV.Insert" : "") + message + " s=[" + recordText +
                "]");
    } catch (...) {
        // The run is ending on its own failure already.
    }
    try {
        NotAdded(line);
    } catch (...) {
    }
}

void RecoveryCore::NotAdded(const RejectedLine& line) {
    totals_.perFile.back().counts.Count(line.outcome);
    totals_.counts.Count(line.outcome);
    if (!RefusedByRule(line.outcome) && totals_.firstFailure.empty()) {
        totals_.firstFailure = line.message.empty() ? CauseName(line.outcome) : line.message;
    }
    if (rejectSink_) {
        rejectSink_(line);
    }
}

void RecoveryCore::Account(RejectedLine line, bool added) {
    if (added) {
        pending_.push_back({std::move(line), lineHolder_});
    } else {
        line.outcome = lineOutcome_;
        line.message = lineMessage_;
        NotAdded(line);
    }
}

void RecoveryCore::QueueExternalLine(db::Batch& batch, RejectedLine line,
                                     const std::string& unitCode, const std::string& recordText) {
    if (windowLimit_ == 0) {
        try {
            windowLimit_ = std::max<size_t>(1, Query1.CheckedWritesPerCall());
        } catch (const Exception&) {
            windowLimit_ = 1;  // the first line's statements will say why
        }
    }
    ExternalLine external = PrepareExternalLine(runMode_, unitCode, recordText);
    if (external.waiting && windowKeys_.contains(external.duplicateKey)) {
        try {
            FlushWindow(batch);
        } catch (...) {
            // The line read is settled with the rest.
            window_.push_back({std::move(line), std::move(external)});
            throw;
        }
    }
    // Keys are distinct (a repeat flushed first): one per write queued.
    if (external.waiting) {
        windowKeys_.insert(external.duplicateKey);
    }
    window_.push_back({std::move(line), std::move(external)});
    // Refused lines wait only behind writes, and never in large numbers.
    const size_t writes = windowKeys_.size();
    if (writes >= windowLimit_ || writes == 0 || window_.size() >= 4 * windowLimit_) {
        FlushWindow(batch);
    }
}

void RecoveryCore::FlushWindow(db::Batch& batch) {
    if (window_.empty()) {
        return;
    }
    std::vector<ExternalLine*> writes;
    for (QueuedLine& q : window_) {
        if (q.external.waiting) {
            writes.push_back(&q.external);
        }
    }
    if (!writes.empty()) {
        WriteExternalLines(writes);
    }
    SettleCommits(batch);
    std::vector<QueuedLine> lines;
    lines.swap(window_);
    windowKeys_.clear();
    for (size_t i = 0; i < lines.size(); ++i) {
        bool reported = false;
        try {
            lineOutcome_ = LineOutcome::Failed;
            lineMessage_.clear();
            lineHolder_ = nullptr;  // the alias connection: the batch's only member
            const bool added = ReportExternalLine(lines[i].external);
            reported = true;
            Account(std::move(lines[i].line), added);
        } catch (const std::exception& e) {
            // The log (or the rejects list) failed: the lines not yet
            // accounted, this one too if it was not, are still accounted.
            const size_t rest = reported ? i + 1 : i;
            window_.assign(std::make_move_iterator(lines.begin() + static_cast<long>(rest)),
                           std::make_move_iterator(lines.end()));
            FailWindow(e.what());
            throw;
        }
    }
}

void RecoveryCore::SettleWindow(db::Batch& batch, const std::string& message) noexcept {
    if (window_.empty()) {
        return;
    }
    if (batch.Failure().empty()) {
        try {
            FlushWindow(batch);
            return;
        } catch (const std::exception& e) {
            FailWindow(e.what());
            return;
        } catch (...) {
        }
    }
    FailWindow(batch.Failure().empty() ? message : batch.Failure());
}

void RecoveryCore::FailWindow(const std::string& message) noexcept {
    std::vector<QueuedLine> lines;
    lines.swap(window_);
    windowKeys_.clear();
    for (QueuedLine& q : lines) {
        RejectedLine& line = q.line;
        if (!q.external.waiting && q.external.outcome == LineOutcome::Added) {
            // Written into the batch: its commit, or its failure, settles it.
            pending_.push_back({std::move(line), nullptr});
            continue;
        }
        const bool decided = !q.external.waiting;  // refused, or failed on its own
        line.outcome = decided ? q.external.outcome : LineOutcome::Failed;
        line.message = decided ? q.external.message
                               : "CV.Insert" + message + " s=[" + q.external.recordText + "]";
        try {
            LogLine(line.message);
        } catch (...) {
            // The run is ending on its own failure already.
        }
        try {
            NotAdded(line);
        } catch (...) {
        }
    }
}

bool RecoveryCore::Refuse(LineOutcome outcome, const std::string& message) {
    lineOutcome_ = outcome;
    lineMessage_ = message;
    return false;
}

void RecoveryCore::RunFiles(db::Batch& batch) {
    const std::string rawFileText = host_.RawFileName();
    const std::string rawDirectory = ExtractFilePath(rawFileText);

    // The writer keeps its tables, and makes daily tables from the template,
    // in the program directory: that is where the template must be.
    if (runMode_ == RunMode::Local && !FileExists(programDirectory_ + kTemplateTableName + ".DB")) {
        host_.ShowMessage("You must have Tran_Tpl.* files to proceed.");
        return;
    }
    // A damaged template would be copied into every new day table: it is
    // checked before the first line is read.
    if (runMode_ == RunMode::Local) {
        try {
            CheckTransactionTable(engine_, programDirectory_, kTemplateTableName);
        } catch (const Exception& e) {
            host_.ShowMessage(std::string("The template ") + kTemplateTableName +
                              ".DB cannot be used: " + e.Message());
            return;
        }
    }
    if (!host_.MergeChecked()) {
        CreateFromTemplate(engine_, programDirectory_, host_.TableName());
    }

    struct Entry {
        std::string shown;   // as listed, for the log and the memo
        std::string opened;  // where it is read from
    };
    std::vector<Entry> files;
    if (host_.AllRawChecked()) {
        for (const std::string& name : ListMatching(rawDirectory + "*.raw")) {
            files.push_back({name, rawDirectory + name});
        }
    } else {
        files.push_back({rawFileText, rawFileText});
    }

    for (const Entry& entry : files) {
        RecoverFile(batch, entry.shown, entry.opened);
        if (StopRequested) {
            return;
        }
    }
    totals_.completed = true;
}

void RecoveryCore::RecoverFile(db::Batch& batch, const std::string& displayName,
                               const std::string& openName) {
    const std::string recovering = "Recovering: " + displayName;
    LogLine(recovering);
    host_.AddMemoLine(recovering);

    currentFile_ = displayName;
    ++totals_.files;
    totals_.perFile.emplace_back();
    totals_.perFile.back().name = displayName;
    const size_t fileIndex = totals_.perFile.size() - 1;
    // The file's figures are final however it ends.
    struct FileEnd {
        RecoveryCore& core;
        size_t index;
        std::chrono::steady_clock::time_point start;
        ~FileEnd() {
            FileTotals& file = core.totals_.perFile[index];
            file.seconds = SecondsSince(start);
            file.bytes = core.filePosition_;
        }
    } fileEnd{*this, fileIndex, std::chrono::steady_clock::now()};

    filePosition_ = 0;
    TextFileReader reader(openName);
    fileSize_ = reader.Size();

    int linesRead = 0;
    const std::string defaultDevice = host_.FallbackDevice();
    try {
        while (!reader.Eof() && !StopRequested) {
            const std::string text = reader.ReadLine();
            const RawLine line = SplitRawLine(text);
            ++linesRead;
            ++totals_.linesRead;
            ++totals_.perFile[fileIndex].linesRead;
            RejectedLine read{displayName, linesRead, LineOutcome::Added, "", text};
            if (runMode_ == RunMode::Local) {
                WriteLocalLine(batch, std::move(read), line, defaultDevice);
            } else {
                QueueExternalLine(batch, std::move(read), line.unitCode, line.recordText);
            }
            // Work the batch held was lost (a disk-full or I/O error undid
            // it, or the server went away for good): the run cannot go on as
            // if it were kept.
            if (!batch.Failure().empty()) {
                StopOnLoss(batch);
            }
            if (batch.Due()) {
                Commit(batch);
            }
            filePosition_ = reader.Position();
            host_.SetLinesRead(linesRead);
            host_.ProcessPendingEvents();
        }
        // Lines already read are written and reported, on STOP too.
        FlushWindow(batch);
        if (!batch.Failure().empty()) {
            StopOnLoss(batch);
        }
    } catch (const std::exception& e) {
        SettleWindow(batch, e.what());
        throw;
    }
    if (StopRequested) {
        totals_.perFile[fileIndex].outcome = "stopped";
        return;
    }
    // The count says what is on disk.
    Commit(batch);
    const LineCounts& counts = totals_.perFile[fileIndex].counts;
    const std::string completed =
        "Completed - " + IntToStr(static_cast<int>(counts.added)) + " records added.";
    host_.AddMemoLine(completed);
    LogLine(completed);
    totals_.perFile[fileIndex].outcome = "completed";
    // The log only says it line by line, and may be anywhere: the operator
    // learns here that something was left out and where to look.
    if (counts.NotAdded() != 0) {
        host_.AddMemoLine(Lines(counts.NotAdded()) + " not added (" +
                          IntToStr(static_cast<int>(counts.Refused())) + " refused, " +
                          IntToStr(static_cast<int>(counts.Failed())) + " failed): see " +
                          ActivityLogPath());
    }
}

}  // namespace tallon
