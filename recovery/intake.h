#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/engine.h"
#include "recovery/committed_positions.h"
#include "recovery/file_reports.h"
#include "recovery/held_lines.h"
#include "recovery/host.h"
#include "recovery/intake_figures.h"
#include "recovery/intake_status.h"
#include "recovery/lines_in_flight.h"
#include "recovery/run_session.h"
#include "recovery/watched_files.h"

namespace tallon {

// Continuous intake of a directory's RAW files: every line that arrives in
// a "*.raw" file is read once it is complete and written by the run mode's
// writer, as a recovery run writes it, and each file's position is saved
// in the site directory after every committed batch. After any stop, crash
// or reboot reading resumes there; the lines of a batch that was not
// committed are read again and the duplicate check refuses what was stored.
//
// It runs on its caller's thread: the caller (IntakeLoop) tells it what
// changed and when to look, and it reads what is new. Its parts:
//  - WatchedFiles: the files, by identity and by name, open or closed;
//  - LinesInFlight: the lines taken since the last commit;
//  - HeldLines: lines a database fault held back, and the wait to retry;
//  - CommittedPositions: the commit point of each file, and its saving;
//  - FileReports: "Recovering: " and "Completed - " per file;
//  - IntakeFigures: the last commit and error, and the status.
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
    void OpenSession();
    void RetryHeldLines(Clock::time_point now);
    void ReadFile(WatchedFile& file, bool settled, bool toTheEnd = false);
    bool PrepareToRead(WatchedFile& file, bool& settled);
    void TakeLine(WatchedFile& file, const FilePosition& before, std::string text);
    void OnResult(const ReadLine& line, const LineResult& result);
    void OnLost(const ReadLine& line, const std::string& message);
    std::string CommitPoint(std::string loss = "");
    std::string CommitBatch(std::string loss);
    void SavePositions();
    void SettleFiles(Clock::time_point now);
    bool Busy(const WatchedFile& file) const { return held_.Holds(file); }

    Setting setting_;
    WatchedFiles files_;
    LinesInFlight inFlight_;
    HeldLines held_;
    CommittedPositions positions_;
    FileReports reports_;
    IntakeFigures figures_;
    RunTotals totals_;
    FileTotals orphans_;  // lines no file claims (none should)
    RunProgress progress_;
    std::unique_ptr<RunSession> session_;
};

}  // namespace tallon
