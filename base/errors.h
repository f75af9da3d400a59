#pragma once

#include <exception>
#include <string>

namespace tallon {

// Root of the error family. Every error the program reports to an operator
// carries a message; writers catch this class per record and log the message.
class Exception : public std::exception {
  public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const std::string& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

// Text that does not convert to a number, or a date/time out of range.
class EConvertError : public Exception {
  public:
    using Exception::Exception;
};

// A file could not be opened, read, written or closed. Carries the platform
// error code (Windows numbering) and the message that code maps to.
class EInOutError : public Exception {
  public:
    explicit EInOutError(int code);
    // The same error naming the file it concerns, where the reader could not
    // tell which file it was: "File access denied: /srv/work/tallon.log".
    EInOutError(int code, const std::string& fileName);
    int ErrorCode() const noexcept { return code_; }

    // Builds the error from a C library errno value.
    static EInOutError FromErrno(int err);
    static EInOutError FromErrno(int err, const std::string& fileName);

  private:
    int code_;
};

// Message for a platform I/O error code: 2 "File not found", 3 "Invalid
// filename", 4 "Too many open files", 5 "File access denied", 100 "Read
// beyond end of file", 101 "Disk full", 106 "Invalid numeric input", any
// other "I/O error %d".
std::string InOutErrorMessage(int code);

// Maps errno onto the platform codes above (ENOENT 2, ENOTDIR/ENAMETOOLONG 3,
// EMFILE/ENFILE 4, EACCES/EPERM/EROFS/EISDIR 5, ENOSPC/EDQUOT 101, EIO 31;
// anything else keeps its own number).
int InOutCodeFromErrno(int err);

// What a database driver said went wrong, as far as callers act on it.
// UniqueViolation: a row would repeat a primary or unique key.
// CheckOvertaken: the transaction of a duplicate check ended before the
// write it decided (another process was let in between): check again.
enum class DatabaseErrorCode { Other, UniqueViolation, CheckOvertaken };

// Any failure of the database engine: file missing, table busy, unknown
// field, key violation, SQL error, login refused.
class EDatabaseError : public Exception {
  public:
    explicit EDatabaseError(std::string message, DatabaseErrorCode code = DatabaseErrorCode::Other)
        : Exception(std::move(message)), code_(code) {}
    DatabaseErrorCode Code() const noexcept { return code_; }

  private:
    DatabaseErrorCode code_;
};

}  // namespace tallon
