#include "recovery/raw_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <memory>

#include "base/errors.h"

namespace tallon {
namespace {

void Fill(RawFileEntry& entry, const struct stat& st) {
    entry.id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    entry.size = static_cast<uint64_t>(st.st_size);
    entry.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

bool IsRawFileName(const std::string& name) {
    if (name.size() < 5) {
        return false;
    }
    const char* ext = name.c_str() + name.size() - 4;
    return ext[0] == '.' && std::tolower(static_cast<unsigned char>(ext[1])) == 'r' &&
           std::tolower(static_cast<unsigned char>(ext[2])) == 'a' &&
           std::tolower(static_cast<unsigned char>(ext[3])) == 'w';
}

std::vector<RawFileEntry> ListRawFiles(const std::string& directory) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), ::closedir);
    if (!dir) {
        throw EInOutError::FromErrno(errno, directory);
    }
    std::vector<RawFileEntry> entries;
    const int dirFd = ::dirfd(dir.get());
    while (const dirent* d = ::readdir(dir.get())) {
        if (!IsRawFileName(d->d_name)) {
            continue;
        }
        struct stat st {};
        if (::fstatat(dirFd, d->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) {
            continue;  // gone since it was listed, or not a file
        }
        RawFileEntry entry;
        entry.name = d->d_name;
        Fill(entry, st);
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool StatRawFile(const std::string& directory, const std::string& name, RawFileEntry& entry) {
    struct stat st {};
    if (::stat((directory + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    entry.name = name;
    Fill(entry, st);
    return true;
}

}  // namespace tallon
