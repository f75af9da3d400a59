#include "db/local_store.h"
#include "db/paradox/detect.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "base/date_time.h"
#include "base/errors.h"
#include "base/file_names.h"
#include "base/text.h"
#include "db/table.h"

namespace tallon::db::local {

namespace {

[[noreturn]] void Fail(const std::string& message) {
    throw EDatabaseError(message);
}

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && SameText(s.substr(s.size() - suffix.size()), suffix);
}

std::string StemOf(const std::string& dbPath) {
    return EndsWithNoCase(dbPath, ".DB") ? dbPath.substr(0, dbPath.size() - 3) : dbPath;
}

std::string SqliteIndexName(const std::string& slot, bool twin) {
    return "tallon_" + LowerCase(slot) + (twin ? "_cs" : "");
}

std::string JoinFields(const std::vector<std::string>& fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        out += (i ? ";" : "") + fields[i];
    }
    return out;
}

// Writes a small file durably: temporary file, fsync, rename, fsync of the
// directory, so an index file is either absent or complete.
void WriteFileDurably(const std::string& path, const std::string& content) {
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        Fail("Cannot write index file " + path + ": " + std::strerror(errno));
    }
    bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        Fail("Cannot write index file " + path + ": " + std::strerror(errno));
    }
    const std::string dir = ExtractFilePath(path);
    const int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    ForgetDirectoryListing(dir);
}

std::string ReadSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Slot of an index file extension ("PX", "XG3", "YG3"), normalised to the
// X form for secondary indexes; "" when the extension is not an index's.
std::string SlotOfExtension(const std::string& ext) {
    const std::string up = UpperCase(ext);
    if (up == "PX") {
        return up;
    }
    if (up.size() >= 3 && (up[0] == 'X' || up[0] == 'Y') && up[1] == 'G' &&
        std::all_of(up.begin() + 2, up.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return "XG" + up.substr(2);
    }
    return "";
}

// ---- the registry of cached table files ----

struct Registry {
    pid_t pid = ::getpid();
    std::map<std::string, std::shared_ptr<TableFile>> byPath;
    // directory + '\n' + lower-cased table name -> file
    std::unordered_map<std::string, std::shared_ptr<TableFile>> byName;
    std::vector<TableFile*> writing;
};

// Set in a child made by fork(); checked on every engine call, where asking
// the kernel for the process id each time would cost a system call.
std::atomic<bool> g_forkedChild{false};
void MarkForkedChild() {
    g_forkedChild = true;
}

Registry& Reg() {
    static Registry* r = [] {
        ::pthread_atfork(nullptr, nullptr, MarkForkedChild);
        return new Registry();  // outlives static destructors
    }();
    // A child made by fork() must not touch its parent's connections or
    // locks: it forgets them and opens its own.
    if (g_forkedChild.exchange(false) && r->pid != ::getpid()) {
        for (auto& [path, file] : r->byPath) {
            file->Abandon();
        }
        r->byPath.clear();
        r->byName.clear();
        r->writing.clear();
        r->pid = ::getpid();
    }
    return *r;
}

// Every use of the cached files holds the engine lock: the program's own
// thread and the committer below.
std::recursive_mutex* g_engineMutex = new std::recursive_mutex();  // never destroyed

// SQLite keeps the lock state of each file per process, and a child made by
// fork() inherits it: a transaction open in the parent at fork() would look
// like a reader of the child's own forever. So every transaction ends first.
void PrepareFork() {
    g_engineMutex->lock();
    const auto writing = Reg().writing;
    for (TableFile* f : writing) {
        try {
            f->Commit();
        } catch (...) {
        }
    }
}
void AfterForkParent() {
    g_engineMutex->unlock();
}
void AfterForkChild() {
    // The child has one thread and the lock is ours: start with a fresh one.
    g_engineMutex = new std::recursive_mutex();
}

// The committer ends transactions that have reached their age even while the
// program makes no engine calls, so an idle process never keeps other
// processes from writing and never sits on uncommitted records.
struct Committer {
    pid_t pid = 0;
    std::mutex wakeMutex;
    std::condition_variable wake;
};
Committer* g_committer = new Committer();  // never destroyed

void CommitterLoop(pid_t pid) {
    for (;;) {
        {
            std::unique_lock lk(g_committer->wakeMutex);
            g_committer->wake.wait_for(lk, kCommitAfter / 4);
        }
        if (::getpid() != pid)
            return;
        std::lock_guard lock(*g_engineMutex);
        try {
            CommitAged();
        } catch (...) {
            // Left for the next try, and for the program's next call, which
            // reports the failure.
        }
    }
}

void StartCommitter() {
    static std::once_flag atfork;
    std::call_once(atfork, [] { ::pthread_atfork(PrepareFork, AfterForkParent, AfterForkChild); });
    if (g_committer->pid == ::getpid())
        return;
    g_committer->pid = ::getpid();
    std::thread(CommitterLoop, g_committer->pid).detach();
}

void NoteWriting(TableFile* f, bool writing) {
    auto& w = Reg().writing;
    auto it = std::find(w.begin(), w.end(), f);
    if (writing && it == w.end()) {
        StartCommitter();
        w.push_back(f);
    } else if (!writing && it != w.end()) {
        w.erase(it);
    }
}

struct StmtReset {
    sqlite3_stmt* s;
    ~StmtReset() {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
    }
};

}  // namespace

