#include "base/errors.h"

#include <cerrno>

namespace tallon {

std::string InOutErrorMessage(int code) {
    switch (code) {
        case 2:
            return "File not found";
        case 3:
            return "Invalid filename";
        case 4:
            return "Too many open files";
        case 5:
            return "File access denied";
        case 100:
            return "Read beyond end of file";
        case 101:
            return "Disk full";
        case 106:
            return "Invalid numeric input";
        default:
            return "I/O error " + std::to_string(code);
    }
}

int InOutCodeFromErrno(int err) {
    switch (err) {
        case ENOENT:
            return 2;
        case ENOTDIR:
        case ENAMETOOLONG:
            return 3;
        case EMFILE:
        case ENFILE:
            return 4;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return 5;
        case ENOSPC:
        case EDQUOT:
            return 101;
        case EIO:
            // errno's own number (5) would read as "File access denied";
            // report it as the platform's general device failure instead.
            return 31;
        default:
            return err;
    }
}

EInOutError::EInOutError(int code) : Exception(InOutErrorMessage(code)), code_(code) {}

EInOutError::EInOutError(int code, const std::string& fileName)
    : Exception(InOutErrorMessage(code) + ": " + fileName), code_(code) {}

EInOutError EInOutError::FromErrno(int err) {
    return EInOutError(InOutCodeFromErrno(err));
}

EInOutError EInOutError::FromErrno(int err, const std::string& fileName) {
    return EInOutError(InOutCodeFromErrno(err), fileName);
}

}  // namespace tallon
