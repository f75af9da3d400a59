#include "db/local/table_file.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "base/errors.h"
#include "base/file_names.h"
#include "base/text.h"
#include "db/engine.h"
#include "db/local/journal.h"
#include "db/sqlite/run.h"
#include "db/paradox/detect.h"

namespace tallon::db::local {

namespace {

[[noreturn]] void Fail(const std::string& message) {
    throw EDatabaseError(message);
}

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && SameText(s.substr(s.size() - suffix.size()), suffix);
}

}  // namespace

std::string WithoutDbExtension(const std::string& name) {
    return EndsWithNoCase(name, ".DB") ? name.substr(0, name.size() - 3) : name;
}

TableFile::TableFile(Engine& engine, std::string dbPath)
    : engine_(engine), path_(std::move(dbPath)) {}

TableFile::~TableFile() {
    CloseConnection();
}

std::string TableFile::TableName() const {
    return ExtractFileName(WithoutDbExtension(path_));
}

std::string TableFile::IndexFilePath(const std::string& slot) const {
    return ResolveFileName(WithoutDbExtension(path_) + "." + slot);
}

void TableFile::EnsureCurrent() {
    const bool inBatch = engine_.ActiveBatch() != nullptr;
    if (db_ && inBatch && checkedGeneration_ == engine_.Generation()) {
        return;
    }
    // Noted once per batch: "unused for a second" needs no finer clock.
    lastUse_ = std::chrono::steady_clock::now();
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        CloseConnection();
        Fail("Table does not exist: " + TableName());
    }
    if (!db_ || st.st_dev != dev_ || st.st_ino != ino_) {
        // Replaced behind us (copied over, deleted and made again). With
        // cache spilling off nothing of ours reached the old file since its
        // last commit, so dropping the connection cannot touch the new one.
        CloseConnection();
        OpenConnection();
    }
    checkedGeneration_ = engine_.Generation();
}

void TableFile::OpenConnection() {
    SettleJournal(path_);
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        Fail("Cannot open table " + TableName() + ": " + msg);
    }
    db_ = db;
    sqlite3_extended_result_codes(db_, 1);
    try {
        lock_.Attach(path_);
        struct stat st {};
        if (::stat(path_.c_str(), &st) != 0) {
            Fail("Table does not exist: " + TableName());
        }
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        sqlite3_busy_timeout(db_, engine_.LockWaitMs());
        Exec("PRAGMA journal_mode=TRUNCATE");
        Exec("PRAGMA synchronous=FULL");
        Exec("PRAGMA cache_spill=OFF");
        // A day's table fits in a small cache, and a small cache turned out
        // faster for the recovery's mix of lookups and appends than SQLite's
        // default of about 2 MB.
        Exec("PRAGMA cache_size=-1024");
        LoadSchema();
    } catch (...) {
        CloseConnection();
        // A site's old table left in place fails as "not a database": say
        // what it is and what to do instead.
        if (paradox::IsParadoxTableFile(path_)) {
            Fail(ExtractFileName(path_) +
                 " is a Paradox table: convert it with tallon-db import-paradox");
        }
        throw;
    }
    indexFilesDiscovered = false;
    indexesCheckedGeneration = 0;
    indexPaths.clear();
}

