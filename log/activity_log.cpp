#include "log/activity_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/errors.h"
#include "base/file_names.h"

namespace tallon {
namespace {

constexpr char kCtrlZ = 26;
constexpr off_t kCtrlZWindow = 128;

[[noreturn]] void RaiseFromErrno() {
    throw EInOutError::FromErrno(errno);
}

// Closes the descriptor on every path; a failing close is reported like a
// failing write, since the line may not have reached the file.
class FileHandle {
  public:
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    void Close() {
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) {
            RaiseFromErrno();
        }
    }

  private:
    int fd_;
};

// An older writer may have ended the log with a Ctrl-Z; text appended after
// it would be invisible to readers that stop there, so the file is cut at the
// first Ctrl-Z among its last 128 bytes.
void CutAtTrailingCtrlZ(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        RaiseFromErrno();
    }
    off_t start = st.st_size > kCtrlZWindow ? st.st_size - kCtrlZWindow : 0;
    char tail[kCtrlZWindow];
    ssize_t got = ::pread(fd, tail, static_cast<size_t>(st.st_size - start), start);
    if (got < 0) {
        RaiseFromErrno();
    }
    const void* hit = std::memchr(tail, kCtrlZ, static_cast<size_t>(got));
    if (hit != nullptr) {
        off_t cut = start + (static_cast<const char*>(hit) - tail);
        if (::ftruncate(fd, cut) != 0) {
            RaiseFromErrno();
        }
    }
}

void WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            RaiseFromErrno();
        }
        done += static_cast<size_t>(n);
    }
}

}  // namespace

void LogLine(const std::string& message) {
    const std::string name = ResolveFileName(kActivityLogName);
    // Other processes may write the same log at the same time: in append
    // mode every line lands whole at the end, after whatever they wrote.
    if (FileExists(name)) {
        const int fd = ::open(name.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
        if (fd < 0) {
            RaiseFromErrno();
        }
        FileHandle file(fd);
        CutAtTrailingCtrlZ(fd);
        WriteAll(fd, message + "\r\n");
        file.Close();
        return;
    }
    // A directory of that name is not the log: creating the file then fails
    // as access denied. Another process may create it first; nothing it
    // wrote is cut.
    const int fd = ::open(kActivityLogName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        RaiseFromErrno();
    }
    FileHandle file(fd);
    WriteAll(fd, message + "\r\n");
    file.Close();
}

std::string ActivityLogPath() {
    return CurrentDirectory() + kActivityLogName;
}

}  // namespace tallon
