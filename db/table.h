#pragma once

#include <memory>
#include <string>

#include "base/date_time.h"

namespace tallon::db {

enum IndexOption : unsigned {
    ixNone = 0,
    ixPrimary = 1,
    ixUnique = 2,
    ixCaseInsensitive = 4,
};

class TableImpl;

// A local table of a directory database, reached by name (no extension).
class Table {
  public:
    Table(std::string objectName, std::string databaseName);
    ~Table();
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    const std::string& Name() const { return objectName_; }

    void Close();
    void SetTableName(const std::string& tableName);
    const std::string& TableName() const { return tableName_; }
    // Exclusive use: while open (or while an index is added), no other
    // process can open the table, and the table cannot be opened while
    // another process uses it; the loser gets an EDatabaseError "busy".
    void SetExclusive(bool exclusive);
    bool Exclusive() const { return exclusive_; }
    void Open();
    bool Active() const;

    // Key search on the primary index: (float, time of day, text).
    bool FindKey(double number, DateTime timeOfDay, const std::string& text);

    // A new record: set its fields, found by name without regard to case,
    // then post it. A duplicate primary key raises "Key violation.".
    void Append();
    void SetFieldFloat(const std::string& field, double value);
    void SetFieldText(const std::string& field, const std::string& value);
    void SetFieldDate(const std::string& field, DateTime value);
    void SetFieldTime(const std::string& field, DateTime value);
    void Post();

    // Adds (or rebuilds) an index on the closed table. An empty name is the
    // primary index; fields are separated by ';'.
    void AddIndex(const std::string& indexName, const std::string& fields, unsigned options);

  private:
    std::string objectName_;
    std::string databaseName_;
    std::string tableName_;
    bool exclusive_ = false;
    std::unique_ptr<TableImpl> impl_;
};

}  // namespace tallon::db
