#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "recovery/intake_positions.h"
#include "recovery/raw_directory.h"
#include "recovery/watched_file.h"

namespace tallon {

// The RAW files of the watched directory. Each is known by its identity
// (device and inode), so that a file renamed within the directory keeps
// its place under its new name, and by its name, for what the kernel says
// was written. A file that left the directory (renamed out, or deleted)
// stays, open, until it is read to its end through its descriptor. Open
// descriptors stay within a budget, and idle files are closed.
class WatchedFiles {
  public:
    using Clock = std::chrono::steady_clock;
    // Whether a file must stay as it is: lines of it are held for a retry.
    using Busy = std::function<bool(const WatchedFile&)>;

    // Files kept open at most (idle ones are closed first).
    static constexpr size_t kMaxOpenFiles = 256;
    // A file read to its end is closed once idle this long (or the settle
    // time, if longer): until then a rename out of the directory followed
    // by a last write is still read through its descriptor.
    static constexpr std::chrono::seconds kCloseAfter{60};

    // `directory` ends in "/".
    explicit WatchedFiles(std::string directory) : directory_(std::move(directory)) {}

    // The first scan. A file is read from its saved position (found by
    // identity, else by name; either is checked against the file's
    // fingerprints before a line is read), else from the end of its
    // complete lines when `startAtEnd`, else from its start.
    void Start(const std::vector<RawFileEntry>& entries, const std::vector<SavedFile>& saved,
               bool startAtEnd, Clock::time_point now);
    // A later scan: new files, renamed ones and departed ones, and news of
    // the departed ones that are still open.
    void Update(const std::vector<RawFileEntry>& entries, Clock::time_point now);
    // Files the kernel said were written to; false when a name is not
    // known yet (the directory must be scanned).
    bool Written(const std::vector<std::string>& names, Clock::time_point now);

    // Opens `file` for reading, within the budget: at the limit, every file
    // still in the directory is closed first, after `beforeClosing` (each
    // is opened again by its name when it changes). False when it cannot
    // be opened (it left the directory while closed).
    bool Open(WatchedFile& file, const std::function<void()>& beforeClosing);
    // Closes the files read to their end that stayed unchanged for the
    // settle time or kCloseAfter, whichever is longer; files that left the
    // directory stay open until forgotten.
    void CloseIdle(Clock::time_point now, Clock::duration settle, const Busy& busy);
    // Forgets the files that left the directory once nothing is left of
    // them to read or to report.
    void Forget(const Busy& busy);

    // When something is next due without news: a file to read, a settle
    // time, a closing.
    Clock::time_point NextDue(Clock::time_point now, Clock::duration settle) const;
    // True once after a file came, went or was renamed, or was placed at
    // its end: the positions must be saved even if no line was committed.
    bool TakeChanged();

    const std::string& Directory() const { return directory_; }
    size_t Count() const { return files_.size(); }
    template <typename Fn>
    void ForEach(Fn&& fn) {
        for (auto& [id, file] : files_) {
            fn(*file);
        }
    }
    template <typename Fn>
    void ForEach(Fn&& fn) const {
        for (const auto& [id, file] : files_) {
            fn(static_cast<const WatchedFile&>(*file));
        }
    }

  private:
    struct Startup {
        const std::vector<SavedFile>& saved;
        bool startAtEnd;
    };
    void Scanned(const std::vector<RawFileEntry>& entries, Clock::time_point now,
                 const Startup* startup);
    WatchedFile& Track(const RawFileEntry& entry, Clock::time_point now, const Startup* startup);
    void Place(WatchedFile& file, const RawFileEntry& entry, const Startup& startup);
    size_t OpenCount() const;

    std::string directory_;
    std::map<FileIdentity, std::unique_ptr<WatchedFile>> files_;
    std::unordered_map<std::string, WatchedFile*> byName_;  // those in the directory
    bool changed_ = false;
};

}  // namespace tallon
