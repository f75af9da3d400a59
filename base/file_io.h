#pragma once

// Writing to files by descriptor, the ways the program needs.

#include <cstddef>
#include <string>

namespace tallon {

// Writes every byte, however many write calls that takes (interrupted ones
// are resumed). 0 when all were written, else the error that stopped it
// (ENOSPC when the file system took nothing more without saying why).
int WriteFully(int fd, const char* data, size_t size);
inline int WriteFully(int fd, const std::string& bytes) {
    return WriteFully(fd, bytes.data(), bytes.size());
}

// Appends `bytes` to a file opened with O_APPEND in one write, so that
// processes appending to the same file never interleave within a record.
// Raises EInOutError when the write fails or falls short.
void AppendInOneWrite(int fd, const std::string& bytes);

// Replaces `path` with `content` so that a reader sees the old file or the
// whole new one, never a part: written to a temporary file beside it,
// flushed to disk, then renamed over it. The new file gets the mode of any
// new file (0666 less the umask, shared with the group in a set-group-ID
// directory: GroupShareMode). Raises EInOutError.
void WriteFileAtomically(const std::string& path, const std::string& content);

}  // namespace tallon
