#include "db/local/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

namespace tallon::db::local {

namespace {

// A commit writes its journal, syncs it and then writes the table; the time
// between the two is that of one sync, far below this.
constexpr int64_t kCommitSpanNs = 10LL * 1000000000LL;

int64_t Ns(const timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

}  // namespace

void SettleJournal(const std::string& dbPath) {
    const std::string journal = dbPath + "-journal";
    struct stat js {
    }, ds{};
    if (::stat(journal.c_str(), &js) != 0 || js.st_size == 0 || ::stat(dbPath.c_str(), &ds) != 0) {
        return;
    }
    if (Ns(ds.st_ctim) - Ns(js.st_mtim) > kCommitSpanNs) {
        const std::string aside = journal + ".orphan";
        ::unlink(aside.c_str());
        std::rename(journal.c_str(), aside.c_str());
    }
}

void RemoveJournal(const std::string& dbPath) {
    ::unlink((dbPath + "-journal").c_str());
}

}  // namespace tallon::db::local
