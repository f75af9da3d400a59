#include "base/file_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "base/text.h"

namespace tallon {

namespace {

// Case-insensitive lookups inside one directory are answered from a cached
// listing. The listing stays valid while the directory's identity and
// modification time are unchanged, provided it was taken well after that
// modification time: file-system clocks are coarse, so an entry added within
// the same tick as the listing would not move the time. A listing taken too
// soon after a change is used once and not trusted again.
struct DirectoryKey {
    dev_t dev;
    ino_t ino;
    bool operator<(const DirectoryKey& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};

struct Listing {
    timespec mtime{};
    // Lower-cased name -> the first entry of that name in directory order.
    std::unordered_map<std::string, std::string> byFoldedName;
};

constexpr size_t kMaxCachedDirectories = 256;

std::mutex g_mutex;
std::map<DirectoryKey, Listing> g_listings;

int64_t Nanoseconds(const timespec& ts) {
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// How long after its directory's last change a listing must have been taken
// to be trusted. A modification time with no sub-second part suggests a file
// system that keeps whole (or even two) seconds.
int64_t TrustMargin(const timespec& mtime) {
    return mtime.tv_nsec == 0 ? 2100000000LL : 50000000LL;
}

std::string DirectoryForListing(const std::string& dirPart) {
    return dirPart.empty() ? std::string(".") : dirPart;
}

// Reads a directory into a fresh listing; false when it cannot be read.
bool ReadListing(const std::string& dir, Listing& listing) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        return false;
    }
    listing.byFoldedName.clear();
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        listing.byFoldedName.emplace(LowerCase(name), name);
    }
    ::closedir(d);
    return true;
}

// The entry of dirPart whose name equals name without regard to case.
bool FindCaseVariant(const std::string& dirPart, const std::string& name, std::string& found) {
    const std::string dir = DirectoryForListing(dirPart);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return false;
    }
    const DirectoryKey key{st.st_dev, st.st_ino};
    const std::string folded = LowerCase(name);

    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_listings.find(key);
    const bool usable =
        it != g_listings.end() && Nanoseconds(it->second.mtime) == Nanoseconds(st.st_mtim);
    const Listing* listing = usable ? &it->second : nullptr;
    Listing fresh;
    if (!listing) {
        timespec takenAt{};
        ::clock_gettime(CLOCK_REALTIME, &takenAt);
        if (!ReadListing(dir, fresh)) {
            return false;
        }
        fresh.mtime = st.st_mtim;
        if (it != g_listings.end()) {
            g_listings.erase(it);
        }
        const bool trusted =
            Nanoseconds(takenAt) - Nanoseconds(st.st_mtim) >= TrustMargin(st.st_mtim);
        if (trusted) {
            if (g_listings.size() >= kMaxCachedDirectories) {
                g_listings.clear();
            }
            listing = &g_listings.emplace(key, std::move(fresh)).first->second;
        } else {
            listing = &fresh;
        }
    }
    auto hit = listing->byFoldedName.find(folded);
    if (hit == listing->byFoldedName.end()) {
        return false;
    }
    found = hit->second;
    return true;
}

void ForgetDirectoryOf(const std::string& path) {
    ForgetDirectoryListing(ExtractFilePath(path));
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

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

namespace {

// Resolves a name and tells what it found, with as few system calls as the
// common cases allow: the exact name, then the upper- and lower-case forms of
// its extension and of the whole name (the program names its files with
// upper- or lower-case extensions and looks them up in the other case many
// times a second), and only then a listing of the directory.
// Names lately resolved to another letter case, tried first next time: a
// lookup repeated for every record then costs one system call.
std::mutex g_resolvedMutex;
std::unordered_map<std::string, std::string> g_resolved;
constexpr size_t kMaxRemembered = 1024;

std::string Remembered(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_resolvedMutex);
    auto it = g_resolved.find(path);
    return it == g_resolved.end() ? std::string() : it->second;
}

void Remember(const std::string& path, const std::string& resolved) {
    std::lock_guard<std::mutex> lock(g_resolvedMutex);
    if (g_resolved.size() >= kMaxRemembered) {
        g_resolved.clear();
    }
    g_resolved[path] = resolved;
}

std::string ResolveUncached(const std::string& path, struct stat* found, bool followLinks);

std::string Resolve(const std::string& path, struct stat* found, bool followLinks) {
    const std::string known = path.empty() ? std::string() : Remembered(path);
    if (!known.empty() &&
        (followLinks ? ::stat(known.c_str(), found) : ::lstat(known.c_str(), found)) == 0) {
        return known;
    }
    std::string resolved = ResolveUncached(path, found, followLinks);
    if (resolved != path) {
        Remember(path, resolved);
    }
    return resolved;
}

std::string ResolveUncached(const std::string& path, struct stat* found, bool followLinks) {
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
    if (FindCaseVariant(dirPart, name, entry) && probe(dirPart + entry)) {
        return dirPart + entry;
    }
    found->st_mode = 0;
    return path;
}

}  // namespace

std::string ResolveFileName(const std::string& path) {
    struct stat st {};
    return Resolve(path, &st, false);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    Resolve(path, &st, true);
    return S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    Resolve(path, &st, true);
    return S_ISDIR(st.st_mode);
}

namespace {

// A new file beside the target for a copy, named uniquely. Its mode is that
// of any new file of the process (0666 less the umask), never the source's:
// a copy made from a world-readable template must not be world-readable
// under a strict umask.
int CreateCopyFile(const std::string& directory, std::string& name) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = directory + ".tallon-copy-" + std::to_string(::getpid()) + "-" +
               std::to_string(counter++);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

}  // namespace

bool CopyFileOver(const std::string& from, const std::string& to) {
    const std::string source = ResolveFileName(from);
    const std::string target = ResolveFileName(to);
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    struct stat sst {};
    if (::fstat(in, &sst) != 0 || !S_ISREG(sst.st_mode)) {
        ::close(in);
        return false;
    }
    // A read-only or non-file target is refused, as the platform's copy does.
    struct stat tst {};
    if (::stat(target.c_str(), &tst) == 0 &&
        (!S_ISREG(tst.st_mode) || ::access(target.c_str(), W_OK) != 0)) {
        ::close(in);
        return false;
    }

    // The copy is written beside the target and renamed over it, so a failed
    // copy leaves the target as it was.
    std::string temp;
    const int out = CreateCopyFile(ExtractFilePath(target), temp);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = true;
    std::string buffer(1 << 16, '\0');
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) {
            break;
        }
        if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    ::close(in);
    ok = ::close(out) == 0 && ok;
    if (ok) {
        ok = ::rename(temp.c_str(), target.c_str()) == 0;
    }
    if (!ok) {
        ::unlink(temp.c_str());
    }
    ForgetDirectoryOf(target);
    return ok;
}

bool DeleteFileCI(const std::string& path) {
    const std::string name = ResolveFileName(path);
    const bool ok = ::unlink(name.c_str()) == 0;
    ForgetDirectoryOf(name);
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
    ForgetDirectoryOf(source);
    ForgetDirectoryOf(to);
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

void ForgetDirectoryListing(const std::string& directory) {
    struct stat st {};
    if (::stat(DirectoryForListing(directory).c_str(), &st) != 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    g_listings.erase(DirectoryKey{st.st_dev, st.st_ino});
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
