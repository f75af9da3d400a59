#include "base/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/errors.h"
#include "base/file_names.h"

namespace tallon {

namespace {

constexpr size_t kBufferSize = size_t{64} * 1024;
constexpr char kCtrlZ = 26;

}  // namespace

TextFileReader::TextFileReader(const std::string& path) {
    const std::string name = ResolveFileName(path);
    fd_ = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        throw EInOutError::FromErrno(errno);
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        const int err = errno;
        ::close(fd_);
        fd_ = -1;
        throw EInOutError::FromErrno(err);
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        throw EInOutError(5);
    }
    size_ = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    buffer_.resize(kBufferSize);
}

TextFileReader::~TextFileReader() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool TextFileReader::Fill() {
    if (eofSeen_) {
        return false;
    }
    ssize_t n;
    do {
        n = ::read(fd_, buffer_.data(), buffer_.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        throw EInOutError::FromErrno(errno);
    }
    pos_ = 0;
    end_ = static_cast<size_t>(n);
    if (n == 0) {
        eofSeen_ = true;
        // Cut while being read (a controller's download started again, a
        // copy over it): what is left would pass for the whole file.
        if (read_ < size_) {
            throw Exception(kShrankMessage);
        }
        return false;
    }
    read_ += static_cast<uint64_t>(n);
    return true;
}

int TextFileReader::PeekByte() {
    if (pos_ == end_ && !Fill()) {
        return -1;
    }
    return static_cast<unsigned char>(buffer_[pos_]);
}

bool TextFileReader::Eof() {
    if (ctrlZ_) {
        return true;
    }
    const int b = PeekByte();
    if (b < 0) {
        return true;
    }
    if (b == kCtrlZ) {
        ctrlZ_ = true;
        return true;
    }
    return false;
}

std::string TextFileReader::ReadLine() {
    std::string line;
    if (ctrlZ_) {
        return line;
    }
    for (;;) {
        if (pos_ == end_ && !Fill()) {
            return line;
        }
        const char* const data = buffer_.data();
        size_t stop = pos_;
        while (stop < end_ && data[stop] != '\r' && data[stop] != kCtrlZ) {
            ++stop;
        }
        line.append(data + pos_, stop - pos_);
        consumed_ += stop - pos_;
        pos_ = stop;
        if (stop == end_) {
            continue;
        }
        if (data[stop] == kCtrlZ) {
            ctrlZ_ = true;
            return line;
        }
        ++pos_;
        ++consumed_;
        // The line feed may be the first byte of the next buffer.
        if (PeekByte() == '\n') {
            ++pos_;
            ++consumed_;
        }
        return line;
    }
}

}  // namespace tallon