// ---- kinds and definitions ----

const char* KindName(FieldKind kind) {
    switch (kind) {
        case FieldKind::Text:
            return "text";
        case FieldKind::Float:
            return "float";
        case FieldKind::Date:
            return "date";
        case FieldKind::Time:
            return "time";
        case FieldKind::Integer:
            return "integer";
    }
    return "text";
}

std::optional<FieldKind> KindFromName(const std::string& name) {
    const std::string n = LowerCase(Trim(name));
    if (n == "text")
        return FieldKind::Text;
    if (n == "float")
        return FieldKind::Float;
    if (n == "date")
        return FieldKind::Date;
    if (n == "time")
        return FieldKind::Time;
    if (n == "integer")
        return FieldKind::Integer;
    return std::nullopt;
}

std::string DeclaredType(const FieldDef& field) {
    switch (field.kind) {
        case FieldKind::Text:
            return field.size > 0 ? "TEXT(" + std::to_string(field.size) + ")" : "TEXT";
        case FieldKind::Float:
            return "REAL";
        case FieldKind::Date:
            return "DATE TEXT";
        case FieldKind::Time:
            return "TIME TEXT";
        case FieldKind::Integer:
            return "INTEGER";
    }
    return "TEXT";
}

FieldDef FieldFromDeclared(const std::string& name, const std::string& declared) {
    FieldDef f;
    f.name = name;
    const std::string d = UpperCase(Trim(declared));
    if (d.rfind("DATE", 0) == 0) {
        f.kind = FieldKind::Date;
    } else if (d.rfind("TIME", 0) == 0) {
        f.kind = FieldKind::Time;
    } else if (d.find("INT") != std::string::npos) {
        f.kind = FieldKind::Integer;
    } else if (d.find("REAL") != std::string::npos || d.find("FLOA") != std::string::npos ||
               d.find("DOUB") != std::string::npos || d.find("NUM") != std::string::npos) {
        f.kind = FieldKind::Float;
    } else {
        f.kind = FieldKind::Text;
        const auto open = d.find('(');
        if (open != std::string::npos) {
            f.size = std::atoi(d.c_str() + open + 1);
        }
    }
    return f;
}

std::string IndexFileText(const IndexDef& def) {
    std::string opts;
    if (def.options & ixPrimary)
        opts += " primary";
    if (def.options & ixUnique)
        opts += " unique";
    if (def.options & ixCaseInsensitive)
        opts += " case-insensitive";
    return "tallon index 1\nname=" + def.name + "\nfields=" + JoinFields(def.fields) +
           "\noptions=" + Trim(opts) + "\n";
}

std::optional<IndexDef> ParseIndexFileText(const std::string& slot, const std::string& text) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || Trim(line) != "tallon index 1") {
        return std::nullopt;
    }
    IndexDef def;
    def.slot = slot;
    bool haveFields = false;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "name") {
            def.name = value;
        } else if (key == "fields") {
            std::string part;
            std::istringstream fs(value);
            while (std::getline(fs, part, ';')) {
                if (!part.empty())
                    def.fields.push_back(part);
            }
            haveFields = !def.fields.empty();
        } else if (key == "options") {
            std::istringstream os(value);
            std::string o;
            while (os >> o) {
                if (o == "primary")
                    def.options |= ixPrimary;
                if (o == "unique")
                    def.options |= ixUnique;
                if (o == "case-insensitive")
                    def.options |= ixCaseInsensitive;
            }
        }
    }
    if (!haveFields)
        return std::nullopt;
    if (slot == "PX")
        def.options |= ixPrimary | ixUnique;
    return def;
}

// ---- values ----

