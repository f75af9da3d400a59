#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/engine.h"
#include "recovery/host.h"
#include "recovery/line_source.h"
#include "recovery/run_accounts.h"
#include "recovery/run_mode.h"
#include "recovery/run_session.h"
#include "recovery/run_totals.h"

namespace tallon {

// One recovery run: "Recover from RAW" from its start to its end. It lists
// the RAW files the window names, reads each line by line from a source,
// hands every line to the writer of the run mode and accounts for it. Its
// session's batch is committed every kBatchAge, at the end of every file and
// when the run ends, however it ends, so everything the run counts as added
// is on disk when it returns.
class RecoveryRun {
  public:
    using WriterFactory = RunSession::WriterFactory;

    struct Setting {
        db::Engine& engine;
        Host& host;
        RunMode mode;
        std::string programDirectory;  // ends in "/"
        const bool& stopRequested;     // STOP, looked at before every line
        const RunAccounts::RejectSink& rejects;
    };

    RecoveryRun(const Setting& setting, const WriterFactory& makeWriter, RunTotals& totals,
                RunProgress& progress);

    // The whole run. Never raises: an error that ends it is reported as
    // "Recovery stopped: " and the reason, in the memo and the log.
    void Run();

  private:
    struct Entry {
        std::string shown;   // as listed, for the log and the memo
        std::string opened;  // where it is read from
    };

    void RunFiles();
    bool TemplateUsable();
    std::vector<Entry> ListFiles() const;
    void RecoverFile(const Entry& entry);
    void ReadLines(LineSource& source, const std::string& name);
    void ReportCompleted(FileTotals& file);
    void ReportStopped(const std::string& failure);

    Setting setting_;
    RunTotals& totals_;
    RunProgress& progress_;
    RunSession session_;
    RunAccounts& accounts_;
};

// "Completed - N records added." in the memo and the log, and the memo's
// line on the lines not added, if any.
void ReportFileCompleted(Host& host, FileTotals& file);

}  // namespace tallon
