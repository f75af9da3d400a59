#include "db/paradox/read_only_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/errors.h"

namespace tallon::db::paradox {

ReadOnlyFile::ReadOnlyFile(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        const std::string why = fd_ < 0 ? std::strerror(errno) : "not a regular file";
        if (fd_ >= 0)
            ::close(fd_);
        throw Exception(path + ": cannot be read (" + why + ")");
    }
    size_ = static_cast<uint64_t>(st.st_size);
}

ReadOnlyFile::~ReadOnlyFile() {
    ::close(fd_);
}

bool ReadOnlyFile::ReadAt(uint64_t offset, void* buffer, size_t count) const {
    if (offset > size_ || count > size_ - offset)
        return false;
    auto* out = static_cast<char*>(buffer);
    while (count > 0) {
        const ssize_t n = ::pread(fd_, out, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        out += n;
        offset += static_cast<uint64_t>(n);
        count -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace tallon::db::paradox
