#include "base/file_mode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/file_names.h"

namespace tallon {
namespace {

bool IsGroupShared(const std::string& directory) {
    struct stat st {};
    return ::stat(directory.empty() ? "." : directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           (st.st_mode & S_ISGID) != 0;
}

mode_t WithOwnersAccessForGroup(mode_t mode) {
    return mode | ((mode & (S_IRUSR | S_IWUSR)) >> 3);
}

}  // namespace

mode_t GroupShareMode(const std::string& directory, mode_t mode) {
    return IsGroupShared(directory) ? WithOwnersAccessForGroup(mode) : mode;
}

void ShareNewFile(const std::string& path, int fd) {
    if (!IsGroupShared(ExtractFilePath(path))) {
        return;
    }
    struct stat st {};
    if ((fd >= 0 ? ::fstat(fd, &st) : ::stat(path.c_str(), &st)) != 0) {
        return;
    }
    const mode_t mode = st.st_mode & 07777;
    const mode_t wanted = WithOwnersAccessForGroup(mode);
    if (wanted != mode) {
        (void)(fd >= 0 ? ::fchmod(fd, wanted) : ::chmod(path.c_str(), wanted));
    }
}

int OpenOrCreateShared(const std::string& path, int flags, mode_t mode) {
    // Opening an existing file and creating a missing one are told apart, so
    // that only a file made here has its mode changed. A file that another
    // process makes in between is opened as it is.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = ::open(path.c_str(), flags);
        if (fd >= 0 || errno != ENOENT) {
            return fd;
        }
        const int made = ::open(path.c_str(), flags | O_CREAT | O_EXCL, mode);
        if (made >= 0) {
            ShareNewFile(path, made);
            return made;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    return ::open(path.c_str(), flags | O_CREAT, mode);
}

}  // namespace tallon
