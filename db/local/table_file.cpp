#include "db/local/table_file.h"

#include <sys/stat.h>

#include "base/errors.h"
#include "base/file_names.h"
#include "base/text.h"
#include "db/engine.h"
#include "db/paradox/detect.h"

namespace tallon::db::local {

namespace {

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && SameText(s.substr(s.size() - suffix.size()), suffix);
}

}  // namespace

std::string WithoutDbExtension(const std::string& name) {
    return EndsWithNoCase(name, ".DB") ? name.substr(0, name.size() - 3) : name;
}

TableFile::TableFile(Engine& engine, std::string dbPath)
    : engine_(engine),
      path_(std::move(dbPath)),
      name_(ExtractFileName(WithoutDbExtension(path_))),
      use_(engine, name_),
      transactions_(engine, *this, connection_, use_, name_) {}

TableFile::~TableFile() {
    CloseConnection();
}

std::string TableFile::IndexFilePath(const std::string& slot) const {
    return ResolveFileName(WithoutDbExtension(path_) + "." + slot);
}

void TableFile::EnsureCurrent() {
    const bool inBatch = engine_.ActiveBatch() != nullptr;
    if (connection_.IsOpen() && inBatch && checkedGeneration_ == engine_.Generation()) {
        return;
    }
    // Noted once per batch: "unused for a second" needs no finer clock.
    lastUse_ = std::chrono::steady_clock::now();
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        CloseConnection();
        throw EDatabaseError("Table does not exist: " + name_);
    }
    if (!connection_.IsOpen() || !connection_.IsOn(st)) {
        // Replaced behind us (copied over, deleted and made again). With
        // cache spilling off nothing of ours reached the old file since its
        // last commit, so dropping the connection cannot touch the new one.
        CloseConnection();
        OpenConnection();
    }
    checkedGeneration_ = engine_.Generation();
}

void TableFile::OpenConnection() {
    try {
        connection_.Open(path_, name_, engine_.LockWaitMs());
        use_.Attach(path_);
        schema_.Load(connection_, path_);
    } catch (...) {
        CloseConnection();
        // A site's old table left in place fails as "not a database": say
        // what it is and what to do instead.
        if (paradox::IsParadoxTableFile(path_)) {
            throw EDatabaseError(ExtractFileName(path_) +
                                 " is a Paradox table: convert it with tallon-db import-paradox");
        }
        throw;
    }
    indexFiles_ = IndexFileState{};
}

void TableFile::CloseConnection() noexcept {
    transactions_.Close();
    connection_.Close();
    schema_.Clear();
    use_.Detach();
}

void TableFile::RunStatement(const Statement& statement, Rows* rows) {
    if (statement.intent == Statement::Intent::Write) {
        WriteStaged();
    }
    connection_.EnsureView(statement.table);
    if (statement.intent == Statement::Intent::Read) {
        BeginRead();
    } else {
        BeginWrite();
    }
    Run(statement.text, statement.values, rows, "Key violation.");
    if (statement.intent == Statement::Intent::ReadBeforeWrite) {
        transactions_.NoteCheck(rows != nullptr && rows->empty());
    }
}

const BatchMember* TableFile::Append(const std::vector<Value>& record) {
    BeginWrite();
    if (StagesThisBatch()) {
        Stage(record);
    } else {
        RunInternal(InsertSql(), record, nullptr);
    }
    return InWrite() ? this : nullptr;
}

bool TableFile::StagesThisBatch() {
    Batch* batch = engine_.ActiveBatch();
    if (!batch || !InWrite()) {
        return false;
    }
    if (stagingDecidedIn_ != engine_.Generation()) {
        stagingDecidedIn_ = engine_.Generation();
        staging_ = batch->MemberCount() > kDirectMembers;
        // A staging table is only read until the commit: a small cache
        // keeps hundreds of them small in memory, the pages its checks read
        // given back as others come.
        connection_.SetCacheSize(staging_ ? TableConnection::kStagingCacheKiB
                                          : TableConnection::kCacheKiB);
    }
    return staging_;
}

void TableFile::Stage(const std::vector<Value>& record) {
    StagedAppends& staged = connection_.Staged();
    try {
        if (!staged.Prepare(connection_, InsertSql())) {
            staging_ = false;
            RunInternal(InsertSql(), record, nullptr);
            return;
        }
        staged.Stage(connection_, record);
    } catch (const EDatabaseError& e) {
        transactions_.NoteFailure(e.Message());
        throw;
    }
    engine_.ActiveBatch()->NoteStaged();
}

void TableFile::WriteStaged() {
    StagedAppends& staged = connection_.Staged();
    if (staged.Empty()) {
        return;
    }
    try {
        staged.Flush(connection_);
    } catch (const EDatabaseError& e) {
        transactions_.NoteFailure(e.Message());
        throw;
    }
}

void TableFile::CommitBatch() {
    if (!connection_.Staged().Empty()) {
        // The staged records go in with the table's usual cache, and the
        // pages they changed are given back once written.
        connection_.SetCacheSize(TableConnection::kCacheKiB);
        try {
            WriteStaged();
        } catch (const EDatabaseError& e) {
            transactions_.AbandonBatch();
            throw EDatabaseError("Cannot commit changes to " + name_ + ": " + e.Message());
        }
        transactions_.CommitBatch(path_);
        connection_.SetCacheSize(TableConnection::kStagingCacheKiB);
        return;
    }
    transactions_.CommitBatch(path_);
}

void TableFile::RunInternal(const std::string& sql, const std::vector<Value>& values, Rows* rows,
                            const char* constraintMessage) {
    WriteStaged();
    Run(sql, values, rows, constraintMessage);
}

void TableFile::Run(const std::string& sql, const std::vector<Value>& values, Rows* rows,
                    const char* constraintMessage) {
    try {
        connection_.Run(sql, values, rows, constraintMessage);
    } catch (const EDatabaseError& e) {
        transactions_.NoteFailure(e.Message());
        throw;
    }
}

void TableFile::Exec(const std::string& sql) {
    WriteStaged();
    try {
        connection_.Exec(sql);
    } catch (const EDatabaseError& e) {
        transactions_.NoteFailure(e.Message());
        throw;
    }
}

void TableFile::ReleaseUse(bool exclusive) {
    if (use_.Release(exclusive)) {
        transactions_.JoinBatch();
    }
}

}  // namespace tallon::db::local