void TableFile::LoadSchema() {
    fields_.clear();
    fieldIndexByName_.clear();
    indexes_.clear();
    Rows rows;
    RunInternal("PRAGMA table_info(records)", {}, &rows);
    for (const auto& r : rows.values) {
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
    RunInternal("SELECT count(*) FROM sqlite_master WHERE type='table' AND name='tallon_indexes'",
                {}, &meta);
    if (meta.empty() || meta.values[0][0] == "0") {
        return;
    }
    Rows defs;
    RunInternal("SELECT slot, name, fields, options FROM tallon_indexes", {}, &defs);
    for (const auto& r : defs.values) {
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
    if (auto it = fieldIndexByName_.find(name); it != fieldIndexByName_.end()) {
        return it->second;
    }
    int found = -1;
    // Callers mostly spell a field as the table does: the exact match is
    // the cheap first look.
    for (size_t i = 0; i < fields_.size() && found < 0; ++i) {
        if (fields_[i].name == name)
            found = static_cast<int>(i);
    }
    for (size_t i = 0; i < fields_.size() && found < 0; ++i) {
        if (SameText(fields_[i].name, name))
            found = static_cast<int>(i);
    }
    if (!fields_.empty() && fieldIndexByName_.size() < 256) {
        fieldIndexByName_.emplace(name, found);
    }
    return found;
}

const IndexDef* TableFile::PrimaryIndex() const {
    auto it = indexes_.find("PX");
    return it == indexes_.end() ? nullptr : &it->second;
}

sqlite3_stmt* TableFile::Prepare(const std::string& sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end())
        return it->second;
    // Fixed texts keep the cache small; a process running ad hoc statements
    // is kept from growing it without bound.
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

void TableFile::EnsureView(const std::string& name) {
    const std::string key = LowerCase(name);
    if (key == "records" || views_.count(key)) {
        return;
    }
    Exec("CREATE TEMP VIEW IF NOT EXISTS " + QuoteIdent(name) + " AS SELECT * FROM main.records");
    views_.insert(key);
}

void TableFile::RunStatement(const Statement& statement, Rows* rows) {
    EnsureView(statement.table);
    if (statement.intent == Statement::Intent::Read) {
        BeginRead();
    } else {
        BeginWrite();
    }
    RunInternal(statement.text, statement.values, rows, "Key violation.");
    // Only a check that found nothing is followed by its write; one that
    // found the record decides nothing more.
    if (statement.intent == Statement::Intent::ReadBeforeWrite) {
        decisionLost_ = false;
        decisionPending_ = InWrite() && rows != nullptr && rows->empty();
    }
}

void TableFile::CheckDecisionStands() {
    const bool lost = decisionLost_;
    decisionPending_ = decisionLost_ = false;
    if (lost) {
        throw EDatabaseError(
            "Table " + TableName() +
                " was committed between the duplicate check and the append (another process "
                "waited for it): the record was not added",
            DatabaseErrorCode::CheckOvertaken);
    }
}

void TableFile::RunInternal(const std::string& sql, const std::vector<Value>& values, Rows* rows,
                            const char* constraintMessage) {
    try {
        sqlite::RunStatement(Prepare(sql), values, rows, constraintMessage);
    } catch (const EDatabaseError& e) {
        NoteFailure(e.Message());
        throw;
    }
}

void TableFile::Exec(const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : sqlite3_errmsg(db_);
        sqlite3_free(err);
        if ((sqlite3_extended_errcode(db_) & 0xff) == SQLITE_CONSTRAINT) {
            msg = "Key violation.";
        }
        NoteFailure(msg);
        Fail(msg);
    }
}

void TableFile::NoteFailure(const std::string& message) {
    if (state_ == State::None || !db_ || !sqlite3_get_autocommit(db_)) {
        return;
    }
    const bool wrote = state_ == State::Write;
    state_ = State::None;
    LeaveBatch();
    if (wrote) {
        if (Batch* b = engine_.ActiveBatch()) {
            b->MarkLost(this, "Changes to " + TableName() + " were undone: " + message);
        }
    }
}

void TableFile::JoinBatch() {
    if (Batch* b = engine_.ActiveBatch()) {
        b->Join(this);
        inBatch_ = true;
    }
}

void TableFile::LeaveBatch() noexcept {
    if (inBatch_) {
        if (Batch* b = engine_.ActiveBatch()) {
            b->Leave(this);
        }
        inBatch_ = false;
    }
}

void TableFile::BeginRead() {
    // Outside a batch each statement is its own transaction.
    if (state_ != State::None || !engine_.ActiveBatch()) {
        return;
    }
    Exec("BEGIN");
    state_ = State::Read;
    JoinBatch();
}

void TableFile::WaitYourTurn() {
    if (!lock_.OtherWaiting()) {
        return;
    }
    // Another process waits for this table: let it go first, holding
    // nothing meanwhile.
    engine_.CommitBeforeWaiting();
    WaitWhileProgressing(engine_.LockWaitMs(), lock_, [&] { return !lock_.OtherWaiting(); });
}

void TableFile::BeginImmediate() {
    // Letting a waiter go first is only right while we hold nothing here:
    // one that waits for our use lock would otherwise wait for us while we
    // wait for it.
    if (lock_.Held() == 0) {
        WaitYourTurn();
    }
    sqlite3_busy_timeout(db_, 0);
    int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if ((rc & 0xff) == SQLITE_BUSY) {
        // Never wait while holding a lock: commit what the batch holds, then
        // wait our turn.
        engine_.CommitBeforeWaiting();
        // The turn is for those who hold nothing here: its holder may be
        // waiting for the use lock we hold.
        if (lock_.Held() == 0) {
            lock_.TakeTurn(engine_.LockWaitMs());
        }
        WaitWhileProgressing(engine_.LockWaitMs(), lock_, [&] {
            rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
            return (rc & 0xff) != SQLITE_BUSY;
        });
        lock_.GiveTurn();
    }
    sqlite3_busy_timeout(db_, engine_.LockWaitMs());
    if (rc != SQLITE_OK) {
        Fail("Table is busy: " + TableName() + " (" + sqlite3_errmsg(db_) + ")");
    }
}

void TableFile::BeginWrite() {
    if (state_ == State::Write || state_ == State::Own) {
        return;
    }
    if (!engine_.ActiveBatch()) {
        return;  // the statement commits on its own
    }
    if (state_ == State::Read) {
        // A read transaction cannot become a write one without risking a
        // deadlock with another writer: end it first.
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        state_ = State::None;
        LeaveBatch();
    }
    // Everything this batch will wait for here is waited for now, before
    // anything is read: a wait later in the record (for the table's use
    // lock) would commit the batch between a check and the write it decides.
    if (lock_.Held() == 0) {
        AcquireUse(false);
        ReleaseUse(false);  // kept for the batch
    }
    BeginImmediate();
    state_ = State::Write;
    JoinBatch();
}

void TableFile::BeginOwnWrite() {
    if (state_ != State::None) {
        // What the batch holds here is committed with the whole batch, so
        // what counts as kept stays true.
        engine_.CommitBeforeWaiting();
        if (state_ != State::None) {
            RollbackNow();
        }
    }
    BeginImmediate();
    state_ = State::Own;
}

void TableFile::CommitOwnWrite() {
    if (state_ != State::Own) {
        return;
    }
    state_ = State::None;
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        const std::string msg = sqlite3_errmsg(db_);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        Fail("Cannot commit changes to " + TableName() + ": " + msg);
    }
}

