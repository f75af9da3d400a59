#include "recovery/file_reports.h"

#include "log/activity_log.h"
#include "recovery/recovery_run.h"

namespace tallon {

void FileReports::Say(const std::string& line) {
    LogLine(line);
    host_.AddMemoLine(line);
}

void FileReports::LineRead(WatchedFile& file) {
    if (file.active) {
        return;
    }
    file.active = true;
    file.episode = FileTotals{};
    file.episode.name = file.Name();
    Say("Recovering: " + file.Name());
}

void FileReports::Restarted(const WatchedFile& file) {
    Say(file.Name() + ": truncated or replaced; read again from its start");
}

void FileReports::EndedByCtrlZ(WatchedFile& file) {
    if (!file.read.ended || file.endNoted) {
        return;
    }
    file.endNoted = true;
    Say(file.Name() + ": a Ctrl-Z byte ends the file at byte " + std::to_string(file.read.offset) +
        "; nothing after it is read");
}

void FileReports::Settle(WatchedFiles& files, Clock::time_point now,
                         const WatchedFiles::Busy& busy) {
    files.ForEach([&](WatchedFile& file) {
        if (file.active && now - file.changed >= settle_ && file.ReadToEnd() && !busy(file)) {
            Complete(file);
        }
    });
}

void FileReports::CompleteAll(WatchedFiles& files, const WatchedFiles::Busy& busy) {
    files.ForEach([&](WatchedFile& file) {
        if (file.active && !busy(file)) {
            Complete(file);
        }
    });
}

void FileReports::Complete(WatchedFile& file) {
    file.active = false;
    ReportFileCompleted(host_, file.episode);
}

}  // namespace tallon
