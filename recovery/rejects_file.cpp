#include "recovery/rejects_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/csv.h"
#include "base/errors.h"
#include "base/file_io.h"
#include "base/file_mode.h"

namespace tallon {
namespace {

int OpenForAppend(const std::string& path) {
    const int fd = OpenOrCreateShared(path, O_WRONLY | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        throw EInOutError::FromErrno(errno);
    }
    return fd;
}

}  // namespace

RejectsFile::RejectsFile(const std::string& path) {
    raw_ = OpenForAppend(path);
    try {
        csv_ = OpenForAppend(path + ".csv");
        struct stat st {};
        if (::fstat(csv_, &st) == 0 && st.st_size == 0) {
            AppendInOneWrite(csv_, "raw_file,line,cause,message\r\n");
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
    AppendInOneWrite(raw_, line.text + "\r\n");
    AppendInOneWrite(csv_, CsvField(line.rawFile) + "," + std::to_string(line.lineNumber) + "," +
                               CauseName(line.outcome) + "," + CsvField(line.message) + "\r\n");
}

}  // namespace tallon