std::string StoredDate(double v) {
    const DateParts p = DecodeDate(DateTime{v});
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", p.year, p.month, p.day);
    return buf;
}

std::string StoredTime(double v) {
    const TimeParts t = DecodeTime(TimePart(DateTime{v}));
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t.hour % 24, t.minute, t.second);
    return buf;
}

namespace {
bool ReadNumber(const std::string& s, size_t& pos, int maxDigits, int& out) {
    const size_t start = pos;
    out = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' &&
           pos - start < static_cast<size_t>(maxDigits)) {
        out = out * 10 + (s[pos] - '0');
        ++pos;
    }
    return pos > start;
}
}  // namespace

bool ParseDateLiteral(const std::string& text, std::string& stored) {
    const std::string s = Trim(text);
    int y = 0, m = 0, d = 0;
    size_t pos = 0;
    if (s.size() == 10 && s[4] == '-' && s[7] == '-') {
        if (!ReadNumber(s, pos, 4, y) || pos != 4)
            return false;
        ++pos;
        if (!ReadNumber(s, pos, 2, m) || pos != 7)
            return false;
        ++pos;
        if (!ReadNumber(s, pos, 2, d) || pos != 10)
            return false;
    } else {
        if (!ReadNumber(s, pos, 2, m) || pos >= s.size() || s[pos] != '/')
            return false;
        ++pos;
        if (!ReadNumber(s, pos, 2, d) || pos >= s.size() || s[pos] != '/')
            return false;
        ++pos;
        const size_t ys = pos;
        if (!ReadNumber(s, pos, 4, y) || pos != s.size() || pos - ys != 4)
            return false;
    }
    if (y < 1 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m))
        return false;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
    stored = buf;
    return true;
}

