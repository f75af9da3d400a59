#include "recovery/watched_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallon {

bool WatchedFile::Open(const std::string& directory) {
    if (fd_ >= 0) {
        return true;
    }
    const int fd = ::open((directory + name_).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_dev) != id_.device ||
        static_cast<uint64_t>(st.st_ino) != id_.inode) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void WatchedFile::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool WatchedFile::StillHoldsWhatWasRead() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || static_cast<uint64_t>(st.st_size) < read.offset) {
        return false;
    }
    if (head.length > 0 && FingerprintAt(fd_, 0, head.length) != head) {
        return false;
    }
    return tail.length == 0 || TailFingerprint(fd_, tailAt) == tail;
}

void WatchedFile::Restart() {
    read = committed = FilePosition{};
    head = tail = Fingerprint{};
    tailAt = 0;
    unendedTail = false;
    endNoted = false;
}

void WatchedFile::Fingerprints() {
    if (fd_ < 0) {
        return;
    }
    struct stat st {};
    if (head.length < kFingerprintBytes && ::fstat(fd_, &st) == 0) {
        head = HeadFingerprint(fd_, static_cast<uint64_t>(st.st_size));
    }
    tail = TailFingerprint(fd_, committed.offset);
    tailAt = committed.offset;
}

bool WatchedFile::Seen(uint64_t newSize, int64_t newModifiedNs, Clock::time_point now) {
    if (newSize == size && newModifiedNs == modifiedNs) {
        return false;
    }
    size = newSize;
    modifiedNs = newModifiedNs;
    changed = now;
    return true;
}

bool WatchedFile::LookAgain(Clock::time_point now) {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
        return false;
    }
    return Seen(static_cast<uint64_t>(st.st_size),
                static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, now);
}

void WatchedFile::NoteUnread() {
    if (!HasUnread()) {
        unreadSince = {};
    } else if (unreadSince == Clock::time_point{}) {
        unreadSince = changed;
    }
}

}  // namespace tallon
