#include "recovery/record_id_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "base/errors.h"
#include "base/file_mode.h"
#include "recovery/record_id.h"

namespace tallon {
namespace {

constexpr size_t kIdLength = 14;

[[noreturn]] void RaiseFromErrno() {
    throw EInOutError::FromErrno(errno);
}

bool IsRecordId(const std::string& text) {
    if (text.size() != kIdLength) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// Holds the file's lock for one read-and-advance.
class FileLock {
  public:
    explicit FileLock(int fd) : fd_(fd) {
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                RaiseFromErrno();
            }
        }
    }
    ~FileLock() { ::flock(fd_, LOCK_UN); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

  private:
    int fd_;
};

}  // namespace

RecordIdStore::RecordIdStore(const std::string& path) : path_(path) {
    fd_ = OpenOrCreateShared(path, O_RDWR | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        RaiseFromErrno();
    }
}

RecordIdStore::~RecordIdStore() {
    ::close(fd_);
}

RecordIdBlock RecordIdStore::Reserve(const std::string& wanted, int count) {
    FileLock lock(fd_);
    char buf[64];
    ssize_t got;
    do {
        got = ::pread(fd_, buf, sizeof buf, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        RaiseFromErrno();
    }
    std::string mark(buf, static_cast<size_t>(got));
    while (!mark.empty() && (mark.back() == '\n' || mark.back() == '\r')) {
        mark.pop_back();
    }
    if (!mark.empty() && !IsRecordId(mark)) {
        throw Exception("Record id file " + path_ + " does not hold a record id");
    }

    RecordIdBlock block;
    block.first = !mark.empty() && wanted <= mark ? NextRecordIdAfter(mark) : wanted;
    block.last = block.first;
    for (int i = 1; i < count; ++i) {
        block.last = NextRecordIdAfter(block.last);
    }
    // Same length every time: the one write replaces the old mark whole.
    const std::string text = block.last + "\n";
    ssize_t put;
    do {
        put = ::pwrite(fd_, text.data(), text.size(), 0);
    } while (put < 0 && errno == EINTR);
    if (put != static_cast<ssize_t>(text.size())) {
        if (put >= 0) {
            errno = EIO;
        }
        RaiseFromErrno();
    }
    if (got > put && ::ftruncate(fd_, put) != 0) {
        RaiseFromErrno();
    }
    return block;
}

std::string RecordIdStoreFile(const std::string& programDirectory, const std::string& alias) {
    return programDirectory + alias + ".lastid";
}

}  // namespace tallon
