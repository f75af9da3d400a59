// tallon-recover: the "Recover from RAW" run without the window, for scripted
// and scheduled recovery, and continuous intake of a directory (--watch). It
// drives the same recovery core as the window.

#include <signal.h>

#include <clocale>
#include <csignal>
#include <iostream>
#include <memory>
#include <string>

#include "base/errors.h"
#include "base/file_io.h"
#include "base/file_names.h"
#include "base/regional.h"
#include "base/site_directory.h"
#include "cli/tallon_recover_console.h"
#include "cli/tallon_recover_options.h"
#include "cli/tallon_recover_watch.h"
#include "db/engine.h"
#include "db/paradox/detect.h"
#include "log/activity_log.h"
#include "recovery/recovery_core.h"
#include "recovery/rejects_file.h"
#include "recovery/run_summary.h"

namespace tallon {
namespace {

constexpr int kExitCompleted = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// Completed, but some lines failed on an error (not refused by a rule).
constexpr int kExitLinesFailed = 3;
// Stopped by a signal: 128 + its number, as a shell reports a death by it,
// so that 130 is Ctrl-C and 143 the SIGTERM of kill and service managers.
constexpr int kExitBySignal = 128;

// The signal that asked the run to stop, 0 while none has.
volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int signal) {
    interrupted = signal;
}

std::string Count(int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What both kinds of run share: the site, the engine, the core on its
// console and the rejects list.
class Program {
  public:
    explicit Program(const RecoverOptions& opts)
        : opts_(opts),
          site_(OpenSite(opts)),
          engine_(site_.path),
          core_(engine_, host_, site_.path) {
        engine_.SetLoginPrompt(TerminalLogin);
    }

    // Start-up up to the first line; kExitCompleted when the run may
    // start, else the status to exit with.
    int Prepare();
    int RunBatch();
    int RunContinuous() {
        return RunWatch(opts_, WatchParts{engine_, core_, host_, rejects_.get()});
    }

  private:
    static SiteDirectory OpenSite(const RecoverOptions& opts) {
        SiteDirectory site = OpenSiteDirectory(opts.programDir);
        if (!site.notice.empty()) {
            std::cerr << "tallon-recover: " << site.notice << std::endl;
        }
        return site;
    }
    int RefuseParadoxTables();
    int Finish(int status, const std::string& error = "");
    int BatchStatus(bool closedCleanly, size_t messagesBefore);

    const RecoverOptions& opts_;
    SiteDirectory site_;
    db::Engine engine_;
    ConsoleHost host_;
    RecoveryCore core_;
    std::unique_ptr<RejectsFile> rejects_;
};

int Program::Prepare() {
    try {
        core_.FormCreate(opts_.mode);
    } catch (const Exception& e) {
        std::cerr << "tallon-recover: " << e.Message() << std::endl;
        return Finish(kExitFailed, e.Message());
    }
    if (const int status = RefuseParadoxTables(); status != kExitCompleted) {
        return status;
    }
    host_.tableName = opts_.table;
    host_.allRaw = opts_.all;
    host_.merge = opts_.merge;
    host_.fromTran = opts_.fromTran;
    std::string path = opts_.path;
    if ((opts_.all || opts_.watch) && DirectoryExists(path) && path.back() != '/') {
        path += '/';
    }
    host_.rawFileName = path;
    if (!opts_.rejects.empty()) {
        try {
            rejects_ = std::make_unique<RejectsFile>(opts_.rejects);
        } catch (const Exception& e) {
            std::cerr << "tallon-recover: " << opts_.rejects << ": " << e.Message() << std::endl;
            return Finish(kExitFailed, e.Message());
        }
        core_.SetRejectSink([this](const RejectedLine& line) { rejects_->Add(line); });
    }
    return kExitCompleted;
}

// A site's Paradox template or lookup table would refuse every line; the
// run does not start until they are converted.
int Program::RefuseParadoxTables() {
    if (opts_.mode != RunMode::Local) {
        return kExitCompleted;
    }
    for (const char* table : {"tran_tpl", "rdrmain", "cards", "TranSamp"}) {
        const std::string file = ResolveFileName(site_.path + table + ".DB");
        if (db::paradox::IsParadoxTableFile(file)) {
            const std::string problem =
                ExtractFileName(file) +
                " is a Paradox table: convert it with tallon-db import-paradox";
            std::cerr << "tallon-recover: " << problem << std::endl;
            return Finish(kExitFailed, problem);
        }
    }
    return kExitCompleted;
}

// The summary file is written however the run ends, a refusal to start
// included.
int Program::Finish(int status, const std::string& error) {
    if (opts_.summary.empty()) {
        return status;
    }
    RunTotals totals = core_.Totals();
    if (!error.empty()) {
        totals.error = error;
    }
    try {
        WriteFileAtomically(opts_.summary, RunSummaryJson(totals, opts_.mode, ActivityLogPath()));
    } catch (const Exception& e) {
        std::cerr << "tallon-recover: " << opts_.summary << ": " << e.Message() << std::endl;
        return status == kExitCompleted ? kExitFailed : status;
    }
    return status;
}

void InstallBatchSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signal, &sa, nullptr);
    }
}

