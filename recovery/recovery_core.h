#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/database.h"
#include "db/engine.h"
#include "db/query.h"
#include "db/table.h"
#include "recovery/external_writer.h"
#include "recovery/host.h"
#include "recovery/local_writer.h"
#include "recovery/record_id.h"
#include "recovery/recovery_run.h"
#include "recovery/run_mode.h"
#include "recovery/run_totals.h"

namespace tallon {

// The program's working state and the window's handlers, shared by the
// window, the command line and the tests: the run mode, the three database
// objects (on the engine its front end made), the STOP flag and the ini
// option. It reaches the operator only through its Host; a run is a
// RecoveryRun it makes for each press of "Recover from RAW".
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
    // STOP: the run in progress ends before its next line.
    void Button5Click() { stopRequested_ = true; }
    // Rebuilds the three indexes of the table named in the table-name box.
    void Reindex();

    // The writers of the program's mode over the window's database objects,
    // remembering lookups in `lookups` (or asking every time). The external
    // writer takes the ini option from `settings` (a run gives the one read
    // at start-up).
    LocalWriter MakeLocalWriter(LookupCache* lookups, LineWriter::Report report = nullptr);
    ExternalWriter MakeExternalWriter(LookupCache* lookups, ExternalWriter::Settings settings);
    // The writer of the program's mode, as a run makes it.
    std::unique_ptr<LineWriter> MakeLineWriter(db::Batch& batch, LookupCache& lookups,
                                               LineWriter::Report report);
    // Reads the ini option again (continuous intake, told to on SIGHUP).
    void ReadSettings();

    bool Running() const { return running_; }
    RunMode Mode() const { return runMode_; }
    const std::string& ProgramDirectory() const { return programDirectory_; }
    bool StopRequested() const { return stopRequested_; }
    bool AllowUnknownCards() const { return allowUnknownCards_; }
    db::Table& TransTable() { return transTable_; }
    db::Engine& Engine() { return engine_; }

    // The figures of the current or last run.
    const RunTotals& Totals() const { return totals_; }
    // Where the file being read stands.
    const RunProgress& Progress() const { return progress_; }
    // Called with every line that was not added, as soon as that is known
    // (a line whose batch failed to commit comes when the commit fails).
    void SetRejectSink(RunAccounts::RejectSink sink) { rejectSink_ = std::move(sink); }

  private:
    db::Engine& engine_;
    Host& host_;
    std::string programDirectory_;
    RunMode runMode_ = RunMode::Local;
    db::Database database1_{engine_, "KD1", "STANDARD", "Default"};
    db::Table transTable_{engine_, "TransTable", "KD1"};
    db::Query query1_{engine_, "Query1", "KD1"};
    bool stopRequested_ = false;
    bool allowUnknownCards_ = false;
    bool running_ = false;
    RecordIdIssuer recordIds_;
    RunTotals totals_;
    RunProgress progress_;
    RunAccounts::RejectSink rejectSink_;
};

}  // namespace tallon
