#include "recovery/recovery_core.h"

#include "base/ini_file.h"
#include "log/activity_log.h"
#include "recovery/external_line_writer.h"
#include "recovery/record_id_store.h"
#include "recovery/reindex.h"

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

}  // namespace

RecoveryCore::RecoveryCore(db::Engine& engine, Host& host, std::string programDirectory)
    : engine_(engine), host_(host), programDirectory_(std::move(programDirectory)) {
    if (programDirectory_.empty() || programDirectory_.back() != '/') {
        programDirectory_ += '/';
    }
    engine_.SetProgramDirectory(programDirectory_);
}

RecoveryCore::~RecoveryCore() = default;

void RecoveryCore::FormCreate(const std::vector<std::string>& arguments) {
    FormCreate(RunModeFromArguments(arguments));
}

void RecoveryCore::FormCreate(RunMode mode) {
    LogLine(" ");
    LogLine(std::string("TALLON: ") + kProgramVersion + " Started.");

    runMode_ = mode;
    if (runMode_ != RunMode::Local) {
        query1_.SetDatabaseName(AliasOf(runMode_));
        recordIds_.ShareThrough(RecordIdStoreFile(programDirectory_, AliasOf(runMode_)));
        host_.EnterExternalMode(runMode_);
    } else {
        database1_.ClearParams();
        database1_.AddParam("path=" + programDirectory_);
        database1_.Open();
    }

    stopRequested_ = false;
    host_.SetRawFileName(programDirectory_);
    ReadSettings();
}

void RecoveryCore::ReadSettings() {
    allowUnknownCards_ =
        IniReadBool(programDirectory_ + "tallon.ini", "Options", "AllowUnknown", false);
}

void RecoveryCore::Button1Click() {
    // Pending events are processed after every line, so a second press would
    // otherwise start a run inside the run.
    if (running_) {
        return;
    }
    ScopedFlag running(running_);
    // STOP ends the run in progress only; the next run starts afresh.
    stopRequested_ = false;
    totals_ = RunTotals{};
    const RecoveryRun::Setting setting{engine_,           host_,          runMode_,
                                       programDirectory_, stopRequested_, rejectSink_};
    RecoveryRun run(
        setting,
        [this](db::Batch& batch, LookupCache& lookups, LineWriter::Report report) {
            return MakeLineWriter(batch, lookups, std::move(report));
        },
        totals_, progress_);
    run.Run();
}

void RecoveryCore::Button2Click() {
    // Taking the table exclusive under a running recovery would break it.
    if (running_) {
        return;
    }
    Reindex();
}

void RecoveryCore::Reindex() {
    ReindexTable(transTable_, host_);
}

LocalWriter RecoveryCore::MakeLocalWriter(LookupCache* lookups, LineWriter::Report report) {
    return LocalWriter(engine_, host_, transTable_, query1_, programDirectory_, lookups,
                       std::move(report));
}

ExternalWriter RecoveryCore::MakeExternalWriter(LookupCache* lookups,
                                                ExternalWriter::Settings settings) {
    return ExternalWriter(host_, query1_, recordIds_, settings, lookups);
}

std::unique_ptr<LineWriter> RecoveryCore::MakeLineWriter(db::Batch& batch, LookupCache& lookups,
                                                         LineWriter::Report report) {
    if (runMode_ == RunMode::Local) {
        return std::make_unique<LocalWriter>(MakeLocalWriter(&lookups, std::move(report)));
    }
    return std::make_unique<ExternalLineWriter>(MakeExternalWriter(&lookups, {allowUnknownCards_}),
                                                runMode_, batch, std::move(report));
}

}  // namespace tallon
