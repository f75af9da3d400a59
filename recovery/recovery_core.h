#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "db/batch.h"
#include "db/database.h"
#include "db/engine.h"
#include "db/query.h"
#include "db/table.h"
#include "recovery/card_holder.h"
#include "recovery/external_line.h"
#include "recovery/external_lookups.h"
#include "recovery/host.h"
#include "recovery/line_outcome.h"
#include "recovery/raw_record.h"
#include "recovery/record_id.h"
#include "recovery/run_mode.h"

namespace tallon {

// The program's working state and its operations, shared by the window, the
// command line and the tests. It owns the three database objects (on the
// engine its front end made) and reaches the operator only through its Host.
class RecoveryCore {
  public:
    RecoveryCore(db::Engine& engine, Host& host, std::string programDirectory);
    ~RecoveryCore();
    RecoveryCore(const RecoveryCore&) = delete;
    RecoveryCore& operator=(const RecoveryCore&) = delete;

    // Start-up after the gate is up: the two start lines in the log, the run
    // mode from the first argument, the local database (local mode only), the
    // program directory in the RAW file box and "AllowUnknown" from the ini
    // file. An error ends start-up at that step and is raised to the caller.
    void FormCreate(const std::vector<std::string>& arguments);
    // The same with the mode already chosen (the command line's --mode).
    void FormCreate(RunMode mode);

    // "Recover from RAW": the whole run over one file or a directory's RAW
    // files. Never raises; a press while a run is in progress does nothing.
    void Button1Click();
    // "Reindex" of the table named in the table-name box. Raises engine
    // errors; a press while a run is in progress does nothing.
    void Button2Click();
    // STOP.
    void Button5Click() { StopRequested = true; }

    // Rebuilds the three indexes of the table named in the table-name box.
    void Reindex();

    // The record writers: one RAW line (unit code, record text) into a
    // record. True when a record was added; refusals and errors are logged.
    bool InsertThisOne(const std::string& unitCode, const std::string& defaultDevice,
                       const std::string& recordText);
    bool CV_InsertThisOne(RunMode mode, const std::string& unitCode,
                          const std::string& defaultDevice, const std::string& recordText);

    bool Running() const { return running_; }
    RunMode Mode() const { return runMode_; }
    const std::string& ProgramDirectory() const { return programDirectory_; }

    db::Engine& Engine() { return engine_; }

  private:
    db::Engine& engine_;

  public:
    db::Database Database1{engine_, "KD1", "STANDARD", "Default"};
    db::Table TransTable{engine_, "TransTable", "KD1"};
    db::Query Query1{engine_, "Query1", "KD1"};

    bool StopRequested = false;
    bool AllowUnknownCards = false;

    // One file of a run. Lines added count once their batch committed.
    struct FileTotals {
        std::string name;  // as shown in "Recovering: "
        int64_t linesRead = 0;
        uint64_t bytes = 0;  // read so far
        double seconds = 0;
        LineCounts counts;
        const char* outcome = "failed";  // completed, stopped or failed
    };
    // Totals of the current or last run, for front ends that summarise.
    struct RunTotals {
        int files = 0;  // started, whether or not they could be opened
        int64_t linesRead = 0;
        int64_t added = 0;
        LineCounts counts;
        std::vector<FileTotals> perFile;
        double seconds = 0;
        bool completed = false;    // ended without error or STOP
        std::string error;         // the message of an error that ended it
        std::string firstFailure;  // the message of the first line that failed
        const char* Outcome() const {
            return completed ? "completed" : error.empty() ? "stopped" : "failed";
        }
    };
    const RunTotals& Totals() const { return totals_; }

    // Called with every line that was not added, as soon as that is known
    // (a line whose batch failed to commit comes when the commit fails).
    void SetRejectSink(std::function<void(const RejectedLine&)> sink) {
        rejectSink_ = std::move(sink);
    }

