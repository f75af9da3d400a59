#include "base/file_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <utility>

#include "base/file_io.h"
#include "base/file_mode.h"
#include "base/text.h"

namespace tallon {

namespace {

std::string DirectoryForListing(const std::string& dirPart) {
    return dirPart.empty() ? std::string(".") : dirPart;
}

// The entry of dirPart whose name equals name without regard to case (the
// first in directory order).
bool FindCaseVariant(const std::string& dirPart, const std::string& name, std::string& found) {
    DIR* d = ::opendir(DirectoryForListing(dirPart).c_str());
    if (!d) {
        return false;
    }
    bool hit = false;
    while (dirent* e = ::readdir(d)) {
        if (SameText(e->d_name, name)) {
            found = e->d_name;
            hit = true;
            break;
        }
    }
    ::closedir(d);
    return hit;
}

// ASCII case-insensitive match of '*' (any run) and '?' (any one character).
bool WildcardMatch(std::string_view pattern, std::string_view name) {
    size_t p = 0, n = 0;
    size_t starP = std::string_view::npos, starN = 0;
    auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || lower(pattern[p]) == lower(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

}  // namespace

namespace {

// Resolves a name and tells what it found, with as few system calls as the
// common cases allow: the exact name, then the upper- and lower-case forms of
// its extension and of the whole name (the program names its files with
// upper- or lower-case extensions and looks them up in the other case), and
// only then a listing of the directory. Nothing is remembered between calls,
// so the answer is always the directory as it is now.
std::string ResolveUncached(const std::string& path, struct stat* found, bool followLinks,
                            bool mayList = true) {
    auto probe = [&](const std::string& p) {
        return (followLinks ? ::stat(p.c_str(), found) : ::lstat(p.c_str(), found)) == 0;
    };
    if (path.empty() || probe(path)) {
        return path;
    }
    const std::string dirPart = ExtractFilePath(path);
    const std::string name = ExtractFileName(path);
    if (name.empty()) {
        return path;
    }
    const size_t dot = name.rfind('.');
    const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
    for (const std::string& variant :
         {stem + UpperCase(ext), stem + LowerCase(ext), UpperCase(name), LowerCase(name)}) {
        if (variant != name && probe(dirPart + variant)) {
            return dirPart + variant;
        }
    }
    std::string entry;
    if (mayList && FindCaseVariant(dirPart, name, entry) && probe(dirPart + entry)) {
        return dirPart + entry;
    }
    found->st_mode = 0;
    return path;
}

}  // namespace

std::string ResolveFileName(const std::string& path) {
    struct stat st {};
    return ResolveUncached(path, &st, false);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    ResolveUncached(path, &st, true);
    return S_ISREG(st.st_mode);
}

std::string ProbeFileName(const std::string& path) {
    struct stat st {};
    const std::string found = ResolveUncached(path, &st, true, false);
    return S_ISREG(st.st_mode) ? found : std::string();
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    ResolveUncached(path, &st, true);
    return S_ISDIR(st.st_mode);
}

namespace {

// Copies a regular file into a new temporary file in `directory`, named
// kCopyTempPrefix + our process id, so a copy left by a killed process can be
// told from one in progress. Its mode follows the umask, like any file the
// program makes (GroupShareMode). Returns the temporary file's path, or "" on failure.
std::string WriteTemporaryCopy(const std::string& source, const std::string& directory) {
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return "";
    }
    struct stat sst {};
    if (::fstat(in, &sst) != 0 || !S_ISREG(sst.st_mode)) {
        ::close(in);
        return "";
    }
    std::string temp = directory + kCopyTempPrefix + std::to_string(::getpid()) + "-XXXXXX";
    const int out = ::mkstemp(temp.data());
    if (out < 0) {
        ::close(in);
        return "";
    }
    bool ok = true;
    std::string buffer(1 << 16, '\0');
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (WriteFully(out, buffer.data(), static_cast<size_t>(n)) != 0) {
            ok = false;
            break;
        }
    }
    ::close(in);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ok = ::fchmod(out, GroupShareMode(directory, 0666 & ~mask)) == 0 && ok;
    ok = ::close(out) == 0 && ok;
    if (!ok) {
        ::unlink(temp.c_str());
        return "";
    }
    return temp;
}

}  // namespace

bool CopyFileOver(const std::string& from, const std::string& to, bool toResolved) {
    const std::string source = ResolveFileName(from);
    const std::string target = toResolved ? to : ResolveFileName(to);
    // A read-only or non-file target is refused, as the platform's copy does.
    struct stat tst {};
    if (::stat(target.c_str(), &tst) == 0 &&
        (!S_ISREG(tst.st_mode) || ::access(target.c_str(), W_OK) != 0)) {
        return false;
    }
    // The copy is written beside the target and renamed over it, so a failed
    // copy leaves the target as it was.
    const std::string temp = WriteTemporaryCopy(source, ExtractFilePath(target));
    if (temp.empty()) {
        return false;
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

NamesInDirectory::NamesInDirectory(const std::string& directory, const std::string& stem)
    : directory_(directory), entries_(ListMatching(directory + stem + "*")) {}

std::string NamesInDirectory::Resolve(const std::string& name) const {
    std::string variant;
    for (const std::string& entry : entries_) {
        if (entry == name) {
            return directory_ + entry;
        }
        if (variant.empty() && SameText(entry, name)) {
            variant = entry;
        }
    }
    return directory_ + (variant.empty() ? name : variant);
}

CopyOutcome CopyFileIfMissing(const std::string& from, const std::string& to) {
    if (FileExists(to)) {
        return CopyOutcome::TargetExists;
    }
    const std::string temp = WriteTemporaryCopy(ResolveFileName(from), ExtractFilePath(to));
    if (temp.empty()) {
        return FileExists(from) ? CopyOutcome::Failed : CopyOutcome::NoSource;
    }
    // link() never replaces: of two processes making the same file, one wins
    // and the other finds it made.
    const int rc = ::link(temp.c_str(), to.c_str());
    const int err = errno;
    ::unlink(temp.c_str());
    if (rc == 0) {
        return CopyOutcome::Copied;
    }
    return err == EEXIST ? CopyOutcome::TargetExists : CopyOutcome::Failed;
}

bool DeleteFileCI(const std::string& path) {
    const std::string name = ResolveFileName(path);
    const bool ok = ::unlink(name.c_str()) == 0;
    return ok;
}

bool RenameFileCI(const std::string& from, const std::string& to) {
    const std::string source = ResolveFileName(from);
    struct stat sst {};
    if (::lstat(source.c_str(), &sst) != 0) {
        return false;
    }
    // The platform's rename never replaces an existing file, but a change of
    // letter case only is allowed.
    const std::string target = ResolveFileName(to);
    struct stat tst {};
    if (::lstat(target.c_str(), &tst) == 0 &&
        !(tst.st_dev == sst.st_dev && tst.st_ino == sst.st_ino)) {
        return false;
    }
    const bool ok = ::rename(source.c_str(), to.c_str()) == 0;
    return ok;
}

std::vector<std::string> ListMatching(const std::string& directoryAndPattern) {
    std::vector<std::string> names;
    const std::string dirPart = ExtractFilePath(directoryAndPattern);
    const std::string pattern = ExtractFileName(directoryAndPattern);
    DIR* d = ::opendir(DirectoryForListing(dirPart).c_str());
    if (!d && dirPart.size() > 1) {
        // The directory's own last component may be typed in another case.
        d = ::opendir(ResolveFileName(dirPart.substr(0, dirPart.size() - 1)).c_str());
    }
    if (!d) {
        return names;
    }
    while (dirent* e = ::readdir(d)) {
        const std::string_view name = e->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        if (WildcardMatch(pattern, name)) {
            names.emplace_back(name);
        }
    }
    ::closedir(d);
    return names;
}

std::string ExtractFilePath(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExtractFileName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExecutableDirectory() {
    char buf[PATH_MAX + 1];
    const ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) {
        return CurrentDirectory();
    }
    return ExtractFilePath(std::string(buf, static_cast<size_t>(n)));
}

std::string CurrentDirectory() {
    char buf[PATH_MAX + 1];
    if (!::getcwd(buf, sizeof buf)) {
        return "./";
    }
    std::string dir = buf;
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

}  // namespace tallon