int Program::RunBatch() {
    host_.Attach(&core_.Progress(), [this] {
        if (interrupted) {
            core_.Button5Click();
        }
    });
    const size_t messagesBefore = host_.messages.size();
    core_.Button1Click();
    host_.FinishProgress(core_.Totals().perFile.empty() ? nullptr : &core_.Totals().perFile.back());
    bool closedCleanly = true;
    try {
        engine_.Shutdown();
    } catch (const Exception& e) {
        // The run flushed its records already; a failure here is still news.
        std::cerr << "tallon-recover: " << e.Message() << std::endl;
        closedCleanly = false;
    }
    return BatchStatus(closedCleanly, messagesBefore);
}

int Program::BatchStatus(bool closedCleanly, size_t messagesBefore) {
    const auto& totals = core_.Totals();
    const LineCounts& counts = totals.counts;
    std::cout << "Summary: " << Count(static_cast<int64_t>(totals.perFile.size()), "file", "files")
              << ", " << Count(totals.linesRead, "line", "lines") << " read, "
              << Count(counts.added, "record", "records") << " added, "
              << Count(counts.Refused(), "line", "lines") << " refused, "
              << Count(counts.Failed(), "line", "lines") << " failed" << std::endl;

    // A signal that comes after the last line has been read stopped nothing.
    if (interrupted && !totals.completed) {
        return Finish(kExitBySignal + interrupted);
    }
    if (host_.messages.size() > messagesBefore || !totals.completed || !closedCleanly) {
        return Finish(kExitFailed, host_.messages.size() > messagesBefore && totals.error.empty()
                                       ? host_.messages.back()
                                       : "");
    }
    if (counts.Failed() != 0) {
        std::cerr << "tallon-recover: " << Count(counts.Failed(), "line", "lines") << " failed ("
                  << counts.added << " added, " << counts.Refused()
                  << " refused); the first: " << EchoText(totals.firstFailure) << std::endl;
        return Finish(kExitLinesFailed);
    }
    return Finish(kExitCompleted);
}

int Run(int argc, char** argv) {
    RecoverOptions opts;
    const std::string problem = ParseRecoverOptions(argc, argv, opts);
    if (opts.help) {
        std::cout << kRecoverUsage << "\n" << kRecoverHelp;
        return kExitCompleted;
    }
    if (opts.version) {
        std::cout << "tallon-recover " << kProgramVersion << "\n";
        return kExitCompleted;
    }
    if (!problem.empty()) {
        std::cerr << "tallon-recover: " << problem << "\n" << kRecoverUsage;
        return kExitUsage;
    }
    std::setlocale(LC_TIME, "");
    LoadRegionalSettingsFromLocale();
    if (opts.watch) {
        InstallWatchSignals();
    } else {
        InstallBatchSignals();
    }
    Program program(opts);
    if (const int status = program.Prepare(); status != kExitCompleted) {
        return status;
    }
    return opts.watch ? program.RunContinuous() : program.RunBatch();
}

}  // namespace
}  // namespace tallon

int main(int argc, char** argv) {
    return tallon::Run(argc, argv);
}