bool ParseTimeLiteral(const std::string& text, std::string& stored) {
    TimeParts t;
    if (!ParseTimeText(Trim(text), t, Regional()))
        return false;
    if (t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 ||
        t.second > 59) {
        return false;
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    stored = buf;
    return true;
}

std::string RealText(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string QuoteIdent(const std::string& name) {
    return QuotedWith(name, '"');
}

// ---- TableFile ----

TableFile::TableFile(std::string dbPath) : path_(std::move(dbPath)) {}

TableFile::~TableFile() {
    CloseConnection();
    if (lockFd_ >= 0) {
        ::close(lockFd_);
    }
}

std::string TableFile::TableName() const {
    return ExtractFileName(StemOf(path_));
}

std::string TableFile::IndexFilePath(const std::string& slot) const {
    return ResolveFileName(StemOf(path_) + "." + slot);
}

bool TableFile::StatDirectory(int64_t& mtimeNs) const {
    struct stat st {};
    const std::string dir = ExtractFilePath(path_);
    if (::stat(dir.empty() ? "." : dir.c_str(), &st) != 0) {
        return false;
    }
    mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

bool TableFile::StatIdentity(FileIdentity& id) const {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

void TableFile::EnsureCurrent() {
    lastUse_ = std::chrono::steady_clock::now();
    FileIdentity now;
    if (!StatIdentity(now)) {
        CloseConnection();
        Fail("Table does not exist: " + TableName());
    }
    if (db_ && now == identity_) {
        return;
    }
    // Changed behind the cache: by another process's commit, or replaced
    // (copied over, deleted and re-made). With cache spilling off nothing of
    // ours reached the old file, so dropping pending work cannot touch the
    // new one.
    CloseConnection();
    OpenConnection();
}

void TableFile::ReleaseCacheIfIdle(std::chrono::steady_clock::time_point now) {
    if (db_ && !inWrite_ && now - lastUse_ >= kIdleCacheAfter) {
        sqlite3_db_release_memory(db_);
    }
}

void TableFile::OpenConnection() {
    FileIdentity id;
    if (!StatIdentity(id)) {
        Fail("Table does not exist: " + TableName());
    }
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        Fail("Cannot open table " + TableName() + ": " + msg);
    }
    db_ = db;
    identity_ = id;
    discovered_ = false;
    indexPaths_.clear();
    try {
        sqlite3_busy_timeout(db_, 10000);
        RunPlain("PRAGMA journal_mode=TRUNCATE");
        RunPlain("PRAGMA synchronous=FULL");
        RunPlain("PRAGMA cache_spill=OFF");
        // A day's table fits in a small cache, and a small cache turned out
        // faster for the recovery's mix of lookups and appends than SQLite's
        // default of about 2 MB.
        RunPlain("PRAGMA cache_size=-1024");
        LoadSchema();
    } catch (...) {
        CloseConnection();
        // A site's old table left in place fails here as "not a database";
        // say what it is and what to do instead.
        if (paradox::IsParadoxTableFile(path_)) {
            Fail(ExtractFileName(path_) +
                 " is a Paradox table: convert it with tallon-db "
                 "import-paradox");
        }
        throw;
    }
}

void TableFile::LoadSchema() {
    fields_.clear();
    indexes_.clear();
    Rows rows;
    Run(Prepare("PRAGMA table_info(records)"), {}, &rows);
    for (const auto& r : rows.rows) {
        fields_.push_back(FieldFromDeclared(r[1], r[2]));
    }
    if (fields_.empty()) {
        Fail("Not a table file: " + path_);
    }
    insertSql_ = "INSERT INTO records(";
    std::string marks;
    for (size_t i = 0; i < fields_.size(); ++i) {
        insertSql_ += (i ? ", " : "") + QuoteIdent(fields_[i].name);
        marks += i ? ", ?" : "?";
    }
    insertSql_ += ") VALUES(" + marks + ")";
    Rows meta;
    Run(Prepare("SELECT count(*) FROM sqlite_master WHERE type='table' AND name='tallon_indexes'"),
        {}, &meta);
    if (meta.rows.empty() || meta.rows[0][0] == "0") {
        return;
    }
    Rows defs;
    Run(Prepare("SELECT slot, name, fields, options FROM tallon_indexes"), {}, &defs);
    for (const auto& r : defs.rows) {
        IndexDef def;
        def.slot = r[0];
        def.name = r[1];
        std::istringstream fs(r[2]);
        std::string part;
        while (std::getline(fs, part, ';'))
            def.fields.push_back(part);
        def.options = static_cast<unsigned>(std::strtoul(r[3].c_str(), nullptr, 10));
        indexes_[def.slot] = def;
    }
}

int TableFile::FieldIndex(const std::string& name) const {
    for (size_t i = 0; i < fields_.size(); ++i) {
        if (SameText(fields_[i].name, name))
            return static_cast<int>(i);
    }
    return -1;
}

const IndexDef* TableFile::PrimaryIndex() const {
    auto it = indexes_.find("PX");
    return it == indexes_.end() ? nullptr : &it->second;
}

sqlite3_stmt* TableFile::Prepare(const std::string& sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end())
        return it->second;
    // Statements differ only in their literals, which are parameters, so
    // the cache stays small; a process running ad hoc statements is kept
    // from growing it without bound.
    if (statements_.size() >= 256)
        FinalizeStatements();
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                                      SQLITE_PREPARE_PERSISTENT, &stmt, &tail);
    if (rc != SQLITE_OK) {
        Fail(std::string(sqlite3_errmsg(db_)));
    }
    if (!stmt) {
        Fail("Empty statement");
    }
    if (tail && !Trim(tail).empty() && Trim(tail) != ";") {
        sqlite3_finalize(stmt);
        Fail("Only one statement can be run at a time");
    }
    statements_.emplace(sql, stmt);
    return stmt;
}

void TableFile::Run(sqlite3_stmt* stmt, const std::vector<Value>& params, Rows* rows) {
    StmtReset guard{stmt};
    for (size_t i = 0; i < params.size(); ++i) {
        const Value& v = params[i];
        const int n = static_cast<int>(i + 1);
        switch (v.type) {
            case Value::Null:
                sqlite3_bind_null(stmt, n);
                break;
            case Value::Int:
                sqlite3_bind_int64(stmt, n, v.i);
                break;
            case Value::Real:
                sqlite3_bind_double(stmt, n, v.r);
                break;
            case Value::Text:
                sqlite3_bind_text(stmt, n, v.s.data(), static_cast<int>(v.s.size()), SQLITE_STATIC);
                break;
        }
    }
    const int ncol = sqlite3_column_count(stmt);
    if (rows) {
        rows->columns.clear();
        for (int c = 0; c < ncol; ++c)
            rows->columns.emplace_back(sqlite3_column_name(stmt, c));
    }
    for (;;) {
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE)
            break;
        if (rc != SQLITE_ROW) {
            sqlite3* db = sqlite3_db_handle(stmt);
            if ((sqlite3_extended_errcode(db) & 0xff) == SQLITE_CONSTRAINT) {
                Fail("Key violation.");
            }
            Fail(std::string(sqlite3_errmsg(db)));
        }
        if (!rows)
            continue;
        auto& row = rows->rows.emplace_back();
        auto& nulls = rows->nulls.emplace_back();
        row.reserve(ncol);
        nulls.reserve(ncol);
        for (int c = 0; c < ncol; ++c) {
            switch (sqlite3_column_type(stmt, c)) {
                case SQLITE_NULL:
                    row.emplace_back();
                    nulls.push_back(true);
                    continue;
                case SQLITE_INTEGER:
                    row.push_back(std::to_string(sqlite3_column_int64(stmt, c)));
                    break;
                case SQLITE_FLOAT:
                    row.push_back(RealText(sqlite3_column_double(stmt, c)));
                    break;
                default: {
                    const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt, c));
                    row.emplace_back(p ? p : "", sqlite3_column_bytes(stmt, c));
                }
            }
            nulls.push_back(false);
        }
    }
}

