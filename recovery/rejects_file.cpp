#include "recovery/rejects_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/errors.h"

namespace tallon {
namespace {

int OpenForAppend(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        throw EInOutError::FromErrno(errno);
    }
    return fd;
}

// One write, so that two runs appending to the same file never interleave
// within a line.
void WriteWhole(int fd, const std::string& bytes) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
        throw EInOutError::FromErrno(errno);
    }
    if (static_cast<size_t>(written) != bytes.size()) {
        throw EInOutError::FromErrno(ENOSPC);
    }
}

std::string CsvField(const std::string& value) {
    if (value.find_first_of(",\"\r\n") == std::string::npos) {
        return value;
    }
    std::string quoted = "\"";
    for (const char c : value) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    return quoted + '"';
}

}  // namespace

RejectsFile::RejectsFile(const std::string& path) {
    raw_ = OpenForAppend(path);
    try {
        csv_ = OpenForAppend(path + ".csv");
        struct stat st {};
        if (::fstat(csv_, &st) == 0 && st.st_size == 0) {
            WriteWhole(csv_, "raw_file,line,cause,message\r\n");
        }
    } catch (...) {
        ::close(raw_);
        if (csv_ >= 0) {
            ::close(csv_);
        }
        throw;
    }
}

RejectsFile::~RejectsFile() {
    ::close(raw_);
    ::close(csv_);
}

void RejectsFile::Add(const RejectedLine& line) {
    WriteWhole(raw_, line.text + "\r\n");
    WriteWhole(csv_, CsvField(line.rawFile) + "," + std::to_string(line.lineNumber) + "," +
                         CauseName(line.outcome) + "," + CsvField(line.message) + "\r\n");
}

}  // namespace tallon
