#include "db/local/directory_database.h"

#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/errors.h"
#include "base/file_mode.h"
#include "base/file_names.h"
#include "base/text.h"
#include "db/batch.h"
#include "db/engine.h"
#include "db/local/free_sql.h"
#include "db/local/journal.h"
#include "db/sqlite/handle.h"
#include "db/table_name.h"

namespace tallon::db::local {

namespace {

[[noreturn]] void Fail(const std::string& message) {
    throw EDatabaseError(message);
}

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && SameText(s.substr(s.size() - suffix.size()), suffix);
}

// The process id a temporary file's name carries after `marker`, or 0.
pid_t WriterOf(const std::string& name, const std::string& marker) {
    const size_t at = name.find(marker);
    if (at == std::string::npos) {
        return 0;
    }
    return static_cast<pid_t>(std::atol(name.c_str() + at + marker.size()));
}

// "N.XG0.tmp-123" or "N.PX.tmp": a temporary index file.
bool IsIndexTemp(const std::string& name, const std::string& marker) {
    const size_t at = name.rfind(marker);
    if (at == std::string::npos) {
        return false;
    }
    const size_t dot = name.rfind('.', at == 0 ? 0 : at - 1);
    return dot != std::string::npos && dot < at &&
           !SlotOfExtension(name.substr(dot + 1, at - dot - 1)).empty();
}

bool Alive(pid_t pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

bool OlderThanAMinute(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && std::time(nullptr) - st.st_mtime > 60;
}

}  // namespace

DirectoryDatabase::DirectoryDatabase(Engine& engine, std::string directory)
    : engine_(engine), directory_(std::move(directory)) {
    if (!directory_.empty() && directory_.back() != '/') {
        directory_ += '/';
    }
}

DirectoryDatabase::~DirectoryDatabase() {
    CloseAll();
}

TableFile& DirectoryDatabase::Table(const std::string& name) {
    // Every statement of a record names its table: the name as spelt last
    // time is the quick way to it.
    if (auto it = asGiven_.find(name); it != asGiven_.end()) {
        try {
            it->second->EnsureCurrent();
            return *it->second;
        } catch (const EDatabaseError&) {
            asGiven_.erase(it);
        }
    }
    db::CheckTableName(name);
    const std::string key = LowerCase(WithoutDbExtension(name));
    if (auto it = byName_.find(key); it != byName_.end()) {
        try {
            it->second->EnsureCurrent();
            asGiven_[name] = it->second;
            return *it->second;
        } catch (const EDatabaseError&) {
            // Gone (or there under another letter case now): look again.
            byName_.erase(it);
        }
    }
    const std::string path = ResolveFileName(directory_ + WithoutDbExtension(name) + ".DB");
    if (!tallon::FileExists(path)) {
        Fail("Table does not exist: " + name);
    }
    auto& slot = byPath_[path];
    if (!slot) {
        slot = std::make_unique<TableFile>(engine_, path);
    }
    slot->EnsureCurrent();
    byName_[key] = slot.get();
    asGiven_[name] = slot.get();
    return *slot;
}

bool DirectoryDatabase::FileExists(const std::string& fileName) {
    const std::string key = LowerCase(fileName);
    const bool inBatch = engine_.ActiveBatch() != nullptr;
    auto it = exists_.find(key);
    if (inBatch && it != exists_.end() && it->second.generation == engine_.Generation()) {
        return it->second.exists;
    }
    const bool exists = tallon::FileExists(directory_ + fileName);
    if (exists_.size() > 4096) {
        exists_.clear();
    }
    exists_[key] = Known{engine_.Generation(), exists};
    return exists;
}

void DirectoryDatabase::Forget(const std::string& fileName) {
    exists_.erase(LowerCase(fileName));
}

void DirectoryDatabase::ForgetTable(const std::string& tableName) {
    const std::string prefix = LowerCase(WithoutDbExtension(tableName)) + ".";
    std::erase_if(exists_, [&](const auto& entry) { return entry.first.rfind(prefix, 0) == 0; });
}

void DirectoryDatabase::Run(const Statement& statement, Rows* rows) {
    // Idle tables are looked for once per batch, not at every statement.
    if (sweptGeneration_ != engine_.Generation()) {
        sweptGeneration_ = engine_.Generation();
        ReleaseIdleCaches();
    }
    Table(statement.table).RunStatement(statement, rows);
}

void DirectoryDatabase::RunText(const std::string& sql, Rows* rows) {
    RunFreeSql(*this, sql, rows);
}

namespace {

void CheckNewFields(const std::vector<FieldDef>& fields) {
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
}

std::string CreateTableSql(const std::vector<FieldDef>& fields) {
    std::string sql = "PRAGMA journal_mode=DELETE; BEGIN; CREATE TABLE records(";
    for (size_t i = 0; i < fields.size(); ++i) {
        sql += (i ? ", " : "") + QuoteIdent(fields[i].name) + " " + DeclaredType(fields[i]);
    }
    return sql +
           "); CREATE TABLE tallon_indexes(slot TEXT PRIMARY KEY, name TEXT, fields TEXT, "
           "options INTEGER); COMMIT;";
}

}  // namespace

void DirectoryDatabase::CreateTable(const std::string& tableName,
                                    const std::vector<FieldDef>& fields) {
    db::CheckTableName(tableName);
    CheckNewFields(fields);
    const std::string fileName = WithoutDbExtension(tableName) + ".DB";
    const std::string path = directory_ + fileName;
    if (tallon::FileExists(path))
        Fail("Table already exists: " + tableName);
    RemoveJournal(path);
    try {
        sqlite::Handle db(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        // SQLite makes the file on opening, and gives its journals the
        // file's mode.
        ShareNewFile(path);
        try {
            db.Exec(CreateTableSql(fields));
        } catch (...) {
            db.Close();
            ::unlink(path.c_str());
            throw;
        }
    } catch (const EDatabaseError& e) {
        Fail("Cannot create table " + tableName + ": " + e.Message());
    }
    Forget(fileName);
}

bool DirectoryDatabase::CopyTableFromTemplate(const std::string& templateName,
                                              const std::string& name,
                                              const std::vector<std::string>& extensions,
                                              bool onlyWhenMissing) {
    db::CheckTableName(name);
    // The old table's pending records are committed with the batch (so what
    // the run counted stays true), then its connection goes.
    const std::string key = LowerCase(WithoutDbExtension(name));
    asGiven_.clear();
    if (auto it = byName_.find(key); it != byName_.end()) {
        engine_.CommitBeforeWaiting();
        it->second->CloseConnection();
        byName_.erase(it);
    }
    // One listing for the table's files, not one per file missing.
    const NamesInDirectory targets(directory_, name + ".");
    for (const std::string& ext : extensions) {
        const std::string from = directory_ + templateName + ext;
        const std::string to = targets.Resolve(name + ext);
        const bool records = SameText(ext, ".DB");
        if (records) {
            RemoveJournal(to);
        }
        if (records && onlyWhenMissing) {
            const CopyOutcome outcome = CopyFileIfMissing(from, to);
            Forget(name + ext);
            if (outcome == CopyOutcome::TargetExists) {
                // Made by another process meanwhile: that table is kept as it
                // is, index files and all.
                return false;
            }
            if (outcome != CopyOutcome::Copied) {
                // No index files without their table.
                Fail("Cannot make table " + name + " from the template " + templateName);
            }
            continue;
        }
        CopyFileOver(from, to, true);
        Forget(name + ext);
    }
    exists_.clear();
    return true;
}

void DirectoryDatabase::RemoveTable(const std::string& name,
                                    const std::vector<std::string>& extensions) noexcept {
    const std::string key = LowerCase(WithoutDbExtension(name));
    asGiven_.clear();
    if (auto it = byName_.find(key); it != byName_.end()) {
        it->second->CloseConnection();
        byName_.erase(it);
    }
    for (const std::string& ext : extensions) {
        const std::string path = ResolveFileName(directory_ + name + ext);
        ::unlink(path.c_str());
        if (SameText(ext, ".DB")) {
            RemoveJournal(path);
        }
    }
    exists_.clear();
}

void DirectoryDatabase::CommitForAttach() {
    engine_.CommitBeforeWaiting();
}

void DirectoryDatabase::ReleaseIdleCaches() {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastSweep_ < kBatchAge) {
        return;
    }
    lastSweep_ = now;
    for (auto& [path, file] : byPath_) {
        if (now - file->LastUse() >= kIdleCacheAfter) {
            file->ReleaseCache();
        }
    }
}

void DirectoryDatabase::CloseAll() noexcept {
    for (auto& [path, file] : byPath_) {
        file->CloseConnection();
    }
    byName_.clear();
    asGiven_.clear();
    byPath_.clear();
    exists_.clear();
}

void DirectoryDatabase::RemoveStrayFiles() {
    for (const std::string& entry : ListMatching(directory_ + "*")) {
        const std::string path = directory_ + entry;
        pid_t writer = 0;
        bool oldStyle = false;
        if (entry.rfind(kCopyTempPrefix, 0) == 0) {
            writer = WriterOf(entry, kCopyTempPrefix);
            oldStyle = writer == 0;
        } else if (IsIndexTemp(entry, ".tmp-")) {
            writer = WriterOf(entry, ".tmp-");
        } else if (IsIndexTemp(entry, ".tmp") && EndsWithNoCase(entry, ".tmp")) {
            oldStyle = true;  // written by a version without process ids
        } else {
            continue;
        }
        if (oldStyle ? OlderThanAMinute(path) : !Alive(writer)) {
            ::unlink(path.c_str());
        }
    }
}

}  // namespace tallon::db::local