void TableFile::RunPlain(const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : sqlite3_errmsg(db_);
        sqlite3_free(err);
        if ((sqlite3_extended_errcode(db_) & 0xff) == SQLITE_CONSTRAINT) {
            Fail("Key violation.");
        }
        Fail(msg);
    }
}

void TableFile::BeginRead() {
    if (inWrite_ || inRead_)
        return;
    RunPlain("BEGIN");
    inRead_ = true;
    writeStarted_ = std::chrono::steady_clock::now();
    NoteWriting(this, true);
}

void TableFile::BeginWrite() {
    if (inWrite_)
        return;
    if (inRead_)
        Commit();
    try {
        RunPlain("BEGIN IMMEDIATE");
    } catch (const EDatabaseError& e) {
        Fail("Table is busy: " + TableName() + " (" + e.Message() + ")");
    }
    inWrite_ = true;
    writeStarted_ = std::chrono::steady_clock::now();
    // While we hold the write lock nobody else can commit: this identity is
    // the one the file keeps until we commit, unless it is replaced.
    StatIdentity(identity_);
    NoteWriting(this, true);
}

void TableFile::Commit() {
    if (inRead_) {
        inRead_ = false;
        NoteWriting(this, false);
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        return;
    }
    if (!inWrite_)
        return;
    try {
        RunPlain("COMMIT");
    } catch (const EDatabaseError& e) {
        Fail("Cannot commit changes to " + TableName() + ": " + e.Message());
    }
    inWrite_ = false;
    NoteWriting(this, false);
    StatIdentity(identity_);
}

void TableFile::FinalizeStatements() {
    for (auto& [sql, stmt] : statements_)
        sqlite3_finalize(stmt);
    statements_.clear();
}

void TableFile::CloseConnection() {
    if (!db_)
        return;
    FinalizeStatements();
    if (inWrite_ || inRead_) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        inWrite_ = inRead_ = false;
        NoteWriting(this, false);
    }
    sqlite3_close_v2(db_);
    db_ = nullptr;
    fields_.clear();
    indexes_.clear();
}

void TableFile::Abandon() {
    db_ = nullptr;
    statements_.clear();
    lockFd_ = -1;
    inWrite_ = inRead_ = false;
}

// ---- exclusive use ----

void TableFile::LockFd(int op) {
    if (op == lockHeld_)
        return;
    const int previous = lockHeld_;
    if (::flock(lockFd_, (op ? op : LOCK_UN) | LOCK_NB) == 0) {
        lockHeld_ = op;
        return;
    }
    const int err = errno;
    // A failed conversion may have let go of the lock we had.
    if (previous && ::flock(lockFd_, previous | LOCK_NB) != 0) {
        lockHeld_ = 0;
    }
    if (err == EWOULDBLOCK) {
        Fail("Table is busy: " + TableName());
    }
    Fail("Cannot lock table " + TableName() + ": " + std::strerror(err));
}

void TableFile::AcquireUse(bool exclusive) {
    if (lockHeld_ == 0) {
        // Our lock descriptor must be on the file as it is now. It is only
        // closed when its file is no longer the connection's: closing a
        // descriptor drops the process's record locks on that file, and
        // SQLite's locks live there.
        struct stat st {};
        const bool stale =
            lockFd_ >= 0 && (::fstat(lockFd_, &st) != 0 || st.st_ino != identity_.ino ||
                             st.st_dev != identity_.dev);
        if (stale) {
            ::close(lockFd_);
            lockFd_ = -1;
        }
        if (lockFd_ < 0) {
            lockFd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
            if (lockFd_ < 0) {
                Fail("Cannot open table " + TableName() + ": " + std::strerror(errno));
            }
        }
    }
    const int want = (exclusiveUsers_ > 0 || exclusive) ? LOCK_EX : LOCK_SH;
    LockFd(want);
    if (exclusive) {
        ++exclusiveUsers_;
    } else {
        ++sharedUsers_;
    }
}

