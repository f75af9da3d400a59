#pragma once

#include <set>
#include <string>

namespace tallon {

// What the kernel tells of a directory's files (inotify): names written to,
// and whether names came, went or were renamed. Local filesystems only: a
// write made on another machine to a network filesystem is never heard of,
// which is why continuous intake scans the directory as well.
class DirectoryEvents {
  public:
    struct Changes {
        std::set<std::string> written;  // names whose file grew or changed
        bool names = false;             // files made, deleted or renamed: scan again
        bool lost = false;              // the directory itself went: watch it again
    };

    // Not watching anything yet.
    DirectoryEvents() = default;
    ~DirectoryEvents();
    DirectoryEvents(const DirectoryEvents&) = delete;
    DirectoryEvents& operator=(const DirectoryEvents&) = delete;

    // Starts (or starts again) watching `directory`; false, with the reason
    // in `why`, when the kernel refuses (the caller then relies on scans).
    bool Watch(const std::string& directory, std::string& why);
    // The descriptor to wait on, -1 when not watching.
    int Fd() const { return fd_; }
    // Takes what has arrived, without waiting.
    Changes Take();

  private:
    int fd_ = -1;
    int watch_ = -1;
};

}  // namespace tallon
