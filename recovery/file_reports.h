#pragma once

#include <chrono>
#include <string>

#include "recovery/host.h"
#include "recovery/watched_files.h"

namespace tallon {

// What the log and the memo say of each watched file. A file's new lines
// start a stretch of reading ("Recovering: NAME") that ends once the file
// has stayed unchanged for the settle time with nothing left to read or
// held, or when the watcher stops ("Completed - N records added."), so a
// file that gets an event a minute gives three lines a minute, not one per
// read. Besides: a file read again from its start, and the Ctrl-Z that
// ends a file, said once.
class FileReports {
  public:
    using Clock = std::chrono::steady_clock;

    FileReports(Host& host, Clock::duration settle) : host_(host), settle_(settle) {}

    // A line of `file` is being read.
    void LineRead(WatchedFile& file);
    // `file` no longer holds what was read of it and is read again.
    void Restarted(const WatchedFile& file);
    // Reading stopped at a Ctrl-Z: said the first time.
    void EndedByCtrlZ(WatchedFile& file);
    // Completes the stretch of every file unchanged for the settle time
    // with nothing left to read that `busy` does not hold.
    void Settle(WatchedFiles& files, Clock::time_point now, const WatchedFiles::Busy& busy);
    // The stop: completes every stretch but those `busy` holds.
    void CompleteAll(WatchedFiles& files, const WatchedFiles::Busy& busy);

  private:
    void Complete(WatchedFile& file);
    void Say(const std::string& line);

    Host& host_;
    Clock::duration settle_;
};

}  // namespace tallon