void TableFile::ReleaseUse(bool exclusive) {
    if (exclusive && exclusiveUsers_ > 0) {
        --exclusiveUsers_;
    } else if (!exclusive && sharedUsers_ > 0) {
        --sharedUsers_;
    }
    const int want = exclusiveUsers_ > 0 ? LOCK_EX : sharedUsers_ > 0 ? LOCK_SH : 0;
    try {
        LockFd(want);
    } catch (const EDatabaseError&) {
        // Going down from exclusive to shared cannot conflict with anyone;
        // should the platform refuse, the table stays locked more than needed.
    }
}

// ---- indexes ----

std::string TableFile::CreateIndexSql(const IndexDef& def, bool binaryTwin) const {
    const bool nocase = (def.options & ixCaseInsensitive) && !binaryTwin;
    const bool unique = (def.options & (ixPrimary | ixUnique)) && !binaryTwin;
    std::string sql = std::string("CREATE ") + (unique ? "UNIQUE " : "") + "INDEX " +
                      QuoteIdent(SqliteIndexName(def.slot, binaryTwin)) + " ON records(";
    for (size_t i = 0; i < def.fields.size(); ++i) {
        sql += (i ? ", " : "") + QuoteIdent(def.fields[i]);
        const int fi = FieldIndex(def.fields[i]);
        if (nocase && fi >= 0 && fields_[fi].kind == FieldKind::Text)
            sql += " COLLATE NOCASE";
    }
    // The twin also carries the primary key's fields after the first (a
    // transaction's time and card): lookups that name the door together with
    // them, like the duplicate check, then land on a record or two instead of
    // reading every record of that door.
    const IndexDef* primary = PrimaryIndex();
    if (binaryTwin && primary) {
        for (size_t i = 1; i < primary->fields.size(); ++i) {
            const std::string& f = primary->fields[i];
            if (std::none_of(def.fields.begin(), def.fields.end(),
                             [&](const std::string& g) { return SameText(f, g); })) {
                sql += ", " + QuoteIdent(f);
            }
        }
    }
    return sql + ")";
}

void TableFile::DropIndex(const std::string& slot) {
    RunPlain("DROP INDEX IF EXISTS " + QuoteIdent(SqliteIndexName(slot, false)));
    RunPlain("DROP INDEX IF EXISTS " + QuoteIdent(SqliteIndexName(slot, true)));
    RunPlain(
        "CREATE TABLE IF NOT EXISTS tallon_indexes(slot TEXT PRIMARY KEY, name TEXT, fields "
        "TEXT, options INTEGER)");
    std::vector<Value> p{Value::MakeText(slot)};
    Run(Prepare("DELETE FROM tallon_indexes WHERE slot=?"), p, nullptr);
    indexes_.erase(slot);
}

void TableFile::BuildIndex(const IndexDef& given) {
    IndexDef def = given;
    for (auto& f : def.fields) {
        const int fi = FieldIndex(f);
        if (fi < 0)
            Fail("Field '" + f + "' not found");
        f = fields_[fi].name;  // the table's own spelling
    }
    DropIndex(def.slot);
    RunPlain(CreateIndexSql(def, false));
    // Statements compare with '=' under the binary collation, which a
    // case-insensitive (NOCASE) index cannot serve. Such an index gets a
    // binary twin so lookups and duplicate checks stay index-driven.
    const bool hasText = std::any_of(def.fields.begin(), def.fields.end(), [&](const auto& f) {
        return fields_[FieldIndex(f)].kind == FieldKind::Text;
    });
    if ((def.options & ixCaseInsensitive) && hasText) {
        RunPlain(CreateIndexSql(def, true));
    }
    std::vector<Value> p{Value::MakeText(def.slot), Value::MakeText(def.name),
                         Value::MakeText(JoinFields(def.fields)),
                         Value::MakeInt(static_cast<int64_t>(def.options))};
    Run(Prepare("INSERT OR REPLACE INTO tallon_indexes(slot, name, fields, options) "
                "VALUES(?, ?, ?, ?)"),
        p, nullptr);
    indexes_[def.slot] = def;
}

