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
    pendingAdded_ = 0;
    fileAdded_ = 0;
    pendingLines_.clear();
    lookups_.Clear();

    std::string failure;
    {
        // The run's batch: committed every kBatchAge, at the end of every
        // file and when the run returns, stops or fails, so everything the
        // run counts as added is on disk when it returns. After a failed
        // commit nothing pending is kept (nor counted).
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
        if (!failure.empty() && batch.Failure().empty()) {
            try {
                Commit(batch);
            } catch (...) {
                // Reported below as the run's failure.
            }
        }
    }
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
    } catch (const Exception& e) {
        LogPendingLost(e.Message());
        throw;
    }
    fileAdded_ += pendingAdded_;
    totals_.added += pendingAdded_;
    pendingAdded_ = 0;
    pendingLines_.clear();
}

void RecoveryCore::NoteCommitsDuring(db::Batch& batch, uint64_t commitsBefore) {
    if (batch.Commits() != commitsBefore) {
        fileAdded_ += pendingAdded_;
        totals_.added += pendingAdded_;
        pendingAdded_ = 0;
        pendingLines_.clear();
    }
}

void RecoveryCore::LogPendingLost(const std::string& message) {
    const std::vector<std::string> lines = std::move(pendingLines_);
    pendingLines_.clear();
    for (const std::string& text : lines) {
        LogLine("CV.Insert" + message + " s=[" + text + "]");
    }
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
    TextFileReader reader(openName);
    ++totals_.files;
    fileSize_ = reader.Size();
    filePosition_ = 0;

    int linesRead = 0;
    fileAdded_ = 0;
    pendingAdded_ = 0;
    const std::string defaultDevice = host_.FallbackDevice();
    while (!reader.Eof() && !StopRequested) {
        const RawLine line = SplitRawLine(reader.ReadLine());
        const uint64_t commitsBefore = batch.Commits();
        const bool wasAdded =
            runMode_ == RunMode::Local
                ? InsertThisOne(line.unitCode, defaultDevice, line.recordText)
                : CV_InsertThisOne(runMode_, line.unitCode, defaultDevice, line.recordText);
        NoteCommitsDuring(batch, commitsBefore);
        if (wasAdded) {
            ++pendingAdded_;
            if (runMode_ != RunMode::Local) {
                pendingLines_.push_back(line.recordText);
            }
        }
        // Work the batch held was lost (a disk-full or I/O error undid it,
        // or the server went away for good): the run cannot go on as if it
        // were kept.
        if (!batch.Failure().empty()) {
            pendingAdded_ = 0;
            LogPendingLost(batch.Failure());
            throw EDatabaseError(batch.Failure());
        }
        if (batch.Due()) {
            Commit(batch);
        }
        ++linesRead;
        ++totals_.linesRead;
        filePosition_ = reader.Position();
        host_.SetLinesRead(linesRead);
        host_.ProcessPendingEvents();
    }
    if (StopRequested) {
        return;
    }
    // The count says what is on disk.
    Commit(batch);
    const std::string completed =
        "Completed - " + IntToStr(static_cast<int>(fileAdded_)) + " records added.";
    host_.AddMemoLine(completed);
    LogLine(completed);
}

}  // namespace tallon
