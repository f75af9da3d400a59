#include "base/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/errors.h"
#include "base/file_mode.h"
#include "base/file_names.h"

namespace tallon {

int WriteFully(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : ENOSPC;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

void AppendInOneWrite(int fd, const std::string& bytes) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
        throw EInOutError::FromErrno(errno);
    }
    if (static_cast<size_t>(written) != bytes.size()) {
        throw EInOutError::FromErrno(ENOSPC);
    }
}

void WriteFileAtomically(const std::string& path, const std::string& content) {
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        throw EInOutError::FromErrno(errno);
    }
    int err = WriteFully(fd, content);
    if (err == 0 && ::fsync(fd) != 0) {
        err = errno;
    }
    // mkstemp makes the file 0600; the file is as readable as any new file.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, GroupShareMode(ExtractFilePath(path), 0666 & ~mask));
    if (::close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlink(temp.c_str());
        throw EInOutError::FromErrno(err);
    }
}

}  // namespace tallon