void TableFile::SyncIndexes() {
    std::vector<std::string> gone;
    for (const auto& [slot, def] : indexes_) {
        // The name an index file was last found under is tried first: one
        // stat per index on every open.
        struct stat st {};
        auto known = indexPaths_.find(slot);
        if (known != indexPaths_.end() && ::stat(known->second.c_str(), &st) == 0) {
            continue;
        }
        std::string path = IndexFilePath(slot);
        if (!FileExists(path) && slot != "PX") {
            path = IndexFilePath("Y" + slot.substr(1));
        }
        if (FileExists(path)) {
            indexPaths_[slot] = path;
        } else {
            indexPaths_.erase(slot);
            gone.push_back(slot);
        }
    }
    // Index files that arrived without their index (copied in beside the
    // table) are looked for in a directory listing when the connection is
    // (re)opened; a listing on every open would cost more than the open.
    std::vector<IndexDef> arrived;
    if (!discovered_) {
        const std::string stem = StemOf(path_);
        const std::string base = ExtractFileName(stem);
        for (const auto& entry : ListMatching(stem + ".*")) {
            const std::string ext = entry.substr(base.size() + 1);
            const std::string slot = SlotOfExtension(ext);
            if (slot.empty() || indexes_.count(slot) ||
                std::any_of(arrived.begin(), arrived.end(),
                            [&](const IndexDef& d) { return d.slot == slot; })) {
                continue;
            }
            auto def = ParseIndexFileText(slot, ReadSmallFile(ExtractFilePath(stem) + entry));
            if (def)
                arrived.push_back(*def);
        }
        discovered_ = true;
        directoryMtimeNs_ = -1;
    } else if (int64_t mtime = 0; StatDirectory(mtime) && mtime != directoryMtimeNs_) {
        // Later opens look only when files came or went in the directory,
        // and only where a copied-in index would go next: the primary index
        // when there is none, and the first free secondary. File-system
        // clocks are coarse: a time within the last moment is not trusted to
        // cover every change, so the next open looks again.
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        const int64_t nowNs = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
        directoryMtimeNs_ = nowNs - mtime > 100000000 ? mtime : -1;
        std::vector<std::string> candidates;
        if (!indexes_.count("PX"))
            candidates.push_back("PX");
        for (int k = 0;; ++k) {
            const std::string slot = "XG" + std::to_string(k);
            if (!indexes_.count(slot)) {
                candidates.push_back(slot);
                break;
            }
        }
        for (const auto& slot : candidates) {
            std::string path = IndexFilePath(slot);
            if (!FileExists(path) && slot != "PX")
                path = IndexFilePath("Y" + slot.substr(1));
            if (!FileExists(path))
                continue;
            auto def = ParseIndexFileText(slot, ReadSmallFile(path));
            if (def)
                arrived.push_back(*def);
        }
    }
    // A definition naming fields this table does not have is not ours to
    // build (a file of another table); it is left alone.
    std::erase_if(arrived, [&](const IndexDef& d) {
        return std::any_of(d.fields.begin(), d.fields.end(),
                           [&](const std::string& f) { return FieldIndex(f) < 0; });
    });
    if (gone.empty() && arrived.empty())
        return;
    BeginWrite();
    try {
        for (const auto& slot : gone)
            DropIndex(slot);
        for (const auto& def : arrived)
            BuildIndex(def);
        Commit();
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        inWrite_ = false;
        NoteWriting(this, false);
        LoadSchema();
        throw;
    }
}

void TableFile::AddIndex(const std::string& name, const std::vector<std::string>& fields,
                         unsigned options) {
    IndexDef def;
    def.name = name;
    def.fields = fields;
    def.options = options;
    if (name.empty() || (options & ixPrimary)) {
        def.slot = "PX";
        def.options |= ixPrimary | ixUnique;
    } else {
        for (const auto& [slot, d] : indexes_) {
            if (slot != "PX" && SameText(d.name, name))
                def.slot = slot;
        }
        for (int k = 0; def.slot.empty(); ++k) {
            const std::string slot = "XG" + std::to_string(k);
            if (!indexes_.count(slot) && !FileExists(IndexFilePath(slot)) &&
                !FileExists(IndexFilePath("YG" + std::to_string(k)))) {
                def.slot = slot;
            }
        }
    }
    Commit();
    BeginWrite();
    try {
        BuildIndex(def);
        Commit();
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        inWrite_ = false;
        NoteWriting(this, false);
        LoadSchema();
        throw;
    }
    const IndexDef& built = indexes_[def.slot];
    const std::string text = IndexFileText(built);
    const std::string stem = StemOf(path_);
    if (def.slot == "PX") {
        WriteFileDurably(IndexFilePath("PX"), text);
    } else {
        WriteFileDurably(IndexFilePath(def.slot), text);
        WriteFileDurably(IndexFilePath("Y" + def.slot.substr(1)), text);
    }
}

