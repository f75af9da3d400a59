#include "recovery/directory_events.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tallon {
namespace {

constexpr uint32_t kWritten = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB;
constexpr uint32_t kNames = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                            IN_MOVE_SELF | IN_Q_OVERFLOW | IN_IGNORED;

}  // namespace

DirectoryEvents::~DirectoryEvents() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool DirectoryEvents::Watch(const std::string& directory, std::string& why) {
    if (fd_ < 0) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0) {
            why = std::strerror(errno);
            return false;
        }
    }
    if (watch_ >= 0) {
        ::inotify_rm_watch(fd_, watch_);
    }
    watch_ = ::inotify_add_watch(fd_, directory.c_str(), kWritten | kNames | IN_ONLYDIR);
    if (watch_ < 0) {
        why = std::strerror(errno);
        return false;
    }
    return true;
}

DirectoryEvents::Changes DirectoryEvents::Take() {
    Changes changes;
    if (fd_ < 0) {
        return changes;
    }
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) {
            break;  // EAGAIN: nothing more for now
        }
        for (ssize_t at = 0; at < n;) {
            inotify_event event{};
            std::memcpy(&event, buffer + at, sizeof event);
            const char* name = buffer + at + sizeof(inotify_event);
            if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
                changes.lost = true;
            }
            if ((event.mask & kNames) != 0) {
                changes.names = true;
            } else if (event.len > 0) {
                changes.written.insert(name);
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
        }
    }
    return changes;
}

}  // namespace tallon
