#pragma once

// One local table: the file D/N.DB, an SQLite database whose records live in
// the table "records", plus one small file per index (see index_file.h).
//
// A table file is made of four parts, each with a header of its own:
//   - its connection (table_connection.h): the SQLite handle, the journal
//     and cache settings, prepared statements and the views statements of
//     fixed text use;
//   - its schema (table_schema.h): fields, indexes, the append statement;
//   - its use lock and the waits around it (table_use.h);
//   - its transactions and its place in the batch (table_transactions.h).
// Beside them it keeps what index_sync.cpp last found of its index files.
//
// The connection is opened on first use and kept; once per batch (always
// outside one) it is checked to be on the file the path names now, and a
// file replaced since is opened afresh.
//
// A table that begins to write in a batch already holding kDirectMembers
// tables stages its appends for that batch (see staged_appends.h): a run in
// time order writes a day table or two a batch, straight into them, and so
// does one whose lines jump between the days of a month (a few dozen tables
// are written fastest straight, in longer batches); one whose lines spread
// over a year stages all but the first tables.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "db/batch.h"
#include "db/local/index_sync.h"
#include "db/local/table_connection.h"
#include "db/local/table_schema.h"
#include "db/local/table_transactions.h"
#include "db/local/table_use.h"
#include "db/rows.h"
#include "db/statement.h"

namespace tallon::db {
class Engine;
}

namespace tallon::db::local {

// A table name or table file path without its ".DB" (any letter case).
std::string WithoutDbExtension(const std::string& name);

inline constexpr size_t kDirectMembers = 32;

class TableFile final : public BatchMember {
  public:
    TableFile(Engine& engine, std::string dbPath);
    ~TableFile() override;
    TableFile(const TableFile&) = delete;
    TableFile& operator=(const TableFile&) = delete;

    const std::string& Path() const { return path_; }
    // The table's name as its file spells it (no directory, no extension).
    const std::string& TableName() const { return name_; }
    // Path of an index file of this table (".PX", ".XG0", ...), matched to an
    // existing file without regard to case, else with the extension given.
    std::string IndexFilePath(const std::string& slot) const;

    // Makes sure the connection is open on the file the path names now.
    // Raises EDatabaseError when the file is gone or unreadable.
    void EnsureCurrent();
    // Closes the connection, dropping any uncommitted work.
    void CloseConnection() noexcept;
    // Gives back the connection's page cache (a table not used for a while).
    void ReleaseCache() { connection_.ReleaseCache(); }
    std::chrono::steady_clock::time_point LastUse() const { return lastUse_; }
    sqlite3* Db() { return connection_.Handle().get(); }

    // The schema (see table_schema.h).
    const TableSchema& Schema() const { return schema_; }
    TableSchema& Schema() { return schema_; }
    const std::vector<FieldDef>& Fields() const { return schema_.Fields(); }
    int FieldIndex(const std::string& name) const { return schema_.FieldIndex(name); }
    const std::map<std::string, IndexDef>& Indexes() const { return schema_.Indexes(); }
    const IndexDef* PrimaryIndex() const { return schema_.PrimaryIndex(); }
    const std::string& InsertSql() const { return schema_.InsertSql(); }
    // Rereads fields and indexes from the file.
    void LoadSchema() { schema_.Load(connection_, path_); }

    // Runs a statement of fixed text, in the transaction its intent asks
    // for; its table name is a view of the records.
    void RunStatement(const Statement& statement, Rows* rows);
    // Appends one record (values in field order) in the open batch's write
    // transaction, or on its own outside a batch: written straight away,
    // or staged when the batch writes many tables (see staged_appends.h).
    // Returns the batch member that holds it until the batch commits, or
    // nullptr when it is committed already.
    const BatchMember* Append(const std::vector<Value>& record);
    // Runs text prepared and cached for the connection (engine-internal
    // statements that name "records" directly).
    void RunInternal(const std::string& sql, const std::vector<Value>& values, Rows* rows,
                     const char* constraintMessage = "Key violation.");
    // Runs text without caching or values (schema changes).
    void Exec(const std::string& sql);

    // Transactions (see table_transactions.h).
    void BeginRead() { transactions_.BeginRead(); }
    void BeginWrite() { transactions_.BeginWrite(); }
    bool InWrite() const { return transactions_.InWrite(); }
    void BeginOwnWrite() { transactions_.BeginOwnWrite(); }
    void CommitOwnWrite() { transactions_.CommitOwnWrite(); }
    void RollbackNow() noexcept { transactions_.RollbackNow(); }
    void CheckDecisionStands() { transactions_.CheckDecisionStands(); }

    // Use locks (see table_use.h): "Table is busy: N" after a bounded wait.
    void AcquireUse(bool exclusive) { use_.Acquire(exclusive); }
    void ReleaseUse(bool exclusive);

    // What index_sync.cpp last found of the index files.
    IndexFileState& IndexFiles() { return indexFiles_; }

    // BatchMember
    void CommitBatch() override;
    void AbandonBatch() noexcept override { transactions_.AbandonBatch(); }

  private:
    void OpenConnection();
    bool StagesThisBatch();
    void Stage(const std::vector<Value>& record);
    // Writes the staged records before a statement that must see them in
    // the table itself.
    void WriteStaged();
    // Runs text as RunInternal does, staged records or not.
    void Run(const std::string& sql, const std::vector<Value>& values, Rows* rows,
             const char* constraintMessage);

    Engine& engine_;
    const std::string path_;
    const std::string name_;
    TableConnection connection_;
    TableSchema schema_;
    TableUse use_;
    TableTransactions transactions_;
    IndexFileState indexFiles_;
    uint64_t checkedGeneration_ = 0;
    uint64_t stagingDecidedIn_ = UINT64_MAX;  // the batch generation
    bool staging_ = false;
    std::chrono::steady_clock::time_point lastUse_;
};

}  // namespace tallon::db::local
