#include <exception>

#include "base/errors.h"
#include "base/file_names.h"
#include "base/int_conversion.h"
#include "base/text.h"
#include "base/text_file.h"
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

    std::string failure;
    try {
        RunFiles();
        // Everything the run added is on disk once it returns.
        db::FlushAll();
    } catch (const Exception& e) {
        failure = e.Message();
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "unknown error";
    }
    if (!failure.empty()) {
        totals_.completed = false;
        totals_.error = failure;
        try {
            db::FlushAll();
        } catch (...) {
            // What could be kept is kept; the run is reported as stopped.
        }
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

void RecoveryCore::RunFiles() {
    const std::string rawFileText = host_.RawFileName();
    const std::string rawDirectory = ExtractFilePath(rawFileText);

    // The writer keeps its tables, and makes daily tables from the template,
    // in the program directory: that is where the template must be.
    if (runMode_ == RunMode::Local && !FileExists(programDirectory_ + kTemplateTableName + ".DB")) {
        host_.ShowMessage("You must have Tran_Tpl.* files to proceed.");
        return;
    }
    if (!host_.MergeChecked()) {
        CreateFromTemplate(programDirectory_, host_.TableName());
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
        RecoverFile(entry.shown, entry.opened);
        if (StopRequested) {
            return;
        }
    }
    totals_.completed = true;
}

void RecoveryCore::RecoverFile(const std::string& displayName, const std::string& openName) {
    const std::string recovering = "Recovering: " + displayName;
    LogLine(recovering);
    host_.AddMemoLine(recovering);

    currentFile_ = displayName;
    TextFileReader reader(openName);
    ++totals_.files;
    fileSize_ = reader.Size();
    filePosition_ = 0;

    int linesRead = 0;
    int added = 0;
    const std::string defaultDevice = host_.FallbackDevice();
    while (!reader.Eof() && !StopRequested) {
        const RawLine line = SplitRawLine(reader.ReadLine());
        const bool wasAdded =
            runMode_ == RunMode::Local
                ? InsertThisOne(line.unitCode, defaultDevice, line.recordText)
                : CV_InsertThisOne(runMode_, line.unitCode, defaultDevice, line.recordText);
        if (wasAdded) {
            ++added;
            ++totals_.added;
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
    const std::string completed = "Completed - " + IntToStr(added) + " records added.";
    host_.AddMemoLine(completed);
    LogLine(completed);
}

}  // namespace tallon
