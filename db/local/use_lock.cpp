#include "db/local/use_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/errors.h"

namespace tallon::db::local {

namespace {

// Far past the bytes SQLite locks (from 1 GiB on) and past any table's size;
// nothing ever reads or writes there.
constexpr off_t kTurnByte = 0x7FFFFFF0;

struct flock TurnLock(short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = kTurnByte;
    fl.l_len = 1;
    return fl;
}

}  // namespace

UseLock::~UseLock() {
    Detach();
}

void UseLock::Attach(const std::string& path) {
    Detach();
    // Read-write: the turn is a write lock, which needs it.
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0 && errno == EACCES) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd_ < 0) {
        throw EDatabaseError("Cannot open table file " + path + ": " + std::strerror(errno));
    }
}

void UseLock::Detach() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
    held_ = 0;
    turn_ = false;
}

bool UseLock::SameFileAs(const std::string& path) const {
    struct stat a {
    }, b{};
    return fd_ >= 0 && ::fstat(fd_, &a) == 0 && ::stat(path.c_str(), &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool UseLock::TrySet(int op) {
    if (op == held_) {
        return true;
    }
    if (::flock(fd_, (op ? op : LOCK_UN) | LOCK_NB) == 0) {
        held_ = op;
        return true;
    }
    // A refused conversion may have let go of the lock we had.
    if (held_ && ::flock(fd_, held_ | LOCK_NB) != 0) {
        held_ = 0;
    }
    return false;
}

bool UseLock::OtherWaiting() const {
    if (fd_ < 0 || turn_) {
        return false;
    }
    struct flock fl = TurnLock(F_WRLCK);
    return ::fcntl(fd_, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

bool UseLock::Progressed() {
    if (fd_ < 0) {
        return false;
    }
    // SQLite counts every commit at byte 24 of the file; size and
    // modification time cover a file written some other way.
    struct stat st {};
    char counter[4] = {};
    if (::fstat(fd_, &st) != 0 || ::pread(fd_, counter, sizeof counter, 24) < 0) {
        return false;
    }
    std::string now(reinterpret_cast<const char*>(&st.st_size), sizeof st.st_size);
    now.append(reinterpret_cast<const char*>(&st.st_mtim), sizeof st.st_mtim);
    now.append(counter, sizeof counter);
    const bool moved = !seen_.empty() && now != seen_;
    seen_ = std::move(now);
    return moved;
}

bool UseLock::TakeTurn(int waitMs) {
    if (turn_) {
        return true;
    }
    turn_ = WaitWhileProgressing(waitMs, *this, [&] {
        struct flock fl = TurnLock(F_WRLCK);
        return ::fcntl(fd_, F_OFD_SETLK, &fl) == 0;
    });
    return turn_;
}

void UseLock::GiveTurn() {
    if (!turn_) {
        return;
    }
    struct flock fl = TurnLock(F_UNLCK);
    ::fcntl(fd_, F_OFD_SETLK, &fl);
    turn_ = false;
}

}  // namespace tallon::db::local