void TableFile::RollbackNow() noexcept {
    if (db_ && !sqlite3_get_autocommit(db_)) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    state_ = State::None;
    LeaveBatch();
}

void TableFile::CommitBatch() {
    inBatch_ = false;
    if (decisionPending_) {
        decisionLost_ = true;
    }
    const State was = state_;
    ReleaseBatchUse();
    if (was != State::Read && was != State::Write) {
        return;
    }
    state_ = State::None;
    if (!db_ || sqlite3_get_autocommit(db_)) {
        if (was == State::Write) {
            Fail("Cannot commit changes to " + TableName() + ": they were undone");
        }
        return;
    }
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        const std::string msg = sqlite3_errmsg(db_);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        Fail("Cannot commit changes to " + TableName() + ": " + msg);
    }
    if (was == State::Write && !lock_.SameFileAs(path_)) {
        Fail("Table " + TableName() +
             " was deleted or replaced while records were written to it: they were not kept");
    }
}

void TableFile::AbandonBatch() noexcept {
    inBatch_ = false;
    if (decisionPending_) {
        decisionLost_ = true;
    }
    if (state_ == State::Read || state_ == State::Write) {
        if (db_ && !sqlite3_get_autocommit(db_)) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        state_ = State::None;
    }
    ReleaseBatchUse();
}

// ---- exclusive use ----

void TableFile::AcquireUse(bool exclusive) {
    if (!lock_.Attached()) {
        Fail("Table " + TableName() + " is not open");
    }
    const int want = (exclusiveUsers_ > 0 || exclusive) ? LOCK_EX : LOCK_SH;
    if (want != lock_.Held()) {
        if (lock_.Held() == 0) {
            WaitYourTurn();
        }
        if (!lock_.TrySet(want)) {
            // Never wait while holding a lock; then wait our turn, bounded.
            engine_.CommitBeforeWaiting();
            const bool turn = lock_.TakeTurn(engine_.LockWaitMs());
            const bool got = turn && WaitWhileProgressing(engine_.LockWaitMs(), lock_,
                                                          [&] { return lock_.TrySet(want); });
            lock_.GiveTurn();
            if (!got) {
                Fail("Table is busy: " + TableName());
            }
        }
    }
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
    if (exclusiveUsers_ == 0 && sharedUsers_ == 0 && engine_.ActiveBatch() &&
        lock_.Held() == LOCK_SH) {
        // Kept until the batch commits: the next record opens the table
        // again at once.
        usedInBatch_ = true;
        JoinBatch();
        return;
    }
    const int want = exclusiveUsers_ > 0 ? LOCK_EX : sharedUsers_ > 0 ? LOCK_SH : 0;
    // Going down never conflicts; should the platform refuse, the table
    // stays locked more than needed.
    lock_.TrySet(want);
}

void TableFile::ReleaseBatchUse() noexcept {
    if (!usedInBatch_) {
        return;
    }
    usedInBatch_ = false;
    if (exclusiveUsers_ == 0 && sharedUsers_ == 0) {
        lock_.TrySet(0);
    }
}

void TableFile::ReleaseCache() {
    if (db_ && state_ == State::None) {
        sqlite3_db_release_memory(db_);
    }
}

void TableFile::FinalizeStatements() {
    for (auto& [sql, stmt] : statements_)
        sqlite3_finalize(stmt);
    statements_.clear();
}

void TableFile::CloseConnection() noexcept {
    LeaveBatch();
    usedInBatch_ = false;
    if (db_) {
        FinalizeStatements();
        if (!sqlite3_get_autocommit(db_)) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    state_ = State::None;
    views_.clear();
    fields_.clear();
    fieldIndexByName_.clear();
    indexes_.clear();
    sharedUsers_ = exclusiveUsers_ = 0;
    lock_.Detach();
}

}  // namespace tallon::db::local
