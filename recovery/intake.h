#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/engine.h"
#include "recovery/host.h"
#include "recovery/intake_positions.h"
#include "recovery/intake_status.h"
#include "recovery/raw_directory.h"
#include "recovery/retry_wait.h"
#include "recovery/run_session.h"
#include "recovery/watched_file.h"

namespace tallon {

// Continuous intake of a directory's RAW files: every line that arrives in
// a "*.raw" file is read once it is complete and written by the run mode's
// writer, as a recovery run writes it, and each file's position is saved
// in the site directory after every committed batch. After any stop, crash
// or reboot reading resumes there; the lines of a batch that was not
// committed are read again and the duplicate check refuses what was stored.
//
// It runs on its caller's thread: the caller (IntakeLoop) tells it what
// changed and when to look, and it reads what is new.
class Intake {
  public:
    using Clock = std::chrono::steady_clock;

    struct Setting {
        db::Engine& engine;
        Host& host;
        RunMode mode;
        std::string programDirectory;  // ends in "/"
        std::string directory;         // the watched one, ends in "/"
        Clock::duration settle;        // a file unchanged this long has settled
        bool startAtEnd = false;       // a first start skips what files hold
        const RunAccounts::RejectSink& rejects;
        RunSession::WriterFactory makeWriter;
        // Asked between lines: stop reading, the caller is ending.
        std::function<bool()> stopRequested;
        // Called at every commit, so a long catch-up still shows life.
        std::function<void()> alive;
    };

    // Answers kept at most this long (a card or reader added is seen then).
    static constexpr std::chrono::seconds kLookupAge{5};
    // Files kept open at most (idle ones are closed first).
    static constexpr size_t kMaxOpenFiles = 256;
    // A file read to its end is closed once idle this long (or the settle
    // time, if longer): until then a rename out of the directory followed
    // by a last write is still read through its descriptor.
    static constexpr std::chrono::seconds kCloseAfter{60};

    explicit Intake(Setting setting);
    ~Intake();
    Intake(const Intake&) = delete;
    Intake& operator=(const Intake&) = delete;

    // Reads the saved positions and scans the directory. Raises Exception
    // when the positions cannot be read.
    void Start();
    // Lists the directory again: new files, renamed and departed ones.
    void Scan();
    // Files the kernel said were written to.
    void Written(const std::vector<std::string>& names);
    // Reads what is new and due (settled tails, retries after a database
    // fault), commits and saves positions.
    void Work();
    // When Work has something to do next without being told.
    Clock::time_point NextDue() const;
    // Forgets cached lookups, reads the configuration again.
    void Reload(const std::function<void()>& rereadSettings);
    // The end: files that left the directory are read to their end (they
    // could not be read after a restart), what was read is committed and
    // saved, and every file read says "Completed - ".
    void Stop();

    IntakeStatus Status() const;
    const RunProgress& Progress() const { return progress_; }

  private:
    struct InFlight {
        uint64_t sequence;
        WatchedFile* file;
        FilePosition before;
    };
    struct Held {
        ReadLine line;
        WatchedFile* file;
        FilePosition before;
        LineResult result;  // Failed, or (lost) Added
        bool lost;
    };

    void OpenSession();
    WatchedFile& Track(const RawFileEntry& entry, bool firstScan);
    void Place(WatchedFile& file, const RawFileEntry& entry, bool firstScan);
    void ScanEntries(const std::vector<RawFileEntry>& entries, bool firstScan);
    void ReadFile(WatchedFile& file, bool settled);
    bool PrepareToRead(WatchedFile& file);
    void TakeLine(WatchedFile& file, const FilePosition& before, std::string text);
    void OnResult(const ReadLine& line, const LineResult& result);
    void OnLost(const ReadLine& line, const std::string& message);
    const InFlight* Find(uint64_t sequence) const;
    void CommitPoint();
    std::string JudgeHeld(std::string loss);
    std::string Probe();
    std::string RetakeHeld();
    void SavePositions();
    void Retry();
    void SettleFiles(Clock::time_point now);
    void Complete(WatchedFile& file);
    void Forget();
    void MakeRoom();
    bool Holds(const WatchedFile& file) const;
    void Note(const std::string& line);

    Setting setting_;
    std::string positionsPath_;
    SavedIntake saved_;
    std::vector<SavedFile> startupFiles_;  // saved positions not yet matched
    bool hadPositions_ = false;
    FileTotals orphans_;  // lines no file claims (none should)
    RunTotals totals_;
    RunProgress progress_;
    std::unique_ptr<RunSession> session_;
    std::map<FileIdentity, std::unique_ptr<WatchedFile>> files_;
    std::unordered_map<std::string, WatchedFile*> byName_;
    std::deque<InFlight> inFlight_;
    std::vector<Held> held_;
    uint64_t nextSequence_ = 1;
    bool draining_ = false;  // stopping: files that left are read to their end
    bool positionsChanged_ = false;
    std::string loss_;  // of a retry's commit, for the commit point after it
    bool scanFailed_ = false;
    RetryWait retry_;
    std::string lastError_;
    int64_t lastErrorUnix_ = 0;
    int64_t lastCommitUnix_ = 0;
};

}  // namespace tallon
