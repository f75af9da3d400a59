#include "recovery/intake.h"

#include <algorithm>

#include "base/errors.h"
#include "recovery/database_probe.h"
#include "recovery/growing_file_source.h"

namespace tallon {

Intake::Intake(Setting setting)
    : setting_(std::move(setting)),
      files_(setting_.directory),
      held_([this](const std::string& lineText) {
          return ProbeDatabase(setting_.engine, setting_.mode, setting_.programDirectory, lineText);
      }),
      positions_(setting_.programDirectory, setting_.directory),
      reports_(setting_.host, setting_.settle),
      figures_(setting_.directory, setting_.mode) {}

Intake::~Intake() = default;

void Intake::OpenSession() {
    session_ = std::make_unique<RunSession>(
        RunSession::Setting{setting_.engine, setting_.mode, setting_.rejects, kLookupAge},
        setting_.makeWriter, totals_,
        [this](const ReadLine& line, const LineResult& result) { OnResult(line, result); });
    session_->Accounts().SetLossHandler(
        [this](const ReadLine& line, const std::string& message) { OnLost(line, message); });
}

// ---- What changed in the directory

void Intake::Start() {
    SavedIntake saved;
    const bool hadPositions = positions_.Load(saved);
    totals_.linesRead = saved.linesRead;
    totals_.counts = saved.counts;
    OpenSession();
    // --start-at-end applies to the very first start on a directory only.
    files_.Start(ListRawFiles(setting_.directory), saved.files,
                 setting_.startAtEnd && !hadPositions, Clock::now());
    // Saved files that are no longer there are forgotten.
    positions_.MarkChanged();
    SavePositions();
}

void Intake::Scan() {
    std::vector<RawFileEntry> entries;
    try {
        entries = ListRawFiles(setting_.directory);
    } catch (const Exception& e) {
        // The directory may come back (a network filesystem remounted).
        figures_.ScanFailed(e.Message());
        return;
    }
    figures_.ScanWorked();
    files_.Update(entries, Clock::now());
}

void Intake::Written(const std::vector<std::string>& names) {
    if (!files_.Written(names, Clock::now())) {
        Scan();  // a name this intake does not know yet
    }
}

// ---- The work: retry, read, commit, settle

void Intake::Work() {
    const Clock::time_point now = Clock::now();
    RetryHeldLines(now);
    if (held_.Waiting()) {
        return;  // nothing new is read while the database does not answer
    }
    files_.ForEach([&](WatchedFile& file) {
        const bool settled = file.unendedTail && now - file.changed >= setting_.settle;
        if ((file.dirty || settled) && !held_.Waiting() && !setting_.stopRequested()) {
            ReadFile(file, settled);
        }
    });
    CommitPoint();
    SettleFiles(Clock::now());
}

// Once the wait is over the database is asked first, and the held lines
// are written again only when it answers.
void Intake::RetryHeldLines(Clock::time_point now) {
    if (!held_.Waiting() || now < held_.Due()) {
        return;
    }
    if (held_.Empty()) {
        held_.StopWaiting();
        return;
    }
    if (std::string why = held_.AskDatabase(*session_); !why.empty()) {
        held_.Wait(why, Clock::now());
        figures_.Error(why);
        return;
    }
    if (CommitPoint(held_.Retake(*session_, inFlight_)).empty()) {
        held_.StopWaiting();
    }
}

// Reads the complete lines that arrived in `file` (and its last line
// without line end when it has settled), committing as batches fall due.
// `toTheEnd`: a stop asked for does not end the reading.
void Intake::ReadFile(WatchedFile& file, bool settled, bool toTheEnd) {
    file.dirty = false;
    if (!PrepareToRead(file, settled)) {
        return;
    }
    GrowingFileSource source(file.Fd(), file.read, settled);
    progress_ = RunProgress{file.Name(), file.read.offset, source.Size()};
    std::string text;
    FilePosition before = file.read;
    while ((toTheEnd || !setting_.stopRequested()) && source.Next(text)) {
        reports_.LineRead(file);
        file.read = source.At();
        TakeLine(file, before, std::move(text));
        before = file.read;
        progress_.position = file.read.offset;
        if (!held_.Empty() || session_->Batch().Due()) {
            CommitPoint();
            if (held_.Waiting()) {
                file.dirty = true;  // the rest is read once the database answers
                return;
            }
        }
    }
    file.read = source.At();
    file.unendedTail = source.HasUnendedTail();
    file.size = std::max(file.size, source.Size());
    reports_.EndedByCtrlZ(file);
}

// Opens `file` and makes sure it still holds what was read of it; false
// when there is nothing to read now.
bool Intake::PrepareToRead(WatchedFile& file, bool& settled) {
    if (!files_.Open(file, [this] { CommitPoint(); })) {
        return false;
    }
    if (held_.Waiting()) {
        file.dirty = true;  // the commit before closing files met a fault
        return false;
    }
    if (!file.StillHoldsWhatWasRead()) {
        // Truncated, copied over, or a new file on a recycled inode: read
        // again from its start (the duplicate check keeps every event once).
        reports_.Restarted(file);
        file.Restart();
        positions_.MarkChanged();
    }
    // A file that changed since it was last looked at (written on a
    // network filesystem since the last scan) has not settled: its last
    // line may still be growing.
    if (settled && file.LookAgain(Clock::now())) {
        settled = false;
    }
    return !file.read.ended;
}

void Intake::TakeLine(WatchedFile& file, const FilePosition& before, std::string text) {
    const uint64_t sequence = inFlight_.Add(file, before);
    session_->Accounts().ReadInto(file.episode);
    session_->Take(ReadLine{file.Name(), file.read.lines, std::move(text), sequence});
    setting_.host.SetLinesRead(static_cast<int>(file.episode.linesRead));
    setting_.host.ProcessPendingEvents();
}

// A line that failed on a database error is held, not counted: whether it
// failed by itself or because the database did not answer is decided at
// the commit that follows.
void Intake::OnResult(const ReadLine& line, const LineResult& result) {
    const LinesInFlight::Line* at = inFlight_.Find(line.sequence);
    if (result.outcome == LineOutcome::Failed && at != nullptr) {
        held_.Hold(line, *at, result);
        return;
    }
    session_->Accounts().ReadInto(at != nullptr ? at->file->episode : orphans_);
    session_->Accounts().Account(line, result);
}

void Intake::OnLost(const ReadLine& line, const std::string& message) {
    if (const LinesInFlight::Line* at = inFlight_.Find(line.sequence)) {
        held_.Hold(line, *at, LineResult::NotAdded(LineOutcome::Failed, message));
    }
}

// Every line taken since the last commit is written and committed (after
// `loss`, what a retry's own commit lost) and the held lines are judged;
// then the committed positions move up and are saved. Returns why the held
// lines wait for a retry, "" when none waits.
std::string Intake::CommitPoint(std::string loss) {
    std::string fault;
    if (!inFlight_.Empty() || !held_.Empty()) {
        fault = CommitBatch(std::move(loss));
    }
    positions_.Advance(files_, held_);
    SavePositions();
    if (setting_.alive) {
        setting_.alive();
    }
    return fault;
}

std::string Intake::CommitBatch(std::string loss) {
    session_->Writer().Flush();
    try {
        session_->Accounts().Commit();
    } catch (const Exception& e) {
        loss = e.Message();
    }
    if (loss.empty()) {
        loss = session_->Batch().Failure();
    }
    std::string fault = held_.Judge(loss, *session_, inFlight_);
    if (!fault.empty()) {
        held_.Wait(fault, Clock::now());
        figures_.Error(fault);
        setting_.host.AddMemoLine("Waiting for the database: " + fault);
    } else {
        figures_.Committed();
    }
    inFlight_.Clear();
    if (!loss.empty() || !session_->Batch().Failure().empty()) {
        // A batch that lost work stays failed: the next lines need a new one.
        session_.reset();
        OpenSession();
    }
    return fault;
}

void Intake::SavePositions() {
    if (const std::string error = positions_.Save(files_, totals_); !error.empty()) {
        figures_.Error(error);
    }
}

// Files unchanged for the settle time end their stretch ("Completed - ")
// and, idle longer, are closed; files that left the directory are
// forgotten once read to their end.
void Intake::SettleFiles(Clock::time_point now) {
    const WatchedFiles::Busy busy = [this](const WatchedFile& file) { return Busy(file); };
    files_.ForEach([](WatchedFile& file) { file.NoteUnread(); });
    reports_.Settle(files_, now, busy);
    files_.CloseIdle(now, setting_.settle, busy);
    files_.Forget(busy);
}

Intake::Clock::time_point Intake::NextDue() const {
    return held_.Waiting() ? held_.Due() : files_.NextDue(Clock::now(), setting_.settle);
}

// ---- Reload and stop

void Intake::Reload(const std::function<void()>& rereadSettings) {
    CommitPoint();
    session_.reset();
    try {
        // Every connection closes; the configuration is read at next use.
        setting_.engine.Shutdown();
    } catch (const Exception& e) {
        figures_.Error(e.Message());
    }
    rereadSettings();
    OpenSession();
    setting_.host.AddMemoLine(
        "Reloaded: cached lookups forgotten, tallon.ini and the aliases read again");
}

void Intake::Stop() {
    if (!held_.Waiting()) {
        Scan();
        files_.ForEach([&](WatchedFile& file) {
            if (file.gone && file.IsOpen()) {
                ReadFile(file, false, true);
            }
        });
    }
    CommitPoint();
    reports_.CompleteAll(files_, [this](const WatchedFile& file) { return Busy(file); });
    session_.reset();
}

IntakeStatus Intake::Status() const {
    return figures_.Status(files_, totals_, held_, Clock::now());
}

}  // namespace tallon
