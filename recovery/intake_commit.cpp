// Continuous intake: commits, held lines and retries, settling and the
// end of files, saved positions and the status.

#include <algorithm>

#include "base/errors.h"
#include "log/activity_log.h"
#include "recovery/database_probe.h"
#include "recovery/intake.h"
#include "recovery/recovery_run.h"

namespace tallon {
namespace {

int64_t UnixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

double SecondsBetween(Intake::Clock::time_point from, Intake::Clock::time_point to) {
    return std::max(0.0, std::chrono::duration<double>(to - from).count());
}

}  // namespace

// Every line taken since the last commit is written and committed; then
// each file's committed position is where its first line still held
// starts, else where reading stands, and the positions are saved.
void Intake::CommitPoint() {
    if (!inFlight_.empty() || !held_.empty()) {
        session_->Writer().Flush();
        std::string loss;
        loss.swap(loss_);
        try {
            session_->Accounts().Commit();
        } catch (const Exception& e) {
            loss = e.Message();
        }
        if (loss.empty()) {
            loss = session_->Batch().Failure();
        }
        const std::string fault = JudgeHeld(loss);
        if (!fault.empty()) {
            retry_.Failed(fault, Clock::now());
            lastError_ = fault;
            lastErrorUnix_ = UnixNow();
            setting_.host.AddMemoLine("Waiting for the database: " + fault);
        } else {
            lastCommitUnix_ = UnixNow();
        }
        inFlight_.clear();
        if (!loss.empty() || !session_->Batch().Failure().empty()) {
            // A batch that lost work stays failed: the next lines need a new one.
            session_.reset();
            OpenSession();
        }
    }
    for (auto& [id, file] : files_) {
        FilePosition committed = file->read;
        for (const Held& h : held_) {
            if (h.file == file.get() && h.before.offset < committed.offset) {
                committed = h.before;
            }
        }
        if (!(committed == file->committed)) {
            file->committed = committed;
            positionsChanged_ = true;
        }
    }
    SavePositions();
    if (setting_.alive) {
        setting_.alive();
    }
}

// Whether the database answers, asked with the first held line; "" when
// it does, else why not.
std::string Intake::Probe() {
    std::string why = ProbeDatabase(setting_.engine, setting_.mode, setting_.programDirectory,
                                    held_.front().line.text);
    // The probe may have locked a table for writing: let go of it.
    try {
        session_->Accounts().Commit();
    } catch (const Exception& e) {
        return e.Message();
    }
    return why;
}

// Writes the held lines again at once, in the order they were read (not
// counted as read again), and commits; returns what the commit lost.
std::string Intake::RetakeHeld() {
    std::vector<Held> lines;
    lines.swap(held_);
    std::sort(lines.begin(), lines.end(),
              [](const Held& a, const Held& b) { return a.line.sequence < b.line.sequence; });
    for (Held& h : lines) {
        h.line.sequence = nextSequence_++;
        inFlight_.push_back({h.line.sequence, h.file, h.before});
        session_->Accounts().ReadInto(h.file->episode);
        session_->Writer().Take(std::move(h.line));
    }
    session_->Writer().Flush();
    try {
        session_->Accounts().Commit();
    } catch (const Exception& e) {
        return e.Message();
    }
    return session_->Batch().Failure();
}

// Decides the lines held at a commit. A commit that lost work, or a
// database that does not answer the probe, makes them wait for a retry and
// the reason is returned. While it answers they are written again at once
// (a lock let go, a connection made again); a line that fails a second time
// while the database answers failed by itself and is accounted as a
// recovery run accounts it.
std::string Intake::JudgeHeld(std::string loss) {
    for (int round = 0; !held_.empty(); ++round) {
        if (!loss.empty()) {
            return loss;
        }
        if (std::string why = Probe(); !why.empty()) {
            return why;
        }
        if (round > 0) {
            std::vector<Held> failed;
            failed.swap(held_);
            for (const Held& h : failed) {
                session_->Accounts().ReadInto(h.file->episode);
                session_->Accounts().Account(h.line, h.result);
            }
            return "";
        }
        loss = RetakeHeld();
    }
    return "";
}

// After the wait: the database is asked first, and the held lines are
// written again only once it answers.
void Intake::Retry() {
    if (held_.empty()) {
        retry_.Succeeded();
        return;
    }
    if (std::string why = Probe(); !why.empty()) {
        retry_.Failed(why, Clock::now());
        lastError_ = why;
        lastErrorUnix_ = UnixNow();
        return;
    }
    const int failuresBefore = retry_.Failures();
    loss_ = RetakeHeld();
    CommitPoint();
    if (retry_.Failures() == failuresBefore) {
        retry_.Succeeded();
    }
}

bool Intake::Holds(const WatchedFile& file) const {
    return std::any_of(held_.begin(), held_.end(), [&](const Held& h) { return h.file == &file; });
}

void Intake::Complete(WatchedFile& file) {
    file.active = false;
    ReportFileCompleted(setting_.host, file.episode);
}

// Files unchanged for the settle time: their episode ends ("Completed - "),
// and they are closed; files that left the directory are forgotten once
// read to their end.
void Intake::SettleFiles(Clock::time_point now) {
    for (auto& [id, file] : files_) {
        const bool idle = now - file->changed >= setting_.settle;
        const bool readToEnd = !file->dirty && (!file->unendedTail || file->read.ended);
        if (file->read.offset < file->size && !file->read.ended) {
            if (file->unreadSince == Clock::time_point{}) {
                file->unreadSince = file->changed;
            }
        } else {
            file->unreadSince = {};
        }
        if (!idle || !readToEnd || Holds(*file)) {
            continue;
        }
        if (file->active) {
            Complete(*file);
        }
        if (!file->gone &&
            now - file->changed >= std::max<Clock::duration>(setting_.settle, kCloseAfter)) {
            file->Close();
        }
    }
    Forget();
}

void Intake::Forget() {
    for (auto it = files_.begin(); it != files_.end();) {
        WatchedFile& file = *it->second;
        const bool done = !file.IsOpen() || (!file.dirty && !file.unendedTail && !file.active);
        if (file.gone && done && !Holds(file) && !file.active) {
            it = files_.erase(it);
            positionsChanged_ = true;
        } else {
            ++it;
        }
    }
}

// Keeps the open descriptors few: before one more is opened at the limit,
// every file still in the directory is closed (what was read is committed
// first; each is opened again by its name when it changes).
void Intake::MakeRoom() {
    const size_t open = static_cast<size_t>(std::count_if(
        files_.begin(), files_.end(), [](const auto& f) { return f.second->IsOpen(); }));
    if (open < kMaxOpenFiles) {
        return;
    }
    CommitPoint();
    for (auto& [id, file] : files_) {
        if (!file->gone) {
            file->Close();
        }
    }
}

void Intake::SavePositions() {
    if (!positionsChanged_) {
        return;
    }
    saved_.files.clear();
    for (auto& [id, file] : files_) {
        if (file->tailAt != file->committed.offset || file->head.length == 0) {
            file->Fingerprints();
        }
        saved_.files.push_back({id, file->Name(), file->committed, file->head, file->tail});
    }
    saved_.linesRead = totals_.linesRead;
    saved_.counts = totals_.counts;
    try {
        ::tallon::SavePositions(positionsPath_, saved_);
        positionsChanged_ = false;
    } catch (const Exception& e) {
        // Tried again at the next commit; until then a restart reads more
        // again, and the duplicate check refuses it.
        lastError_ = positionsPath_ + ": " + e.Message();
        lastErrorUnix_ = UnixNow();
    }
}

Intake::Clock::time_point Intake::NextDue() const {
    Clock::time_point due = Clock::time_point::max();
    if (retry_.Waiting()) {
        return retry_.Due();
    }
    for (const auto& [id, file] : files_) {
        if (file->dirty) {
            return Clock::now();
        }
        if (file->unendedTail || file->active) {
            due = std::min(due, file->changed + setting_.settle);
        } else if (file->IsOpen()) {
            due = std::min(due,
                           file->changed + std::max<Clock::duration>(setting_.settle, kCloseAfter));
        }
    }
    // A settle time already past that did not end its file (a line held
    // for a retry) is looked at again in a second, not at once.
    const Clock::time_point soonest = Clock::now() + std::chrono::seconds(1);
    return due < soonest ? soonest : due;
}

void Intake::Reload(const std::function<void()>& rereadSettings) {
    CommitPoint();
    session_.reset();
    try {
        // Every connection closes; the configuration is read at next use.
        setting_.engine.Shutdown();
    } catch (const Exception& e) {
        lastError_ = e.Message();
        lastErrorUnix_ = UnixNow();
    }
    rereadSettings();
    OpenSession();
    setting_.host.AddMemoLine(
        "Reloaded: cached lookups forgotten, tallon.ini and the aliases read again");
}

void Intake::Stop() {
    if (!retry_.Waiting()) {
        Scan();
        draining_ = true;
        for (auto& [id, file] : files_) {
            if (file->gone && file->IsOpen()) {
                ReadFile(*file, false);
            }
        }
        draining_ = false;
    }
    CommitPoint();
    for (auto& [id, file] : files_) {
        if (file->active && !Holds(*file)) {
            Complete(*file);
        }
    }
    session_.reset();
}

IntakeStatus Intake::Status() const {
    const Clock::time_point now = Clock::now();
    IntakeStatus s;
    s.directory = setting_.directory.size() > 1 && setting_.directory.back() == '/'
                      ? setting_.directory.substr(0, setting_.directory.size() - 1)
                      : setting_.directory;
    s.mode = setting_.mode;
    Clock::time_point oldest = now;
    for (const auto& [id, file] : files_) {
        s.files.push_back({file->Name(), file->committed.offset, file->size, file->gone});
        if (file->size > file->read.offset && !file->read.ended) {
            s.unreadBytes += file->size - file->read.offset;
            if (file->unreadSince != Clock::time_point{}) {
                oldest = std::min(oldest, file->unreadSince);
            }
        }
    }
    std::sort(s.files.begin(), s.files.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    s.oldestUnreadSeconds = SecondsBetween(oldest, now);
    s.linesRead = totals_.linesRead;
    s.counts = totals_.counts;
    s.lastCommitUnix = lastCommitUnix_;
    s.lastError = lastError_;
    s.lastErrorUnix = lastErrorUnix_;
    if (retry_.Waiting()) {
        s.waitingFor = retry_.Reason();
        s.retryInSeconds = SecondsBetween(now, retry_.Due());
    }
    return s;
}

}  // namespace tallon
