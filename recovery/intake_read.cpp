// Continuous intake: reading what is new, and the commit that follows.

#include <algorithm>

#include "base/errors.h"
#include "log/activity_log.h"
#include "recovery/database_probe.h"
#include "recovery/growing_file_source.h"
#include "recovery/intake.h"

namespace tallon {

void Intake::Note(const std::string& line) {
    LogLine(line);
    setting_.host.AddMemoLine(line);
}

void Intake::Work() {
    const Clock::time_point now = Clock::now();
    if (retry_.Waiting()) {
        if (now >= retry_.Due()) {
            Retry();
        }
        if (retry_.Waiting()) {
            return;  // nothing new is read while the database does not answer
        }
    }
    for (auto& [id, file] : files_) {
        const bool settled = file->unendedTail && now - file->changed >= setting_.settle;
        if ((file->dirty || settled) && !setting_.stopRequested()) {
            ReadFile(*file, settled);
        }
        if (retry_.Waiting()) {
            break;
        }
    }
    CommitPoint();
    SettleFiles(Clock::now());
}

bool Intake::PrepareToRead(WatchedFile& file) {
    if (!file.IsOpen()) {
        MakeRoom();
        if (file.gone || !file.Open(setting_.directory)) {
            file.dirty = false;  // nothing left to read it through
            return false;
        }
    }
    if (!file.StillHoldsWhatWasRead()) {
        // Truncated, copied over, or a new file on a recycled inode: read
        // again from its start (the duplicate check keeps every event once).
        Note(file.Name() + ": truncated or replaced; read again from its start");
        file.Restart();
        positionsChanged_ = true;
    }
    return true;
}

void Intake::ReadFile(WatchedFile& file, bool settled) {
    file.dirty = false;
    if (!PrepareToRead(file) || file.read.ended) {
        return;
    }
    GrowingFileSource source(file.Fd(), file.read, settled);
    progress_ = RunProgress{file.Name(), file.read.offset, source.Size()};
    std::string text;
    FilePosition before = file.read;
    while ((draining_ || !setting_.stopRequested()) && source.Next(text)) {
        if (!file.active) {
            file.active = true;
            file.episode = FileTotals{};
            file.episode.name = file.Name();
            Note("Recovering: " + file.Name());
        }
        file.read = source.At();
        TakeLine(file, before, std::move(text));
        before = file.read;
        progress_.position = file.read.offset;
        if (!held_.empty() || session_->Batch().Due()) {
            CommitPoint();
            if (retry_.Waiting()) {
                return;
            }
        }
    }
    file.read = source.At();
    file.unendedTail = source.HasUnendedTail();
    file.size = std::max(file.size, source.Size());
    if (file.read.ended && !file.endNoted) {
        file.endNoted = true;
        Note(file.Name() + ": a Ctrl-Z byte ends the file at byte " +
             std::to_string(file.read.offset) + "; nothing after it is read");
    }
}

void Intake::TakeLine(WatchedFile& file, const FilePosition& before, std::string text) {
    const uint64_t sequence = nextSequence_++;
    inFlight_.push_back({sequence, &file, before});
    session_->Accounts().ReadInto(file.episode);
    session_->Take(ReadLine{file.Name(), file.read.lines, std::move(text), sequence});
    setting_.host.SetLinesRead(static_cast<int>(file.episode.linesRead));
    setting_.host.ProcessPendingEvents();
}

const Intake::InFlight* Intake::Find(uint64_t sequence) const {
    if (inFlight_.empty() || sequence < inFlight_.front().sequence) {
        return nullptr;
    }
    const uint64_t index = sequence - inFlight_.front().sequence;
    return index < inFlight_.size() ? &inFlight_[index] : nullptr;
}

// A line that failed on a database error is held, not counted: whether it
// failed by itself or because the database did not answer is decided at
// the commit that follows.
void Intake::OnResult(const ReadLine& line, const LineResult& result) {
    const InFlight* at = Find(line.sequence);
    if (result.outcome == LineOutcome::Failed && at != nullptr) {
        held_.push_back({line, at->file, at->before, result, false});
        return;
    }
    session_->Accounts().ReadInto(at != nullptr ? at->file->episode : orphans_);
    session_->Accounts().Account(line, result);
}

void Intake::OnLost(const ReadLine& line, const std::string& message) {
    const InFlight* at = Find(line.sequence);
    if (at == nullptr) {
        return;
    }
    held_.push_back(
        {line, at->file, at->before, LineResult::NotAdded(LineOutcome::Failed, message), true});
}

}  // namespace tallon
