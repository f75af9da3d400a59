#pragma once

// The directory driver's storage: one cached SQLite connection per table
// file, shared by every Table and Query object of the process.
//
// A table N in directory D is the file D/N.DB (an SQLite database whose
// records live in the table "records") plus one pair of small index files per
// index: N.PX for the primary index, N.XGk/N.YGk for the k-th secondary one.
// An index file holds the index's definition; the index itself is an SQLite
// index inside N.DB, kept in step with the files when the table is opened.
//
// Commit strategy. Writes go into a write transaction that stays open across
// posts and is committed once it is older than kCommitAfter (checked on every
// engine call and by a committer thread), before an index is added or the table is opened for
// exclusive use, before a statement spans several tables, and by FlushAll()
// and ShutdownEngine(). The journal is a rollback journal with
// synchronous=FULL, so a crash or kill -9 loses at most the uncommitted tail
// and never leaves a table unreadable, and an idle table is one
// self-contained file that can be copied. The journal is truncated rather
// than deleted after each commit (an empty N.DB-journal stays beside the
// table): creating and deleting it would change the directory at every
// commit and defeat the cached directory listings of the file-name layer. Dirty pages are never
// spilled into the table file before commit (cache_spill off): until commit the file on disk is
// untouched, so replacing or deleting it behind the engine's back (a table re-created from the
// template) can be detected by its identity and the pending work dropped without ever writing into
// the new file. Reads likewise run in a read transaction kept open by the same rules; it only
// delays another process's commit (which waits up to busy_timeout, 10 s) by at most the commit age,
// never blocks its reads or our own writes.

#include <sqlite3.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tallon::db::local {

enum class FieldKind { Text, Float, Date, Time, Integer };

struct FieldDef {
    std::string name;
    FieldKind kind = FieldKind::Text;
    int size = 0;  // text fields only; 0 when not given
};

// Kind names used in schema files and messages: text, float, date, time,
// integer.
const char* KindName(FieldKind kind);
std::optional<FieldKind> KindFromName(const std::string& name);
// The declared SQLite column type of a kind. Date and time columns are
// declared "DATE TEXT"/"TIME TEXT": the word TEXT gives them text affinity
// and the first word tells the kind back.
std::string DeclaredType(const FieldDef& field);
FieldDef FieldFromDeclared(const std::string& name, const std::string& declared);

struct IndexDef {
    std::string slot;  // "PX", "XG0", "XG1", ...
    std::string name;  // "" for the primary index
    std::vector<std::string> fields;
    unsigned options = 0;  // db::IndexOption bits
};

// The text written into an index file, and reading it back.
std::string IndexFileText(const IndexDef& def);
std::optional<IndexDef> ParseIndexFileText(const std::string& slot, const std::string& text);

// A literal value for a statement parameter.
struct Value {
    enum Type { Null, Int, Real, Text } type = Null;
    int64_t i = 0;
    double r = 0;
    std::string s;
    static Value MakeText(std::string v) {
        Value x;
        x.type = Text;
        x.s = std::move(v);
        return x;
    }
    static Value MakeReal(double v) {
        Value x;
        x.type = Real;
        x.r = v;
        return x;
    }
    static Value MakeInt(int64_t v) {
        Value x;
        x.type = Int;
        x.i = v;
        return x;
    }
};

struct FileIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    int64_t mtimeNs = 0;
    bool operator==(const FileIdentity&) const = default;
};

// One table file and its cached connection.
class TableFile {
  public:
    TableFile(std::string dbPath);
    ~TableFile();
    TableFile(const TableFile&) = delete;
    TableFile& operator=(const TableFile&) = delete;

    const std::string& Path() const { return path_; }
    // The table's name as its file spells it (no directory, no extension).
    std::string TableName() const;
    // Path of an index file of this table (".PX", ".XG0", ...), matched to an
    // existing file without regard to case, else with the extension given.
    std::string IndexFilePath(const std::string& slot) const;

    // Makes sure the connection is open and matches the file on disk: when
    // the file was replaced or changed by someone else, pending work of this
    // process is dropped and the connection reopened. Raises EDatabaseError
    // when the file is gone or unreadable.
    void EnsureCurrent();
    // Drops every index whose files are gone and builds every index whose
    // files appeared (call with the table not in a write transaction of
    // another process; takes one itself when it has something to do).
    void SyncIndexes();

    const std::vector<FieldDef>& Fields() const { return fields_; }
    // Index of a field by name without regard to case, or -1.
    int FieldIndex(const std::string& name) const;
    const std::map<std::string, IndexDef>& Indexes() const { return indexes_; }
    const IndexDef* PrimaryIndex() const;
    // The statement that appends one record with every field as a parameter.
    const std::string& InsertSql() const { return insertSql_; }

    sqlite3* Db() const { return db_; }
    // A prepared statement for the text, cached for the connection's life.
    sqlite3_stmt* Prepare(const std::string& sql);

