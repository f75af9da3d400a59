#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/batch.h"
#include "db/database.h"
#include "db/engine.h"
#include "db/query.h"
#include "db/table.h"
#include "recovery/external_lookups.h"
#include "recovery/host.h"
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

    // Totals of the current or last run, for front ends that summarise.
    struct RunTotals {
        int files = 0;
        int64_t linesRead = 0;
        int64_t added = 0;
        bool completed = false;  // ended without error or STOP
        std::string error;       // the message of an error that ended it
    };
    const RunTotals& Totals() const { return totals_; }

    // Progress of the file being read, in bytes (for front ends).
    uint64_t CurrentFilePosition() const { return filePosition_; }
    uint64_t CurrentFileSize() const { return fileSize_; }
    const std::string& CurrentFileName() const { return currentFile_; }

  private:
    void RunFiles(db::Batch& batch);
    void RecoverFile(db::Batch& batch, const std::string& displayName, const std::string& openName);
    // Commits the run's batch; what it held is then counted as added.
    void Commit(db::Batch& batch);
    // After a line: a commit made during it (before a wait for another
    // process) covered the lines before it.
    void NoteCommitsDuring(db::Batch& batch, uint64_t commitsBefore);

    Host& host_;
    std::string programDirectory_;
    RunMode runMode_ = RunMode::Local;
    bool running_ = false;
    RunTotals totals_;
    uint64_t filePosition_ = 0;
    uint64_t fileSize_ = 0;
    std::string currentFile_;
    RecordIdIssuer recordIds_;
    // The external writer's reader and card answers of the current run.
    ExternalLookups lookups_;
    // Records added by the current file's lines and not yet committed, and
    // those of the current file committed so far.
    int64_t pendingAdded_ = 0;
    int64_t fileAdded_ = 0;
    // The record texts of the external lines behind pendingAdded_: when their
    // batch is lost they are logged as failed, since they were not kept.
    std::vector<std::string> pendingLines_;
    void LogPendingLost(const std::string& message);
};

}  // namespace tallon
