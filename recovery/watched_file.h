#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "recovery/file_position.h"
#include "recovery/intake_positions.h"
#include "recovery/run_totals.h"

namespace tallon {

// One RAW file under continuous intake: what it is, how far it has been
// read and committed, and what it was doing when last looked at. A record
// of the file's state, each part kept by one of the intake's objects:
// WatchedFiles what was seen of it, the intake's reading `read` and the
// flags, CommittedPositions `committed` and the fingerprints, FileReports
// `active` and `episode`.
class WatchedFile {
  public:
    using Clock = std::chrono::steady_clock;

    WatchedFile(FileIdentity id, std::string name) : id_(id), name_(std::move(name)) {}
    ~WatchedFile() { Close(); }
    WatchedFile(const WatchedFile&) = delete;
    WatchedFile& operator=(const WatchedFile&) = delete;

    const FileIdentity& Id() const { return id_; }
    const std::string& Name() const { return name_; }
    void Rename(std::string name) { name_ = std::move(name); }

    // Opens the file by its name in `directory`, unless open already; false
    // when the name no longer leads to this file.
    bool Open(const std::string& directory);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    // Whether the file still holds what was read of it: not shorter than
    // the position, the same first bytes and the same bytes before the
    // committed position. False: it was truncated or replaced.
    bool StillHoldsWhatWasRead();
    // Back to the start, as a new file.
    void Restart();

    // Where reading stands, and where it stood at the last commit.
    FilePosition read;
    FilePosition committed;
    // The saved fingerprints, and those of the committed position taken
    // before saving it.
    Fingerprint head;
    Fingerprint tail;
    uint64_t tailAt = 0;  // the offset `tail` ends at
    void Fingerprints();

    // Size and modification time as last seen, when they last changed, and
    // since when bytes have been waiting to be read.
    uint64_t size = 0;
    int64_t modifiedNs = 0;
    Clock::time_point changed{};
    Clock::time_point unreadSince{};
    // Sees the file's size and modification time; true when they changed.
    bool Seen(uint64_t newSize, int64_t newModifiedNs, Clock::time_point now);
    // Looks at the open file itself (nothing else may tell of a file that
    // left the directory, or of a write on a network filesystem made since
    // the last scan); true when it changed.
    bool LookAgain(Clock::time_point now);
    // Nothing left to read: no news since the last read, and no line
    // waiting for its end (unless a Ctrl-Z ended the file).
    bool ReadToEnd() const { return !dirty && (!unendedTail || read.ended); }
    // Bytes not yet read, and since when they have been waiting.
    bool HasUnread() const { return read.offset < size && !read.ended; }
    void NoteUnread();

    bool dirty = false;        // may hold lines not yet read
    bool unendedTail = false;  // ends inside a line
    bool gone = false;         // renamed out of the directory or deleted
    bool active = false;       // "Recovering: " said, "Completed - " not yet
    bool endNoted = false;     // the Ctrl-Z that ends it was logged
    FileTotals episode;        // lines since "Recovering: "

  private:
    FileIdentity id_;
    std::string name_;
    int fd_ = -1;
};

}  // namespace tallon
