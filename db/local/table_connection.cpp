#include "db/local/table_connection.h"

#include "base/errors.h"
#include "base/text.h"
#include "db/local/journal.h"
#include "db/local/schema.h"
#include "db/sqlite/run.h"

namespace tallon::db::local {

void TableConnection::Open(const std::string& path, const std::string& name, int busyTimeoutMs) {
    Close();
    SettleJournal(path);
    try {
        handle_ = sqlite::Handle(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX);
    } catch (const EDatabaseError& e) {
        throw EDatabaseError("Cannot open table " + name + ": " + e.Message());
    }
    try {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            throw EDatabaseError("Table does not exist: " + name);
        }
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        handle_.SetBusyTimeout(busyTimeoutMs);
        handle_.Exec("PRAGMA journal_mode=TRUNCATE");
        handle_.Exec("PRAGMA synchronous=FULL");
        handle_.Exec("PRAGMA cache_spill=OFF");
        SetCacheSize(kCacheKiB);
    } catch (...) {
        Close();
        throw;
    }
}

void TableConnection::SetCacheSize(int kib) {
    if (kib != cacheKiB_) {
        handle_.Exec("PRAGMA main.cache_size=-" + std::to_string(kib));
        cacheKiB_ = kib;
    }
}

void TableConnection::Close() noexcept {
    cacheKiB_ = 0;
    statements_.Clear();
    handle_.Close();
    ForgetTemporaries();
}

void TableConnection::Run(const std::string& sql, const std::vector<Value>& values, Rows* rows,
                          const char* constraintMessage) {
    sqlite::RunStatement(statements_.Get(handle_.get(), sql), values, rows, constraintMessage);
}

void TableConnection::Exec(const std::string& sql) {
    handle_.Exec(sql, "Key violation.");
}

void TableConnection::EnsureView(const std::string& name) {
    const std::string key = LowerCase(name);
    if (key == "records" || views_.count(key)) {
        return;
    }
    // Made afresh: one left by an undone transaction's forgetting may show
    // the stored records alone or with the staged ones.
    Exec("DROP VIEW IF EXISTS temp." + QuoteIdent(name));
    Exec("CREATE TEMP VIEW " + QuoteIdent(name) + " AS SELECT * FROM main.records" +
         (showStaged_ ? " UNION ALL SELECT * FROM temp.staged" : ""));
    views_.insert(key);
}

void TableConnection::ShowStaged() {
    showStaged_ = true;
    const std::set<std::string> made = std::move(views_);
    views_.clear();
    for (const std::string& name : made) {
        EnsureView(name);
    }
}

void TableConnection::ForgetTemporaries() noexcept {
    views_.clear();
    showStaged_ = false;
    staged_.Forget();
}

void TableConnection::ReleaseCache() {
    if (handle_ && !handle_.InTransaction()) {
        sqlite3_db_release_memory(handle_.get());
    }
}

}  // namespace tallon::db::local