    // Progress of the file being read, in bytes (for front ends).
    uint64_t CurrentFilePosition() const { return filePosition_; }
    uint64_t CurrentFileSize() const { return fileSize_; }
    const std::string& CurrentFileName() const { return currentFile_; }

  private:
    void RunFiles(db::Batch& batch);
    void RecoverFile(db::Batch& batch, const std::string& displayName, const std::string& openName);
    // Commits the run's batch; what it held is then counted as added.
    void Commit(db::Batch& batch);
    // Settles the lines waiting for the batch by the commits made since the
    // last call (after a line: those made before a wait for another
    // process): each is added, or failed when its member lost its work.
    void SettleCommits(db::Batch& batch);
    // After a loss: commits what the batch still holds, settles every line
    // and raises the loss.
    [[noreturn]] void StopOnLoss(db::Batch& batch);
    // One line through the local writer, accounted however it ends.
    void WriteLocalLine(db::Batch& batch, RejectedLine read, const RawLine& line,
                        const std::string& defaultDevice);
    // The lines still waiting, when the batch is undone.
    void FailPending(const std::string& message) noexcept;
    // One line that was not kept after all: logged as its writer logs a
    // failure, and counted.
    void FailKept(RejectedLine line, const std::string& message) noexcept;
    void NotAdded(const RejectedLine& line);
    // What the writer said of a line: pending its batch, or not added.
    void Account(RejectedLine line, bool added);

    // The external writer, in three steps: a line's lookups and statements,
    // the records of several lines written in as few calls as the driver
    // needs, and the line reported as if it had run alone.
    ExternalLine PrepareExternalLine(RunMode mode, const std::string& unitCode,
                                     const std::string& recordText);
    void WriteExternalLines(std::span<ExternalLine*> lines);
    bool ReportExternalLine(const ExternalLine& line);
    // Lines of the external writer read and not yet reported: queued until
    // the driver's share of a call is there, or a line could find one of
    // them as its duplicate, then written together and reported in order.
    void QueueExternalLine(db::Batch& batch, RejectedLine line, const std::string& unitCode,
                           const std::string& recordText);
    void FlushWindow(db::Batch& batch);
    // The queued lines at a failure: written if the batch still stands,
    // otherwise reported failed with `message`.
    void SettleWindow(db::Batch& batch, const std::string& message) noexcept;
    void FailWindow(const std::string& message) noexcept;
    // A writer's refusal or failure of the line it is writing; returns false.
    bool Refuse(LineOutcome outcome, const std::string& message);
    // The local writer's duplicate check (daily tables) and append.
    bool CheckAndAppend(const RawRecord& rec, const std::string& deviceName,
                        const CardHolder& holder);

    Host& host_;
    std::string programDirectory_;
    RunMode runMode_ = RunMode::Local;
    bool running_ = false;
    RunTotals totals_;
    uint64_t filePosition_ = 0;
    uint64_t fileSize_ = 0;
    std::string currentFile_;
    RecordIdIssuer recordIds_;
    // The duplicate check's text for the day table last used.
    std::string duplicateCheckTable_;
    std::string duplicateCheckText_;
    // Lines of the current file added and not yet committed, kept whole
    // so that a failed commit can hand them on as rejects, each with the
    // batch member whose commit keeps it.
    struct PendingLine {
        RejectedLine line;
        const db::BatchMember* holder = nullptr;
    };
    std::vector<PendingLine> pending_;
    const db::BatchMember* lineHolder_ = nullptr;
    // Why the writer being called did not add its line.
    LineOutcome lineOutcome_ = LineOutcome::Failed;
    std::string lineMessage_;
    std::function<void(const RejectedLine&)> rejectSink_;
    // The external writer's reader and card answers of the current run.
    ExternalLookups lookups_;
    struct QueuedLine {
        RejectedLine line;
        ExternalLine external;
    };
    std::vector<QueuedLine> window_;
    std::unordered_set<std::string> windowKeys_;
    size_t windowLimit_ = 0;  // 0 until the run's first external line
};

}  // namespace tallon
