#include "log/activity_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "base/errors.h"
#include "base/file_io.h"
#include "base/file_mode.h"
#include "base/file_names.h"

namespace tallon {
namespace {

constexpr char kCtrlZ = 26;
constexpr off_t kCtrlZWindow = 128;
constexpr std::chrono::seconds kLockWait{10};

// The log as it is open for one line. Every failure is raised naming the
// file, so that a read-only or full log is found at once.
class LogFile {
  public:
    LogFile();
    ~LogFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    void Append(const std::string& bytes);
    // A failing close is reported like a failing write, since the line may
    // not have reached the file.
    void Close();

  private:
    // The full path is made only for the message.
    [[noreturn]] void Raise(int err) const {
        throw EInOutError::FromErrno(err, CurrentDirectory() + name_);
    }
    void Lock();
    std::string CutAtTrailingCtrlZ(off_t& end);

    std::string name_;
    int fd_ = -1;
};

// Opening and creating are one call (OpenOrCreateShared), so a person
// deleting the log at any moment only makes this line start a new file. A log written under another
// letter case is used as it is; a directory of that name is not the log, and
// one named exactly "tallon.log" fails the open as access denied.
LogFile::LogFile() {
    name_ = ResolveFileName(kActivityLogName);
    if (name_ != kActivityLogName) {
        fd_ = ::open(name_.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
        if (fd_ < 0 && errno != ENOENT && errno != EISDIR) {
            Raise(errno);
        }
    }
    if (fd_ < 0) {
        name_ = kActivityLogName;
        fd_ = OpenOrCreateShared(name_, O_RDWR | O_APPEND | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            Raise(errno);
        }
    }
}

// Every writer of the log holds its lock while it appends, so what one
// takes back after a failed write is its own bytes, never another's line.
// A writer holds it for the microseconds of one line; a lock held longer
// than kLockWait is someone else's, and the line fails rather than wait for
// ever.
void LogFile::Lock() {
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR && errno != EWOULDBLOCK) {
            Raise(errno);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            Raise(EWOULDBLOCK);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// An older writer may have ended the log with a Ctrl-Z; text appended after
// it would be invisible to readers that stop there, so the file is cut at the
// first Ctrl-Z among its last 128 bytes. Returns the bytes cut off; `end` is
// the file's size after the cut.
std::string LogFile::CutAtTrailingCtrlZ(off_t& end) {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        Raise(errno);
    }
    const off_t start = st.st_size > kCtrlZWindow ? st.st_size - kCtrlZWindow : 0;
    char tail[kCtrlZWindow];
    const ssize_t got = ::pread(fd_, tail, static_cast<size_t>(st.st_size - start), start);
    if (got < 0) {
        Raise(errno);
    }
    end = st.st_size;
    const char* hit = static_cast<const char*>(std::memchr(tail, kCtrlZ, static_cast<size_t>(got)));
    if (hit == nullptr) {
        return "";
    }
    end = start + (hit - tail);
    if (::ftruncate(fd_, end) != 0) {
        Raise(errno);
    }
    const char* tailEnd = tail + got;
    return std::string(hit, tailEnd);
}

// In append mode every line lands at the end, after whatever other
// processes wrote. A line is written whole or not at all: when a write stops
// part-way (a full disk) the file is cut back to where the line began and a
// Ctrl-Z tail cut for it is put back, so it is as it was.
void LogFile::Append(const std::string& bytes) {
    Lock();
    off_t start = 0;
    const std::string cutOff = CutAtTrailingCtrlZ(start);
    const int err = WriteFully(fd_, bytes);
    if (err != 0) {
        // Cutting back frees at least the room the tail needs.
        if (::ftruncate(fd_, start) == 0) {
            WriteFully(fd_, cutOff);
        }
        Raise(err);
    }
}

void LogFile::Close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        Raise(errno);
    }
}

}  // namespace

void LogLine(const std::string& message) {
    LogFile log;
    log.Append(message + "\r\n");
    log.Close();
}

std::string ActivityLogPath() {
    const std::string found = ResolveFileName(kActivityLogName);
    return CurrentDirectory() + (FileExists(found) ? found : std::string(kActivityLogName));
}

}  // namespace tallon
