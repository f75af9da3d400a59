#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "db/index_option.h"
#include "db/value.h"

namespace tallon::db {

class BatchMember;
class Engine;
namespace local {
class TableFile;
}

// An index to build: an empty name is the primary index; fields are
// separated by ';'.
struct IndexSpec {
    std::string name;
    std::string fields;
    unsigned options = ixNone;
};

// A local table of a directory database, reached by name (no extension).
class Table {
  public:
    Table(Engine& engine, std::string objectName, std::string databaseName);
    ~Table();
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    const std::string& Name() const { return objectName_; }

    void Close();
    void SetTableName(const std::string& tableName);
    const std::string& TableName() const { return tableName_; }
    // Exclusive use: while open (or while an index is added), no other
    // process can open the table, and the table cannot be opened while
    // another process uses it; the loser waits a few seconds, then gets an
    // EDatabaseError "Table is busy: N".
    void SetExclusive(bool exclusive);
    bool Exclusive() const { return exclusive_; }
    void Open();
    bool Active() const { return file_ != nullptr; }

    // Key search on the primary index: (float, time of day, text).
    bool FindKey(double number, DateTime timeOfDay, const std::string& text);
    // True when the table has a primary index of at most three fields: the
    // table then refuses a post that repeats a key FindKey would find
    // ("Key violation."), so a writer may post first and search only when
    // refused.
    bool PrimaryKeyRefusesRepeats();

    // A new record: set its fields, found by name without regard to case,
    // then post it. A duplicate primary key raises "Key violation.".
    void Append();
    void SetFieldFloat(const std::string& field, double value);
    void SetFieldText(const std::string& field, const std::string& value);
    void SetFieldDate(const std::string& field, DateTime value);
    void SetFieldTime(const std::string& field, DateTime value);
    // Returns the batch member whose commit keeps the record (nullptr when
    // it was committed at once, outside a batch).
    const BatchMember* Post();

    // Adds (or rebuilds) an index on the closed table.
    void AddIndex(const std::string& indexName, const std::string& fields, unsigned options);
    // Builds the table's indexes anew, all in one step, in place of every
    // index it had: its other index files are removed, and the primary index
    // file is written last, so a table whose primary index file exists has
    // every index built with it, whatever interrupted the rebuild.
    void RebuildIndexes(const std::vector<IndexSpec>& indexes);

  private:
    local::TableFile& FileOf(const char* what);
    void RebuildOrAdd(const std::vector<IndexSpec>& indexes, bool replace);
    void SetField(const std::string& field, Value value);

    Engine& engine_;
    std::string objectName_;
    std::string databaseName_;
    std::string tableName_;
    bool exclusive_ = false;
    local::TableFile* file_ = nullptr;
    // The engine's connections when the table was opened: after the engine
    // shut down its table files are gone, and so is this table's.
    uint64_t openedVersion_ = 0;
    bool exclusiveHeld_ = false;
    bool appending_ = false;
    std::vector<Value> record_;
    // The key search's text, made once per table file.
    const local::TableFile* findKeyFile_ = nullptr;
    std::string findKeySql_;
};

}  // namespace tallon::db