// ---- registry entry points ----

std::unique_lock<std::recursive_mutex> LockEngine() {
    return std::unique_lock<std::recursive_mutex>(*g_engineMutex);
}

std::shared_ptr<TableFile> OpenTableFile(const std::string& directory,
                                         const std::string& tableName) {
    std::lock_guard lock(*g_engineMutex);
    Registry& reg = Reg();
    std::string key = directory;
    key += '\n';
    key += LowerCase(tableName);
    auto it = reg.byName.find(key);
    if (it != reg.byName.end()) {
        try {
            it->second->EnsureCurrent();
            return it->second;
        } catch (const EDatabaseError&) {
            // Gone (or replaced under another letter case): resolve again.
            reg.byName.erase(it);
        }
    }
    const std::string fileName = EndsWithNoCase(tableName, ".DB") ? tableName : tableName + ".DB";
    const std::string path = ResolveFileName(directory + fileName);
    if (!FileExists(path)) {
        Fail("Table does not exist: " + tableName);
    }
    auto& slot = reg.byPath[path];
    if (!slot)
        slot = std::make_shared<TableFile>(path);
    slot->EnsureCurrent();
    reg.byName[key] = slot;
    return slot;
}

// A run keeps a connection to every daily table it touched. The page cache
// of one that has not been used for a while is given back, so a month of
// tables does not keep a month of caches; the tables in use keep theirs.
void ReleaseIdleCaches(Registry& reg, std::chrono::steady_clock::time_point now) {
    static std::chrono::steady_clock::time_point lastSweep;
    if (now - lastSweep < kCommitAfter)
        return;
    lastSweep = now;
    for (auto& [path, file] : reg.byPath) {
        file->ReleaseCacheIfIdle(now);
    }
}

void CommitAged() {
    std::lock_guard lock(*g_engineMutex);
    Registry& reg = Reg();
    const auto now = std::chrono::steady_clock::now();
    ReleaseIdleCaches(reg, now);
    if (reg.writing.empty())
        return;
    const auto writing = reg.writing;
    for (TableFile* f : writing) {
        if (now - f->WriteStarted() >= kCommitAfter)
            f->Commit();
    }
}

void CommitAll() {
    std::lock_guard lock(*g_engineMutex);
    const auto writing = Reg().writing;
    std::string firstError;
    for (TableFile* f : writing) {
        try {
            f->Commit();
        } catch (const EDatabaseError& e) {
            if (firstError.empty())
                firstError = e.Message();
        }
    }
    if (!firstError.empty())
        Fail(firstError);
}

void CloseAll() {
    std::lock_guard lock(*g_engineMutex);
    Registry& reg = Reg();
    reg.byName.clear();
    reg.byPath.clear();
    reg.writing.clear();
}

void CreateTable(const std::string& directory, const std::string& tableName,
                 const std::vector<FieldDef>& fields) {
    if (fields.empty())
        Fail("A table needs at least one field");
    for (size_t i = 0; i < fields.size(); ++i) {
        if (Trim(fields[i].name).empty() || fields[i].name.find(';') != std::string::npos) {
            Fail("Invalid field name '" + fields[i].name + "'");
        }
        for (size_t j = 0; j < i; ++j) {
            if (SameText(fields[i].name, fields[j].name)) {
                Fail("Duplicate field name '" + fields[i].name + "'");
            }
        }
    }
    const std::string fileName = EndsWithNoCase(tableName, ".DB") ? tableName : tableName + ".DB";
    const std::string path = directory + fileName;
    if (FileExists(path))
        Fail("Table already exists: " + tableName);
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        const std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close_v2(db);
        Fail("Cannot create table " + tableName + ": " + msg);
    }
    std::string sql = "PRAGMA journal_mode=DELETE; BEGIN; CREATE TABLE records(";
    for (size_t i = 0; i < fields.size(); ++i) {
        sql += (i ? ", " : "") + QuoteIdent(fields[i].name) + " " + DeclaredType(fields[i]);
    }
    sql +=
        "); CREATE TABLE tallon_indexes(slot TEXT PRIMARY KEY, name TEXT, fields TEXT, options "
        "INTEGER); COMMIT;";
    char* err = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    const std::string msg = err ? err : "";
    sqlite3_free(err);
    sqlite3_close_v2(db);
    if (rc != SQLITE_OK) {
        ::unlink(path.c_str());
        Fail("Cannot create table " + tableName + ": " + msg);
    }
    ForgetDirectoryListing(directory);
}

}  // namespace tallon::db::local
