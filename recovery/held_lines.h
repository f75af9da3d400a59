#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "recovery/lines_in_flight.h"
#include "recovery/retry_wait.h"
#include "recovery/run_session.h"

namespace tallon {

// Lines held back after a database fault, uncounted: a line that failed on
// a database error, or whose record a commit lost. Whether the database or
// the line is at fault is decided after the commit, by asking the database
// a question of its own: while it answers, the held lines are written again
// at once, and one that fails a second time failed by itself and is
// accounted as a recovery run accounts it; while it does not, they wait for
// a retry, one second after the first failure and twice as long after every
// other, up to a minute.
class HeldLines {
  public:
    using Clock = RetryWait::Clock;
    // Whether the database a line goes to answers: "" when it does, else
    // why not.
    using Probe = std::function<std::string(const std::string& lineText)>;

    explicit HeldLines(Probe probe) : probe_(std::move(probe)) {}

    // `line`, taken as `at` says, failed with `result` (or lost its record).
    void Hold(const ReadLine& line, const LinesInFlight::Line& at, LineResult result);
    bool Empty() const { return held_.empty(); }
    bool Holds(const WatchedFile& file) const;
    // Where the first line of `file` still held starts.
    std::optional<FilePosition> EarliestOf(const WatchedFile& file) const;

    // After a commit that lost `loss` ("" when it kept everything): "" once
    // no line is held any more, else why the held lines wait for a retry.
    std::string Judge(std::string loss, RunSession& session, LinesInFlight& inFlight);
    // Whether the database answers, asked with the first held line.
    std::string AskDatabase(RunSession& session);
    // Writes the held lines again, in the order they were read (they are
    // not counted as read again), and commits; returns what the commit lost.
    std::string Retake(RunSession& session, LinesInFlight& inFlight);

    // The wait before the next try.
    void Wait(const std::string& reason, Clock::time_point now) { wait_.Failed(reason, now); }
    void StopWaiting() { wait_.Succeeded(); }
    bool Waiting() const { return wait_.Waiting(); }
    Clock::time_point Due() const { return wait_.Due(); }
    const std::string& Reason() const { return wait_.Reason(); }

  private:
    struct Held {
        ReadLine line;
        WatchedFile* file;
        FilePosition before;
        LineResult result;  // Failed
    };
    void AccountAsFailed(RunSession& session);

    Probe probe_;
    std::vector<Held> held_;
    RetryWait wait_;
};

}  // namespace tallon