    // Runs a prepared statement with the given parameters; with rows != null
    // collects every row as text. Raises EDatabaseError.
    struct Rows {
        std::vector<std::string> columns;
        std::vector<std::vector<std::string>> rows;
        std::vector<std::vector<bool>> nulls;
    };
    static void Run(sqlite3_stmt* stmt, const std::vector<Value>& params, Rows* rows);
    void RunPlain(const std::string& sql);

    // Transactions (see the commit strategy above). A read transaction
    // spares the file locking and journal check SQLite does for every
    // statement outside one; it ends by the same rules as a write one.
    void BeginRead();
    void BeginWrite();
    bool InWrite() const { return inWrite_; }
    void Commit();
    std::chrono::steady_clock::time_point WriteStarted() const { return writeStarted_; }

    // Exclusive-use locks held while a table object has the table open, and
    // while an index is added: shared for ordinary opens, exclusive for
    // exclusive ones. Raises "Table is busy: N" when another process holds a
    // conflicting lock.
    void AcquireUse(bool exclusive);
    void ReleaseUse(bool exclusive);

    // Adds or rebuilds an index (see Table::AddIndex).
    void AddIndex(const std::string& name, const std::vector<std::string>& fields,
                  unsigned options);

    // Gives back the connection's page cache when the table has not been
    // used for kIdleCacheAfter and holds no uncommitted work.
    void ReleaseCacheIfIdle(std::chrono::steady_clock::time_point now);

    // Closes the connection, dropping any uncommitted work.
    void CloseConnection();
    // Forgets the connection without touching it (after fork()).
    void Abandon();

  private:
    void OpenConnection();
    void LoadSchema();
    void FinalizeStatements();
    bool StatIdentity(FileIdentity& id) const;
    bool StatDirectory(int64_t& mtimeNs) const;
    void BuildIndex(const IndexDef& def);
    void DropIndex(const std::string& slot);
    std::string CreateIndexSql(const IndexDef& def, bool binaryTwin) const;
    void LockFd(int op);

    std::string path_;
    sqlite3* db_ = nullptr;
    FileIdentity identity_;
    std::vector<FieldDef> fields_;
    std::string insertSql_;
    std::map<std::string, IndexDef> indexes_;
    std::unordered_map<std::string, sqlite3_stmt*> statements_;
    bool inWrite_ = false;
    bool inRead_ = false;
    std::chrono::steady_clock::time_point writeStarted_;
    std::chrono::steady_clock::time_point lastUse_;
    int lockFd_ = -1;
    int sharedUsers_ = 0;
    int exclusiveUsers_ = 0;
    int lockHeld_ = 0;               // 0, LOCK_SH or LOCK_EX
    bool discovered_ = false;        // index files looked for since the connection opened
    int64_t directoryMtimeNs_ = -1;  // the directory when index files were last looked for
    std::map<std::string, std::string> indexPaths_;  // slot -> file last found
};

// How long a write transaction may stay open before the next engine call
// commits it.
inline constexpr std::chrono::milliseconds kCommitAfter{200};

// How long a table may go unused before its page cache is given back.
inline constexpr std::chrono::milliseconds kIdleCacheAfter{1000};

// The cached table file of a directory and table name (matched without
// regard to case; "name" may carry the ".DB" extension). Raises
// EDatabaseError "Table does not exist: <name>" when there is no such file.
// The returned file is current (EnsureCurrent was called).
std::shared_ptr<TableFile> OpenTableFile(const std::string& directory,
                                         const std::string& tableName);

// The engine's lock: held by every call that uses cached table files, since
// a committer thread ends aged transactions in the background. Recursive.
std::unique_lock<std::recursive_mutex> LockEngine();

// Commits write transactions older than kCommitAfter. Cheap; called on
// every engine entry.
void CommitAged();
// Commits every write transaction and makes it durable.
void CommitAll();
// Closes every cached table file.
void CloseAll();

// Creates a new, empty table file (fails when it exists).
void CreateTable(const std::string& directory, const std::string& tableName,
                 const std::vector<FieldDef>& fields);

// Stored forms of dates and times ("YYYY-MM-DD", "HH:MM:SS").
std::string StoredDate(double dateTimeValue);
std::string StoredTime(double dateTimeValue);
// Reads a date literal: the stored form or the short form M/D/YYYY. Returns
// false when the text is not a date.
bool ParseDateLiteral(const std::string& text, std::string& stored);
// Reads a time literal in the regional long time format or 24-hour form.
bool ParseTimeLiteral(const std::string& text, std::string& stored);

// Text of a REAL as the engine gives it back: no needless ".0", up to 15
// significant digits.
std::string RealText(double v);

// Double-quoted SQL identifier.
std::string QuoteIdent(const std::string& name);

}  // namespace tallon::db::local
