#include "recovery/growing_file_source.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/errors.h"

namespace tallon {
namespace {

constexpr size_t kBufferSize = size_t{64} * 1024;
constexpr char kCtrlZ = 26;

}  // namespace

GrowingFileSource::GrowingFileSource(int fd, const FilePosition& start, bool takeUnended)
    : fd_(fd), at_(start), takeUnended_(takeUnended) {
    struct stat st {};
    if (::fstat(fd_, &st) == 0) {
        size_ = static_cast<uint64_t>(st.st_size);
    }
    buffer_.reserve(kBufferSize);
}

bool GrowingFileSource::Fill(uint64_t offset) {
    buffer_.resize(kBufferSize);
    ssize_t n;
    do {
        n = ::pread(fd_, buffer_.data(), kBufferSize, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        const int err = errno;
        buffer_.clear();
        throw EInOutError::FromErrno(err);
    }
    buffer_.resize(static_cast<size_t>(n));
    bufferStart_ = offset;
    return n > 0;
}

int GrowingFileSource::ByteAt(uint64_t offset) {
    if (offset < bufferStart_ || offset >= bufferStart_ + buffer_.size()) {
        if (!Fill(offset)) {
            return -1;
        }
    }
    return static_cast<unsigned char>(buffer_[offset - bufferStart_]);
}

bool GrowingFileSource::Next(std::string& line) {
    line.clear();
    unended_ = false;
    if (at_.ended) {
        return false;
    }
    uint64_t pos = at_.offset;
    if (at_.pendingCr) {
        const int b = ByteAt(pos);
        if (b < 0) {
            return false;  // the line feed may still come
        }
        at_.pendingCr = false;
        if (b == '\n') {
            at_.offset = ++pos;
        }
    }
    for (;;) {
        if (ByteAt(pos) < 0) {
            // The file ends inside a line: taken only once the file settled.
            unended_ = !line.empty();
            return unended_ && takeUnended_ && EndLine(pos);
        }
        const char* const data = buffer_.data() + (pos - bufferStart_);
        const size_t available = buffer_.size() - (pos - bufferStart_);
        const char* stop =
            std::find_if(data, data + available, [](char c) { return c == '\r' || c == kCtrlZ; });
        line.append(data, static_cast<size_t>(stop - data));
        pos += static_cast<uint64_t>(stop - data);
        if (stop == data + available) {
            continue;
        }
        if (*stop == kCtrlZ) {
            // Nothing after it is ever read; what stood before it on its line
            // is the last line.
            at_.ended = true;
            at_.offset = pos;
            return !line.empty() && EndLine(pos);
        }
        ++pos;
        const int after = ByteAt(pos);
        if (after == '\n') {
            ++pos;
        }
        at_.pendingCr = after < 0;
        return EndLine(pos);
    }
}

bool GrowingFileSource::EndLine(uint64_t next) {
    if (!at_.ended) {
        at_.offset = next;
    }
    ++at_.lines;
    unended_ = false;
    return true;
}

}  // namespace tallon
