#include "recovery/recovery_run.h"

#include <chrono>
#include <exception>

#include "base/errors.h"
#include "base/file_names.h"
#include "base/int_conversion.h"
#include "log/activity_log.h"
#include "recovery/table_files.h"

namespace tallon {
namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string Lines(int64_t n) {
    return IntToStr(static_cast<int>(n)) + (n == 1 ? " line" : " lines");
}

std::string MessageOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

RecoveryRun::RecoveryRun(const Setting& setting, const WriterFactory& makeWriter, RunTotals& totals,
                         RunProgress& progress)
    : setting_(setting),
      totals_(totals),
      progress_(progress),
      session_({setting.engine, setting.mode, setting.rejects}, makeWriter, totals),
      accounts_(session_.Accounts()) {}

void RecoveryRun::Run() {
    const auto start = std::chrono::steady_clock::now();
    std::string failure;
    try {
        RunFiles();
        accounts_.Commit();
    } catch (...) {
        failure = MessageOf(std::current_exception());
        // What the batch still holds is kept where it can be.
        try {
            accounts_.Commit();
        } catch (...) {
            // Reported below as the run's failure.
        }
    }
    accounts_.FailPending(failure.empty() ? "not committed" : failure);
    totals_.seconds = SecondsSince(start);
    if (!failure.empty()) {
        ReportStopped(failure);
    }
    progress_ = RunProgress{};
}

void RecoveryRun::RunFiles() {
    if (setting_.mode == RunMode::Local && !TemplateUsable()) {
        return;
    }
    Host& host = setting_.host;
    if (!host.MergeChecked()) {
        CreateFromTemplate(setting_.engine, setting_.programDirectory, host.TableName());
    }
    for (const Entry& entry : ListFiles()) {
        RecoverFile(entry);
        if (setting_.stopRequested) {
            return;
        }
    }
    totals_.completed = true;
}

bool RecoveryRun::TemplateUsable() {
    // The writer keeps its tables, and makes daily tables from the template,
    // in the program directory: that is where the template must be.
    const std::string& directory = setting_.programDirectory;
    if (!FileExists(directory + kTemplateTableName + ".DB")) {
        setting_.host.ShowMessage("You must have Tran_Tpl.* files to proceed.");
        return false;
    }
    // A damaged template would be copied into every new day table: it is
    // checked before the first line is read.
    try {
        CheckTransactionTable(setting_.engine, directory, kTemplateTableName);
    } catch (const Exception& e) {
        setting_.host.ShowMessage(std::string("The template ") + kTemplateTableName +
                                  ".DB cannot be used: " + e.Message());
        return false;
    }
    return true;
}

std::vector<RecoveryRun::Entry> RecoveryRun::ListFiles() const {
    const std::string rawFileText = setting_.host.RawFileName();
    if (!setting_.host.AllRawChecked()) {
        return {{rawFileText, rawFileText}};
    }
    const std::string rawDirectory = ExtractFilePath(rawFileText);
    std::vector<Entry> files;
    for (const std::string& name : ListMatching(rawDirectory + "*.raw")) {
        files.push_back({name, rawDirectory + name});
    }
    return files;
}

void RecoveryRun::RecoverFile(const Entry& entry) {
    const std::string recovering = "Recovering: " + entry.shown;
    LogLine(recovering);
    setting_.host.AddMemoLine(recovering);

    progress_ = RunProgress{entry.shown, 0, 0};
    const size_t index = totals_.perFile.size();
    accounts_.StartFile(entry.shown);
    // The file's figures are final however it ends.
    struct FileEnd {
        RunTotals& totals;
        const RunProgress& progress;
        size_t index;
        std::chrono::steady_clock::time_point start;
        ~FileEnd() {
            totals.perFile[index].seconds = SecondsSince(start);
            totals.perFile[index].bytes = progress.position;
        }
    } fileEnd{totals_, progress_, index, std::chrono::steady_clock::now()};

    WholeFileSource source(entry.opened);
    progress_.size = source.Size();
    ReadLines(source, entry.shown);
    if (setting_.stopRequested) {
        totals_.perFile[index].outcome = "stopped";
        return;
    }
    // The count says what is on disk.
    accounts_.Commit();
    ReportCompleted(totals_.perFile[index]);
}

void RecoveryRun::ReadLines(LineSource& source, const std::string& name) {
    int64_t number = 0;
    std::string text;
    db::Batch& batch = session_.Batch();
    LineWriter& writer = session_.Writer();
    try {
        while (!setting_.stopRequested && source.Next(text)) {
            session_.Take(ReadLine{name, ++number, std::move(text)});
            // Work the batch held was lost (a disk-full or I/O error undid
            // it, or the server went away for good): the run cannot go on
            // as if it were kept.
            if (!batch.Failure().empty()) {
                accounts_.StopOnLoss();
            }
            if (batch.Due()) {
                accounts_.Commit();
            }
            progress_.position = source.Position();
            setting_.host.SetLinesRead(static_cast<int>(number));
            setting_.host.ProcessPendingEvents();
        }
        // Lines already read are written and reported, on STOP too.
        writer.Flush();
        if (!batch.Failure().empty()) {
            accounts_.StopOnLoss();
        }
    } catch (const std::exception& e) {
        writer.Settle(e.what());
        throw;
    }
}

void RecoveryRun::ReportCompleted(FileTotals& file) {
    ReportFileCompleted(setting_.host, file);
}

void ReportFileCompleted(Host& host, FileTotals& file) {
    const LineCounts& counts = file.counts;
    const std::string completed =
        "Completed - " + IntToStr(static_cast<int>(counts.added)) + " records added.";
    host.AddMemoLine(completed);
    LogLine(completed);
    file.outcome = "completed";
    // The log only says it line by line, and may be anywhere: the operator
    // learns here that something was left out and where to look.
    if (counts.NotAdded() != 0) {
        host.AddMemoLine(Lines(counts.NotAdded()) + " not added (" +
                         IntToStr(static_cast<int>(counts.Refused())) + " refused, " +
                         IntToStr(static_cast<int>(counts.Failed())) + " failed): see " +
                         ActivityLogPath());
    }
}

void RecoveryRun::ReportStopped(const std::string& failure) {
    totals_.completed = false;
    totals_.error = failure;
    const std::string line = "Recovery stopped: " + failure;
    setting_.host.AddMemoLine(line);
    try {
        LogLine(line);
    } catch (...) {
        // The log may be what failed; the memo still tells the operator.
    }
}

}  // namespace tallon
